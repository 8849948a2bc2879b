// One connection of a publish to the site's server: its own TVaneFTP on the thread that
// made it, logged in when needed, logged in again after a drop, and given up when a log-in
// fails. What the connection waits for is one state with one deadline:
//
//   Idle            commands: their replies are bounded by the component's ReplyTimeOut
//   DataConnection  a transfer up to its data connection (PORT or PASV, STOR, the connect)
//   Sending         the data moving: ended only by Stop (for the site's files)
//   Completion      the completion reply after the data, bounded by the file's drain time
//   CleanUp         removing a temporary file after a failure, a few seconds at most
//   Quitting        the QUIT of a connection given up, briefly
//
// A timer on the connection's thread looks at the deadline and at the run's Stop flag
// inside every wait: Stop ends any wait at once, except the work that runs after it (the
// clean-up and the manifest, see Finishing), which ends by a deadline a few seconds after
// the Stop. A connection ended that way is out of step with its replies and logs in again
// before it is used.
#pragma once

#include "publish/publisher.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace kestrel {

// A transfer given up because the server did not open its data connection, or did not
// confirm it, in time. The text is what the server did not do.
class EStalled : public Exception {
public:
    using Exception::Exception;
};

class TSiteConnection {
public:
    enum class TWait { Idle, DataConnection, Sending, Completion, CleanUp, Quitting };
    using Clock = std::chrono::steady_clock;

    // index counts from 0 and names the connection in notes ("Connection 2 ...").
    TSiteConnection(const TConnectionSettings& settings, const std::atomic<bool>& stop, int index);
    ~TSiteConnection(); // logs out, waiting briefly for the reply
    TSiteConnection(const TSiteConnection&) = delete;
    TSiteConnection& operator=(const TSiteConnection&) = delete;

    // Takes a connection already logged in (the one that prepared a run).
    void Adopt(std::unique_ptr<TVaneFTP> ftp);
    // Hands the connection over, logged in, or null.
    std::unique_ptr<TVaneFTP> Release();

    // True when logged in, logging in first when needed: a connection that dropped gets one
    // new log-in. One that fails to log in is given up for good (false from then on), and
    // TakeFailure tells why; a log-in that Stop ended is not a failure.
    bool Ensure();
    // Given up for good (a log-in failed): it takes no more work.
    bool Lost() const { return dead_; }
    std::optional<std::string> TakeFailure();
    // The server's line when it refused the log-in because it serves no more connections
    // at once (see MeansTooManyConnections): not a failure but its cap, which TakeFailure
    // does not report. Told once; empty otherwise.
    std::string TakeRefusedAsTooMany() { return std::exchange(tooMany_, {}); }
    // Logs in anew (a connection open before is dropped); raises what the log-in raised.
    void Open();
    TVaneFTP& Ftp() { return *ftp_; }

    // Closes the connection, waiting only briefly for the QUIT's reply: after a transfer
    // given up its late reply would answer a later command. The next Ensure logs in again.
    void Drop();

    // Runs transfer (one upload on Ftp()) under the waits' limits: raises EStalled when the
    // data connection or the completion reply does not come in time. content: the site's
    // bytes, whose progress reaches OnSent and which Stop ends; else (the manifest) not.
    void Transfer(const std::function<void()>& transfer, std::int64_t size, bool content);
    // Within a Transfer of several files one after another: the next one, of size bytes,
    // begins, and its waits with it.
    void NextTransfer(std::int64_t size);
    // Bytes of the current content transfer sent so far.
    std::function<void(std::int64_t)> OnSent;

    // Runs step with its waits ended after a few seconds (removing a temporary file).
    void WithinCleanUpLimit(const std::function<void()>& step);
    // While set, Stop does not end the connection's waits at once: the work after a Stop
    // gets until a few seconds after it.
    bool Finishing(bool on) { return std::exchange(finishing_, on); } // returns the old setting

private:
    void Attach(std::unique_ptr<TVaneFTP> ftp);
    void Enter(TWait wait, Clock::duration limit);
    void Watch();
    void AbortWait();

    const TConnectionSettings& settings_;
    const std::atomic<bool>& stop_;
    const int index_;
    std::unique_ptr<TVaneFTP> ftp_;
    std::unique_ptr<TThreadTimer> watch_;

    TWait wait_ = TWait::Idle;
    Clock::time_point deadline_ = Clock::time_point::max(); // of wait_
    std::optional<TWait> stalled_;                          // the wait its deadline ended
    std::optional<Clock::time_point> stopHeard_;
    std::int64_t size_ = 0; // of the transfer running
    bool content_ = false;
    bool finishing_ = false;
    bool outOfStep_ = false; // a wait was ended: replies may come late
    bool dead_ = false;
    std::optional<std::string> failure_;
    std::string tooMany_;
    std::shared_ptr<TTlsSessionSlot> tlsSessions_; // of the last log-in, resumed by the next
};

// Whether a refused log-in means the server's cap on connections at once: a 421 (vsftpd's
// max_per_ip and max_clients, pyftpdlib's max_cons_per_ip and max_cons answer so before the
// greeting), or a 530 that says so ("too many", "maximum number of clients").
bool MeansTooManyConnections(const std::string& reply);

// Marks the connection as doing the work that runs after a Stop for the length of a scope
// (when on; a scope inside such work keeps it so).
class TFinishingScope {
public:
    TFinishingScope(TSiteConnection& site, bool on) : site_(site) {
        previous_ = site_.Finishing(true);
        site_.Finishing(on || previous_);
    }
    ~TFinishingScope() { site_.Finishing(previous_); }
    TFinishingScope(const TFinishingScope&) = delete;
    TFinishingScope& operator=(const TFinishingScope&) = delete;

private:
    TSiteConnection& site_;
    bool previous_ = false;
};

} // namespace kestrel
