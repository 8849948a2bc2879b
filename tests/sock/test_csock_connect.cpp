// TCorsock: host lookup, connect and its failures, disconnect, destruction, status
// levels and the error texts.
#include "net/sock/csock.h"
#include "sock_test_util.h"
#include "support/message_of.h"

#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <string>
#include <vector>

namespace kestrel {
namespace {

using namespace kestrel::test;

// A resolver that records the names asked for and answers by a rule (or never).
struct TestResolver {
    std::vector<std::string> asked;
    std::vector<std::function<void(int, std::uint32_t)>> pending;
    bool answer = true;
    TestResolver() {
        platform::set_resolver(
            [this](const std::string& name, std::function<void(int, std::uint32_t)> done) {
                asked.push_back(name);
                if (!answer)
                    pending.push_back(std::move(done));
                else if (name == "loopback.test")
                    done(0, htonl(INADDR_LOOPBACK));
                else
                    done(11001, 0);
            });
    }
    ~TestResolver() { platform::set_resolver({}); }
};

TEST(CsockConnect, DottedAddressConnectsWithoutLookup) {
    TestResolver resolver;
    RawListener server;
    TCorsock sock(nullptr);
    int resolved = 0, connected = 0;
    sock.OnHostResolved = [&](TComponent*) { ++resolved; };
    sock.OnConnect = [&](TComponent*) { ++connected; };
    sock.Host = "127.0.0.1";
    sock.Port = server.port;
    sock.TimeOut = 2000;
    sock.Connect();
    EXPECT_TRUE(sock.Connected);
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(resolved, 0);
    EXPECT_TRUE(resolver.asked.empty());
    EXPECT_EQ(sock.GetRemoteIP(), "127.0.0.1");
    EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "Already connected");
    EXPECT_TRUE(sock.Connected);
}

TEST(CsockConnect, HostNameIsLookedUpAndReported) {
    RawListener server;
    TCorsock sock(nullptr);
    int resolved = 0;
    sock.OnHostResolved = [&](TComponent* s) {
        EXPECT_EQ(s, &sock);
        ++resolved;
    };
    sock.Host = "localhost";
    sock.Port = server.port;
    sock.Connect();
    EXPECT_TRUE(sock.Connected);
    EXPECT_EQ(resolved, 1);
    EXPECT_EQ(sock.GetRemoteIP(), "127.0.0.1");
}

TEST(CsockConnect, InvalidHostGetsOneChance) {
    TestResolver resolver;
    RawListener server;
    TCorsock sock(nullptr);
    sock.Port = server.port;

    // No handler.
    sock.Host = "0.0.0.0";
    EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "Null Remote Address");

    // A handler that does not mark it handled is called once.
    int calls = 0;
    sock.OnInvalidHost = [&](bool& handled) {
        EXPECT_FALSE(handled);
        ++calls;
    };
    EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "Null Remote Address");
    EXPECT_EQ(calls, 1);

    // Handled without a new host: one more lookup, no second call.
    calls = 0;
    sock.Host = "nosuch.test";
    sock.OnInvalidHost = [&](bool& handled) {
        ++calls;
        handled = true;
    };
    EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "Null Remote Address");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(resolver.asked, (std::vector<std::string>{"nosuch.test", "nosuch.test"}));
    EXPECT_FALSE(sock.Connected);

    // A handler that corrects the host: the retry connects.
    calls = 0;
    sock.OnInvalidHost = [&](bool& handled) {
        ++calls;
        sock.Host = "loopback.test";
        handled = true;
    };
    sock.Connect();
    EXPECT_TRUE(sock.Connected);
    EXPECT_EQ(calls, 1);

    // ResolveRemoteHost on its own reports the failed lookup.
    TCorsock other(nullptr);
    other.Host = "nosuch.test";
    EXPECT_EQ(MessageOf([&] { other.ResolveRemoteHost(); }), "Host Lookup Failed");
}

