// Epoll backend of the event platform. See platform.h for the contract.
#include "platform/platform.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace kestrel::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWaitStepMs = 2;
constexpr auto kDispatchBudget = std::chrono::milliseconds(10);
constexpr std::size_t kMaxHostName = 253;
constexpr int kErrHostNotFound = 11001;
constexpr int kErrTryAgain = 11002;

enum class SockState { Idle, Connecting, Connected, Listening };

struct SocketRecord {
    TargetId target = 0;
    std::uint32_t code = 0;
    std::uint32_t mask = 0;
    SockState state = SockState::Idle;
    bool read_armed = true;
    bool write_armed = false;
    bool accept_armed = true;
    bool closed_seen = false; // the peer's close (or reset) has been reported or noticed
    std::uint32_t epoll_events = 0;
    bool in_epoll = false;
};

struct Entry {
    TargetId target;
    Message message;
};

struct Timer {
    TargetId target;
    std::uint32_t id;
    std::uint32_t interval_ms;
    Clock::time_point due;
};

struct Loop {
    int epfd = -1;
    int evfd = -1;
    int tfd = -1;
    TargetId next_target = 1;
    std::unordered_map<TargetId, std::shared_ptr<Handler>> targets;
    std::deque<Entry> queue;
    std::unordered_map<int, SocketRecord> sockets;
    std::vector<Timer> timers;
    Clock::time_point armed_deadline = Clock::time_point::max();
    std::function<void()> ui_hook;
    Resolver resolver;
    int dispatch_depth = 0;
    bool wake_signalled = false;

    std::mutex inbox_mutex; // the only state touched by other threads
    std::vector<Entry> inbox;

    Loop() {
        epfd = epoll_create1(EPOLL_CLOEXEC);
        evfd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        tfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = evfd;
        epoll_ctl(epfd, EPOLL_CTL_ADD, evfd, &ev);
        ev.data.fd = tfd;
        epoll_ctl(epfd, EPOLL_CTL_ADD, tfd, &ev);
    }
};

// Never destroyed: lookup threads may still finish after main() has returned.
Loop& loop() {
    static Loop* instance = new Loop;
    return *instance;
}

int g_last_error = 0;

void signal_wake(Loop& l) {
    if (l.wake_signalled)
        return;
    l.wake_signalled = true;
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(l.evfd, &one, sizeof one);
}

void enqueue(Loop& l, TargetId target, Message message) {
    l.queue.push_back(Entry{target, std::move(message)});
    // An idle GUI must learn that there is work; inside a dispatch the running pump
    // picks the message up itself.
    if (l.dispatch_depth == 0)
        signal_wake(l);
}

// Brings the epoll registration of a socket in line with its record.
void update_interest(Loop& l, int fd, SocketRecord& r) {
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

int socket_error(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        err = errno;
    return err;
}

// Turns the readiness of one socket into notifications.
void on_socket_ready(Loop& l, int fd, std::uint32_t events) {
    SocketRecord* r = find_socket(l, fd);
    if (!r)
        return;
    switch (r->state) {
    case SockState::Idle:
        break;
    case SockState::Connecting: {
        int err = socket_error(fd);
        if (err == 0 && (events & (EPOLLERR | EPOLLHUP)))
            err = ECONNREFUSED;
        if (err == 0) {
            r->state = SockState::Connected;
            r->read_armed = true;
            r->write_armed = false;
            notify(l, fd, *r, EvConnect, 0);
            notify(l, fd, *r, EvWrite, 0); // writable once the connect completes
        } else {
            r->state = SockState::Idle;
            notify(l, fd, *r, EvConnect, map_errno(err));
        }
        break;
    }
    case SockState::Listening:
        if ((events & EPOLLIN) && r->accept_armed) {
            r->accept_armed = false;
            notify(l, fd, *r, EvAccept, 0);
        }
        break;
    case SockState::Connected: {
        bool hangup = events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR);
        if ((events & EPOLLIN) && r->read_armed) {
            // At the end of the stream a read notification would repeat forever; the
            // close notification covers that case.
            if (!hangup || sock_pending(fd) > 0) {
                r->read_armed = false;
                notify(l, fd, *r, EvRead, 0);
            }
        }
        if ((events & EPOLLOUT) && r->write_armed && !(events & EPOLLERR)) {
            r->write_armed = false;
            notify(l, fd, *r, EvWrite, 0);
        }
        if (hangup) {
            r->closed_seen = true;
            int err = (events & EPOLLERR) ? map_errno(socket_error(fd)) : 0;
            notify(l, fd, *r, EvClose, err);
        }
        break;
    }
    }
    update_interest(l, fd, *r);
}

