// Transfers that go wrong on either side: a local file that cannot be written or read or
// changes while it is sent, a download shorter than announced, bytes that come with the
// server's close, a stranger at the data port, and a server that closes the session in
// the middle of a transfer. Each ends with a clear outcome, and the next command gets
// its own reply.
#include "fault_util.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

// The server's side of a transfer whose reply about it comes late, after the client
// has given up on its side: the reply must not answer the NOOP that follows.
void LateReplyThenNoop(Session& s, const std::string& reply) {
    s.sleep(300);
    s.reply(reply);
    s.expect("NOOP");
    s.reply("200 ok");
}

// True when a TCP connection to address:port is accepted.
bool Reachable(const std::string& address, int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(std::uint16_t(port));
    ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    bool reached = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    ::close(fd);
    return reached;
}

} // namespace

// A transfer that fails on the local side still takes the server's reply about it.
TEST(FaultTransfers, LocalFailuresStillTakeTheServersReply) {
    TempDir dir;
    const std::string up = (dir / "up.htm").string();
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        for (int download = 0; download < 2; ++download) {
            PortAnd150(s, "RETR f");
            s.connect_data();
            s.data_send(std::string(300000, 'd'));
            s.data_close();
            LateReplyThenNoop(s, "226 done");
        }
        for (int upload = 0; upload < 3; ++upload) {
            PortAnd150(s, "STOR up.htm");
            // The client may reset the data connection before the connect has returned
            // here (a file that vanished is known as soon as the connection stands).
            if (s.try_connect_data())
                s.data_recv_all();
            LateReplyThenNoop(s, "426 transfer aborted");
        }
        Bye(s);
    });
    Recorder rec;
    auto ftp = ConnectedClient(rec, server.port());
    // The file cannot be created; the disk is full.
    for (const std::string& target : {(dir / "none" / "f").string(), std::string("/dev/full")}) {
        rec.log.clear();
        EXPECT_NE(MessageOf<Exception>([&] { ftp->Download("f", target); }), "");
        ftp->DoCommand("NOOP");
        EXPECT_EQ(ftp->LastReply, "200 ok\r\n") << target;
        EXPECT_FALSE(rec.Has("success:Download"));
    }
    // The file vanishes before it is read, shrinks, or grows while it is sent.
    const std::vector<std::function<void()>> changes{[&] { fs::remove(up); },
                                                     [&] { fs::resize_file(up, 1000); },
                                                     [&] { fs::resize_file(up, 3 << 20); }};
    for (std::size_t i = 0; i < changes.size(); ++i) {
        RandomFile(up, 2 << 20, i);
        bool changed = false;
        auto change = [&](TComponent*) {
            if (!std::exchange(changed, true))
                changes[i]();
        };
        (i == 0 ? ftp->OnTransactionStart : ftp->OnPacketSent) = change;
        rec.log.clear();
        std::string message = MessageOf<Exception>([&] { ftp->Upload(up, "up.htm"); });
        EXPECT_NE(message.find(up), std::string::npos) << message;
        EXPECT_FALSE(rec.Has("success:Upload"));
        ftp->OnTransactionStart = nullptr;
        ftp->OnPacketSent = nullptr;
        ftp->DoCommand("NOOP");
        EXPECT_EQ(ftp->LastReply, "200 ok\r\n") << i;
    }
    LogOut(*ftp, server);
}

// A download shorter than the size the server announced fails and names the file; a
// restart that announces the whole file, and a reply without a size, do not.
TEST(FaultTransfers, DownloadShorterThanAnnouncedFails) {
    TempDir dir;
    const std::string f = (dir / "f.htm").string();
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        PortAnd150(s, "RETR f.htm", "150 Opening data connection for f.htm (5000 bytes)");
        s.connect_data();
        s.data_send(std::string(1000, 'a'));
        s.data_close();
        s.reply("226 Transfer complete");
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("REST 1000");
        s.reply("350 restarting");
        s.expect("RETR f.htm");
        s.reply("150 Opening data connection for f.htm (5000 bytes)");
        s.connect_data();
        s.data_send(std::string(4000, 'b'));
        s.data_close();
        s.reply("226 Transfer complete");
        Bye(s);
    });
    Recorder rec;
    auto ftp = ConnectedClient(rec, server.port());
    EXPECT_EQ(MessageOf<Exception>([&] { ftp->Download("f.htm", f); }),
              "The download of " + f + " ended after 1000 of 5000 bytes");
    EXPECT_FALSE(rec.Has("success:Download"));
    ftp->DownloadRestore("f.htm", f);
    EXPECT_TRUE(rec.Has("success:DownRestore"));
    EXPECT_EQ(ReadFileBytes(f), std::string(1000, 'a') + std::string(4000, 'b'));
    ftp->Disconnect();
}

