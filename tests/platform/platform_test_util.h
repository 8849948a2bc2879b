// Helpers of the platform tests: a recording target, pumping with a time limit, and a
// platform socket connected to a plain peer on 127.0.0.1.
#pragma once

#include "platform/platform.h"

#include <arpa/inet.h>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace kestrel::platform {

using namespace std::chrono_literals;

constexpr std::uint32_t kCode = 500;

// A target that records every message it gets.
struct Recorder {
    std::vector<Message> got;
    std::function<void(const Message&)> extra;
    TargetId id = create_target([this](const Message& m) {
        got.push_back(m);
        if (extra)
            extra(m);
    });
    ~Recorder() { destroy_target(id); }
    int count(std::uint32_t code, std::uint32_t low) const {
        int n = 0;
        for (const Message& m : got)
            if (m.code == code && LowWord(m.word) == low)
                ++n;
        return n;
    }
};

// Pumps until done() or the time is up; returns done().
template <typename Done> bool PumpUntil(Done done, std::chrono::milliseconds limit = 2000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end)
        wait_step();
    return done();
}

inline void PumpFor(std::chrono::milliseconds span) {
    auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end)
        wait_step();
}

// A plain listening socket on 127.0.0.1 with an ephemeral port.
struct RawListener {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    std::uint16_t port = 0; // network order
    explicit RawListener(int backlog = 4) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd, backlog), 0);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = a.sin_port;
    }
    ~RawListener() {
        if (fd >= 0)
            ::close(fd);
    }
};

// A platform socket connected to a plain peer socket.
struct Connection {
    Recorder rec;
    int client = InvalidSocket;
    int peer = -1;
    Connection() {
        RawListener listener;
        client = sock_create();
        async_select(client, rec.id, kCode, EvAll);
        EXPECT_EQ(sock_connect(client, htonl(INADDR_LOOPBACK), listener.port), -1);
        EXPECT_EQ(last_error(), err::WouldBlock);
        EXPECT_TRUE(PumpUntil([&] { return rec.count(kCode, EvConnect) == 1; }));
        peer = ::accept(listener.fd, nullptr, nullptr);
        EXPECT_GE(peer, 0);
    }
    ~Connection() {
        if (client != InvalidSocket)
            sock_close(client);
        if (peer >= 0)
            ::close(peer);
    }
};

} // namespace kestrel::platform
