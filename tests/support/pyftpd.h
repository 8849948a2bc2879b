// A real FTP server for integration tests: pyftpdlib in a child process.
//
// The server listens on 127.0.0.1 (or ::1, when asked) on a port the system picks, serves a
// temporary root folder that it creates, and knows one user, "webuser" with password "s3cret", with
// full write permission; there is no anonymous user. Its log goes to a file beside the root
// (log_path()), never to the test's output.
//
// The destructor stops the child (SIGTERM, then SIGKILL after a short grace), reaps it and
// removes the folders. The child is also killed when the thread that started it dies
// (PR_SET_PDEATHSIG), so a crashed test leaves no server behind; start it from the test's
// own thread, not from a short-lived helper thread.
#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrel::test {

struct PyFtpdOptions {
    std::string banner;   // greeting text; empty keeps pyftpdlib's own
    long read_limit = 0;  // bytes per second the server reads on data connections; 0 = no limit
    long write_limit = 0; // bytes per second the server writes on data connections; 0 = no limit
    // pyftpdlib's max_cons: the most sockets the server holds at once, counting its
    // listening socket and the data connections; 2 admits one control connection.
    int max_cons = 0;                    // 0 = pyftpdlib's default
    std::vector<std::string> extra_args; // more arguments for ftpd.py
    std::string host = "127.0.0.1";      // the address it listens on: "::1" for IPv6
};

// The options of a server that speaks TLS with the given certificate and key; required:
// it refuses clients that do not encrypt.
PyFtpdOptions TlsServerOptions(const std::string& certFile, const std::string& keyFile,
                               bool required = true);

class PyFtpd {
public:
    // Starts the server and waits (at most 10 s) until it reports its port. Throws
    // std::runtime_error, with the end of the server's log, when it does not start.
    explicit PyFtpd(PyFtpdOptions options = {});
    ~PyFtpd();
    PyFtpd(const PyFtpd&) = delete;
    PyFtpd& operator=(const PyFtpd&) = delete;

    int port() const { return port_; }
    const std::filesystem::path& root() const { return root_; }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    const std::string& host() const { return host_; } // "127.0.0.1" or "::1"
    pid_t pid() const { return pid_; }
    const std::filesystem::path& log_path() const { return log_; }
    // The server's log so far.
    std::string log() const;

    // Path of ftpd.py, which demos and benchmarks can start on their own.
    static std::string script_path();

    // Stops the child and reaps it (the destructor does this too). Idempotent.
    void stop();

private:
    std::filesystem::path base_; // holds root/ and ftpd.log
    std::filesystem::path root_;
    std::filesystem::path log_;
    std::string user_ = "webuser";
    std::string password_ = "s3cret";
    std::string host_;
    pid_t pid_ = -1;
    int port_ = 0;
};

} // namespace kestrel::test
