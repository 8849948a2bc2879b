// The FTP client's data connection, listings and transfers against the scripted
// server: exact lines, the per-operation switches, completion replies, stops and the
// guards around the data connection.
#include "support/fixtures.h"
#include "test_vaneftp_util.h"

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::test;
using Lines = std::vector<std::string>;

TEST(VaneFtpData, PortLineAndStatusSequenceOfOneUpload) {
    TempDir dir;
    RandomFile(dir / "index.htm", 40000, 7);
    std::string portLine, body;
    ScriptedFtpServer server([&](Session& s) {
        Greet(s);
        portLine = s.expect("PORT ");
        s.reply("200 PORT ok");
        s.expect("STOR index.htm");
        s.reply("150 go");
        s.connect_data();
        body = s.data_recv_all();
        s.reply("226 done");
        Bye(s);
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    RecordSends(rec, *ftp, 40000);
    ftp->Upload((dir / "index.htm").string(), "index.htm");
    EXPECT_EQ(ftp->FDataSocket, nullptr);
    EXPECT_EQ(body, RandomBytes(40000, 7));

    // PORT names the control connection's local address and the data port.
    std::string expectedPort;
    {
        // The port came from the line itself; check its form against the address.
        auto comma = portLine.rfind(',');
        auto comma2 = portLine.rfind(',', comma - 1);
        int port =
            std::stoi(portLine.substr(comma2 + 1)) * 256 + std::stoi(portLine.substr(comma + 1));
        EXPECT_GT(port, 0);
        expectedPort =
            "PORT 127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256);
    }
    EXPECT_EQ(portLine, expectedPort);

    EXPECT_EQ(rec.log, IndexUploadEvents({"status:" + portLine, "status:200 PORT ok\r\n"}));
    LogOut(*ftp, server);
}

TEST(VaneFtpData, PortReplyRange) {
    auto files = std::make_shared<MemoryFiles>();
    files->put("a.htm", "x");
    for (const char* reply : {"200 ok", "300 odd", "600 odd", "301 no", "599 no"}) {
        SCOPED_TRACE(reply);
        ScriptedFtpServer server(
            ScriptedFtpServer::Replies({{"USER", "230 in"}, {"PORT", reply}}, files));
        Recorder rec;
        auto ftp = ConnectedClient(rec, server.port(), false);
        bool passes = reply[0] == '2'; // only a completion reply passes PORT
        if (passes) {
            ftp->Nlist();
            EXPECT_EQ(rec.Only("item:"), Lines{"a.htm"});
            EXPECT_TRUE(rec.Has("success:NList"));
        } else {
            EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Nlist(); }),
                      std::string(reply) + kCouldNotConnectBack + "\r\n");
            EXPECT_FALSE(rec.Has("success:NList"));
        }
        EXPECT_EQ(ftp->FDataSocket, nullptr);
        ftp->Disconnect();
    }
}

