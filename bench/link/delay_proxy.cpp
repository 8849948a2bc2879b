#include "bench/link/delay_proxy.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace kestrel::bench {

namespace {

constexpr std::uint32_t kLoopback = INADDR_LOOPBACK; // host order
// A pipe that holds this much stops reading its source until the other side takes some.
constexpr std::size_t kMostQueued = 1 << 20;
// The longest poll, so that the destructor is heard.
constexpr double kLongestWait = 0.05;

double Now() {
    using Clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// KESTREL_LINK_TRACE=file: each piece of a control connection, as the proxy receives it, with
// the time in round trips since the proxy started, for counting where a run's round trips go.
FILE* TraceFile() {
    static FILE* file = [] {
        const char* path = std::getenv("KESTREL_LINK_TRACE");
        return path ? std::fopen(path, "a") : nullptr;
    }();
    return file;
}

void Trace(double rounds, int link, bool fromClient, const std::string& bytes) {
    FILE* file = TraceFile();
    if (!file)
        return;
    std::string shown;
    for (char ch : bytes.substr(0, 160))
        shown += ch == '\r' ? std::string() : ch == '\n' ? std::string(" | ") : std::string(1, ch);
    std::fprintf(file, "%8.2f %3d %s %s\n", rounds, link, fromClient ? "->" : "<-", shown.c_str());
    std::fflush(file);
}

void NoDelay(int fd) {
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int ListenLoopback(std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd, 64) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

// A blocking connect (on loopback it takes no time), then non-blocking like every socket of
// the proxy.
int ConnectLoopback(std::uint32_t address, std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    NoDelay(fd);
    return fd;
}

void CloseFd(int& fd, bool reset) {
    if (fd < 0)
        return;
    if (reset) {
        linger off{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    }
    ::close(fd);
    fd = -1;
}

std::string HostPort(std::uint16_t port) {
    return "127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF);
}

} // namespace

// One direction of a connection: what came from the source, each piece due at a time.
struct DelayProxy::Pipe {
    struct Piece {
        double due;
        std::string bytes;
        bool end = false; // the source's orderly close, passed on as one
    };
    std::deque<Piece> pieces;
    std::size_t sent = 0;   // bytes of the first piece already passed on
    std::size_t queued = 0; // bytes in pieces
    bool ended = false;     // the source closed: nothing more to read
    bool closed = false;    // the close was passed on
    bool blocked = false;   // the destination took no more: wait until it is writable

    void Add(double due, std::string bytes, bool end) {
        queued += bytes.size();
        pieces.push_back({due, std::move(bytes), end});
    }
};

// A control connection, or a data connection of one.
struct DelayProxy::Link {
    int id = 0;
    bool control = true;
    int owner = 0;                // a data connection's control connection
    int client = -1, server = -1; // server stays -1 until the onward connect is due
    double openedAt = 0;          // when the proxy accepted the client
    double connectAt = 0;         // when the onward connect is due
    std::uint32_t address = 0;    // where it goes, host order
    std::uint16_t port = 0;
    double heldUntil = 0; // control: the client's bytes wait for a data connection
    Pipe up, down;        // client to server, server to client
    std::string replies;  // control: the start of a server line not yet complete
    bool dead = false, reset = false;
};

struct DelayProxy::Listener {
    int fd;
    int owner; // the control connection whose 227 or 229 made it
    std::uint32_t address;
    std::uint16_t port;
};

DelayProxy::DelayProxy(int serverPort, double roundTripMs)
    : serverPort_(serverPort), roundTrip_(roundTripMs / 1000), started_(Now()) {
    std::uint16_t port = 0;
    listen_ = ListenLoopback(port);
    if (listen_ < 0)
        throw std::runtime_error("the delaying proxy cannot listen on 127.0.0.1");
    port_ = port;
    thread_ = std::thread([this] { Run(); });
}

DelayProxy::~DelayProxy() {
    stop_ = true;
    thread_.join();
    for (auto& [id, link] : links_) {
        CloseFd(link->client, true);
        CloseFd(link->server, true);
    }
    for (Listener& listener : listeners_)
        ::close(listener.fd);
    ::close(listen_);
}

double DelayProxy::NextDue() const {
    double next = Now() + kLongestWait;
    for (const auto& [id, link] : links_) {
        if (link->server < 0 && !link->dead)
            next = std::min(next, link->connectAt);
        for (const Pipe* pipe : {&link->up, &link->down})
            if (!pipe->pieces.empty() && !pipe->blocked)
                next = std::min(next, pipe->pieces.front().due);
    }
    return next;
}

void DelayProxy::Run() {
    while (!stop_) {
        double now = Now();
        for (auto& [id, link] : links_) {
            if (!link->dead && link->server < 0 && now >= link->connectAt)
                ConnectOnward(*link);
            if (!link->dead && link->server >= 0) {
                Deliver(*link, link->up, now);
                Deliver(*link, link->down, now);
            }
        }
        for (auto it = links_.begin(); it != links_.end();) {
            Link& link = *it->second;
            int id = it->first;
            ++it;
            if (link.dead || (link.up.closed && link.down.closed))
                CloseLink(id, link.reset);
        }

        // Listeners first, then each link's client and server sockets.
        std::vector<pollfd> fds{{listen_, POLLIN, 0}};
        for (const Listener& listener : listeners_)
            fds.push_back({listener.fd, POLLIN, 0});
        std::vector<std::pair<Link*, bool>> owners; // the link and whether it is the client
        for (auto& [id, link] : links_) {
            auto watch = [&](int fd, const Pipe& from, const Pipe& to, bool client) {
                short events = 0;
                if (!from.ended && from.queued < kMostQueued)
                    events |= POLLIN;
                if (to.blocked)
                    events |= POLLOUT;
                if (fd >= 0 && events) {
                    fds.push_back({fd, events, 0});
                    owners.push_back({link.get(), client});
                }
            };
            watch(link->client, link->up, link->down, true);
            watch(link->server, link->down, link->up, false);
        }
        double wait = std::max(0.0, NextDue() - Now());
        timespec timeout{time_t(wait), long((wait - double(time_t(wait))) * 1e9)};
        if (::ppoll(fds.data(), fds.size(), &timeout, nullptr) <= 0)
            continue;

        std::size_t at = 0;
        if (fds[at++].revents & POLLIN)
            Accept(listen_, 0, kLoopback, std::uint16_t(serverPort_));
        std::vector<Listener> ready;
        for (std::size_t i = 0; i < listeners_.size(); ++i, ++at)
            if (fds[at].revents & POLLIN)
                ready.push_back(listeners_[i]);
        for (std::size_t i = 0; at < fds.size(); ++i, ++at) {
            auto [link, client] = owners[i];
            if (link->dead)
                continue;
            if (fds[at].revents & POLLOUT)
                (client ? link->down : link->up).blocked = false;
            if (fds[at].revents & (POLLIN | POLLHUP | POLLERR))
                Receive(*link, client);
        }
        // A listener serves one data connection.
        for (const Listener& listener : ready) {
            Accept(listener.fd, listener.owner, listener.address, listener.port);
            std::erase_if(listeners_, [&](const Listener& l) { return l.fd == listener.fd; });
            ::close(listener.fd);
        }
    }
}

void DelayProxy::Accept(int listenFd, int owner, std::uint32_t address, std::uint16_t port) {
    for (;;) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        NoDelay(fd);
        auto link = std::make_unique<Link>();
        double now = Now();
        link->id = nextId_++;
        link->control = owner == 0;
        link->owner = owner;
        link->client = fd;
        link->openedAt = now;
        link->connectAt = now + roundTrip_ / 2; // the connect reaches the server
        link->address = address;
        link->port = port;
        if (owner != 0) {
            // The client knows its data connection is open a round trip from now, and only
            // then sends the transfer command.
            auto control = links_.find(owner);
            if (control != links_.end())
                control->second->heldUntil = std::max(control->second->heldUntil, now + roundTrip_);
        }
        int id = link->id;
        links_[id] = std::move(link);
        if (owner != 0)
            return; // one data connection per listener
    }
}

void DelayProxy::ConnectOnward(Link& link) {
    link.server = ConnectLoopback(link.address, link.port);
    if (link.server < 0) {
        link.dead = link.reset = true;
        return;
    }
}

void DelayProxy::Receive(Link& link, bool fromClient) {
    char buffer[65536];
    int fd = fromClient ? link.client : link.server;
    Pipe& pipe = fromClient ? link.up : link.down;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n < 0) {
        link.dead = link.reset = true;
        return;
    }
    double now = Now();
    double due = now + roundTrip_ / 2;
    if (fromClient) {
        // Nothing the client sends leaves before its connect would have completed, nor, on
        // a control connection, before a data connection it waits for has opened.
        double from = std::max(now, link.openedAt + roundTrip_);
        if (link.control)
            from = std::max(from, link.heldUntil);
        due = from + roundTrip_ / 2;
    }
    if (n == 0) {
        pipe.ended = true;
        if (!fromClient && !link.replies.empty()) // a last line without its line end
            pipe.Add(due, std::exchange(link.replies, {}), false);
        pipe.Add(due, {}, true);
        return;
    }
    std::string bytes(buffer, std::size_t(n));
    if (link.control)
        Trace((now - started_) / roundTrip_, link.id, fromClient, bytes);
    if (link.control && !fromClient) {
        link.replies += bytes;
        bytes = RewriteReplies(link, link.replies);
        if (bytes.empty())
            return;
        // Whole lines only: a log-in's "230" starts the bytes or follows a line feed.
        if (firstLogIn_ == 0 &&
            (bytes.rfind("230 ", 0) == 0 || bytes.find("\n230 ") != std::string::npos))
            firstLogIn_ = due;
    }
    pipe.Add(due, std::move(bytes), false);
}

// Passes on what is due, as much as the destination takes.
void DelayProxy::Deliver(Link& link, Pipe& pipe, double now) {
    int to = &pipe == &link.up ? link.server : link.client;
    while (!pipe.blocked && !pipe.pieces.empty() && pipe.pieces.front().due <= now) {
        Pipe::Piece& piece = pipe.pieces.front();
        if (piece.end) {
            ::shutdown(to, SHUT_WR);
            pipe.closed = true;
            pipe.pieces.pop_front();
            return;
        }
        ssize_t n = ::send(to, piece.bytes.data() + pipe.sent, piece.bytes.size() - pipe.sent,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pipe.blocked = errno == EAGAIN;
            return;
        }
        if (n < 0) {
            link.dead = link.reset = true;
            return;
        }
        pipe.sent += std::size_t(n);
        if (pipe.sent == piece.bytes.size()) {
            pipe.queued -= piece.bytes.size();
            pipe.sent = 0;
            pipe.pieces.pop_front();
        }
    }
}

// Whole lines from pending, each passive reply naming a listener of the proxy; the start of
// a line not yet complete stays in pending.
std::string DelayProxy::RewriteReplies(Link& control, std::string& pending) {
    std::string out;
    std::size_t lf;
    while ((lf = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, lf + 1);
        pending.erase(0, lf + 1);
        unsigned h1, h2, h3, h4, p1, p2, p;
        std::size_t open = line.find('(');
        std::size_t close = line.find(')', open == std::string::npos ? 0 : open);
        int owner = control.id;
        if (open != std::string::npos && close != std::string::npos) {
            std::string inside;
            if (line.rfind("227 ", 0) == 0 &&
                std::sscanf(line.c_str() + open + 1, "%u,%u,%u,%u,%u,%u", &h1, &h2, &h3, &h4, &p1,
                            &p2) == 6)
                inside = HostPort(ListenFor(owner, h1 << 24 | h2 << 16 | h3 << 8 | h4,
                                            std::uint16_t(p1 << 8 | p2)));
            else if (line.rfind("229 ", 0) == 0 &&
                     std::sscanf(line.c_str() + open + 1, "|||%u|", &p) == 1)
                inside =
                    "|||" + std::to_string(ListenFor(owner, kLoopback, std::uint16_t(p))) + "|";
            if (!inside.empty())
                line = line.substr(0, open + 1) + inside + line.substr(close);
        }
        out += line;
    }
    return out;
}

std::uint16_t DelayProxy::ListenFor(int owner, std::uint32_t address, std::uint16_t port) {
    std::uint16_t own = 0;
    int fd = ListenLoopback(own);
    if (fd < 0)
        throw std::runtime_error("the delaying proxy cannot listen for a data connection");
    listeners_.push_back({fd, owner, address, port});
    return own;
}

void DelayProxy::CloseLink(int id, bool reset) {
    auto it = links_.find(id);
    if (it == links_.end())
        return;
    Link& link = *it->second;
    CloseFd(link.client, reset);
    CloseFd(link.server, reset);
    if (link.control) {
        // Passive ports the session asked for and never used.
        for (Listener& listener : listeners_)
            if (listener.owner == id)
                CloseFd(listener.fd, false);
        std::erase_if(listeners_, [](const Listener& l) { return l.fd < 0; });
    }
    links_.erase(it);
}

} // namespace kestrel::bench
