// Helpers of the platform tests: a recording target and a platform socket connected to
// a plain peer on 127.0.0.1.
#pragma once

#include "platform/platform.h"
#include "support/loopback.h"

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
using kestrel::test::PumpFor;
using kestrel::test::PumpUntil;
using kestrel::test::RawListener;

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

// A platform socket connected to a plain peer socket.
struct Connection {
    Recorder rec;
    int client = InvalidSocket;
    int peer = -1;
    Connection() {
        RawListener listener;
        client = sock_create();
        async_select(client, rec.id, kCode, EvAll);
        EXPECT_EQ(sock_connect(client, htonl(INADDR_LOOPBACK), listener.net_port()), -1);
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