TEST(VaneFtpData, RefusalsFollowEachOperationsSwitches) {
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        AnswerUntilQuit(s, [&s](const std::string& line) {
            if (line.rfind("PORT", 0) == 0)
                s.reply(s.received().size() == 2 ? "500 PORT refused" : "200 ok");
            else if (line == "NLST")
                s.reply("550 no files");
            else if (line == "LIST")
                s.reply("502 no LIST");
            else if (line.rfind("APPE", 0) == 0)
                s.reply("550 no append");
            else if (line.rfind("REST", 0) == 0)
                s.reply("502 no restart");
            else
                s.reply("553 bad name");
        });
    });
    TempDir dir;
    RandomFile(dir / "f", 10);
    std::string f = (dir / "f").string();
    Recorder rec;
    auto ftp = LogIn(rec, server.port());

    // A handled refusal of PORT ends the operation at once: no command, no success.
    rec.handle = true;
    auto started = Clock::now();
    ftp->Upload(f, "f");
    EXPECT_EQ(rec.Events(), Lines{"failure:Upload"});
    // NLST refused: always the exception, OnFailure is not asked.
    rec.log.clear();
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Nlist(); }), "550 no files\r\n");
    EXPECT_EQ(rec.Events(), Lines{});
    // LIST refused: OnUnSupportedFunction, then OnFailure; handled ends quietly.
    rec.log.clear();
    ftp->List();
    EXPECT_EQ(rec.Events(), (Lines{"unsupported:List", "failure:List"}));
    rec.handle = false;
    rec.log.clear();
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->List(); }), "502 no LIST\r\n");
    EXPECT_EQ(rec.Events(), (Lines{"unsupported:List", "failure:List"}));
    // APPE refused: always the exception.
    rec.log.clear();
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->UploadAppend(f, "f"); }), "550 no append\r\n");
    EXPECT_EQ(rec.Events(), Lines{});
    // A handled refusal of REST ends the restarted download quietly.
    rec.handle = true;
    rec.log.clear();
    ftp->DownloadRestore("f", f);
    EXPECT_EQ(rec.Events(), Lines{"failure:DownRestore"});
    // STOR refused with 553 and a handler that leaves it: the line.
    rec.handle = false;
    rec.log.clear();
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Upload(f, "f"); }), "553 bad name\r\n");
    EXPECT_EQ(rec.Events(), Lines{"failure:Upload"});
    EXPECT_LT(Clock::now() - started, 3s); // no wait for a data connection that never comes
    EXPECT_EQ(ftp->FDataSocket, nullptr);
    ftp->Disconnect();
    ASSERT_TRUE(server.wait_sessions(1));
    Lines got = server.received();
    EXPECT_EQ(std::count(got.begin(), got.end(), "LIST"), 2);
    EXPECT_EQ(std::count(got.begin(), got.end(), "RETR f"), 0);
}

TEST(VaneFtpData, NegativeCompletionFailsTheOperation) {
    TempDir dir;
    RandomFile(dir / "f", 5000);
    std::string f = (dir / "f").string();
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        for (const char* end : {"451 local error", "426 connection closed", "452 no space"}) {
            PortAnd150(s, "STOR f");
            s.connect_data();
            s.data_recv_all();
            s.reply(end);
        }
        PortAnd150(s, "RETR f");
        s.connect_data();
        s.data_send("abc");
        s.data_close();
        s.reply("426 transfer aborted");
        // The unique and appending uploads wait for the real reply, however late.
        for (const char* cmd : {"STOU", "APPE f", "STOU"}) {
            PortAnd150(s, cmd);
            s.connect_data();
            s.data_recv_all();
            s.sleep(400);
            s.reply(std::string(cmd) == "APPE f" ? "552 quota exceeded" : "226 stored as f.1");
        }
        Bye(s);
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Upload(f, "f"); }), "451 local error\r\n");
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Upload(f, "f"); }), "426 connection closed\r\n");
    rec.handle = true;
    ftp->Upload(f, "f");
    EXPECT_EQ(rec.Events(), (Lines{"start", "stop", "failure:Upload", "start", "stop",
                                   "failure:Upload", "start", "stop", "failure:Upload"}));
    rec.handle = false;
    rec.log.clear();
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Download("f", (dir / "g").string()); }),
              "426 transfer aborted\r\n");
    EXPECT_FALSE(rec.Has("success:Download"));
    EXPECT_EQ(ReadFileBytes(dir / "g"), "abc");

    rec.log.clear();
    ftp->UploadUnique(f);
    EXPECT_TRUE(rec.Has("status:226 stored as f.1\r\n"));
    EXPECT_FALSE(rec.Has("status:226 Upload OK"));
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->UploadAppend(f, "f"); }),
              "552 quota exceeded\r\n");
    EXPECT_EQ(ftp->BytesTotal, 5000);
    rec.log.clear();
    ftp->UploadUnique(f);
    EXPECT_EQ(rec.Events(), (Lines{"start", "stop", "success:Upload"}));
    LogOut(*ftp, server);
}

