// A loopback FTP proxy that drops connections on purpose, for tests and soaks of what a
// client does when its connection to the server breaks.
//
// The proxy listens on 127.0.0.1 and forwards each control connection it accepts to the
// server on 127.0.0.1, any number of sessions at once. Data connections go through it
// too: each PORT line from the client is rewritten to point at a listener of the proxy
// (the server connects there, the proxy connects on to the client), and each 227 or 229
// reply of the server is rewritten to name a listener of the proxy (the client connects
// there, the proxy connects on to the server).
//
// A drop resets every connection of the session it hits, the control connection
// included: a server that takes any end of an upload's data connection for the end of
// the file would otherwise confirm a shortened file itself, which no client can tell from
// a good upload.
//
//     DroppingProxy proxy(server.port());
//     proxy.DropRandomly(/*seed*/ 7, /*drops*/ 5, /*control*/ 2000, /*data*/ 400000);
//     ... connect the client to 127.0.0.1:proxy.port() ...
//
// Runs on its own thread; every call is thread-safe. The destructor closes everything.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace kestrel::test {

class DroppingProxy {
public:
    enum class Fault { None, Control, Data };

    // Forwards to 127.0.0.1:serverPort. Throws std::runtime_error when it cannot listen.
    explicit DroppingProxy(int serverPort);
    ~DroppingProxy();
    DroppingProxy(const DroppingProxy&) = delete;
    DroppingProxy& operator=(const DroppingProxy&) = delete;

    int port() const { return port_; }

    // The next drop, once: after `at` more control bytes (either way, any session), or
    // after `at` more bytes sent by clients on data connections (the bytes up to that
    // point are passed on). Fault::None drops nothing. Ends DropRandomly and
    // DropAfterCommand.
    void Arm(Fault fault, std::uint64_t at);
    // `drops` drops one after the other, each at a point drawn from the seed: a control
    // drop after fewer than maxControl control bytes or a data drop after fewer than
    // maxData data bytes, counted from the previous drop.
    void DropRandomly(std::uint64_t seed, int drops, std::uint64_t maxControl,
                      std::uint64_t maxData);
    // Drops the session that sends the nth command (counting from 1) whose line starts
    // with prefix, once the server has answered it and before the answer reaches the
    // client: the server did what was asked, the client never hears so.
    void DropAfterCommand(const std::string& prefix, int nth = 1);

    // From the next drop on, every new session is closed as soon as it comes: a connection
    // dropped cannot log in again, while the sessions already open go on.
    void RefuseSessionsAfterDrop();

    // A drop happened since the last Arm, DropRandomly or DropAfterCommand.
    bool Dropped();
    // Drops so far.
    int Drops();

private:
    struct Session;
    enum class Role { Listen, ClientControl, ServerControl, DataListen, ClientData, ServerData };

    void Run();
    void Accept();
    void Handle(Session& s, Role role);
    void ControlFrom(Session& s, bool fromClient);
    void DataFrom(Session& s, bool fromClient);
    void OpenData(Session& s);
    void ForwardClientLines(Session& s);
    void ForwardServerLines(Session& s);
    // A listener of the proxy for the session's next data connection, to be connected on
    // to address:port; returns its port.
    std::uint16_t ListenForData(Session& s, bool passive, std::uint32_t address,
                                std::uint16_t port);
    void Drop(Session& s);
    void DrawNext();

    int port_ = 0;
    int serverPort_;
    int listen_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_; // guards everything below
    std::vector<std::unique_ptr<Session>> sessions_;
    Fault fault_ = Fault::None;
    std::uint64_t at_ = 0;
    std::uint64_t controlCount_ = 0;
    std::uint64_t dataCount_ = 0;
    bool dropped_ = false;
    int drops_ = 0;
    bool refuseAfterDrop_ = false;
    int randomLeft_ = 0;
    std::uint64_t maxControl_ = 1, maxData_ = 1;
    std::mt19937_64 random_;
    std::string commandPrefix_;
    int commandLeft_ = 0;
    std::thread thread_;
};

} // namespace kestrel::test
