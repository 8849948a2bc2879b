// TCorsock over IPv6: literal addresses with and without brackets, listening and
// accepting, and names with addresses of both families, connected to as RFC 8305
// ("Happy Eyeballs") describes.
#include "net/sock/csock.h"
#include "sock_test_util.h"
#include "support/message_of.h"

#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrel {
namespace {

using namespace kestrel::test;
using platform::NetAddress;

NetAddress Address(const std::string& text) {
    std::optional<NetAddress> a = platform::parse_address(text);
    EXPECT_TRUE(a) << text;
    return a.value_or(NetAddress{});
}

std::vector<std::string> Texts(const std::vector<NetAddress>& addresses) {
    std::vector<std::string> texts;
    for (const NetAddress& a : addresses)
        texts.push_back(a.text());
    return texts;
}

// Answers every name with the given addresses, in that order.
struct AddressesResolver {
    std::vector<std::string> asked;
    explicit AddressesResolver(std::vector<NetAddress> answer) {
        platform::set_address_resolver(
            [this, answer](const std::string& name,
                           std::function<void(int, std::vector<NetAddress>)> done) {
                asked.push_back(name);
                done(0, answer);
            });
    }
    ~AddressesResolver() { platform::set_address_resolver({}); }
};

#define SKIP_WITHOUT_IPV6(listener)                                                                \
    if (!(listener).ok)                                                                            \
    GTEST_SKIP() << "cannot listen on ::1 here (no IPv6 on this machine)"

TEST(CsockIpv6, AddressesParseAndPrintInBothFamilies) {
    EXPECT_EQ(Address("127.0.0.1").text(), "127.0.0.1");
    EXPECT_FALSE(Address("127.0.0.1").is_v6());
    EXPECT_EQ(Address("::1").text(), "::1");
    EXPECT_TRUE(Address("::1").is_v6());
    EXPECT_EQ(Address("2001:DB8:0:0:0:0:0:1").text(), "2001:db8::1"); // RFC 5952 form
    EXPECT_EQ(Address("fe80::1%1").scope, 1u);
    EXPECT_TRUE(Address("::").unspecified());
    EXPECT_TRUE(Address("0.0.0.0").unspecified());
    EXPECT_FALSE(Address("::1").same_host(Address("127.0.0.1")));
    EXPECT_TRUE(Address("::1").same_host(Address("0:0::1")));
    // Names and broken forms are no addresses: they go to the lookup, or fail there.
    for (const char* text :
         {"localhost", "ftp.example.com", "1.2.3", "::1::2", "[::1]", "", "12345"})
        EXPECT_FALSE(platform::parse_address(text)) << text;
}

TEST(CsockIpv6, ConnectionOrderAlternatesFamiliesBeginningWithTheFirst) {
    auto order = [](std::vector<std::string> texts) {
        std::vector<NetAddress> addresses;
        for (const std::string& t : texts)
            addresses.push_back(Address(t));
        return Texts(TCorsock::ConnectionOrder(addresses));
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(order({"2001:db8::1", "2001:db8::2", "192.0.2.1", "192.0.2.2", "192.0.2.3"}),
              (V{"2001:db8::1", "192.0.2.1", "2001:db8::2", "192.0.2.2", "192.0.2.3"}));
    EXPECT_EQ(order({"192.0.2.1", "2001:db8::1", "2001:db8::2"}),
              (V{"192.0.2.1", "2001:db8::1", "2001:db8::2"}));
    EXPECT_EQ(order({"192.0.2.1", "192.0.2.2"}), (V{"192.0.2.1", "192.0.2.2"}));
    EXPECT_EQ(order({}), V{});
}

TEST(CsockIpv6, LiteralAddressConnectsWithoutLookupWithOrWithoutBrackets) {
    LoopbackListener server(true);
    SKIP_WITHOUT_IPV6(server);
    AddressesResolver resolver({});
    for (const char* host : {"::1", "[::1]", "0:0:0:0:0:0:0:1"}) {
        TCorsock sock(nullptr);
        int resolved = 0, connected = 0;
        sock.OnHostResolved = [&](TComponent*) { ++resolved; };
        sock.OnConnect = [&](TComponent*) { ++connected; };
        sock.Host = host;
        sock.Port = server.port;
        sock.TimeOut = 5000;
        sock.Connect();
        EXPECT_TRUE(sock.Connected) << host;
        EXPECT_EQ(connected, 1) << host;
        EXPECT_EQ(resolved, 0) << host;
        EXPECT_EQ(sock.GetRemoteIP(), "::1") << host;
        EXPECT_EQ(sock.LocalName().text(), "::1") << host;
        sock.Disconnect();
        // The fresh socket after the close connects again (over IPv4 now).
        RawListener v4;
        sock.Host = "127.0.0.1";
        sock.Port = v4.port;
        sock.Connect();
        EXPECT_EQ(sock.GetRemoteIP(), "127.0.0.1") << host;
    }
    EXPECT_TRUE(resolver.asked.empty());

    // An IPv6 port nobody listens on is refused like an IPv4 one.
    TCorsock sock(nullptr);
    sock.Host = "[::1]";
    sock.Port = ClosedPort();
    int failed = 0;
    sock.OnConnectionFailed = [&](TComponent*) { ++failed; };
    EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "Connection Failed");
    EXPECT_EQ(failed, 1);
    // "::" names no host: the invalid-host path, as 0.0.0.0.
    sock.Host = "::";
    EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "Null Remote Address");
}