TEST(VaneFtpData, StoppedOperationsNeverReportSuccess) {
    TempDir dir;
    RandomFile(dir / "f", 3000);
    std::string f = (dir / "f").string();
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        // An upload stopped after the data moved: the completion reply is not read.
        PortAnd150(s, "STOR f");
        s.connect_data();
        s.data_recv_all();
        s.reply("226 done");
        // A download stopped while data arrives; the late 426 is drained by Flush.
        PortAnd150(s, "RETR big");
        s.connect_data();
        s.data_send(std::string(20000, 'x'));
        s.sleep(300);
        s.data_close();
        s.reply("426 Connection closed; transfer aborted.");
        s.expect("NOOP");
        s.reply("200 ok");
        Bye(s);
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    ftp->OnTransactionStop = [&](TComponent*) { ftp->Abort(); };
    rec.log.clear();
    EXPECT_EQ(MessageOf<EAbortError>([&] { ftp->Upload(f, "f"); }), "Socket readln aborted");
    EXPECT_FALSE(rec.Has("success:Upload"));
    ftp->OnTransactionStop = nullptr;

    ftp->OnPacketRecvd = [&](TComponent*) { ftp->Abort(); };
    rec.log.clear();
    EXPECT_EQ(MessageOf<EAbortError>([&] { ftp->Download("big", (dir / "big").string()); }),
              "Socket send aborted");
    EXPECT_FALSE(rec.Has("success:Download"));
    EXPECT_EQ(ftp->FDataSocket, nullptr);
    EXPECT_TRUE(std::filesystem::exists(dir / "big"));
    ftp->DoCommand("NOOP");
    EXPECT_EQ(ftp->LastReply, "200 ok\r\n");
    LogOut(*ftp, server);
}

TEST(VaneFtpData, ResetDownloadFailsAndKeepsThePartialFile) {
    TempDir dir;
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        PortAnd150(s, "RETR f");
        s.connect_data();
        s.data_send("partial");
        s.sleep(100);
        s.data_reset();
        s.reply("426 reset");
        Bye(s);
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    EXPECT_EQ(MessageOf<ESockError>([&] { ftp->Download("f", (dir / "f").string()); }),
              "10054:Connection reset by peer");
    EXPECT_FALSE(rec.Has("success:Download"));
    EXPECT_EQ(ReadFileBytes(dir / "f"), "partial");
    EXPECT_EQ(ftp->FDataSocket, nullptr);
    ftp->Disconnect();
}

