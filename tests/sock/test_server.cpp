// The general server component: clients are served one component each, on the one
// thread, and freed when served.
#include "net/sock/server.h"
#include "sock_test_util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

// Answers one line with "echo: " and the line, then ends.
class EchoServer : public TVaneGeneralServer {
public:
    using TVaneGeneralServer::TVaneGeneralServer;
    static inline int served = 0;

protected:
    TVaneGeneralServer* NewClient() override { return new EchoServer(this); }
    void Serve() override {
        std::string line = ReadLn();
        Write("echo: " + line);
        ++served;
    }
};

// A client in another thread with blocking sockets: a client component on this thread
// would wait nested inside the server's own wait.
class RawClient {
public:
    RawClient(int port, std::string line) {
        thread_ = std::thread([this, port, line] {
            int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(std::uint16_t(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
                if (!line.empty())
                    ::send(fd, line.data(), line.size(), 0);
                char buffer[256];
                long n;
                while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
                    reply_.append(buffer, std::size_t(n));
            }
            ::close(fd);
            done_ = true;
        });
    }
    ~RawClient() { thread_.join(); }
    bool Done() const { return done_; }
    const std::string& Reply() const { return reply_; }

private:
    std::string reply_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

int PortOf(TCorsock& socket) {
    std::uint16_t port = 0;
    platform::sock_local_name(socket.SocketHandle, nullptr, &port);
    return ntohs(port);
}

} // namespace

TEST(GeneralServerTest, ServesEachClientWithItsOwnComponentAndFreesIt) {
    EchoServer server(nullptr);
    server.Port = 0;
    int contacts = 0;
    server.OnClientContact = [&](TComponent* sender) {
        EXPECT_EQ(sender, &server);
        ++contacts;
    };
    server.Loaded();
    int port = PortOf(server);
    ASSERT_GT(port, 0);

    for (int round = 1; round <= 2; ++round) {
        int servedBefore = EchoServer::served;
        RawClient client(port, "hello " + std::to_string(round) + "\r\n");
        platform::wait_until([&] { return EchoServer::served > servedBefore; });
        PumpFor(std::chrono::milliseconds(20));
        EXPECT_EQ(contacts, round);
        EXPECT_TRUE(server.Clients().empty()) << "a served client is freed, closing its socket";
        platform::wait_until([&] { return client.Done(); });
        EXPECT_EQ(client.Reply(), "echo: hello " + std::to_string(round) + "\r\n");
    }
    // A server never connects anywhere.
    server.Host = "127.0.0.1";
    server.Connect();
    EXPECT_FALSE(server.Connected);
}

TEST(GeneralServerTest, AbortCancelsTheClientsBeingServed) {
    EchoServer server(nullptr);
    server.Port = 0;
    server.Loaded();
    // The client sends nothing, so its server component waits in ReadLn, nested in this
    // thread's dispatch; the abort arrives the way a user's would, from an event.
    int before = EchoServer::served;
    std::size_t clientsAtAbort = 0;
    TThreadTimer timer(nullptr);
    timer.SetInterval(100);
    timer.SetOnTimer([&](TComponent*) {
        timer.SetEnabled(false);
        clientsAtAbort = server.Clients().size();
        server.Abort();
    });
    RawClient client(PortOf(server), "");
    platform::wait_until([&] { return client.Done(); });
    EXPECT_EQ(clientsAtAbort, 1u);
    EXPECT_TRUE(server.Clients().empty());
    EXPECT_EQ(EchoServer::served, before) << "an aborted client does not finish serving";
}
