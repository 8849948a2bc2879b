// One loop per thread: two threads pumping their own loops keep their messages apart,
// a post from another thread arrives on the thread it names and wakes it, a lookup
// answers the thread that asked, and a thread's end frees its loop.
#include "platform_test_util.h"

#include <dirent.h>
#include <future>
#include <map>
#include <mutex>
#include <poll.h>
#include <thread>

namespace kestrel::platform {
namespace {

constexpr std::uint32_t kTimerId = 7;

int OpenDescriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n;
}

// What one worker thread saw while pumping its own loop.
struct Seen {
    std::thread::id thread;
    TargetId target = 0;
    int client = InvalidSocket;
    std::vector<Message> got;
    std::vector<std::thread::id> handled_on;
    bool foreign_target_known = true;
};

// Runs on a worker: a connection with a byte from the peer, a ticking timer and a
// posted message with the worker's own code, all pumped by the worker's own loop.
// Both workers meet at the barrier so that their loops really run side by side.
Seen PumpOwnLoop(std::uint32_t code, std::promise<TargetId>& mine,
                 std::shared_future<TargetId> other) {
    Seen seen;
    seen.thread = std::this_thread::get_id();
    Connection c;
    c.rec.extra = [&](const Message&) { seen.handled_on.push_back(std::this_thread::get_id()); };
    seen.target = c.rec.id;
    seen.client = c.client;
    mine.set_value(c.rec.id);
    TargetId foreign = other.get();
    seen.foreign_target_known = target_exists(foreign);
    post(foreign, code, 1); // a foreign id names nothing here: dropped
    EXPECT_TRUE(set_timer(c.rec.id, kTimerId, 5));
    post(c.rec.id, code, 2);
    EXPECT_EQ(::send(c.peer, "x", 1, 0), 1);
    PumpUntil([&] { return c.rec.count(MsgTimer, kTimerId) >= 3 && c.rec.count(kCode, EvRead); });
    kill_timer(c.rec.id, kTimerId);
    seen.got = c.rec.got;
    return seen;
}

TEST(PlatformThreads, TwoThreadsPumpingTheirOwnLoopsKeepTheirMessagesApart) {
    std::promise<TargetId> a_id, b_id;
    std::shared_future<TargetId> a_future = a_id.get_future().share();
    std::shared_future<TargetId> b_future = b_id.get_future().share();
    auto a = std::async(std::launch::async, [&] { return PumpOwnLoop(601, a_id, b_future); });
    auto b = std::async(std::launch::async, [&] { return PumpOwnLoop(602, b_id, a_future); });
    std::map<std::uint32_t, Seen> seen{{601, a.get()}, {602, b.get()}};

    EXPECT_NE(seen[601].target, seen[602].target); // ids are unique across threads
    for (auto& [code, s] : seen) {
        SCOPED_TRACE(code);
        EXPECT_FALSE(s.foreign_target_known);
        int posted = 0, ticks = 0, reads = 0;
        for (const Message& m : s.got) {
            if (m.code == code) {
                EXPECT_EQ(m.word, 2u); // its own post; the one to the other thread was dropped
                ++posted;
            } else if (m.code == MsgTimer) {
                EXPECT_EQ(m.word, kTimerId);
                ++ticks;
            } else {
                ASSERT_EQ(m.code, kCode);
                EXPECT_EQ(m.socket, s.client); // only its own socket's notifications
                reads += LowWord(m.word) == EvRead;
            }
        }
        EXPECT_EQ(posted, 1);
        EXPECT_GE(ticks, 3);
        EXPECT_EQ(reads, 1);
        for (std::thread::id id : s.handled_on)
            EXPECT_EQ(id, s.thread);
    }
    // Nothing of theirs reached this thread's queue.
    Recorder here;
    PumpFor(20ms);
    EXPECT_TRUE(here.got.empty());
}

TEST(PlatformThreads, PostFromAnotherThreadArrivesOnItsThreadAndWakesIt) {
    std::promise<std::pair<ThreadQueue, TargetId>> ready;
    std::atomic<bool> stop{false};
    std::vector<Message> got;
    std::vector<std::thread::id> handled_on;
    std::thread::id worker_id;
    std::thread worker([&] {
        worker_id = std::this_thread::get_id();
        Recorder rec;
        rec.extra = [&](const Message& m) {
            handled_on.push_back(std::this_thread::get_id());
            if (m.code == 2)
                stop = true;
        };
        ready.set_value({this_thread_queue(), rec.id});
        // Idle the way a window does: sleep on the wake descriptor, pump when it fires.
        pollfd p{wake_fd(), POLLIN, 0};
        while (!stop) {
            ASSERT_EQ(::poll(&p, 1, 10000), 1) << "a post from another thread did not wake";
            process_messages();
        }
        got = rec.got;
    });
    auto [queue, target] = ready.get_future().get();
    EXPECT_TRUE(queue);
    EXPECT_FALSE(target_exists(target)); // it belongs to the worker
    Message first;
    first.code = 1;
    first.word = 11;
    first.payload = "progress";
    EXPECT_TRUE(post_to_thread(queue, target, first));
    EXPECT_TRUE(post_to_thread(queue, target, 1, 12));
    EXPECT_TRUE(post_to_thread(queue, target, 2, 13));
    worker.join();

    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].word, 11u);
    EXPECT_EQ(got[0].payload, "progress");
    EXPECT_EQ(got[1].word, 12u);
    EXPECT_EQ(got[2].word, 13u);
    for (std::thread::id id : handled_on)
        EXPECT_EQ(id, worker_id);
    // The thread has ended: its queue takes nothing, and a handle naming no thread neither.
    EXPECT_FALSE(post_to_thread(queue, target, 1, 14));
    EXPECT_FALSE(post_to_thread(ThreadQueue{}, target, 1, 15));
}

