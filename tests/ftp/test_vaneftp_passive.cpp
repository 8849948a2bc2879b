// Passive data connections against the scripted server: the exact lines, the order
// (connect before the transfer command), the fall-back from EPSV to PASV, the address of
// a PASV reply that is never trusted, and the ways the connect can fail.
#include "net/ftp/ftppassive.h"
#include "support/fixtures.h"
#include "test_vaneftp_util.h"

#include <gtest/gtest.h>

#include <thread>

using namespace kestrel;
using namespace kestrel::test;
using Lines = std::vector<std::string>;

namespace {

std::unique_ptr<TVaneFTP> PassiveClient(Recorder& rec, int port, bool withFailure = true) {
    auto ftp = MakeClient(rec, port, withFailure);
    ftp->DataMode = TDataMode::Passive;
    return ftp;
}

// The server's side of a data command in passive mode: the client must have connected
// before it sends the command.
void ConnectedBefore(Session& s, const std::string& command) {
    s.expect(command);
    if (!s.data_pending())
        s.fail("'" + command + "' came before the data connection");
    s.accept_data();
}

} // namespace

TEST(VaneFtpPassive, UploadConnectsBeforeTheCommand) {
    TempDir dir;
    RandomFile(dir / "index.htm", 40000, 7);
    std::string body;
    int port = 0;
    ScriptedFtpServer server([&](Session& s) {
        Greet(s);
        s.expect("EPSV");
        port = s.passive_listen();
        s.reply("229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
        ConnectedBefore(s, "STOR index.htm");
        s.reply("150 go");
        body = s.data_recv_all();
        s.reply("226 done");
        Bye(s);
    });
    Recorder rec;
    auto ftp = PassiveClient(rec, server.port());
    ftp->OnPacketSent = [&](TComponent* sender) {
        rec.log.push_back("sent");
        EXPECT_EQ(sender, ftp->FDataSocket);
        EXPECT_EQ(ftp->BytesTotal, 40000);
    };
    ftp->Connect();
    rec.log.clear();
    ftp->Upload((dir / "index.htm").string(), "index.htm");
    EXPECT_EQ(ftp->FDataSocket, nullptr);
    EXPECT_EQ(body, RandomBytes(40000, 7));
    Lines expected{"status:EPSV",
                   "status:229 Entering Extended Passive Mode (|||" + std::to_string(port) +
                       "|)\r\n",
                   "status:STOR index.htm",
                   "status:150 go\r\n",
                   "start",
                   "sent",
                   "sent",
                   "sent",
                   "stop",
                   "status:226 done\r\n",
                   "success:Upload"};
    EXPECT_EQ(rec.log, expected);
    ftp->Disconnect();
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_TRUE(server.failures().empty()) << server.failures()[0];
}

TEST(VaneFtpPassive, RestartListingsAndDownloadsConnectFirst) {
    TempDir dir;
    WriteFileBytes(dir / "page.htm", "01234");
    ScriptedFtpServer server([&](Session& s) {
        Greet(s);
        s.expect("EPSV");
        s.reply_epsv();
        s.expect("REST 5");
        s.reply("350 restarting");
        ConnectedBefore(s, "RETR page.htm");
        s.reply("150 go (5 bytes)");
        s.data_send("56789");
        s.data_close();
        s.reply("226 done");
        s.expect("EPSV");
        s.reply_epsv();
        ConnectedBefore(s, "NLST");
        s.reply("150 list");
        s.data_send("a.htm\r\nb.htm\r\n");
        s.data_close();
        s.reply("226 done");
        Bye(s);
    });
    Recorder rec;
    auto ftp = PassiveClient(rec, server.port());
    ftp->Connect();
    ftp->DownloadRestore("page.htm", (dir / "page.htm").string());
    EXPECT_EQ(ReadFileBytes(dir / "page.htm"), "0123456789");
    ftp->Nlist();
    EXPECT_EQ(rec.Only("item:"), (Lines{"a.htm", "b.htm"}));
    EXPECT_EQ(rec.Only("success:"), (Lines{"DownRestore", "NList"}));
    ftp->Disconnect();
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_TRUE(server.failures().empty()) << server.failures()[0];
}

TEST(VaneFtpPassive, DataThatArrivesBeforeThePreliminaryReplyIsKept) {
    TempDir dir;
    // More than the client buffers before the capture begins: the rest waits in the
    // connection and comes together with its close.
    const std::string file = RandomBytes(600000, 3);
    ScriptedFtpServer server([&](Session& s) {
        Greet(s);
        s.expect("EPSV");
        s.reply_epsv();
        ConnectedBefore(s, "RETR big.bin");
        s.data_send(file);
        s.data_close();
        s.sleep(100);
        s.reply("150 go (600000 bytes)");
        s.reply("226 done");
        s.expect("EPSV");
        s.reply_epsv();
        ConnectedBefore(s, "RETR big.bin");
        s.reply("150 go (600000 bytes)");
        s.data_send(file);
        s.data_close();
        s.reply("226 done");
        Bye(s);
    });
    Recorder rec;
    auto ftp = PassiveClient(rec, server.port());
    ftp->Connect();
    ftp->Download("big.bin", (dir / "big.bin").string());
    EXPECT_EQ(ReadFileBytes(dir / "big.bin"), file);
    EXPECT_EQ(ftp->BytesTotal, 600000);
    EXPECT_TRUE(rec.Has("status:Received 600000 Bytes"));

    // A slow progress handler: the close arrives while bytes still wait in the
    // connection; they are counted too.
    ftp->OnPacketRecvd = [&](TComponent*) { std::this_thread::sleep_for(2ms); };
    ftp->Download("big.bin", (dir / "again.bin").string());
    EXPECT_EQ(ReadFileBytes(dir / "again.bin"), file);
    EXPECT_EQ(ftp->BytesTotal, 600000);
    ftp->Disconnect();
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_TRUE(server.failures().empty()) << server.failures()[0];
}

TEST(VaneFtpPassive, RefusedEpsvFallsBackToPasvUntilTheNextLogIn) {
    auto files = std::make_shared<MemoryFiles>();
    files->put("a.htm", "x");
    ScriptedFtpServer server(ScriptedFtpServer::Replies({{"USER", "230 in"},
                                                         {"EPSV", "500 'EPSV': command not "
                                                                  "understood"}},
                                                        files),
                             {.max_sessions = 2});
    Recorder rec;
    auto ftp = PassiveClient(rec, server.port());
    ftp->Connect();
    ftp->Nlist();
    ftp->Nlist();
    ftp->Disconnect();
    ftp->Connect();
    ftp->Nlist();
    ftp->Disconnect();
    ASSERT_TRUE(server.wait_sessions(2));
    EXPECT_EQ(server.received(0),
              (Lines{"USER bob", "EPSV", "PASV", "NLST", "PASV", "NLST", "QUIT"}));
    EXPECT_EQ(server.received(1), (Lines{"USER bob", "EPSV", "PASV", "NLST", "QUIT"}));
    EXPECT_EQ(rec.Only("item:"), (Lines{"a.htm", "a.htm", "a.htm"}));
    // The refusal of EPSV is no failure of the operation.
    EXPECT_FALSE(rec.Has("failure:NList"));
    EXPECT_FALSE(rec.Has("unsupported:NList"));
    EXPECT_TRUE(server.failures().empty());
}

TEST(VaneFtpPassive, AnAddressInThePasvReplyIsNeverConnectedTo) {
    ScriptedFtpServer server([&](Session& s) {
        Greet(s);
        s.expect("EPSV");
        s.reply("502 no EPSV");
        for (int i = 0; i < 2; ++i) {
            s.expect("PASV");
            // A documentation address: the client must connect to 127.0.0.1 anyway.
            s.reply_pasv("192.0.2.7");
            ConnectedBefore(s, "NLST");
            s.reply("150 list");
            s.data_send("a.htm\r\n");
            s.data_close();
            s.reply("226 done");
        }
        Bye(s);
    });
    Recorder rec;
    auto ftp = PassiveClient(rec, server.port());
    ftp->Connect();
    ftp->Nlist();
    ftp->Nlist();
    EXPECT_EQ(rec.Only("item:"), (Lines{"a.htm", "a.htm"}));
    ftp->Disconnect();
    Lines notes;
    for (const std::string& status : rec.Only("status:"))
        if (status.rfind("The server named", 0) == 0)
            notes.push_back(status);
    EXPECT_EQ(notes, (Lines{"The server named 192.0.2.7 for its data connections; connecting "
                            "to 127.0.0.1, the address of the control connection, instead"}));
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_TRUE(server.failures().empty()) << server.failures()[0];
}

TEST(VaneFtpPassive, RefusedOrSilentPortsEndTheOperationAndTheSessionGoesOn) {
    const int closed = Session::closed_port();
    ScriptedFtpServer server([&](Session& s) {
        Greet(s);
        // 1: a port on which nothing listens.
        s.expect("EPSV");
        s.reply("229 Entering Extended Passive Mode (|||" + std::to_string(closed) + "|)");
        s.expect("NOOP");
        s.reply("200 ok");
        // 2 and 3: a listener that never answers the connect.
        for (int i = 0; i < 2; ++i) {
            s.expect("EPSV");
            int port = s.stall_passive();
            s.reply("229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
            s.expect("NOOP");
            s.reply("200 ok");
        }
        Bye(s);
    });
    TempDir dir;
    WriteFileBytes(dir / "a.htm", "a");
    Recorder rec;
    auto ftp = PassiveClient(rec, server.port());
    ftp->Connect();
    auto noop = [&] {
        ftp->DoCommand("NOOP");
        EXPECT_EQ(ftp->LastReply, "200 ok\r\n");
    };

    EXPECT_EQ(MessageOf<ESockError>([&] { ftp->Upload((dir / "a.htm").string(), "a.htm"); }),
              "Data connection to 127.0.0.1 port " + std::to_string(closed) +
                  ": Connection Failed");
    EXPECT_EQ(ftp->FDataSocket, nullptr);
    noop();

    // With a time-out the connect ends after it.
    ftp->TimeOut = 300;
    auto started = Clock::now();
    std::string message = MessageOf<ESockError>([&] { ftp->Nlist(); });
    EXPECT_NE(message.find(": Connection Timed out"), std::string::npos) << message;
    EXPECT_LT(Clock::now() - started, 3s);
    EXPECT_EQ(ftp->FDataSocket, nullptr);
    noop();

    // Without one, Stop ends it.
    ftp->TimeOut = 0;
    TThreadTimer stop(nullptr);
    stop.SetInterval(200);
    stop.SetOnTimer([&](TComponent*) {
        stop.SetEnabled(false);
        ftp->Abort();
    });
    stop.SetEnabled(true);
    message = MessageOf<ESockError>([&] { ftp->Upload((dir / "a.htm").string(), "a.htm"); });
    EXPECT_NE(message.find(": Connection Canceled"), std::string::npos) << message;
    EXPECT_EQ(ftp->FDataSocket, nullptr);
    noop();

    EXPECT_TRUE(rec.Only("success:") == (Lines{"DoCommand", "DoCommand", "DoCommand"}));
    ftp->Disconnect();
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_TRUE(server.failures().empty()) << server.failures()[0];
    // No transfer command was sent for a data connection that did not open.
    for (const std::string& line : server.received())
        EXPECT_TRUE(line.rfind("STOR", 0) != 0 && line.rfind("NLST", 0) != 0) << line;
}

TEST(VaneFtpPassive, RefusedAndMalformedPassiveReplies) {
    ScriptedFtpServer server(
        [&](Session& s) {
            Greet(s);
            if (s.index() == 0) {
                // A transient refusal of EPSV is reported, not answered with PASV.
                s.expect("EPSV");
                s.reply("450 busy");
                // Both refused: OnFailure handles it, then no handler: the PASV line.
                s.expect("EPSV");
                s.reply("502 no");
                s.expect("PASV");
                s.reply("502 no PASV either");
                s.expect("PASV");
                s.reply("502 no PASV either");
            } else {
                s.expect("EPSV");
                s.reply("229 Entering Extended Passive Mode (port 6446)");
                s.expect("EPSV");
                s.reply("502 no");
                s.expect("PASV");
                s.reply("227 Entering Passive Mode");
            }
            Bye(s);
        },
        {.max_sessions = 2});
    Recorder rec;
    auto ftp = PassiveClient(rec, server.port());
    ftp->Connect();
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Nlist(); }), "450 busy\r\n");
    rec.handle = true;
    ftp->List(); // handled: ends quietly
    EXPECT_TRUE(rec.Has("failure:List"));
    EXPECT_FALSE(rec.Has("success:List"));
    ftp->OnFailure = nullptr;
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->List(); }), "502 no PASV either\r\n");
    ftp->Disconnect();

    ftp->Connect();
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Nlist(); }),
              "The server's EPSV reply names no port: 229 Entering Extended Passive Mode (port "
              "6446)");
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Nlist(); }),
              "The server's PASV reply names no address and port: 227 Entering Passive Mode");
    EXPECT_EQ(ftp->FDataSocket, nullptr);
    ftp->Disconnect();
    ASSERT_TRUE(server.wait_sessions(2));
    EXPECT_TRUE(server.failures().empty()) << server.failures()[0];
}