TEST(CsockConnect, LookupTimeOutAndCancel) {
    TestResolver resolver;
    resolver.answer = false;
    TCorsock sock(nullptr);
    sock.Host = "silent.test";
    sock.Port = 21;
    sock.TimeOut = 50;
    auto t0 = Clock::now();
    EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "Host Lookup Timed Out");
    EXPECT_LT(Clock::now() - t0, 1000ms);
    EXPECT_TRUE(sock.TimedOut);
    EXPECT_TRUE(sock.Canceled);

    sock.TimeOut = 0;
    Later cancel(30ms, [&] { sock.Cancel(); });
    EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "Host Lookup Canceled");
    EXPECT_FALSE(sock.TimedOut);

    sock.TimeOut = -1;
    EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "Range check error");
}

TEST(CsockConnect, LookupAnsweredAfterTheComponentWasDestroyedTouchesNothing) {
    TestResolver resolver;
    resolver.answer = false;
    {
        auto sock = std::make_unique<TCorsock>(nullptr);
        sock->Host = "silent.test";
        sock->TimeOut = 20;
        EXPECT_EQ(MessageOf([&] { sock->Connect(); }), "Host Lookup Timed Out");
    }
    ASSERT_EQ(resolver.pending.size(), 1u);
    std::thread late([&] { resolver.pending[0](0, htonl(INADDR_LOOPBACK)); });
    late.join();
    PumpFor(20ms);
    EXPECT_EQ(TCorsock::WinsockUsers(), 0);
}

TEST(CsockConnect, RefusedConnectFailsAndTheNextConnectWorks) {
    TCorsock sock(nullptr);
    std::vector<std::string> events;
    sock.OnConnectionFailed = [&](TComponent*) { events.push_back("failed"); };
    sock.OnConnect = [&](TComponent*) { events.push_back("connect"); };
    sock.Host = "127.0.0.1";
    sock.Port = ClosedPort();
    EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "Connection Failed");
    EXPECT_EQ(events, std::vector<std::string>{"failed"});
    EXPECT_FALSE(sock.Connected);
    EXPECT_FALSE(sock.LastEventOK);

    RawListener server;
    sock.Port = server.port;
    sock.Connect();
    EXPECT_TRUE(sock.Connected);
    EXPECT_EQ(events, (std::vector<std::string>{"failed", "connect"}));
}

TEST(CsockConnect, PortOutsideTheRangeIsRefusedBeforeAnyConnection) {
    RawListener server;
    TCorsock sock(nullptr);
    int failed = 0;
    sock.OnConnectionFailed = [&](TComponent*) { ++failed; };
    sock.Host = "127.0.0.1";
    // server.port + 65536 would land on the server's port if it wrapped around.
    for (std::int32_t port : {server.port + 65536, 0, -1, 65536}) {
        sock.Port = port;
        EXPECT_EQ(MessageOf([&] { sock.Connect(); }),
                  "Invalid port " + std::to_string(port) + ": a port is a number from 1 to 65535");
        EXPECT_FALSE(sock.Connected);
    }
    sock.Proxy = "127.0.0.1";
    sock.Port = server.port;
    sock.ProxyPort = server.port + 65536; // the port actually used is the proxy's
    EXPECT_EQ(MessageOf([&] { sock.Connect(); }).rfind("Invalid port ", 0), 0u);
    PumpFor(50ms);
    pollfd pending{server.fd, POLLIN, 0};
    EXPECT_EQ(::poll(&pending, 1, 0), 0) << "a connection reached the server";
    EXPECT_EQ(failed, 0);

    sock.Proxy.clear();
    sock.Port = server.port;
    sock.Connect(); // the component is still usable
    EXPECT_TRUE(sock.Connected);
}