void rearm_timerfd(Loop& l) {
    Clock::time_point earliest = Clock::time_point::max();
    for (const Timer& t : l.timers)
        earliest = std::min(earliest, t.due);
    if (earliest == l.armed_deadline)
        return;
    l.armed_deadline = earliest;
    itimerspec when{};
    if (earliest != Clock::time_point::max()) {
        auto delta =
            std::max<Clock::duration>(earliest - Clock::now(), std::chrono::microseconds(1));
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(delta).count();
        when.it_value.tv_sec = ns / 1000000000;
        when.it_value.tv_nsec = ns % 1000000000;
    }
    timerfd_settime(l.tfd, 0, &when, nullptr);
}

void collect(Loop& l, int timeout_ms) {
    epoll_event events[64];
    int n;
    do {
        n = epoll_wait(l.epfd, events, 64, timeout_ms);
    } while (n < 0 && errno == EINTR);
    for (int i = 0; i < n; ++i) {
        int fd = events[i].data.fd;
        if (fd == l.evfd || fd == l.tfd) {
            std::uint64_t value;
            [[maybe_unused]] ssize_t r = ::read(fd, &value, sizeof value);
            if (fd == l.evfd)
                l.wake_signalled = false;
            else
                l.armed_deadline = Clock::time_point::max();
            continue;
        }
        on_socket_ready(l, fd, events[i].events);
    }
}

void take_inbox(Loop& l) {
    std::vector<Entry> arrived;
    {
        std::lock_guard<std::mutex> lock(l.inbox_mutex);
        arrived.swap(l.inbox);
    }
    for (Entry& e : arrived)
        l.queue.push_back(std::move(e));
}

void queue_due_timers(Loop& l) {
    if (l.timers.empty())
        return;
    auto now = Clock::now();
    for (Timer& t : l.timers) {
        if (t.due <= now) {
            Message m;
            m.code = MsgTimer;
            m.word = t.id;
            l.queue.push_back(Entry{t.target, std::move(m)});
            t.due = now + std::chrono::milliseconds(t.interval_ms);
        }
    }
    rearm_timerfd(l);
}

void dispatch(Loop& l) {
    auto started = Clock::now();
    ++l.dispatch_depth;
    while (!l.queue.empty()) {
        Entry e = std::move(l.queue.front());
        l.queue.pop_front();
        auto it = l.targets.find(e.target);
        if (it != l.targets.end()) {
            std::shared_ptr<Handler> handler = it->second; // survives its own removal
            try {
                (*handler)(e.message);
            } catch (...) {
                // A notification handler's failure never escapes the dispatch.
            }
        }
        if (Clock::now() - started >= kDispatchBudget)
            break;
    }
    --l.dispatch_depth;
    if (!l.queue.empty() && l.dispatch_depth == 0)
        signal_wake(l); // an idle GUI comes back for the rest
}

void pump(int timeout_ms) {
    Loop& l = loop();
    collect(l, timeout_ms);
    take_inbox(l);
    queue_due_timers(l);
    dispatch(l);
    if (l.ui_hook)
        l.ui_hook();
}

std::uint32_t to_u32(const sockaddr_in& a) {
    return a.sin_addr.s_addr;
}