// --- Active mode: a data connection that does not come suggests passive mode ------------

TEST(VaneFtpActiveAdvice, RefusedPortAnd425SuggestPassiveModeOtherRefusalsDoNot) {
    TempDir dir;
    WriteFileBytes(dir / "a.htm", "a");
    ScriptedFtpServer server([&](Session& s) {
        Greet(s);
        s.expect("PORT ");
        s.reply("501 Rejected data connection to foreign address 10.0.0.5:40000.");
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("STOR a.htm");
        s.reply("425 Can't open data connection.");
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("STOR a.htm");
        s.reply("553 Not allowed.");
        Bye(s);
    });
    Recorder rec;
    auto ftp = MakeClient(rec, server.port());
    ftp->Connect();
    const std::string file = (dir / "a.htm").string();
    // The window's handler marks upload refusals handled and shows LastReply.
    rec.handle = true;
    ftp->Upload(file, "a.htm");
    EXPECT_EQ(ftp->LastReply,
              std::string("501 Rejected data connection to foreign address 10.0.0.5:40000.") +
                  kCouldNotConnectBack + "\r\n");
    ftp->OnFailure = nullptr;
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Upload(file, "a.htm"); }),
              std::string("425 Can't open data connection.") + kCouldNotConnectBack + "\r\n");
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Upload(file, "a.htm"); }), "553 Not allowed.\r\n");
    EXPECT_FALSE(rec.Has("success:Upload"));
    ftp->Disconnect();
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_TRUE(server.failures().empty()) << server.failures()[0];
}

TEST(VaneFtpActiveAdvice, NoConnectionWithinTheTimeOut) {
    ScriptedFtpServer server([&](Session& s) {
        Greet(s);
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("NLST");
        s.reply("150 Opening data connection");
        s.sleep(500); // tries to connect back and cannot, then says so late
        s.reply("425 Can't open data connection.");
        s.expect("NOOP");
        s.reply("200 ok");
        Bye(s);
    });
    Recorder rec;
    auto ftp = MakeClient(rec, server.port());
    ftp->Connect();
    ftp->TimeOut = 300;
    auto started = Clock::now();
    EXPECT_EQ(MessageOf<ESockError>([&] { ftp->Nlist(); }),
              std::string("No data connection came from the server within 300 ms") +
                  kCouldNotConnectBack);
    EXPECT_LT(Clock::now() - started, 3s);
    EXPECT_EQ(ftp->FDataSocket, nullptr);
    EXPECT_FALSE(rec.Has("success:NList"));
    // The late 425 does not answer the next command.
    ftp->DoCommand("NOOP");
    EXPECT_EQ(ftp->LastReply, "200 ok\r\n");
    ftp->Disconnect();
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_TRUE(server.failures().empty()) << server.failures()[0];
}
