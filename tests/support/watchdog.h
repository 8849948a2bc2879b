// Ends the process when a test overruns, so that a hanging wait fails the test with a
// clear message instead of waiting for the test runner's own time-out.
//
// Every test program has one: its main calls InstallTestWatchdog(), which watches each
// test from start to end. CTest passes the limit as --watchdog=<seconds> (see
// kestrel_add_test); run by hand, a program allows 30 s per test.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace kestrel::test {

// Watches every test of the program: the first one that runs longer than the limit
// ends the process with exit code 3 and its name on stderr. Reads --watchdog=<seconds>
// from the arguments left after GoogleTest took its own.
void InstallTestWatchdog(int argc, char** argv);

// Bounds one scope more tightly than the program's watchdog does.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit)
        : thread_([this, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "watchdog: test hung, aborting\n");
                  std::_Exit(3);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

} // namespace kestrel::test