TEST(CsockConnect, ConnectTimeOutAndCancelLeaveTheComponentUsable) {
    FullListener full;
    TCorsock sock(nullptr);
    std::vector<std::string> events;
    sock.OnConnectionFailed = [&](TComponent*) {
        events.push_back(sock.TimedOut ? "failed-timeout" : "failed");
    };
    sock.Host = "127.0.0.1";
    sock.Port = full.listener.port;
    sock.TimeOut = 100;
    auto t0 = Clock::now();
    EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "Connection Timed out");
    EXPECT_GE(Clock::now() - t0, 90ms);
    EXPECT_EQ(events, std::vector<std::string>{"failed-timeout"});
    EXPECT_TRUE(sock.Canceled);

    // Cancelled from a handler that runs inside the connect's wait.
    sock.TimeOut = 0;
    Later cancel(30ms, [&] { sock.Cancel(); });
    EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "Connection Canceled");
    EXPECT_EQ(events.size(), 2u);

    RawListener server;
    sock.Port = server.port;
    sock.TimeOut = 2000;
    sock.Connect();
    EXPECT_TRUE(sock.Connected);
}

TEST(CsockConnect, DisconnectGivesAFreshSocketAndOneEvent) {
    RawListener server;
    TCorsock sock(nullptr);
    int disconnects = 0;
    sock.OnDisconnect = [&](TComponent*) { ++disconnects; };
    sock.Host = "127.0.0.1";
    sock.Port = server.port;
    sock.Connect();
    int peer = server.accept();
    sock.Disconnect();
    EXPECT_FALSE(sock.Connected);
    EXPECT_EQ(disconnects, 1);
    EXPECT_NE(sock.SocketHandle, platform::InvalidSocket);
    // The old connection is gone: the peer sees its end.
    char c;
    EXPECT_LE(::recv(peer, &c, 1, 0), 0);
    ::close(peer);
    PumpFor(30ms);
    EXPECT_EQ(disconnects, 1);

    sock.Connect();
    EXPECT_TRUE(sock.Connected);
}

TEST(CsockConnect, PeerCloseRaisesOneDisconnect) {
    RawListener server;
    TCorsock sock(nullptr);
    int disconnects = 0;
    sock.OnDisconnect = [&](TComponent*) { ++disconnects; };
    sock.Host = "127.0.0.1";
    sock.Port = server.port;
    sock.Connect();
    ::close(server.accept());
    EXPECT_TRUE(PumpUntil([&] { return !sock.Connected; }));
    PumpFor(50ms);
    EXPECT_EQ(disconnects, 1);
}

TEST(CsockConnect, DestroyingConnectedComponentsRaisesNoDisconnect) {
    ASSERT_EQ(TCorsock::WinsockUsers(), 0);
    RawListener server;
    int disconnects = 0;
    {
        TCorsock owner(nullptr);
        auto* owned = new TCorsock(&owner);
        EXPECT_EQ(TCorsock::WinsockUsers(), 2);
        EXPECT_EQ(owner.WinsockInfo.size(), 6u);
        EXPECT_TRUE(owned->WinsockInfo.empty());
        EXPECT_EQ(owner.WinsockInfo[0].rfind("Version= ", 0), 0u);
        EXPECT_EQ(owner.WinsockInfo[5].rfind("Max Udp pack size= ", 0), 0u);
        for (TCorsock* s : {&owner, owned}) {
            s->OnDisconnect = [&](TComponent*) { ++disconnects; };
            s->Host = "127.0.0.1";
            s->Port = server.port;
            s->Connect();
        }
    }
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(TCorsock::WinsockUsers(), 0);
    PumpFor(20ms); // nothing left in the queue touches the freed components
}

