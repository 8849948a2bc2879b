// Publishing a site folder to a remote folder in one step: a plan first (what is new,
// changed, gone), then the plan carried out with several connections at once, each its
// own TVaneFTP on its own thread, and a summary.
//
//   TPublisher publisher(connection, options);
//   const TPublishPlan& plan = publisher.Prepare(); // walk, list, read the manifest, plan
//   TPublishSummary summary = publisher.Run();      // carry it out; Stop() from any thread
//
// Each file goes to ".name.kestrel-tmp" in its folder and is renamed over its real name
// when complete, so a visitor sees the old page or the new one, never a part of one. The
// manifest in the remote root is written last, the same way, and describes only what is
// really on the server afterwards, also after a failure or a Stop; a run that replaces or
// removes files it lists first writes it without them, so that it stays true also when
// the run ends before its last step. Each file the run replaces or deletes goes into the
// history on the server (see history.h) instead, so that undo (undo.h) can put it back.
#pragma once

#include "net/ftp/vaneftp.h"
#include "publish/journal.h"
#include "publish/permissions.h"
#include "publish/plan.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace kestrel {

class TCallThread;
class THistoryRun;

struct TConnectionSettings {
    std::string Host;
    int Port = 21;
    std::string UserID;
    std::string Password;
    TDataMode DataMode = TDataMode::Active;
    TEncryption Encryption = TEncryption::None;
    // Asked, on a connection's own thread, about a certificate that failed verification.
    TCertificateEvent OnCertificateCheck;
    std::int32_t TimeOut = 30000; // ms for host lookup and connect
    // ms a command's reply may take (folders, deletions, renames); a server that stops
    // answering has that connection given up and the job reported failed. 0: no limit.
    std::int32_t ReplyTimeOut = 30000;
    // OPTS UTF8 ON after each log-in: set once the listing connection's FEAT listed UTF8
    // and the server took the option, so that every connection treats names alike.
    bool Utf8Names = false;
    // How the server takes a byte 255 in a name; Prepare finds it out when a name has one.
    TIacRule IacRule = TIacRule::Double;
};

// How many connections a run may use at once, and how many it uses unless told.
inline constexpr int kMinConnections = 1;
inline constexpr int kMaxConnections = 8;
inline constexpr int kDefaultConnections = 4;
// How many runs the history on the server keeps for undo, unless told.
inline constexpr int kDefaultHistoryRuns = 3;

struct TPublishOptions {
    std::string LocalRoot;
    std::string RemoteRoot; // absolute, or relative to the log-in folder; empty: that folder
    TPlanOptions Plan;
    bool TemporaryNames = true;            // upload under a temporary name, then rename over
    int Connections = kDefaultConnections; // kMinConnections to kMaxConnections
    bool UseMachineList = true;            // list with MLSD when the server's FEAT offers MLST
    // Opens no more of the Connections than the work repays (see ConnectionsWorthOpening):
    // ten changed pages are sent sooner on one connection than after three more log-ins.
    // Off: always Connections, as far as there are files.
    bool MatchConnectionsToWork = true;
    // With MatchConnectionsToWork: opens more connections than Connections, up to this many
    // (at most kMaxConnections), one after the other while the server accepts them and the
    // work still left repays one more log-in. 0 (or Connections): no more than Connections.
    int GrowTo = 0;
    // Checks each file sent once it is in place (HASH, XSHA256 and the like, else SIZE) and
    // sends a file that arrived different again.
    bool VerifyArrival = true;
    TPermissions Permissions; // SITE CHMOD after each upload and folder creation
    // The last runs kept on the server for undo (see history.h): each run moves the files it
    // replaces or deletes there instead of overwriting or deleting them. 0: no history,
    // files are overwritten and deleted. Needs TemporaryNames.
    int HistoryRuns = kDefaultHistoryRuns;
    // The folder of the run's journal on this computer (see journal.h and
    // DefaultJournalFolder), which lets the next run finish a cut one; "": no journal, and a
    // Stop removes what is staged.
    std::string JournalFolder;
};

// Raised by Prepare when Stop ended it.
class EPublishStopped : public Exception {
public:
    EPublishStopped() : Exception("The publish was stopped") {}
};

