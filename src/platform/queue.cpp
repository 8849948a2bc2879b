// The queue of one thread: its loop's life, notification targets, posting (from the
// thread itself and from other threads), the dispatch and the pump.
#include "platform/loop.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace kestrel::platform {

namespace {

constexpr int kWaitStepMs = 2;
constexpr auto kDispatchBudget = std::chrono::milliseconds(10);

// Target ids are unique across threads, so that an id carried to the wrong thread
// names no target there and its messages are dropped.
std::atomic<TargetId> g_next_target{1};

thread_local Loop* t_loop = nullptr; // trivially destructible: safe to read at any time
thread_local bool t_loop_ended = false;

// Frees the thread's loop when the thread ends.
struct LoopOwner {
    std::unique_ptr<Loop> owned;
    ~LoopOwner() {
        t_loop = nullptr;
        t_loop_ended = true;
        owned.reset();
    }
};

void signal_wake(Loop& l) {
    if (l.wake_signalled || !l.watched)
        return;
    l.wake_signalled = true;
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(l.evfd, &one, sizeof one);
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
        std::lock_guard<std::mutex> lock(l.inbox->mutex);
        arrived.swap(l.inbox->entries);
    }
    for (Entry& e : arrived)
        l.queue.push_back(std::move(e));
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
    // What the events queue now is dispatched below, in this same pump: no need to wake
    // the loop for it (a write and a read of the wake descriptor, and one more wait).
    l.collecting = true;
    collect(l, timeout_ms);
    take_inbox(l);
    queue_due_timers(l);
    l.collecting = false;
    dispatch(l);
    if (l.ui_hook)
        l.ui_hook();
}

} // namespace

// --- The thread's loop --------------------------------------------------------------

Loop::Loop() {
    epfd = epoll_create1(EPOLL_CLOEXEC);
    evfd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    tfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = evfd;
    epoll_ctl(epfd, EPOLL_CTL_ADD, evfd, &ev);
    ev.data.fd = tfd;
    epoll_ctl(epfd, EPOLL_CTL_ADD, tfd, &ev);
    inbox->wake = evfd;
}

Loop::~Loop() {
    {
        // Shut the door first: a post racing with the end of the thread must not
        // write to a descriptor number that is closed (and maybe reused) below.
        std::lock_guard<std::mutex> lock(inbox->mutex);
        inbox->wake = -1;
        inbox->entries.clear();
    }
    ::close(tfd);
    ::close(evfd);
    ::close(epfd);
}

Loop& loop() {
    if (t_loop)
        return *t_loop;
    if (t_loop_ended) {
        // NOTE: the platform used from another thread-local's destructor after the
        // thread's loop was freed. Serve those last calls from a loop that is never
        // freed rather than touch a destroyed owner.
        t_loop = std::make_unique<Loop>().release();
        return *t_loop;
    }
    thread_local LoopOwner owner;
    owner.owned = std::make_unique<Loop>();
    t_loop = owner.owned.get();
    return *t_loop;
}

bool detail::Inbox::deliver(Entry entry) {
    std::lock_guard<std::mutex> lock(mutex);
    if (wake < 0)
        return false;
    entries.push_back(std::move(entry));
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake, &one, sizeof one);
    return true;
}

void enqueue(Loop& l, TargetId target, Message message) {
    l.queue.push_back(Entry{target, std::move(message)});
    // An idle GUI must learn that there is work; inside a pump the running dispatch picks
    // the message up itself, and what it leaves for later it signals then.
    if (l.dispatch_depth == 0 && !l.collecting)
        signal_wake(l);
}

// --- Targets ------------------------------------------------------------------------

TargetId create_target(Handler handler) {
    TargetId id = g_next_target.fetch_add(1, std::memory_order_relaxed);
    loop().targets.emplace(id, std::make_shared<Handler>(std::move(handler)));
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

// --- Posting across threads ---------------------------------------------------------

ThreadQueue this_thread_queue() {
    return ThreadQueue(loop().inbox);
}

bool post_to_thread(const ThreadQueue& thread, TargetId target, Message message) {
    if (!thread.inbox_)
        return false;
    return thread.inbox_->deliver(Entry{target, std::move(message)});
}

// --- The pump -----------------------------------------------------------------------

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
    Loop& l = loop();
    l.watched = true;
    if (!l.queue.empty())
        signal_wake(l); // posted before anyone watched
    return l.epfd;
}

} // namespace kestrel::platform
