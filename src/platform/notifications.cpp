// Socket notifications of one thread: the record of what each registered socket wants
// to hear, its epoll interest, and the turning of readiness into the notifications of
// an asynchronous socket library, with that library's re-enabling rules.
#include "platform/loop.h"

#include <cerrno>
#include <sys/epoll.h>
#include <sys/socket.h>

namespace kestrel::platform {

namespace {

int socket_error(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        err = errno;
    return err;
}

void on_connect_ready(Loop& l, int fd, SocketRecord& r, std::uint32_t events) {
    int err = socket_error(fd);
    if (err == 0 && (events & (EPOLLERR | EPOLLHUP)))
        err = ECONNREFUSED;
    if (err == 0) {
        r.state = SockState::Connected;
        r.read_armed = true;
        r.write_armed = false;
        notify(l, fd, r, EvConnect, 0);
        notify(l, fd, r, EvWrite, 0); // writable once the connect completes
    } else {
        r.state = SockState::Idle;
        notify(l, fd, r, EvConnect, map_errno(err));
    }
}

void on_connected_ready(Loop& l, int fd, SocketRecord& r, std::uint32_t events) {
    bool hangup = events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR);
    if ((events & EPOLLIN) && r.read_armed) {
        // At the end of the stream a read notification would repeat forever; the
        // close notification covers that case.
        if (!hangup || sock_pending(fd) > 0) {
            r.read_armed = false;
            notify(l, fd, r, EvRead, 0);
        }
    }
    if ((events & EPOLLOUT) && r.write_armed && !(events & EPOLLERR)) {
        r.write_armed = false;
        notify(l, fd, r, EvWrite, 0);
    }
    if (hangup) {
        r.closed_seen = true;
        int err = (events & EPOLLERR) ? map_errno(socket_error(fd)) : 0;
        notify(l, fd, r, EvClose, err);
    }
}

} // namespace

SocketRecord* find_socket(Loop& l, int fd) {
    auto it = l.sockets.find(fd);
    return it == l.sockets.end() ? nullptr : &it->second;
}

void notify(Loop& l, int fd, const SocketRecord& r, std::uint32_t event, int error) {
    if (!(r.mask & event))
        return;
    Message m;
    m.code = r.code;
    m.socket = fd;
    m.word = MakeWord(event, std::uint32_t(error));
    enqueue(l, r.target, std::move(m));
}

// Brings the epoll registration of a socket in line with its record.
void update_interest(Loop& l, int fd, SocketRecord& r, bool keep_read) {
    std::uint32_t events = 0;
    bool wanted = r.mask != 0 && !r.closed_seen && r.target != 0;
    switch (r.state) {
    case SockState::Idle:
        wanted = false; // a fresh socket reports a hang-up; nothing to watch yet
        break;
    case SockState::Connecting:
        events = EPOLLOUT;
        break;
    case SockState::Listening:
        if (r.accept_armed && (r.mask & EvAccept))
            events = EPOLLIN;
        break;
    case SockState::Connected:
        if (r.read_armed && (r.mask & EvRead))
            events |= EPOLLIN;
        if (r.write_armed && (r.mask & EvWrite))
            events |= EPOLLOUT;
        events |= EPOLLRDHUP;
        break;
    }
    if (!wanted) {
        if (r.in_epoll) {
            epoll_ctl(l.epfd, EPOLL_CTL_DEL, fd, nullptr);
            r.in_epoll = false;
        }
        return;
    }
    bool reads = r.state == SockState::Connected || r.state == SockState::Listening;
    if (keep_read && reads && r.in_epoll)
        events |= r.epoll_events & EPOLLIN;
    if (r.in_epoll && r.epoll_events == events)
        return;
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    if (epoll_ctl(l.epfd, r.in_epoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) == 0) {
        r.in_epoll = true;
        r.epoll_events = events;
    }
}

void forget_socket(Loop& l, int fd) {
    if (SocketRecord* r = find_socket(l, fd)) {
        if (r->in_epoll)
            epoll_ctl(l.epfd, EPOLL_CTL_DEL, fd, nullptr);
        l.sockets.erase(fd);
    }
}

// Turns the readiness of one socket into notifications.
void on_socket_ready(Loop& l, int fd, std::uint32_t events) {
    SocketRecord* r = find_socket(l, fd);
    if (!r)
        return;
    // Readable while its read notification is still unanswered: the socket leaves the read
    // interest now, or level-triggered readiness would wake every wait until the read.
    bool armed = r->state == SockState::Listening ? r->accept_armed : r->read_armed;
    bool unanswered = (events & EPOLLIN) && !armed;
    switch (r->state) {
    case SockState::Idle:
        break;
    case SockState::Connecting:
        on_connect_ready(l, fd, *r, events);
        break;
    case SockState::Listening:
        if ((events & EPOLLIN) && r->accept_armed) {
            r->accept_armed = false;
            notify(l, fd, *r, EvAccept, 0);
        }
        break;
    case SockState::Connected:
        on_connected_ready(l, fd, *r, events);
        break;
    }
    update_interest(l, fd, *r, !unanswered);
}

void async_select(int fd, TargetId target, std::uint32_t code, std::uint32_t mask) {
    Loop& l = loop();
    auto [it, added] = l.sockets.try_emplace(fd);
    SocketRecord& r = it->second;
    if (added) {
        // A socket that did not come from sock_create: find out what it is.
        int listening = 0;
        socklen_t len = sizeof listening;
        if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening)
            r.state = SockState::Listening;
        else if (sock_peer_name(fd, nullptr, nullptr) == 0)
            r.state = SockState::Connected;
    }
    r.target = target;
    r.code = code;
    r.mask = mask;
    if (mask != 0) {
        // A new registration re-enables the notifications that are pending by nature.
        r.read_armed = true;
        r.accept_armed = true;
    }
    update_interest(l, fd, r);
}

} // namespace kestrel::platform
