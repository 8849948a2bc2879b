// An in-process FTP server for exact protocol tests.
//
// The server listens on 127.0.0.1 with an ephemeral port and runs a script on its own
// thread for each control connection it accepts, one connection after the other. The
// script reads like a transcript of the server's side:
//
//     ScriptedFtpServer server([](Session& s) {
//         s.reply("220 ready");
//         s.expect("USER ");
//         s.reply("331 password please");
//         s.expect("PASS ");
//         s.reply("230 in");
//         s.expect("PORT ");
//         s.reply("200 ok");
//         s.expect("STOR index.htm");
//         s.reply("150 go");
//         s.connect_data();
//         std::string body = s.data_recv_all();
//         s.reply("226 done");
//     });
//     ... drive the client against server.port() ...
//     EXPECT_TRUE(server.wait_sessions(1));
//     EXPECT_TRUE(server.failures().empty());
//
// Promises:
// - Every blocking call of a Session is bounded by the server's timeout (10 s by
//   default), so a broken client can never hang a test.
// - A failed expectation, a timeout of a call that cannot return "nothing", or an
//   exception thrown by the script is recorded in failures() and ends that session's
//   script; the server then closes the session's connections and goes on with the next.
// - stop() and the destructor interrupt every blocking call, join the thread and close
//   every descriptor the server opened. They never hang.
// - Every line the server read is recorded, thread-safe, across sessions and per session.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kestrel::test {

class ScriptedFtpServer;

// A session's script ends early with this exception; the server catches it. A script
// may catch it to clean up, but should rethrow it.
class ScriptAbort : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One accepted control connection, and at most one data connection at a time.
// Used only on the server thread, inside the script.
class Session {
public:
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session();

    // Number of this session, counting from 0 in the order of acceptance.
    std::size_t index() const { return index_; }

    // Control connection.
    // The sending calls return false when the client has closed or reset the connection
    // (not a failure: tests provoke that); a send that makes no progress within the
    // timeout is a failure and ends the script.
    bool send(const std::string& bytes);                  // raw bytes, sent as they are
    bool reply(const std::string& line);                  // line + CRLF
    bool trickle(const std::string& bytes, int delay_ms); // one byte at a time
    // Reads the next line (without its CR LF, or LF alone); std::nullopt at EOF, on a
    // reset or when no line came within the timeout. A last line without a line end
    // that is followed by EOF is returned as a line.
    std::optional<std::string> read_line();
    // read_line(), then checks that the line starts with prefix. A mismatch, EOF or a
    // timeout is recorded as a failure and ends the script (ScriptAbort).
    std::string expect(const std::string& prefix);
    // Forgets what came after the last line read, as a server that reads one command per
    // packet does with the rest of the packet.
    void drop_buffered() { in_buffer_.clear(); }
    void close(); // orderly close of the control connection
    void reset(); // close with SO_LINGER 0: the client sees a reset
    // Lines read by this session so far.
    std::vector<std::string> received() const { return received_; }

    // Data connection in active mode: the server connects to the client.
    // Connects to the address of the last PORT or EPRT line this session read, optionally
    // binding the local end to source_address first (for example "127.0.0.2" to play a
    // foreign connector). A missing PORT line, refusal or timeout ends the script.
    void connect_data(const std::string& source_address = "");
    // As connect_data(), but a refused or timed-out connection only returns false.
    bool try_connect_data(const std::string& source_address = "");
    // The host and port of the last PORT line read, as "h1.h2.h3.h4" and the port.
    std::optional<std::pair<std::string, int>> port_address() const { return port_address_; }
    bool data_send(const std::string& bytes);
    bool data_trickle(const std::string& bytes, int delay_ms);
    // Everything the client sends until it closes (a reset also ends it). No data for
    // the length of the timeout ends the script.
    std::string data_recv_all();
    void data_close(); // orderly close
    void data_reset(); // close with SO_LINGER 0
    bool data_connected() const { return data_fd_ >= 0; }

    // Data connection in passive mode: the server listens, the client connects.
    // Listens on 127.0.0.1 on a port the system picks and returns it; an earlier passive
    // listener is closed.
    int passive_listen();
    // passive_listen(), then "229 Entering Extended Passive Mode (|||port|)".
    bool reply_epsv();
    // passive_listen(), then "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)" naming address
    // (dotted; another address than the server's plays a server behind a router).
    bool reply_pasv(const std::string& address = "127.0.0.1");
    // Takes the client's connection on the passive listener, which is then closed. No
    // connection within the timeout ends the script.
    void accept_data();
    // As accept_data(), but no connection within wait_ms only returns false.
    bool try_accept_data(int wait_ms);
    bool passive_listening() const { return passive_fd_ >= 0; }
    // True when the client's connection waits on the passive listener right now.
    bool data_pending();
    // Fills the passive listener's queue, so that the client's connect is never answered
    // (its SYN is dropped): a server that never accepts. Returns the listener's port.
    int stall_passive();
    // A port on 127.0.0.1 on which nothing listens: a connect to it is refused.
    static int closed_port();

