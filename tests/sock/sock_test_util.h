// Helpers shared by the socket component's tests: a listener that answers no more
// connects and a one-shot action from inside the running wait loop.
#pragma once

#include "platform/platform.h"
#include "support/loopback.h"
#include "support/watchdog.h"

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestrel::test {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A listener whose accept queue is full: a further connect gets no answer.
struct FullListener {
    RawListener listener{0};
    std::vector<int> clients;
    FullListener() {
        for (int i = 0; i < 4; ++i) {
            int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(std::uint16_t(listener.port));
            ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
            clients.push_back(c);
        }
        std::this_thread::sleep_for(50ms);
    }
    ~FullListener() {
        for (int c : clients)
            ::close(c);
    }
};

// Runs a function once from the message queue after a delay: from inside whatever
// wait loop is running then.
class Later {
public:
    Later(std::chrono::milliseconds delay, std::function<void()> action)
        : action_(std::move(action)) {
        target_ = platform::create_target([this](const platform::Message&) {
            platform::kill_timer(target_, 1);
            if (action_) {
                auto a = std::move(action_);
                action_ = nullptr;
                a();
            }
        });
        platform::set_timer(target_, 1, std::uint32_t(std::max<long>(1, long(delay.count()))));
    }
    ~Later() { platform::destroy_target(target_); }

private:
    std::function<void()> action_;
    platform::TargetId target_ = 0;
};

} // namespace kestrel::test
