// An FTP server over TLS for tests, on 127.0.0.1, with its files in memory.
//
//   TlsFtpServer server(TrustedTestCertificates());          // explicit: AUTH TLS
//   TlsFtpServer implicit(TrustedTestCertificates(), {.implicit = true});
//   server.files()->put("/index.htm", "...");
//
// It serves any number of sessions at once, each on its own thread, in active (PORT) and
// passive (EPSV, PASV) mode, and behaves as vsftpd does with its defaults and TLS on:
// - its TLS 1.3 tickets are single-use (stateful tickets: a ticket used once is gone, so
//   a second connection that offers it begins a new session);
// - a data connection that does not resume a session is refused with
//   "522 SSL connection failed: session reuse required", and the session ends;
// - every data connection ends with close_notify, and the server waits for the client's.
// Options make it misbehave on purpose. Every blocking call is bounded (10 s), and the
// destructor ends every session and joins every thread.
#pragma once

#include "support/scripted_server.h"
#include "support/tls_support.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kestrel::test {

class TlsFtpServer {
public:
    struct Options {
        bool implicit = false;     // TLS from the first byte instead of AUTH TLS
        bool requireReuse = true;  // refuse a data connection that does not resume
        bool cutListings = false;  // LIST, NLST and RETR: half the bytes, then a plain close
                                   // without close_notify, and "226" as if all was well
        bool tls12 = false;        // TLS 1.2 at most: a session (by its id) is resumed
                                   // any number of times, and no new one comes on resumption
        bool ticketsOnData = true; // false: tickets only on the control connection (two),
                                   // none on the data connections that resume them
    };

    explicit TlsFtpServer(const TestCertificates& certificates, Options options);
    explicit TlsFtpServer(const TestCertificates& certificates)
        : TlsFtpServer(certificates, Options()) {}
    ~TlsFtpServer();
    TlsFtpServer(const TlsFtpServer&) = delete;
    TlsFtpServer& operator=(const TlsFtpServer&) = delete;

    int port() const { return port_; }
    // Files by their full path ("/site/a.htm"); shared with the test.
    const std::shared_ptr<MemoryFiles>& files() const { return files_; }

    int sessions() const { return sessions_; }             // log-ins accepted
    int mostSessionsAtOnce() const { return mostAtOnce_; } // sessions open at one time
    int dataConnections() const { return dataConnections_; }
    int resumedConnections() const { return resumed_; } // data connections that resumed
    int refusedConnections() const { return refused_; } // answered 522
    // Problems the server saw (a failed handshake, a client that cut an upload...).
    std::vector<std::string> problems() const;

private:
    struct Connection;
    void Run();
    void Serve(int fd);
    void Note(const std::string& problem);
    void Track(int fd, bool add);

    Options options_;
    std::shared_ptr<MemoryFiles> files_ = std::make_shared<MemoryFiles>();
    void* context_ = nullptr; // SSL_CTX*
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> sessions_{0}, open_{0}, mostAtOnce_{0}, dataConnections_{0}, resumed_{0},
        refused_{0};
    mutable std::mutex mutex_;
    std::set<int> fds_; // every open descriptor, shut down by the destructor
    std::vector<std::string> problems_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

} // namespace kestrel::test