struct TPublishProgress {
    int FilesDone = 0;
    int FilesTotal = 0;
    std::int64_t BytesDone = 0;
    std::int64_t BytesTotal = 0;
    std::vector<std::string> Current; // the files being sent now
    double Rate = 0;                  // bytes per second so far
    double SecondsLeft = -1;          // -1: not known yet
};

struct TPublishFailure {
    std::string Path;   // relative path, or "" for the connection or the manifest
    std::string Reason; // the server's line, or the local error
};

struct TPublishSummary {
    int Uploaded = 0;
    int Created = 0;
    int Deleted = 0;
    int Unchanged = 0;
    std::vector<TPublishFailure> Failures;
    std::vector<std::string> Notes;
    std::vector<std::string> NotSent; // after a Stop: the files of the plan that were not sent
    std::vector<std::string> Sent;    // files now on the server in their new state
    std::vector<std::string> Removed; // files and folders deleted from the server
    bool Stopped = false;
    bool ManifestWritten = false;
    int Connections = 0; // how many the run opened
    // How many connections the server allowed at once when it refused one more as too many
    // (421, or a 530 that says so); 0 when it refused none. The run went on with those.
    int ConnectionsAllowed = 0;
    // The time the site was half old and half new: from the first staged file renamed over
    // its page to the last one (0 when at most one was).
    double SwitchSeconds = 0;
    // Files sent and found on the server as sent, and how ("HASH SHA-256", "XMD5", "SIZE";
    // empty when nothing was checked).
    int Verified = 0;
    std::string VerifiedBy;
    // The run as the history keeps it, for undo ("" when history is off or nothing changed).
    std::string HistoryRun;
    // Files a cut run had staged that this one put in place without sending them again, or
    // continued from where they broke off, and the bytes not sent again.
    int Resumed = 0;
    std::int64_t BytesNotResent = 0;
    bool Succeeded() const { return Failures.empty() && !Stopped; }
};

using TProgressEvent = std::function<void(const TPublishProgress&)>;

class TPublisher {
public:
    TPublisher(TConnectionSettings connection, TPublishOptions options);
    ~TPublisher();
    TPublisher(const TPublisher&) = delete;
    TPublisher& operator=(const TPublisher&) = delete;

    // Walks the local folder, logs in, lists the remote tree, reads the manifest and
    // works out the plan; the connection stays logged in for Run. Raises on a local folder that
    // cannot be read and on a failed log-in or listing of the remote root.
    const TPublishPlan& Prepare();

    // Works the plan out again from what Prepare learned, with other plan options (the
    // delete option chosen in a dialog), without asking the server again.
    const TPublishPlan& Replan(const TPlanOptions& options);

    // Carries out the plan of Prepare with the chosen number of connections, each on its
    // own thread, and waits for them. Progress reaches OnProgress from those threads, one
    // call at a time.
    TPublishSummary Run();

    // Ends every connection's work at once; callable from any thread, also from
    // OnProgress, and at any moment: a Stop while Prepare runs ends it (EPublishStopped)
    // within a moment, and a Stop before or during Run is kept. Files in flight are
    // abandoned and their temporary names removed (with a journal, files staged whole and
    // large files' parts stay for the next run to finish); the manifest is still written,
    // within a few seconds. A stopped publisher stays stopped.
    void Stop();

    TProgressEvent OnProgress;

    const TPublishPlan& Plan() const { return plan_; }
    const TLocalTree& Local() const { return local_; }
    const TRemoteTree& Remote() const { return remote_; }
    const std::string& RemoteRoot() const { return root_; }

