// Internal to the platform: the state one thread's loop keeps, and the few calls
// its files make to one another. Nothing outside src/platform includes this.
//
// Every thread that uses the platform gets its own Loop, created on first use and
// freed when the thread ends. Only the Inbox is touched by other threads.
#pragma once

#include "platform/platform.h"

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <sys/socket.h>
#include <unordered_map>
#include <vector>

namespace kestrel::platform {

using Clock = std::chrono::steady_clock;

struct Entry {
    TargetId target;
    Message message;
};

// The one door into a thread's queue from other threads: host-lookup results and
// cross-thread posts. It outlives its Loop (the posting side holds it), so a late
// post after the thread has ended finds the door shut instead of freed memory.
namespace detail {
struct Inbox {
    std::mutex mutex;
    std::vector<Entry> entries;
    int wake = -1; // the loop's eventfd; -1 once the loop is gone

    // Appends under the lock and wakes the loop; false when the loop is gone.
    bool deliver(Entry entry);
};
} // namespace detail

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

struct Timer {
    TargetId target;
    std::uint32_t id;
    std::uint32_t interval_ms;
    Clock::time_point due;
};

struct Loop {
    int epfd = -1; // the thread's wake_fd(): sockets, evfd and tfd all report here
    int evfd = -1; // posted messages and the inbox
    int tfd = -1;  // the earliest timer deadline
    std::unordered_map<TargetId, std::shared_ptr<Handler>> targets;
    std::deque<Entry> queue;
    std::unordered_map<int, SocketRecord> sockets;
    std::vector<Timer> timers;
    Clock::time_point armed_deadline = Clock::time_point::max();
    std::function<void()> ui_hook;
    int dispatch_depth = 0;
    bool collecting = false; // a pump is gathering events; its dispatch follows at once
    bool wake_signalled = false;
    // Whether anything but this loop's own waits sleeps on epfd (a GUI, once it asked for
    // wake_fd()). Only then must a message posted on the thread itself signal evfd: the
    // loop's own wait looks at the queue before it sleeps.
    bool watched = false;
    std::shared_ptr<detail::Inbox> inbox = std::make_shared<detail::Inbox>();

    Loop();
    ~Loop();
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;
};

// The calling thread's loop, created on first use.
Loop& loop();

// Own-thread queueing: appends and, outside a dispatch, wakes an idle GUI.
void enqueue(Loop& l, TargetId target, Message message);

// notifications.cpp
SocketRecord* find_socket(Loop& l, int fd); // nullptr when fd is not registered
// Queues an event of the socket when its registration asks for it.
void notify(Loop& l, int fd, const SocketRecord& r, std::uint32_t event, int error);
void on_socket_ready(Loop& l, int fd, std::uint32_t events);
// keep_read: a read (or accept) notification was just queued and will most likely be
// answered by a read in this same pump, which arms it again; the socket stays in the read
// interest meanwhile (no epoll_ctl either way), and comes out of it only if it is reported
// readable again before that read.
void update_interest(Loop& l, int fd, SocketRecord& r, bool keep_read = false);
void forget_socket(Loop& l, int fd); // drops the record and the epoll interest

// sockets.cpp
int fail(int err); // sets last_error() from errno value err; returns -1

// address.cpp: a NetAddress as a socket address and back.
socklen_t to_sockaddr(const NetAddress& address, sockaddr_storage& out);
NetAddress from_sockaddr(const sockaddr_storage& in);

// timers.cpp
void queue_due_timers(Loop& l);
void rearm_timerfd(Loop& l);

} // namespace kestrel::platform
