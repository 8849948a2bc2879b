// Socket calls of one thread: create, connect, listen, accept, send, receive, close
// and the socket names, each keeping the socket's record (see notifications.cpp) in
// step. The last error of a call is kept per thread.
#include "platform/loop.h"

#include <cerrno>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrel::platform {

namespace {

thread_local int t_last_error = 0;

// getsockname and getpeername share their shape.
template <typename Query> int query_name(Query query, int fd, NetAddress* name) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (query(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return fail(errno);
    if (name)
        *name = from_sockaddr(a);
    return 0;
}

template <typename Query>
int query_name(Query query, int fd, std::uint32_t* address, std::uint16_t* port) {
    NetAddress name;
    if (query_name(query, fd, &name) != 0)
        return -1;
    if (address)
        *address = name.v4();
    if (port)
        *port = name.port;
    return 0;
}

} // namespace

int fail(int err) {
    t_last_error = map_errno(err);
    return -1;
}

// --- Socket calls -------------------------------------------------------------------

int sock_create() {
    return sock_create(NetAddress::V4);
}

int sock_create(NetAddress::Family family) {
    const int domain = family == NetAddress::V6 ? AF_INET6 : AF_INET;
    int fd = ::socket(domain, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0)
        return fail(errno);
    if (family == NetAddress::V6) {
        // IPv6 only: an IPv4 peer must never appear as a mapped address, which would not
        // compare equal to the IPv4 address of the same host.
        int on = 1;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    loop().sockets[fd] = SocketRecord{};
    return fd;
}

int sock_family(int fd) {
    int domain = 0;
    socklen_t len = sizeof domain;
    if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0)
        return fail(errno);
    return domain == AF_INET6 ? NetAddress::V6 : NetAddress::V4;
}

int sock_connect(int fd, std::uint32_t address, std::uint16_t port) {
    return sock_connect(fd, address_v4(address, port));
}

int sock_connect(int fd, const NetAddress& to) {
    Loop& l = loop();
    sockaddr_storage a{};
    socklen_t length = to_sockaddr(to, a);
    SocketRecord& r = l.sockets[fd];
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), length) == 0 || errno == EINPROGRESS) {
        r.state = SockState::Connecting;
        r.closed_seen = false;
        update_interest(l, fd, r);
        t_last_error = err::WouldBlock;
        return -1; // "would block": the outcome arrives as the connect notification
    }
    int err = errno;
    if (err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT) {
        // Refused at once: reported the asynchronous way, like any other outcome.
        notify(l, fd, r, EvConnect, map_errno(err));
        t_last_error = err::WouldBlock;
        return -1;
    }
    return fail(err);
}

int sock_bind(int fd, std::uint32_t address, std::uint16_t port) {
    return sock_bind(fd, address_v4(address, port));
}

int sock_bind(int fd, const NetAddress& at) {
    sockaddr_storage a{};
    socklen_t length = to_sockaddr(at, a);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), length) != 0)
        return fail(errno);
    return 0;
}

int sock_listen(int fd, int backlog) {
    if (::listen(fd, backlog) != 0)
        return fail(errno);
    Loop& l = loop();
    SocketRecord& r = l.sockets[fd];
    r.state = SockState::Listening;
    r.accept_armed = true;
    update_interest(l, fd, r);
    return 0;
}

int sock_accept(int fd, std::uint32_t* address, std::uint16_t* port) {
    NetAddress peer;
    int nfd = sock_accept(fd, &peer);
    if (nfd >= 0 && address)
        *address = peer.v4();
    if (nfd >= 0 && port)
        *port = peer.port;
    return nfd;
}

int sock_accept(int fd, NetAddress* peer) {
    Loop& l = loop();
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    int nfd = ::accept4(fd, reinterpret_cast<sockaddr*>(&a), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int err = errno;
    if (SocketRecord* r = find_socket(l, fd)) {
        r->accept_armed = true;
        update_interest(l, fd, *r);
    }
    if (nfd < 0)
        return fail(err);
    SocketRecord rec;
    rec.state = SockState::Connected;
    l.sockets[nfd] = rec;
    if (peer)
        *peer = from_sockaddr(a);
    return nfd;
}

long sock_recv(int fd, void* buffer, std::size_t length) {
    Loop& l = loop();
    ssize_t n;
    do {
        n = ::recv(fd, buffer, length, 0);
    } while (n < 0 && errno == EINTR);
    int err = errno;
    if (SocketRecord* r = find_socket(l, fd)) {
        if (!r->read_armed) {
            r->read_armed = true;
            update_interest(l, fd, *r);
        }
    }
    if (n < 0)
        return fail(err);
    return long(n);
}

namespace {
// A send that failed: one that would block arms the write notification for when space
// comes free.
long send_failed(int fd, int err) {
    if (err == EAGAIN || err == EWOULDBLOCK) {
        Loop& l = loop();
        if (SocketRecord* r = find_socket(l, fd)) {
            r->write_armed = true;
            update_interest(l, fd, *r);
        }
    }
    return fail(err);
}
} // namespace

long sock_send(int fd, const void* buffer, std::size_t length) {
    ssize_t n;
    do {
        n = ::send(fd, buffer, length, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n >= 0)
        return long(n);
    return send_failed(fd, errno);
}

long sock_send_file(int fd, int file_fd, std::int64_t offset, std::size_t length) {
    off_t at = off_t(offset);
    ssize_t n;
    do {
        n = ::sendfile(fd, file_fd, &at, length);
    } while (n < 0 && errno == EINTR);
    if (n >= 0)
        return long(n);
    int err = errno;
    if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP)
        return SendFileUnsupported; // a file system or file without sendfile
    return send_failed(fd, err);
}

int sock_close(int fd) {
    Loop& l = loop();
    forget_socket(l, fd);
    // Notifications still queued for this socket are stale: the descriptor number may
    // be reused by the next socket.
    std::erase_if(l.queue, [fd](const Entry& e) { return e.message.socket == fd; });
    if (::close(fd) != 0)
        return fail(errno);
    return 0;
}

int sock_set_linger(int fd, bool on, int seconds) {
    linger lg{};
    lg.l_onoff = on ? 1 : 0;
    lg.l_linger = seconds;
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0)
        return fail(errno);
    return 0;
}

int sock_local_name(int fd, std::uint32_t* address, std::uint16_t* port) {
    return query_name(::getsockname, fd, address, port);
}

int sock_peer_name(int fd, std::uint32_t* address, std::uint16_t* port) {
    return query_name(::getpeername, fd, address, port);
}

int sock_local_name(int fd, NetAddress* name) {
    return query_name(::getsockname, fd, name);
}

int sock_peer_name(int fd, NetAddress* name) {
    return query_name(::getpeername, fd, name);
}

bool sock_resets_on_close(int fd) {
    linger lg{};
    socklen_t len = sizeof lg;
    return getsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, &len) == 0 && lg.l_onoff && lg.l_linger == 0;
}

long sock_pending(int fd) {
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0)
        return fail(errno);
    return n;
}

int last_error() {
    return t_last_error;
}

void set_last_error(int code) {
    t_last_error = code;
}

} // namespace kestrel::platform