    // Threads that may run connections at once with this build's event platform.
    static int ConnectionLimit();

private:
    // Logs in on the connection's own thread, lists the remote tree and reads the manifest;
    // the connection stays logged in for Run.
    void ListRemote(std::vector<std::string>& notes);
    void FindSiteHistory();
    // Runs step on the connection kept from the listing, on its thread; once more on a new
    // log-in when the server had ended that connection.
    void OnKeptConnection(const std::function<void()>& step);
    std::vector<struct TPublishPhase> BuildPhases() const;
    // How many connections the plan is worth (see ConnectionsWorthOpening).
    int ConnectionsForRun() const;
    // How many connections the run may grow to from count (see TPublishOptions::GrowTo).
    int ConnectionsToGrowTo(int count) const;
    // Starts count connections, each on its own thread, and up to most in all while they
    // repay their log-in (see WorthOpening), and waits for all of them; returns how many it opened.
    int RunWorkers(struct TRunContext& context, int count, int most);
    // Whether one more connection, the index-th, is worth opening now (upload: the phase of
    // the uploads, whose unclaimed jobs are the work left).
    bool WorthOpening(const struct TRunContext& context, int index, std::size_t upload) const;
    // On the connection's thread: reads the journal of a cut run and keeps what the server
    // and the local files still bear out (see journal.h).
    void CheckJournal(TVaneFTP& ftp, std::vector<std::string>& notes);
    // Marks the plan's uploads that the journal lets this run finish.
    void ApplyJournal();

    TConnectionSettings connection_;
    TPublishOptions options_;
    TLocalTree local_;
    TRemoteTree remote_;
    std::optional<TManifest> manifest_;
    // Where the site's history is and what it holds (Folder empty: history off).
    std::unique_ptr<struct TSiteHistory> history_;
    std::unique_ptr<THistoryRun> historyRun_; // the history of the run under way
    TPublishPlan plan_;
    std::vector<std::string> prepareNotes_; // what the listing and the manifest taught
    std::vector<std::string> features_;     // the server's FEAT lines
    std::string root_;
    // Measured while preparing, for ConnectionsWorthOpening: how long the log-in took, and
    // about how long one upload takes (from the listing's round trips).
    double loginSeconds_ = 0;
    double secondsPerJob_ = 0;
    // The connection that prepared, kept logged in for Run's first connection, and the
    // thread it belongs to.
    std::unique_ptr<TCallThread> home_;
    std::unique_ptr<TVaneFTP> kept_;
    std::chrono::steady_clock::time_point keptSince_;
    bool prepared_ = false;
    // Folders are listed a level at a time (ReadRemoteTree's together) until the replies to
    // such listings once come out of step.
    bool listTogether_ = true;
    // What the journal of a cut run holds and the server still shows: placed files, files
    // staged whole, and parts with the bytes the server has.
    std::unique_ptr<class TJournal> journal_;
    TJournalState resume_;
    std::map<std::string, std::int64_t> partial_;
    // Placed files the plan takes as they are: the manifest gets them from the journal.
    std::map<std::string, TManifestEntry> proven_;
    int placedResumed_ = 0; // of those, the files the plan no longer sends, and their bytes
    std::int64_t placedBytes_ = 0;
    std::atomic<bool> stop_{false};
};

// How many connections a run is worth, from 1 to limit (and no more than jobs): each one
// beyond the first must take over a share of the work that lasts longer than the log-in it
// costs. The work is jobs times the time one takes plus the bytes at the rate of a fast
// link; a log-in time of 0 (not known) gives limit.
int ConnectionsWorthOpening(int jobs, std::int64_t bytes, double secondsPerJob, double loginSeconds,
                            int limit);

// Sets the server's address, the account, the data mode and the encryption of settings on
// ftp: what makes it the same connection as the settings describe (not the time limits nor
// the certificate check, which the window keeps its own).
void ApplyConnectionSettings(TVaneFTP& ftp, const TConnectionSettings& settings);

// Opens a connection with the settings and switches it to binary transfers (TYPE I).
std::unique_ptr<TVaneFTP> OpenConnection(const TConnectionSettings& settings);

// Whether the server's FEAT lines offer MLST (and so MLSD).
bool OffersMachineList(const std::vector<std::string>& features);

// The remote root as an absolute path without a "/" at its end: "/site/" -> "/site"; "site"
// under the log-in folder "/home/u" -> "/home/u/site"; "" -> the log-in folder.
std::string ResolveRoot(TVaneFTP& ftp, std::string root);

// A server's reply line or an error's text without its line end.
std::string ReasonText(const std::exception& error);

} // namespace kestrel
