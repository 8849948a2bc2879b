// Loopback helpers for the tests of the event platform and the layers on it: a plain
// listening socket on 127.0.0.1, and pumping the calling thread's loop with a limit.
// Header only: the test program links the platform itself.
#pragma once

#include "platform/platform.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrel::test {

// A plain listening socket on 127.0.0.1 with an ephemeral port (host order in port).
struct RawListener {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    explicit RawListener(int backlog = 4) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd, backlog), 0);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~RawListener() { ::close(fd); }
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;
    int accept() { return ::accept(fd, nullptr, nullptr); }
    // The port in network order, as the platform's socket calls take it.
    std::uint16_t net_port() const { return htons(std::uint16_t(port)); }
};

// A port on which nothing listens.
inline int ClosedPort() {
    RawListener gone;
    return gone.port;
}

// Pumps the calling thread's loop until done() or the time is up; returns done().
template <typename Done>
bool PumpUntil(Done done, std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end)
        platform::wait_step();
    return done();
}

inline void PumpFor(std::chrono::milliseconds span) {
    auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end)
        platform::wait_step();
}

} // namespace kestrel::test