TEST(VaneFtpData, DataConnectionFromAForeignAddressIsTurnedAway) {
    bool foreignAccepted = true;
    ScriptedFtpServer server([&](Session& s) {
        Greet(s);
        PortAnd150(s, "NLST");
        // Someone else reaches the data port first and tries to inject a listing.
        s.connect_data("127.0.0.2");
        s.data_send("evil.htm\r\n");
        s.sleep(200);
        foreignAccepted = s.data_send("more.htm\r\n") && s.data_send("more.htm\r\n");
        s.data_close();
        s.connect_data();
        s.data_send("index.htm\r\n");
        s.data_close();
        s.reply("226 done");
        Bye(s);
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    ftp->Nlist();
    EXPECT_EQ(rec.Only("item:"), Lines{"index.htm"});
    EXPECT_TRUE(rec.Has("success:NList"));
    LogOut(*ftp, server);
    EXPECT_FALSE(foreignAccepted);
}

// A refusal while the client waits for the data connection ends the wait at once,
// single-line or multi-line, and the exception carries its final line.
TEST(VaneFtpData, RefusalWhileWaitingForTheDataConnectionEndsTheWait) {
    const Lines refusals{"425 Can't open data connection.\r\n",
                         "425-Can't open data connection\r\n to 127.0.0.1\r\n425 Failed.\r\n",
                         "426-Connection closed\r\n426 Transfer aborted.\r\n"};
    ScriptedFtpServer server([&](Session& s) {
        Greet(s);
        for (const std::string& refusal : refusals) {
            PortAnd150(s, "LIST");
            s.send(refusal);
            s.expect("NOOP");
            s.reply("200 ok");
        }
        Bye(s);
    });
    Recorder rec;
    auto ftp = ConnectedClient(rec, server.port());
    // A 425 also says why and what to do about it.
    const Lines messages{std::string("425 Can't open data connection.") + kCouldNotConnectBack +
                             "\r\n",
                         std::string("425-Can't open data connection\r\n425 Failed.") +
                             kCouldNotConnectBack + "\r\n",
                         refusals[2]};
    for (const std::string& message : messages) {
        rec.log.clear();
        auto started = Clock::now();
        EXPECT_EQ(MessageOf<FTPException>([&] { ftp->List(); }), message);
        EXPECT_LT(Clock::now() - started, 2s);
        EXPECT_FALSE(rec.Has("success:List"));
        EXPECT_EQ(ftp->FDataSocket, nullptr);
        ftp->DoCommand("NOOP");
        EXPECT_EQ(ftp->LastReply, "200 ok\r\n");
    }
    LogOut(*ftp, server);
}

TEST(VaneFtpData, DownloadTakesTheAnnouncedSizeAndRestartsAppend) {
    TempDir dir;
    CurrentDirGuard cwd;
    std::filesystem::current_path(dir.path());
    const std::string content = RandomBytes(2048, 3);
    std::vector<std::int64_t> totals;
    ScriptedFtpServer server([&](Session& s) {
        Greet(s);
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("RETR index.htm");
        s.reply("150-Opening BINARY mode data connection");
        s.reply(" for index.htm (2048 bytes)");
        s.reply("150 go");
        s.connect_data();
        s.data_send(content.substr(0, 1000));
        s.sleep(50);
        s.data_send(content.substr(1000));
        s.data_close();
        s.reply("226 done");
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("REST 1000");
        s.reply("350 Restarting at 1000");
        s.expect("RETR index.htm");
        s.reply("150 go");
        s.connect_data();
        s.data_send(content.substr(1000));
        s.data_close();
        s.reply("226 done");
        Bye(s);
    });
    Recorder rec;
    auto ftp = MakeClient(rec, server.port());
    ftp->OnPacketRecvd = [&](TComponent*) { totals.push_back(ftp->BytesTotal); };
    ftp->Connect();
    rec.log.clear();
    ftp->Download("index.htm", ""); // an empty local path takes the remote name
    EXPECT_EQ(ReadFileBytes(dir / "index.htm"), content);
    ASSERT_FALSE(totals.empty());
    EXPECT_EQ(totals.front(), 2048);
    EXPECT_EQ(ftp->BytesTotal, 2048);
    Lines log = rec.log;
    ASSERT_GE(log.size(), 2u);
    log.erase(log.begin(), log.begin() + 1); // the PORT line, checked elsewhere
    EXPECT_EQ(log,
              (Lines{"status:200 ok\r\n", "status:RETR index.htm",
                     "status:150-Opening BINARY mode data connection\r\n",
                     "status: for index.htm (2048 bytes)\r\n", "status:150 go\r\n", "start", "stop",
                     "status:Received 2048 Bytes", "status:226 done\r\n", "success:Download"}));

    WriteFileBytes(dir / "index.htm", content.substr(0, 1000));
    rec.log.clear();
    ftp->DownloadRestore("index.htm", "");
    EXPECT_EQ(ReadFileBytes(dir / "index.htm"), content);
    EXPECT_TRUE(rec.Has("status:REST RETR index.htm"));
    EXPECT_TRUE(rec.Has("success:DownRestore"));
    LogOut(*ftp, server);
}

TEST(VaneFtpData, ListingLinesAndParsing) {
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        s.expect("SYST");
        s.reply("215 UNIX Type: L8");
        PortAnd150(s, "LIST");
        s.connect_data();
        s.data_send("total 2\r\n-rw-r--r--   1 web  users   2048 Jan 15 10:30 index.html\n\r\n"
                    "drwxr-xr-x 2 web users 4096 Feb  1  2023 img");
        s.data_close();
        s.reply("226 done");
        Bye(s);
    });
    Recorder rec;
    auto ftp = MakeClient(rec, server.port());
    ftp->ParseList = true;
    ftp->Connect();
    rec.log.clear();
    ftp->List();
    EXPECT_EQ(ftp->Vendor, vendorUnix);
    EXPECT_EQ(rec.Only("item:"),
              (Lines{"total 2", "-rw-r--r--   1 web  users   2048 Jan 15 10:30 index.html", "",
                     "drwxr-xr-x 2 web users 4096 Feb  1  2023 img"}));
    ASSERT_NE(ftp->FTPDirectoryList, nullptr);
    EXPECT_EQ(ftp->FTPDirectoryList->Names, (Lines{"index.html", "img"}));
    EXPECT_EQ(ftp->FTPDirectoryList->Sizes, (Lines{"2048", "4096"}));
    EXPECT_EQ(ftp->FTPDirectoryList->Dates, (Lines{"Jan 15 10:30", "Feb 1 2023"}));
    EXPECT_EQ(ftp->FTPDirectoryList->Attributes, (Lines{"-rw-r--r--", "drwxr-xr-x"}));
    EXPECT_TRUE(rec.Has("status:Received 0 Bytes"));
    EXPECT_EQ(ftp->BytesTotal, 0);
    ftp->Disconnect();
    EXPECT_EQ(ftp->Vendor, vendorAuto);
    EXPECT_EQ(ftp->FTPDirectoryList, nullptr);
}