// A thread idling on its wake descriptor, as a window does, must wake for a message posted
// on that same thread outside any dispatch (a click that starts something), and for what a
// dispatch left for later; a thread that never asked for the descriptor is not woken so.
TEST(PlatformThreads, PostOnTheWatchingThreadItselfWakesIt) {
    std::thread watcher([] {
        Recorder rec;
        pollfd p{wake_fd(), POLLIN, 0};
        process_messages();
        ASSERT_EQ(::poll(&p, 1, 0), 0) << "nothing to do yet";
        post(rec.id, 1, 21);
        ASSERT_EQ(::poll(&p, 1, 2000), 1) << "a post on the thread itself did not wake it";
        process_messages();
        ASSERT_EQ(rec.got.size(), 1u);
        EXPECT_EQ(rec.got[0].word, 21u);
        EXPECT_EQ(::poll(&p, 1, 0), 0) << "the wake was taken with the message";
    });
    watcher.join();
}

TEST(PlatformThreads, LookupResultsReturnToTheThreadThatAsked) {
    std::mutex mutex;
    std::map<std::string, std::function<void(int, std::uint32_t)>> pending;
    set_resolver([&](const std::string& name, std::function<void(int, std::uint32_t)> done) {
        std::lock_guard<std::mutex> lock(mutex);
        pending[name] = std::move(done);
    });
    auto ask = [](std::string name) {
        Recorder rec;
        lookup_host(rec.id, kCode, name);
        PumpUntil([&] { return !rec.got.empty(); }, 5000ms);
        PumpFor(20ms); // and nothing else arrives
        return rec.got;
    };
    auto a = std::async(std::launch::async, ask, "a.test");
    auto b = std::async(std::launch::async, ask, "b.test");
    auto all_asked = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return pending.size() == 2;
    };
    Recorder here;
    ASSERT_TRUE(PumpUntil(all_asked, 5000ms));
    // Answered from this third thread, each result finds the thread that asked.
    pending["b.test"](0, htonl(0x7F000002));
    pending["a.test"](0, htonl(0x7F000001));
    std::vector<Message> got_a = a.get(), got_b = b.get();
    set_resolver({});
    ASSERT_EQ(got_a.size(), 1u);
    ASSERT_EQ(got_b.size(), 1u);
    EXPECT_EQ(static_cast<unsigned char>(got_a[0].payload[3]), 1);
    EXPECT_EQ(static_cast<unsigned char>(got_b[0].payload[3]), 2);
    PumpFor(20ms);
    EXPECT_TRUE(here.got.empty());

    // The real lookup, asked on a worker, answers that worker too.
    std::vector<Message> real = std::async(std::launch::async, ask, "localhost").get();
    ASSERT_EQ(real.size(), 1u);
    EXPECT_EQ(HighWord(real[0].word), 0u);
}

TEST(PlatformThreads, AThreadsEndFreesItsLoop) {
    std::function<void(int, std::uint32_t)> late_answer;
    set_resolver([&](const std::string&, std::function<void(int, std::uint32_t)> done) {
        late_answer = std::move(done);
    });
    int before = OpenDescriptors();
    ThreadQueue queue;
    TargetId target = 0;
    std::thread([&] {
        Recorder rec;
        target = rec.id;
        queue = this_thread_queue();
        EXPECT_TRUE(set_timer(rec.id, kTimerId, 1000));
        Connection c; // closed again before the thread ends
        lookup_host(rec.id, kCode, "never.answers");
        post(rec.id, kCode, 1); // left in the queue
        EXPECT_GT(OpenDescriptors(), before);
    }).join();
    EXPECT_EQ(OpenDescriptors(), before); // epoll, eventfd and timerfd are gone
    // What arrives after the end is dropped, not written to freed memory.
    EXPECT_FALSE(post_to_thread(queue, target, kCode, 2));
    ASSERT_TRUE(late_answer);
    late_answer(0, htonl(INADDR_LOOPBACK));
    set_resolver({});

    // A new thread gets a fresh loop that works.
    std::thread([&] {
        Recorder rec;
        post(rec.id, kCode, 3);
        EXPECT_TRUE(PumpUntil([&] { return rec.count(kCode, 3) == 1; }));
    }).join();
    EXPECT_EQ(OpenDescriptors(), before);
}

} // namespace
} // namespace kestrel::platform