TEST(CsockIpv6, ListensAndAcceptsOnAnIpv6Address) {
    LoopbackListener probe(true);
    SKIP_WITHOUT_IPV6(probe);
    TCorsock listener(nullptr);
    listener.Port = 0;
    listener.Listen(true, Address("::1"));
    NetAddress at = listener.LocalName();
    ASSERT_TRUE(at.is_v6());
    TCorsock client(nullptr);
    client.Host = "::1";
    client.Port = ntohs(at.port);
    client.Connect();
    int handle = listener.Accept();
    ASSERT_NE(handle, platform::InvalidSocket);
    EXPECT_EQ(listener.GetRemoteIP(), "::1");
    EXPECT_TRUE(listener.RemoteAddress.same_host(client.LocalName()));
    EXPECT_EQ(listener.RemoteAddress.port, client.LocalName().port);
    platform::sock_close(handle);
}

// A name with an IPv6 address first and an IPv4 one, on the same port number.
struct DualName {
    LoopbackListener v4{false};
    LoopbackListener v6;
    AddressesResolver resolver{{Address("::1"), Address("127.0.0.1")}};
    explicit DualName(int v6backlog = 4) : v6(true, v4.port, v6backlog) {}
};

struct Attempts {
    std::vector<std::string> lines;
    void Watch(TCorsock& sock) {
        sock.ReportLevel = slSocket;
        sock.OnStatus = [this](TComponent*, const std::string& text) {
            if (text.rfind("Connecting to ", 0) == 0)
                lines.push_back(text);
        };
    }
};

TEST(CsockIpv6, BothFamiliesAnIpv6AddressThatNeverAnswersCostsAFractionOfASecond) {
    // The IPv6 address black-holes (its listener's queue is full, so the SYN is dropped):
    // a dead IPv6 route. Tried one after the other, the connect would wait for the
    // time-out; tried as RFC 8305 says, the IPv4 attempt starts after a quarter second and
    // wins while the IPv6 one still waits.
    DualName name(0);
    SKIP_WITHOUT_IPV6(name.v6);
    ASSERT_TRUE(name.v6.stall());
    TCorsock sock(nullptr);
    Attempts attempts;
    attempts.Watch(sock);
    int resolved = 0, connected = 0;
    sock.OnHostResolved = [&](TComponent*) { ++resolved; };
    sock.OnConnect = [&](TComponent*) { ++connected; };
    sock.Host = "dual.test";
    sock.Port = name.v4.port;
    sock.TimeOut = 10000;
    auto start = std::chrono::steady_clock::now();
    sock.Connect();
    auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("connected over IPv4 after %.3f s\n", took); // for the log, not judged
    EXPECT_TRUE(sock.Connected);
    EXPECT_EQ(sock.GetRemoteIP(), "127.0.0.1");
    EXPECT_EQ(sock.LocalName().text(), "127.0.0.1");
    EXPECT_EQ(resolved, 1);
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(attempts.lines,
              (std::vector<std::string>{"Connecting to ::1", "Connecting to 127.0.0.1"}));
    EXPECT_EQ(Texts(sock.RemoteAddresses), (std::vector<std::string>{"::1", "127.0.0.1"}));
    // The connection is this component's socket, whole: data goes through.
    int peer = name.v4.accept();
    ASSERT_GE(peer, 0);
    ASSERT_EQ(::write(peer, "hello\r\n", 7), 7);
    EXPECT_EQ(sock.ReadLn(), "hello\r\n");
    ::close(peer);
}

