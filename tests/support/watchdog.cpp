// The test program's watchdog: a GoogleTest listener that arms a deadline when a test
// starts and clears it when the test ends, and one thread that ends the process when
// a deadline passes.
#include "support/watchdog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kestrel::test {

namespace {

constexpr int kDefaultSeconds = 30;

class TestWatchdog : public testing::EmptyTestEventListener {
public:
    explicit TestWatchdog(std::chrono::seconds limit) : limit_(limit) {
        thread_ = std::thread([this] { Watch(); });
    }
    ~TestWatchdog() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

    void OnTestStart(const testing::TestInfo& info) override {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = std::string(info.test_suite_name()) + "." + info.name();
        deadline_ = std::chrono::steady_clock::now() + limit_;
        armed_ = true;
        cv_.notify_all();
    }
    void OnTestEnd(const testing::TestInfo&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        armed_ = false;
        cv_.notify_all();
    }

private:
    void Watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!quit_) {
            if (!armed_) {
                cv_.wait(lock);
                continue;
            }
            if (cv_.wait_until(lock, deadline_) == std::cv_status::timeout && armed_ &&
                std::chrono::steady_clock::now() >= deadline_) {
                std::fprintf(stderr, "watchdog: %s ran longer than %lld s; aborting\n",
                             running_.c_str(), static_cast<long long>(limit_.count()));
                std::fflush(stderr);
                std::_Exit(3);
            }
        }
    }

    const std::chrono::seconds limit_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::string running_;
    std::chrono::steady_clock::time_point deadline_;
    bool armed_ = false;
    bool quit_ = false;
    std::thread thread_;
};

std::chrono::seconds LimitFrom(int argc, char** argv) {
    const char* flag = "--watchdog=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], flag, std::strlen(flag)) == 0) {
            int seconds = std::atoi(argv[i] + std::strlen(flag));
            if (seconds > 0)
                return std::chrono::seconds(seconds);
        }
    }
    return std::chrono::seconds(kDefaultSeconds);
}

} // namespace

void InstallTestWatchdog(int argc, char** argv) {
    // GoogleTest owns its listeners and frees them when the program ends.
    testing::UnitTest::GetInstance()->listeners().Append(new TestWatchdog(LimitFrom(argc, argv)));
}

} // namespace kestrel::test