    // Waits, interruptible by stop().
    void sleep(int ms);
    // Records a failure without ending the script.
    void fail(const std::string& message);
    // The timeout that bounds every blocking call.
    std::chrono::milliseconds timeout() const;

private:
    friend class ScriptedFtpServer;
    Session(ScriptedFtpServer& server, std::size_t index, int control_fd);

    // Raises ScriptAbort after recording message as a failure.
    [[noreturn]] void abort_script(const std::string& message);
    // Waits until fd is ready for events or the server stops. Returns false on timeout.
    bool wait_ready(int fd, short events, std::chrono::milliseconds timeout);
    bool send_on(int fd, const std::string& bytes, const char* what);
    bool open_data(const std::string& source_address, std::string& error);
    void close_fd(int& fd, bool with_reset);
    void remember_port(const std::string& line);
    int passive_listen_backlog(int backlog);

    ScriptedFtpServer& server_;
    std::size_t index_;
    int control_fd_;
    int data_fd_ = -1;
    int passive_fd_ = -1; // listener of the passive mode
    int stall_fd_ = -1;   // the connection that fills the stalled listener's queue
    std::string in_buffer_;
    bool control_eof_ = false;
    std::vector<std::string> received_;
    std::optional<std::pair<std::string, int>> port_address_;
};

// Files that the table mode keeps in memory; shared with the test, thread-safe.
class MemoryFiles {
public:
    void put(const std::string& name, std::string content);
    std::optional<std::string> get(const std::string& name) const;
    bool contains(const std::string& name) const;
    std::vector<std::string> names() const; // sorted
    void append(const std::string& name, const std::string& content);
    bool remove(const std::string& name);

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> files_;
};

struct ScriptedServerOptions {
    // How many control connections are served, one after the other; 0 means no limit.
    std::size_t max_sessions = 1;
    // Bound of every blocking call of a Session.
    std::chrono::milliseconds timeout{10000};
    // Listen on ::1 instead of 127.0.0.1; the passive listeners are on ::1 too, and an
    // EPRT line names the active data address ("EPRT |2|::1|1031|").
    bool ipv6 = false;
};

class ScriptedFtpServer {
public:
    using Script = std::function<void(Session&)>;
    using Options = ScriptedServerOptions;
    using ReplyTable = std::vector<std::pair<std::string, std::string>>;

    // Starts listening at once (port() is valid on return) and starts the thread.
    explicit ScriptedFtpServer(Script script, Options options = {});
    ~ScriptedFtpServer();
    ScriptedFtpServer(const ScriptedFtpServer&) = delete;
    ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

    // A script for easy cases. It greets with "220 ready", then answers every command
    // line with the reply of the first table entry whose key is a prefix of the line.
    // Commands without an entry: QUIT gets "221 bye" and ends the session, PORT gets
    // "200 PORT ok" (EPRT "200 EPRT ok"), EPSV and PASV listen and answer with the port (229, 227),
    // LIST, NLST, RETR, STOR, APPE are served from files (150, the data connection: accepted after
    // EPSV or PASV, else to the PORT address; 226; RETR of a missing file gets "550 not
    // found", any of them without an earlier PORT, EPSV or PASV "425 no PORT"), everything
    // else "502 no".
    // A table entry for a data command whose reply begins with "1" still moves the data
    // and sends "226 done"; any other reply for it is final.
    // files may be shared with the test to seed and inspect the server's files.
    static Script Replies(ReplyTable table, std::shared_ptr<MemoryFiles> files = nullptr);

    int port() const { return port_; }

    // Interrupts every blocking call, joins the thread, closes every socket. Idempotent.
    void stop();

    // Waits until count scripts have ended (normally or by a failure); false on timeout.
    bool wait_sessions(std::size_t count,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds{10000});
    std::size_t sessions_accepted() const;
    std::size_t sessions_ended() const;

    // Every line read by any session, in the order read.
    std::vector<std::string> received() const;
    // Lines read by one session (empty if there is no such session).
    std::vector<std::string> received(std::size_t session) const;
    // Failures of the scripts, each prefixed with "session N: ".
    std::vector<std::string> failures() const;

    std::chrono::milliseconds timeout() const { return options_.timeout; }

private:
    friend class Session;
    void run();
    void serve(int control_fd, std::size_t index);
    void record_line(std::size_t session, const std::string& line);
    void record_failure(std::size_t session, const std::string& message);

    Script script_;
    Options options_;
    int listen_fd_ = -1;
    int wake_fd_ = -1; // eventfd, readable once stop() has been called
    int port_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable ended_cv_;
    bool stopping_ = false;
    std::vector<std::string> all_lines_;
    std::vector<std::vector<std::string>> session_lines_;
    std::vector<std::string> failures_;
    std::size_t accepted_ = 0;
    std::size_t ended_ = 0;

    std::thread thread_;
};

} // namespace kestrel::test
