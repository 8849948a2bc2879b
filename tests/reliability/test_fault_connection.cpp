// A server that ends the session or a transfer at the wrong moment, or goes silent: the
// operation ends with the server's line or a clear error, never hangs, never reports
// success, and the control connection is either still usable or cleanly closed.
#include "fault_util.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;
using Lines = std::vector<std::string>;

namespace {

// The operation's outcome as one text: "ok", or the exception's message.
template <typename F> std::string Outcome(F f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.what();
    }
    return "ok";
}

bool NoSuccess(const Recorder& rec) {
    return rec.Only("success:").empty();
}

// Turns the message dispatch until the server's close has reached the client.
bool ClosedByServer(TVaneFTP& ftp) {
    for (auto start = Clock::now(); ftp.Connected && SecondsSince(start) < 5;)
        platform::wait_step();
    return !ftp.Connected;
}

// How a data connection ended, seen from the server: the bytes it carried and "eof" for a
// graceful close, "reset" for a reset.
struct DataEnd {
    std::size_t bytes = 0;
    std::string how;
};

// Plays the server's side of the data connection with a plain socket, so that a reset
// can be told from a graceful close.
DataEnd ReceiveData(const std::pair<std::string, int>& address) {
    DataEnd end;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(std::uint16_t(address.second));
    ::inet_pton(AF_INET, address.first.c_str(), &to.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        end.how = "refused";
        return end;
    }
    char buffer[65536];
    for (;;) {
        ::usleep(2000); // a slow reader, so that the stop comes mid-file
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            end.bytes += std::size_t(n);
            continue;
        }
        end.how = n == 0 ? "eof" : errno == ECONNRESET ? "reset" : "timeout";
        break;
    }
    ::close(fd);
    return end;
}

} // namespace

// 421 right after the log-in, during an upload and during a listing: each operation ends
// with that line and the connection is closed.
TEST(FaultConnection, ServiceClosingAtEveryStage) {
    TempDir dir;
    RandomFile(dir / "big", 8 << 20, 5);
    ScriptedFtpServer server(
        [](Session& s) {
            Greet(s);
            if (s.index() == 0) {
                s.reply("421 Service not available, closing control connection");
            } else if (s.index() == 1) {
                PortAnd150(s, "STOR big");
                s.connect_data();
                s.sleep(50);
                s.reply("421 Timeout, closing");
                s.data_reset();
            } else {
                PortAnd150(s, "LIST");
                s.connect_data();
                s.data_send("-rw-r--r-- 1 a a 5 Jan 1 2024 one.htm\r\n");
                s.sleep(50);
                s.reply("421 Shutting down");
                s.data_close();
            }
            s.sleep(100);
            s.close();
        },
        ScriptedServerOptions{3, 10000ms});
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    EXPECT_EQ(Outcome([&] { ftp->DoCommand("NOOP"); }),
              "421 Service not available, closing control connection\r\n");
    EXPECT_TRUE(NoSuccess(rec));

    // The server's close ends the session on the client's side too.
    EXPECT_TRUE(ClosedByServer(*ftp));

    ftp->Connect();
    rec.log.clear();
    auto start = Clock::now();
    std::string upload = Outcome([&] { ftp->Upload((dir / "big").string(), "big"); });
    EXPECT_NE(upload, "ok");
    EXPECT_TRUE(upload == "421 Timeout, closing\r\n" || upload.find("reset") != std::string::npos ||
                upload == "Connection closed by peer")
        << upload;
    EXPECT_LT(SecondsSince(start), 5.0);
    EXPECT_TRUE(NoSuccess(rec));
    EXPECT_EQ(ftp->FDataSocket, nullptr);
    EXPECT_TRUE(ClosedByServer(*ftp));

    ftp->Connect();
    rec.log.clear();
    EXPECT_EQ(Outcome([&] { ftp->List(); }), "421 Shutting down\r\n");
    EXPECT_TRUE(NoSuccess(rec));
    EXPECT_TRUE(ClosedByServer(*ftp));
    ASSERT_TRUE(server.wait_sessions(3));
}