TEST(CsockConnect, ReportLevelsFilterStatusTexts) {
    TCorsock sock(nullptr);
    std::vector<std::string> seen;
    sock.OnStatus = [&](TComponent*, const std::string& text) { seen.push_back(text); };
    sock.ReportLevel = 0;
    sock.Cancel();
    sock.SocketErrorStr(10061);
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(sock.Status.empty());

    sock.ReportLevel = 8;
    sock.Host = "127.0.0.1";
    sock.Port = ClosedPort();
    EXPECT_THROW(sock.Connect(), ESockError);
    EXPECT_EQ(seen.front(), "Connecting");
    auto has = [&](const std::string& t) {
        return std::find(seen.begin(), seen.end(), t) != seen.end();
    };
    EXPECT_TRUE(has("Resolve Host"));
    EXPECT_TRUE(has("Timer On"));
    EXPECT_TRUE(has("Timer Off"));
    EXPECT_FALSE(has("Checking Error In Error Manager"));
    seen.clear();
    sock.Disconnect();
    EXPECT_EQ(seen, (std::vector<std::string>{"Disconnecting", "Request Close Socket"}));
    EXPECT_EQ(sock.Status, "Request Close Socket");
    sock.ReportLevel = 16;
    seen.clear();
    platform::set_last_error(10035);
    EXPECT_EQ(sock.ErrorManager(10035), "");
    EXPECT_EQ(seen, std::vector<std::string>{"Checking Error In Error Manager"});
}

TEST(CsockConnect, ErrorTextsAndTheErrorManager) {
    TCorsock sock(nullptr);
    EXPECT_EQ(sock.SocketErrorStr(0), "");
    EXPECT_EQ(sock.SocketErrorStr(10061), "10061:Connection refused");
    EXPECT_EQ(sock.SocketErrorStr(11004), "11004:Valid name, no data record of requested type");
    EXPECT_EQ(sock.SocketErrorStr(12345), "Unknown Error No. 12345");

    std::vector<std::pair<int, std::string>> errors;
    sock.OnError = [&](TComponent*, std::uint16_t no, const std::string& text) {
        errors.emplace_back(no, text);
    };
    for (int passing : {10035, 10039, 10043, 10047}) {
        platform::set_last_error(passing);
        EXPECT_EQ(sock.ErrorManager(10035), "");
    }
    EXPECT_TRUE(errors.empty());
    platform::set_last_error(10061);
    EXPECT_EQ(MessageOf([&] { sock.ErrorManager(10035); }), "10061:Connection refused");
    EXPECT_EQ(sock.LastErrorNo, 10061);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].first, 10061);

    sock.SetWSAError(10054, "");
    EXPECT_EQ(sock.GetLastErrorNo(), 10054);
    EXPECT_EQ(platform::last_error(), 10054);
    EXPECT_EQ(errors.back().second, "10054:Connection reset by peer");
    sock.SetLastErrorNo(7);
    EXPECT_EQ(sock.LastErrorNo, 7);
}

TEST(CsockConnect, CertifyConnectGivesTheHandlerOneChance) {
    RawListener server;
    TCorsock sock(nullptr);
    EXPECT_EQ(MessageOf([&] { sock.CertifyConnect(); }), "Not Connected");
    int calls = 0;
    sock.OnConnectionRequired = [&](bool& handled) {
        ++calls;
        handled = true; // but does not connect
    };
    EXPECT_EQ(MessageOf([&] { sock.CertifyConnect(); }), "Not Connected");
    EXPECT_EQ(calls, 1);
    sock.OnConnectionRequired = [&](bool& handled) {
        ++calls;
        sock.Host = "127.0.0.1";
        sock.Port = server.port;
        sock.Connect();
        handled = true;
    };
    sock.CertifyConnect();
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(sock.Connected);
}

TEST(CsockConnect, TimerFiresOnceAndCanBeRestarted) {
    TThreadTimer timer(nullptr);
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    int ticks = 0;
    timer.SetInterval(10);
    timer.SetOnTimer([&](TComponent* s) {
        EXPECT_EQ(s, &timer);
        ++ticks;
    });
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 3; }, 1000ms));
    timer.SetEnabled(false);
    int n = ticks;
    PumpFor(40ms);
    EXPECT_EQ(ticks, n);

    // The component's time-out fires once: TimedOut and Canceled set, timer off.
    TCorsock sock(nullptr);
    sock.TimeOut = 10;
    sock.TimerOn();
    EXPECT_TRUE(PumpUntil([&] { return sock.TimedOut; }, 1000ms));
    EXPECT_TRUE(sock.Canceled);
    EXPECT_FALSE(sock.TimeoutTimer->Enabled());
}

} // namespace
} // namespace kestrel
