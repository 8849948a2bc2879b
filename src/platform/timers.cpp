// Timers of one thread: the list of running timers, the ticks they queue when due,
// and the one timerfd that wakes the thread's wait at the earliest deadline.
#include "platform/loop.h"

#include <algorithm>
#include <sys/timerfd.h>

namespace kestrel::platform {

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

} // namespace kestrel::platform