// The server closes the control connection without a word: during an upload, during a
// listing, and while the client is idle.
TEST(FaultConnection, ControlConnectionClosedDuringTransfersAndWhileIdle) {
    TempDir dir;
    RandomFile(dir / "f", 300000, 6);
    ScriptedFtpServer server(
        [](Session& s) {
            Greet(s);
            if (s.index() == 0) {
                PortAnd150(s, "STOR f");
                s.connect_data();
                s.close();
                s.data_recv_all();
            } else if (s.index() == 1) {
                PortAnd150(s, "LIST");
                s.connect_data();
                s.data_send("-rw-r--r-- 1 a a 5 Jan 1 2024 one.htm\r\n");
                s.close();
                s.sleep(50);
                s.data_close();
            } else {
                s.sleep(100);
                s.close();
            }
        },
        ScriptedServerOptions{3, 10000ms});
    Recorder rec;
    auto ftp = MakeClient(rec, server.port());
    int disconnects = 0;
    static_cast<TCorsock&>(*ftp).OnDisconnect = [&](TComponent*) { ++disconnects; };

    ftp->Connect();
    rec.log.clear();
    EXPECT_EQ(Outcome([&] { ftp->Upload((dir / "f").string(), "f"); }),
              "Connection closed by peer");
    EXPECT_TRUE(NoSuccess(rec));
    EXPECT_FALSE(ftp->Connected);

    ftp->Connect();
    rec.log.clear();
    EXPECT_EQ(Outcome([&] { ftp->List(); }), "Connection closed by peer");
    EXPECT_TRUE(NoSuccess(rec));
    EXPECT_FALSE(ftp->Connected);

    ftp->Connect();
    disconnects = 0;
    EXPECT_TRUE(ClosedByServer(*ftp));
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(Outcome([&] { ftp->DoCommand("NOOP"); }), "Not Connected");
    ASSERT_TRUE(server.wait_sessions(3));
}

// The server closes or resets the data connection before the file is through.
TEST(FaultConnection, DataConnectionEndedEarlyDuringAnUploadAndADownload) {
    TempDir dir;
    RandomFile(dir / "big", 16 << 20, 7);
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        for (bool reset : {false, true}) {
            PortAnd150(s, "STOR big");
            s.connect_data();
            s.sleep(30);
            if (reset)
                s.data_reset();
            else
                s.data_close();
            s.reply("426 Connection closed; transfer aborted");
        }
        // A download cut short with a graceful close and a failing completion reply.
        PortAnd150(s, "RETR f", "150 opening (100000 bytes)");
        s.connect_data();
        s.data_send(std::string(1000, 'd'));
        s.data_close();
        s.reply("451 read error");
        s.expect("NOOP");
        s.reply("200 ok");
        Bye(s);
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    for (int round = 0; round < 2; ++round) {
        rec.log.clear();
        auto start = Clock::now();
        std::string outcome = Outcome([&] { ftp->Upload((dir / "big").string(), "big"); });
        EXPECT_NE(outcome, "ok");
        EXPECT_TRUE(outcome == "426 Connection closed; transfer aborted\r\n" ||
                    outcome == "Connection closed by peer" ||
                    outcome.find("reset") != std::string::npos)
            << outcome;
        EXPECT_LT(SecondsSince(start), 5.0);
        EXPECT_TRUE(NoSuccess(rec));
        EXPECT_EQ(ftp->FDataSocket, nullptr);
        EXPECT_TRUE(ftp->Connected);
    }
    rec.log.clear();
    EXPECT_EQ(Outcome([&] { ftp->Download("f", (dir / "f").string()); }), "451 read error\r\n");
    EXPECT_TRUE(NoSuccess(rec));
    EXPECT_EQ(ReadFileBytes(dir / "f"), std::string(1000, 'd')) << "the partial file stays";
    ftp->DoCommand("NOOP");
    EXPECT_EQ(ftp->LastReply, "200 ok\r\n");
    ftp->Disconnect();
    ASSERT_TRUE(server.wait_sessions(1));
}

