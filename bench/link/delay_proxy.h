// A loopback FTP proxy that makes 127.0.0.1 look like a link with a round trip of some
// milliseconds: every byte, either way, on the control connections and on the passive data
// connections, reaches the other side half a round trip after it came.
//
// The proxy listens on 127.0.0.1 and forwards each control connection to the server on
// 127.0.0.1, any number of sessions at once. Each 227 or 229 reply of the server is
// rewritten to name a listener of the proxy, which forwards the one connection it accepts
// to the port the server named; several may wait at once, for a client that asks for the
// next passive port before it has used the last. Only passive mode goes through it: a PORT
// or EPRT command passes unchanged and its data connection bypasses the delay.
//
// What a link costs besides the delay of the bytes, modelled so that a client gains nothing
// from the proxy being near:
// - Opening a connection takes a round trip: the proxy connects on to the server half a
//   round trip after it accepted, and what the client sends on the new connection within a
//   round trip of its connect goes on as if sent when the round trip was over.
// - A client that waits for its passive data connection to open before it sends the
//   transfer command (as RFC 959 has it) waits that round trip too: control bytes that a
//   session sends within a round trip after one of its data connections was accepted are
//   held until the round trip is over. (A client that sends the command without waiting
//   is charged the same; none of the measured ones does.)
// - An orderly close reaches the other side with the same delay as the bytes before it; a
//   reset resets both sides at once.
// Bandwidth is not limited: the sites measured are many small files.
//
//     DelayProxy proxy(server.port(), /*roundTripMs*/ 20);
//     ... connect the client to 127.0.0.1:proxy.port() ...
//
// Runs on its own thread; the destructor stops it and closes everything.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace kestrel::bench {

class DelayProxy {
public:
    // Forwards to 127.0.0.1:serverPort. Throws std::runtime_error when it cannot listen.
    DelayProxy(int serverPort, double roundTripMs);
    ~DelayProxy();
    DelayProxy(const DelayProxy&) = delete;
    DelayProxy& operator=(const DelayProxy&) = delete;

    int port() const { return port_; }
    double roundTripMs() const { return roundTrip_ * 1000; }

    // When the first "230" reply (a log-in that passed) since the last ForgetLogIns reached
    // its client, in the steady clock's seconds; 0 when none has yet. What a client does
    // after it is the work the log-in does not cover.
    double FirstLogIn() const { return firstLogIn_; }
    void ForgetLogIns() { firstLogIn_ = 0; }

private:
    struct Pipe;
    struct Link;
    struct Listener;

    void Run();
    void Accept(int listenFd, int owner, std::uint32_t address, std::uint16_t port);
    void Receive(Link& link, bool fromClient);
    void Deliver(Link& link, Pipe& pipe, double now);
    void ConnectOnward(Link& link);
    // The server's reply lines with every passive address rewritten to a new listener.
    std::string RewriteReplies(Link& control, std::string& pending);
    std::uint16_t ListenFor(int owner, std::uint32_t address, std::uint16_t port);
    void CloseLink(int id, bool reset);
    double NextDue() const;

    int port_ = 0;
    int serverPort_;
    double roundTrip_; // seconds
    double started_ = 0;
    int listen_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<double> firstLogIn_{0};
    std::map<int, std::unique_ptr<Link>> links_; // by id
    std::vector<Listener> listeners_;
    int nextId_ = 1;
    std::thread thread_;
};

} // namespace kestrel::bench