sockaddr_in make_addr(std::uint32_t address, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = port;
    return a;
}

int fail(int err) {
    g_last_error = map_errno(err);
    return -1;
}

void real_lookup(const std::string& name, std::function<void(int, std::uint32_t)> done) {
    std::thread([name, done = std::move(done)] {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* result = nullptr;
        int rc = getaddrinfo(name.c_str(), nullptr, &hints, &result);
        if (rc != 0 || !result) {
            done(rc == EAI_AGAIN ? kErrTryAgain : kErrHostNotFound, 0);
        } else {
            auto* sin = reinterpret_cast<sockaddr_in*>(result->ai_addr);
            done(0, sin->sin_addr.s_addr);
        }
        if (result)
            freeaddrinfo(result);
    }).detach();
}

} // namespace

// --- Targets ------------------------------------------------------------------------

TargetId create_target(Handler handler) {
    Loop& l = loop();
    TargetId id = l.next_target++;
    l.targets.emplace(id, std::make_shared<Handler>(std::move(handler)));
    return id;
}

void destroy_target(TargetId target) {
    Loop& l = loop();
    l.targets.erase(target);
    std::erase_if(l.queue, [target](const Entry& e) { return e.target == target; });
    std::erase_if(l.timers, [target](const Timer& t) { return t.target == target; });
    for (auto& [fd, r] : l.sockets) {
        if (r.target == target) {
            r.target = 0;
            r.mask = 0;
            update_interest(l, fd, r);
        }
    }
}

bool target_exists(TargetId target) {
    return loop().targets.count(target) != 0;
}

void post(TargetId target, std::uint32_t code, std::uint32_t word, int socket) {
    Message m;
    m.code = code;
    m.word = word;
    m.socket = socket;
    enqueue(loop(), target, std::move(m));
}

// --- Sockets ------------------------------------------------------------------------

int sock_create() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0)
        return fail(errno);
    loop().sockets[fd] = SocketRecord{};
    return fd;
}

int sock_connect(int fd, std::uint32_t address, std::uint16_t port) {
    Loop& l = loop();
    sockaddr_in a = make_addr(address, port);
    SocketRecord& r = l.sockets[fd];
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 || errno == EINPROGRESS) {
        r.state = SockState::Connecting;
        r.closed_seen = false;
        update_interest(l, fd, r);
        g_last_error = map_errno(EINPROGRESS);
        return -1; // "would block": the outcome arrives as the connect notification
    }
    int err = errno;
    if (err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT) {
        // Refused at once: reported the asynchronous way, like any other outcome.
        notify(l, fd, r, EvConnect, map_errno(err));
        g_last_error = map_errno(EINPROGRESS);
        return -1;
    }
    return fail(err);
}

int sock_bind(int fd, std::uint32_t address, std::uint16_t port) {
    sockaddr_in a = make_addr(address, port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
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
    Loop& l = loop();
    sockaddr_in a{};
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
    if (address)
        *address = to_u32(a);
    if (port)
        *port = a.sin_port;
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
    if (SocketRecord* r = find_socket(l, fd)) {
        if (r->in_epoll)
            epoll_ctl(l.epfd, EPOLL_CTL_DEL, fd, nullptr);
        l.sockets.erase(fd);
    }
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
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return fail(errno);
    if (address)
        *address = to_u32(a);
    if (port)
        *port = a.sin_port;
    return 0;
}

int sock_peer_name(int fd, std::uint32_t* address, std::uint16_t* port) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return fail(errno);
    if (address)
        *address = to_u32(a);
    if (port)
        *port = a.sin_port;
    return 0;
}

long sock_pending(int fd) {
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0)
        return fail(errno);
    return n;
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

// --- Errors ---------------------------------------------------------------------------

int last_error() {
    return g_last_error;
}
void set_last_error(int code) {
    g_last_error = code;
}