// 150 and then nothing, and a completion reply that never comes: the user's Stop ends
// the wait, nothing is reported as done, and the session goes on.
TEST(FaultConnection, StopEndsASilentServer) {
    TempDir dir;
    RandomFile(dir / "f", 20000, 8);
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        PortAnd150(s, "STOR f"); // and the data connection never comes
        s.expect("NOOP");
        s.reply("200 ok");
        PortAnd150(s, "STOR f");
        s.connect_data();
        s.data_recv_all(); // and the completion reply never comes
        s.expect("NOOP");
        s.reply("200 ok");
        PortAnd150(s, "LIST"); // a listing whose data never ends
        s.connect_data();
        s.data_send("-rw-r--r-- 1 a a 5 Jan 1 2024 one.htm\r\n");
        s.data_recv_all(); // until the client gives up the data connection
        s.reply("426 aborted");
        s.expect("NOOP");
        s.reply("200 ok");
        Bye(s);
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    const std::string f = (dir / "f").string();
    for (int round = 0; round < 3; ++round) {
        rec.log.clear();
        StopAfter stop(*ftp, 300);
        auto start = Clock::now();
        std::string outcome = Outcome([&] { round < 2 ? ftp->Upload(f, "f") : ftp->List(); });
        EXPECT_TRUE(stop.Fired());
        EXPECT_NE(outcome, "ok");
        EXPECT_TRUE(outcome.find("aborted") != std::string::npos || outcome == "Accepting Canceled")
            << outcome;
        EXPECT_LT(SecondsSince(start), 3.0);
        EXPECT_TRUE(NoSuccess(rec));
        EXPECT_EQ(ftp->FDataSocket, nullptr);
        ASSERT_TRUE(ftp->Connected);
        ftp->DoCommand("NOOP");
        EXPECT_EQ(ftp->LastReply, "200 ok\r\n") << "round " << round;
    }
    ftp->Disconnect();
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_TRUE(server.failures().empty()) << server.failures().front();
}

// A stopped upload ends its data connection with a reset, so that a server cannot take
// the shortened file for the whole one; a finished upload still ends gracefully.
TEST(FaultConnection, StoppedUploadResetsItsDataConnection) {
    TempDir dir;
    RandomFile(dir / "big", 32 << 20, 12);
    RandomFile(dir / "small", 100000, 13);
    DataEnd stopped, finished;
    ScriptedFtpServer server([&](Session& s) {
        Greet(s);
        PortAnd150(s, "STOR big");
        stopped = ReceiveData(*s.port_address());
        s.reply("426 transfer aborted");
        PortAnd150(s, "STOR small");
        finished = ReceiveData(*s.port_address());
        s.reply("226 done");
        Bye(s);
    });
    Recorder rec;
    auto ftp = MakeClient(rec, server.port());
    int packets = 0;
    ftp->OnPacketSent = [&](TComponent*) {
        if (++packets == 8)
            ftp->Abort();
    };
    ftp->Connect();
    rec.log.clear();
    EXPECT_EQ(MessageOf<EAbortError>([&] { ftp->Upload((dir / "big").string(), "big"); }),
              "Socket send aborted");
    EXPECT_TRUE(NoSuccess(rec));
    ftp->OnPacketSent = nullptr;
    ftp->Upload((dir / "small").string(), "small");
    EXPECT_TRUE(rec.Has("success:Upload"));
    ftp->Disconnect();
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_TRUE(server.failures().empty()) << server.failures().front();
    EXPECT_EQ(stopped.how, "reset");
    EXPECT_LT(stopped.bytes, std::size_t(32) << 20);
    EXPECT_EQ(finished.how, "eof");
    EXPECT_EQ(finished.bytes, 100000u);
}