TEST(CsockIpv6, BothFamiliesARefusedIpv6AddressGoesOnToIpv4AtOnce) {
    // Nothing listens on the IPv6 side: refused at once, and the next address is tried
    // without waiting for the attempt delay.
    LoopbackListener probe(true);
    SKIP_WITHOUT_IPV6(probe);
    LoopbackListener v4(false);
    AddressesResolver resolver({Address("::1"), Address("127.0.0.1")});
    TCorsock sock(nullptr);
    Attempts attempts;
    attempts.Watch(sock);
    sock.Host = "dual.test";
    sock.Port = v4.port;
    sock.Connect();
    EXPECT_EQ(sock.GetRemoteIP(), "127.0.0.1");
    EXPECT_EQ(attempts.lines.size(), 2u);
}

TEST(CsockIpv6, BothFamiliesTheFirstThatAnswersIsKept) {
    DualName name;
    SKIP_WITHOUT_IPV6(name.v6);
    TCorsock sock(nullptr);
    sock.Host = "dual.test";
    sock.Port = name.v4.port;
    sock.Connect();
    EXPECT_EQ(sock.GetRemoteIP(), "::1");
    EXPECT_TRUE(sock.LocalName().is_v6());
    int peer = name.v6.accept();
    ASSERT_GE(peer, 0);
    sock.Write("ping\r\n");
    char buffer[16] = {};
    EXPECT_EQ(::read(peer, buffer, sizeof buffer), 6);
    ::close(peer);
}

TEST(CsockIpv6, BothFamiliesEveryAddressFailingFailsOnceAndLeavesTheComponentUsable) {
    LoopbackListener probe(true);
    SKIP_WITHOUT_IPV6(probe);
    AddressesResolver resolver(
        {Address("::1"), Address("127.0.0.1"), Address("::1"), Address("127.0.0.1")});
    TCorsock sock(nullptr);
    Attempts attempts;
    attempts.Watch(sock);
    int failed = 0, connected = 0;
    sock.OnConnectionFailed = [&](TComponent*) { ++failed; };
    sock.OnConnect = [&](TComponent*) { ++connected; };
    sock.Host = "dual.test";
    sock.Port = ClosedPort();
    EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "Connection Failed");
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(attempts.lines.size(), 4u);
    EXPECT_FALSE(sock.Connected);
    RawListener v4;
    sock.Host = "127.0.0.1";
    sock.Port = v4.port;
    sock.Connect();
    EXPECT_TRUE(sock.Connected);
}

TEST(CsockIpv6, BothFamiliesTheTimeOutCoversAllAttemptsTogether) {
    // Neither family answers: one time-out for the whole connect, not one per attempt.
    LoopbackListener v4(false, 0, 0);
    ASSERT_TRUE(v4.ok && v4.stall());
    LoopbackListener v6(true, v4.port, 0);
    SKIP_WITHOUT_IPV6(v6);
    ASSERT_TRUE(v6.stall());
    AddressesResolver resolver({Address("::1"), Address("127.0.0.1")});
    TCorsock sock(nullptr);
    int failed = 0;
    sock.OnConnectionFailed = [&](TComponent*) { ++failed; };
    sock.Host = "dual.test";
    sock.Port = v4.port;
    sock.TimeOut = 600;
    EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "Connection Timed out");
    EXPECT_EQ(failed, 1);
    EXPECT_TRUE(sock.TimedOut);
}

TEST(CsockIpv6, BothFamiliesCancelEndsEveryAttempt) {
    LoopbackListener v4(false, 0, 0);
    ASSERT_TRUE(v4.ok && v4.stall());
    LoopbackListener v6(true, v4.port, 0);
    SKIP_WITHOUT_IPV6(v6);
    ASSERT_TRUE(v6.stall());
    AddressesResolver resolver({Address("::1"), Address("127.0.0.1")});
    TCorsock sock(nullptr);
    Attempts attempts;
    attempts.Watch(sock);
    sock.OnStatus = [&](TComponent*, const std::string& text) {
        if (text == "Connecting to 127.0.0.1")
            sock.Cancel(); // the user's Stop while both attempts wait
    };
    sock.Host = "dual.test";
    sock.Port = v4.port;
    EXPECT_EQ(MessageOf([&] { sock.Connect(); }), "Connection Canceled");
    EXPECT_FALSE(sock.Connected);
}

} // namespace
} // namespace kestrel
