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

// A plain listening socket on ::1 (ipv6) or 127.0.0.1 at port (0: an ephemeral one; host
// order). ok is false when it could not listen there (no IPv6 on this machine, the port
// taken). stall() fills its queue, so that a connect to it is never answered (its SYN is
// dropped), as over a route that is down.
struct LoopbackListener {
    int fd = -1;
    int port = 0;
    bool ok = false;
    int filler = -1;
    explicit LoopbackListener(bool ipv6, int at_port = 0, int backlog = 4) {
        sockaddr_storage s{};
        socklen_t len = fill(ipv6, at_port, s);
        fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return;
        int on = 1;
        if (ipv6)
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&s), len) != 0 || ::listen(fd, backlog) != 0)
            return;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&s), &len);
        port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6&>(s).sin6_port
                          : reinterpret_cast<sockaddr_in&>(s).sin_port);
        ok = true;
    }
    ~LoopbackListener() {
        if (filler >= 0)
            ::close(filler);
        if (fd >= 0)
            ::close(fd);
    }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;
    // Only with a backlog of 0: the queue holds one connection, made here.
    bool stall() {
        sockaddr_storage s{};
        bool ipv6 = false;
        socklen_t len = sizeof s;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&s), &len);
        ipv6 = s.ss_family == AF_INET6;
        len = fill(ipv6, port, s);
        filler = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        return filler >= 0 && ::connect(filler, reinterpret_cast<sockaddr*>(&s), len) == 0;
    }
    int accept() { return ::accept(fd, nullptr, nullptr); }

private:
    static socklen_t fill(bool ipv6, int at_port, sockaddr_storage& s) {
        if (ipv6) {
            auto& a = reinterpret_cast<sockaddr_in6&>(s);
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_loopback;
            a.sin6_port = htons(std::uint16_t(at_port));
            return sizeof a;
        }
        auto& a = reinterpret_cast<sockaddr_in&>(s);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(std::uint16_t(at_port));
        return sizeof a;
    }
};

// Whether this machine can listen on ::1 (tests of IPv6 skip without it).
inline bool HasIpv6Loopback() {
    LoopbackListener probe(true);
    return probe.ok;
}

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