int map_errno(int err) {
    switch (err) {
    case 0:
        return 0;
    case ECONNREFUSED:
        return 10061;
    case EWOULDBLOCK:
    case EINPROGRESS:
        return 10035;
    case EALREADY:
        return 10037;
    case ETIMEDOUT:
        return 10060;
    case ECONNRESET:
        return 10054;
    case ECONNABORTED:
        return 10053;
    case EHOSTUNREACH:
        return 10065;
    case ENETUNREACH:
        return 10051;
    case ENETDOWN:
        return 10050;
    case ENETRESET:
        return 10052;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case EPIPE:
    case ESHUTDOWN:
        return 10058;
    case ENOTCONN:
        return 10057;
    case EISCONN:
        return 10056;
    case EINVAL:
        return 10022;
    case EMFILE:
    case ENFILE:
        return 10024;
    case ENOBUFS:
    case ENOMEM:
        return 10055;
    case EACCES:
    case EPERM:
        return 10013;
    case EBADF:
        return 10009;
    case EFAULT:
        return 10014;
    case EINTR:
        return 10004;
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EHOSTDOWN:
        return 10064;
    default:
        return err; // shows as "Unknown Error No. n"
    }
}

// --- Timers -----------------------------------------------------------------------------

bool set_timer(TargetId target, std::uint32_t id, std::uint32_t interval_ms) {
    Loop& l = loop();
    if (interval_ms == 0 || !target_exists(target))
        return false;
    auto due = Clock::now() + std::chrono::milliseconds(interval_ms);
    auto it = std::find_if(l.timers.begin(), l.timers.end(),
                           [&](const Timer& t) { return t.target == target && t.id == id; });
    if (it != l.timers.end()) {
        it->interval_ms = interval_ms;
        it->due = due;
    } else {
        l.timers.push_back(Timer{target, id, interval_ms, due});
    }
    rearm_timerfd(l);
    return true;
}

void kill_timer(TargetId target, std::uint32_t id) {
    Loop& l = loop();
    std::erase_if(l.timers, [&](const Timer& t) { return t.target == target && t.id == id; });
    std::erase_if(l.queue, [&](const Entry& e) {
        return e.target == target && e.message.code == MsgTimer && e.message.word == id;
    });
}

// --- Host lookup ------------------------------------------------------------------------

void lookup_host(TargetId target, std::uint32_t code, const std::string& name) {
    Loop& l = loop();
    auto deliver = [target, code](int error, std::uint32_t address) {
        Loop& lp = loop();
        Entry e{target, Message{}};
        e.message.code = code;
        if (error == 0) {
            e.message.word = MakeWord(4, 0);
            e.message.payload.assign(reinterpret_cast<const char*>(&address), 4);
        } else {
            e.message.word = MakeWord(0, std::uint32_t(error));
        }
        {
            std::lock_guard<std::mutex> lock(lp.inbox_mutex);
            lp.inbox.push_back(std::move(e));
        }
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(lp.evfd, &one, sizeof one);
    };
    if (name.empty() || name.size() > kMaxHostName) {
        deliver(kErrHostNotFound, 0);
        return;
    }
    if (l.resolver)
        l.resolver(name, deliver);
    else
        real_lookup(name, deliver);
}

void set_resolver(Resolver resolver) {
    loop().resolver = std::move(resolver);
}

// --- The pump ---------------------------------------------------------------------------

void process_messages() {
    pump(0);
}

void wait_step() {
    Loop& l = loop();
    int timeout = kWaitStepMs;
    if (!l.queue.empty()) {
        timeout = 0;
    } else if (l.armed_deadline != Clock::time_point::max()) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(l.armed_deadline - Clock::now());
        timeout = int(std::clamp<long long>(left.count(), 0, kWaitStepMs));
    }
    pump(timeout);
}

void set_ui_hook(std::function<void()> hook) {
    loop().ui_hook = std::move(hook);
}

int wake_fd() {
    return loop().epfd;
}

} // namespace kestrel::platform