TEST(VaneFtpData, BytesTotalFromReplyText) {
    EXPECT_EQ(TVaneFTP::GetBytesTotal(
                  "150 Opening BINARY mode data connection for a.gif (1234 bytes).\r\n"),
              1234);
    EXPECT_EQ(TVaneFTP::GetBytesTotal("226 Transfer complete (1234 bytes)"), 1234);
    EXPECT_EQ(TVaneFTP::GetBytesTotal("150 Opening data connection"), 0);
    EXPECT_EQ(TVaneFTP::GetBytesTotal("150 Opening data connection for a (bytes unknown)"), 150);
    EXPECT_EQ(TVaneFTP::GetBytesTotal("150 for big (6000000000 bytes)"), 6000000000LL);
    EXPECT_EQ(TVaneFTP::GetBytesTotal("150 for huge (99999999999999999999 bytes)"), 0);
}

// The transfer command must open with a preliminary reply, and the final reply of the
// transfer decides: a 1xx there is followed by the real one; no code is an invalid reply.
TEST(VaneFtpData, TransferOutcomeByTheFinalReply) {
    TempDir dir;
    RandomFile(dir / "f", 100);
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("STOR f");
        s.reply("226 stored, though no data came");
        for (const char* end : {"125 still busy\r\n226 done\r\n", "hello\r\n", "125 busy\r\n"}) {
            PortAnd150(s, "RETR f");
            s.connect_data();
            s.data_send("abc");
            s.data_close();
            s.send(end);
        }
        s.close();
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    auto started = Clock::now();
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Upload((dir / "f").string(), "f"); }),
              "226 stored, though no data came\r\n");
    EXPECT_LT(Clock::now() - started, 2s);
    const std::string g = (dir / "g").string();
    ftp->Download("f", g);
    EXPECT_EQ(ftp->LastReply, "226 done\r\n");
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Download("f", g); }),
              "Invalid reply from server: hello");
    EXPECT_EQ(MessageOf<ESockError>([&] { ftp->Download("f", g); }), "Connection closed by peer");
    EXPECT_EQ(rec.Only("success:"), Lines{"Download"});
    ExpectScriptsMet(server);
}

// The stream transfers send and receive memory, never a local file: the bytes of the
// stream from its start, an empty stream as an empty file, and a download appended to
// what the stream holds. A refused transfer raises as the file transfers do.
TEST(VaneFtpData, TransfersFromAndIntoStreams) {
    TempDir dir;
    CurrentDirGuard cwd;
    std::filesystem::current_path(dir.path());
    auto files = std::make_shared<MemoryFiles>();
    const std::string big = RandomBytes(100000, 5);
    files->put("big.bin", big);
    ScriptedFtpServer server(ScriptedFtpServer::Replies({{"USER", "230 in"}}, files));
    Recorder rec;
    auto ftp = LogIn(rec, server.port());

    TMemoryStream source;
    source.WriteString(big);
    source.SetPosition(500); // sent from the start all the same
    ftp->Upload(source, "copy.bin");
    EXPECT_EQ(files->get("copy.bin"), big);
    EXPECT_TRUE(rec.Has("success:Upload"));

    TMemoryStream empty;
    ftp->Upload(empty, "empty.bin");
    EXPECT_EQ(files->get("empty.bin"), "");

    TMemoryStream target;
    target.WriteString("head:");
    ftp->Download("big.bin", target);
    EXPECT_EQ(target.ToString(), "head:" + big);

    TMemoryStream missing;
    EXPECT_THROW(
        {
            ftp->OnFailure = nullptr;
            ftp->Download("missing.bin", missing);
        },
        FTPException);
    EXPECT_EQ(missing.Size(), 0);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "no local file was written";
    LogOut(*ftp, server);
}