// The tail of a file that arrives together with the server's close is written and
// counted like every other byte. The server sends it and closes while the client is
// busy in its progress handler, so the data and the close are waiting together.
TEST(FaultTransfers, BytesArrivingWithTheCloseAreCounted) {
    TempDir dir;
    const std::string content = RandomBytes(61000, 4);
    std::atomic<bool> busy{false}, tailSent{false};
    ScriptedFtpServer server([&](Session& s) {
        Greet(s);
        PortAnd150(s, "RETR f");
        s.connect_data();
        s.data_send(content.substr(0, 1000));
        for (auto start = Clock::now(); !busy && Clock::now() - start < 5s;)
            s.sleep(1);
        s.data_send(content.substr(1000));
        s.data_close();
        tailSent = true;
        s.reply("226 done");
        Bye(s);
    });
    Recorder rec;
    auto ftp = MakeClient(rec, server.port());
    ftp->OnPacketRecvd = [&](TComponent*) {
        if (busy.exchange(true))
            return;
        for (auto start = Clock::now(); !tailSent && Clock::now() - start < 5s;)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(50ms);
    };
    ftp->Connect();
    ftp->Download("f", (dir / "f").string());
    EXPECT_TRUE(tailSent);
    EXPECT_EQ(ReadFileBytes(dir / "f"), content);
    EXPECT_EQ(ftp->BytesTotal, 61000);
    EXPECT_TRUE(rec.Has("status:Received 61000 Bytes"));
    ftp->Disconnect();
}

// The data port listens only on the address the server reaches us by. A connection to it
// from another address is refused and reported once; the server's refusal ends the wait.
TEST(FaultTransfers, DataPortIsForTheServerOnly) {
    bool reachableElsewhere = true;
    ScriptedFtpServer server([&](Session& s) {
        Greet(s);
        PortAnd150(s, "NLST");
        reachableElsewhere = Reachable("127.0.0.2", s.port_address()->second);
        for (int knock = 0; knock < 2; ++knock) {
            s.connect_data("127.0.0.2");
            s.data_close();
        }
        s.sleep(200);
        s.reply("425 No data connection");
        Bye(s);
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Nlist(); }),
              "425 No data connection (the server could not connect back; try passive mode in "
              "the settings)\r\n");
    EXPECT_FALSE(reachableElsewhere);
    Lines refused;
    for (const std::string& status : rec.Only("status:"))
        if (status.find("127.0.0.2") != std::string::npos)
            refused.push_back(status);
    EXPECT_EQ(refused, Lines{"Refused a data connection from 127.0.0.2, which is not the server"});
    LogOut(*ftp, server);
}

// A 421 that comes while a transfer waits on its data connection ends the transfer at
// once with that line, though the server leaves the data connection open.
TEST(FaultTransfers, ServiceClosingDuringATransferEndsItAtOnce) {
    TempDir dir;
    RandomFile(dir / "up", 64 << 20, 2);
    ScriptedFtpServer server(
        [](Session& s) {
            Greet(s);
            if (s.index() == 0) {
                PortAnd150(s, "RETR f");
                s.connect_data();
                s.data_send("some bytes");
            } else {
                PortAnd150(s, "STOR up"); // and the data is never read
                s.connect_data();
            }
            s.sleep(100);
            s.reply("421 Timeout, closing");
            s.read_line(); // the client's QUIT, or 3 s
        },
        ScriptedServerOptions{2, 3000ms});
    Recorder rec;
    auto ftp = MakeClient(rec, server.port());
    for (int round = 0; round < 2; ++round) {
        ftp->Connect();
        rec.log.clear();
        auto start = Clock::now();
        std::string message = MessageOf<FTPException>([&] {
            round == 0 ? ftp->Download("f", (dir / "f").string())
                       : ftp->Upload((dir / "up").string(), "up");
        });
        EXPECT_EQ(message, "421 Timeout, closing\r\n") << round;
        EXPECT_LT(SecondsSince(start), 2.0);
        EXPECT_TRUE(rec.Only("success:").empty());
        EXPECT_EQ(ftp->FDataSocket, nullptr);
        ftp.reset();
        ftp = MakeClient(rec, server.port());
    }
    server.stop();
}

// A listing line that never ends while the server keeps the data connection open is
// refused at the line length limit, as on the control connection: no wait without end.
TEST(FaultTransfers, ListingLineWithoutAnEndIsRefusedAtTheLimit) {
    ScriptedFtpServer server(
        [](Session& s) {
            Greet(s);
            PortAnd150(s, "LIST");
            s.connect_data();
            s.data_send(std::string(std::size_t(kMaxLineLength) + 40000, 'x'));
            s.data_recv_all(); // until the client gives up on the data connection
            s.reply("426 Connection closed; transfer aborted");
            s.read_line(); // the client's QUIT
        },
        ScriptedServerOptions{1, 3000ms});
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    EXPECT_EQ(MessageOf<ESockError>([&] { ftp->List(); }), "Reply line too long");
    EXPECT_EQ(ftp->FDataSocket, nullptr);
    EXPECT_TRUE(rec.Only("item:").empty());
    ftp.reset();
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_TRUE(server.failures().empty()) << server.failures().front();
}
