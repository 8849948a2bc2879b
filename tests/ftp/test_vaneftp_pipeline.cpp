// Commands sent together: every command leaves before the first reply is read, and the
// replies are matched to their commands in order, whether the server answers them in one
// packet or one by one; a refusal in the middle of a batch belongs to its own command; the
// probe tells a server that answers commands sent together from one that reads one command
// per packet, and leaves the session in step either way.
#include "support/fixtures.h"
#include "test_vaneftp_util.h"

using namespace kestrel;
using namespace kestrel::test;

namespace {

using Lines = std::vector<std::string>;

// The server waits for every line of a batch before it answers: a client that waited for a
// reply before sending the next command would meet the server's limit instead.
ScriptedServerOptions Strict() {
    ScriptedServerOptions options;
    options.timeout = std::chrono::milliseconds(3000);
    return options;
}

void ExpectLines(Session& s, const Lines& lines) {
    for (const std::string& line : lines)
        s.expect(line);
}

std::vector<int> Codes(const std::vector<FtpReply>& replies) {
    std::vector<int> codes;
    for (const FtpReply& reply : replies)
        codes.push_back(reply.code);
    return codes;
}

} // namespace

TEST(VaneFtpPipeline, RepliesInOnePacketAreMatchedToTheirCommandsInOrder) {
    ScriptedFtpServer server(
        [](Session& s) {
            Greet(s);
            ExpectLines(s, {"MKD /site/a", "MKD /site/b", "MKD /site/c"});
            s.send("257 \"/site/a\" created\r\n550 /site/b: exists\r\n257 \"/site/c\" created\r\n");
            s.expect("PWD"); // the session is in step afterwards
            s.reply("257 \"/site\"");
            Bye(s);
        },
        Strict());
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    std::vector<FtpReply> replies = ftp->Pipeline({"MKD /site/a", "MKD /site/b", "MKD /site/c"});
    EXPECT_EQ(Codes(replies), (std::vector<int>{257, 550, 257}));
    // The refusal in the middle names its own folder, not a neighbour's.
    EXPECT_EQ(replies[1].Text(), "550 /site/b: exists\r\n");
    EXPECT_EQ(replies[2].First(), "257 \"/site/c\" created\r\n");
    EXPECT_EQ(ftp->GetCurrentDir(), "/site");
    LogOut(*ftp, server);
}

TEST(VaneFtpPipeline, MultiLineAndPreliminaryRepliesAnsweredOneByOne) {
    ScriptedFtpServer server(
        [](Session& s) {
            Greet(s);
            ExpectLines(s, {"FEAT", "SITE WAIT", "NOOP"});
            s.reply("211-Features:");
            s.reply(" MLST type*;size*;");
            s.reply("211 End");
            s.reply("150 hold on");
            s.reply("200 done waiting");
            s.reply("200 ok");
            Bye(s);
        },
        Strict());
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    std::vector<FtpReply> replies = ftp->Pipeline({"FEAT", "SITE WAIT", "NOOP"});
    ASSERT_EQ(Codes(replies), (std::vector<int>{211, 200, 200}));
    EXPECT_EQ(replies[0].lines.size(), 3u);
    EXPECT_EQ(replies[1].First(), "200 done waiting\r\n");
    EXPECT_EQ(replies[2].First(), "200 ok\r\n");
    LogOut(*ftp, server);
}

TEST(VaneFtpPipeline, PasswordIsNeverShownAndBadTextSendsNothing) {
    ScriptedFtpServer server(
        [](Session& s) {
            s.reply("220 ready");
            ExpectLines(s, {"USER bob", "PASS pw", "TYPE I"});
            s.send("331 password please\r\n230 in\r\n200 binary\r\n");
            Bye(s);
        },
        Strict());
    Recorder rec;
    auto ftp = MakeClient(rec, server.port());
    ftp->TCorsock::Connect(); // the socket only: the log-in is the batch
    EXPECT_EQ(ftp->ReadLn(), "220 ready\r\n");
    EXPECT_EQ(MessageOf<FTPException>([&] {
                  ftp->Pipeline({"NOOP", "DELE a\r\nRMD /"});
              }),
              "Invalid character in command");
    std::vector<FtpReply> replies = ftp->Pipeline({"USER bob", "PASS pw", "TYPE I"});
    EXPECT_EQ(Codes(replies), (std::vector<int>{331, 230, 200}));
    Lines shown = rec.Only("status:PASS");
    EXPECT_EQ(shown, Lines{" "});
    LogOut(*ftp, server);
}

TEST(VaneFtpPipeline, ConnectionClosedInTheMiddleOfABatchRaises) {
    ScriptedFtpServer server(
        [](Session& s) {
            Greet(s);
            ExpectLines(s, {"DELE a", "DELE b"});
            s.reply("250 a deleted");
            s.close();
        },
        Strict());
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    EXPECT_ANY_THROW(ftp->Pipeline({"DELE a", "DELE b"}));
    EXPECT_TRUE(server.wait_sessions(1));
    EXPECT_TRUE(server.failures().empty());
}

TEST(VaneFtpPipeline, ProbeTellsAServerThatAnswersBothFromOneThatReadsOneCommandPerPacket) {
    for (bool copes : {true, false}) {
        ScriptedFtpServer server([copes](Session& s) {
            Greet(s);
            s.expect("NOOP");
            s.reply("200 first");
            s.expect("NOOP");
            if (copes)
                s.reply("200 second");
            // else: read and dropped, as a server that reads one command per packet does
            s.expect("PWD");
            s.reply("257 \"/home\"");
            Bye(s);
        });
        Recorder rec;
        auto ftp = LogIn(rec, server.port());
        EXPECT_EQ(ftp->ProbePipelining(), copes);
        // In step either way: the next command gets its own reply.
        EXPECT_EQ(ftp->GetCurrentDir(), "/home") << copes;
        LogOut(*ftp, server);
    }
}

TEST(VaneFtpPipeline, ProbeOfAServerThatKnowsNoNoopButAnswersBothLeavesTheSessionInStep) {
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        s.expect("NOOP");
        s.reply("502 no NOOP here");
        s.expect("NOOP");
        s.reply("502 no NOOP here");
        s.expect("PWD");
        s.reply("257 \"/home\"");
        Bye(s);
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    EXPECT_TRUE(ftp->ProbePipelining());
    EXPECT_EQ(ftp->GetCurrentDir(), "/home");
    LogOut(*ftp, server);
}

TEST(VaneFtpPipeline, ProbeSaysNoWhenTheServerReadsBothLinesAsOneCommand) {
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        s.expect("NOOP");
        s.read_line();
        s.reply("500 Syntax error");
        Bye(s);
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    EXPECT_FALSE(ftp->ProbePipelining());
    LogOut(*ftp, server);
}

// --- The transfer command sent with its EPSV ------------------------------------------------

namespace {

// A listing of /site answered once the data connection is open: 150, one fact line, 226.
void ServeListing(Session& s) {
    s.accept_data();
    s.reply("150 listing");
    s.data_send("type=file;size=1; a.htm\r\n");
    s.data_close();
    s.reply("226 done");
}

} // namespace

TEST(VaneFtpPipelinedPassive, ListingCommandGoesWithItsEpsvEveryTime) {
    ScriptedFtpServer server(
        [](Session& s) {
            Greet(s);
            for (int i = 0; i < 2; ++i) {
                ExpectLines(s, {"EPSV", "MLSD /site"}); // both before any reply
                s.reply_epsv();
                ServeListing(s);
            }
            Bye(s);
        },
        Strict());
    Recorder rec;
    auto ftp = PipeliningPassiveClient(rec, server.port());
    for (int i = 0; i < 2; ++i) {
        rec.log.clear();
        ftp->MachineList("/site");
        EXPECT_EQ(rec.Only("item:"), Lines{"type=file;size=1; a.htm"});
    }
    EXPECT_TRUE(ftp->Pipelining);
    LogOut(*ftp, server);
}

TEST(VaneFtpPipelinedPassive, RefusedEpsvDropsTheCommandsReplyAndGoesOnWithPasv) {
    ScriptedFtpServer server(
        [](Session& s) {
            Greet(s);
            ExpectLines(s, {"EPSV", "MLSD /site"});
            s.reply("500 EPSV not understood");
            s.reply("425 Use PORT or PASV first");
            s.expect("PASV");
            s.reply_pasv();
            s.accept_data();
            s.expect("MLSD /site");
            s.reply("150 listing");
            s.data_send("type=file;size=1; a.htm\r\n");
            s.data_close();
            s.reply("226 done");
            Bye(s);
        },
        Strict());
    Recorder rec;
    auto ftp = PipeliningPassiveClient(rec, server.port());
    ftp->MachineList("/site");
    EXPECT_EQ(rec.Only("item:"), Lines{"type=file;size=1; a.htm"});
    LogOut(*ftp, server);
}

TEST(VaneFtpPipelinedPassive, ServerThatWantsTheConnectionFirstGetsOneCommandAtATime) {
    ScriptedFtpServer server(
        [](Session& s) {
            Greet(s);
            ExpectLines(s, {"EPSV", "MLSD /site"});
            s.reply_epsv();
            s.reply("425 Open the data connection first");
            // The same listing again, the ordinary way, and so on for the session.
            for (int i = 0; i < 2; ++i) {
                s.expect("EPSV");
                s.reply_epsv();
                s.accept_data();
                s.expect("MLSD /site");
                s.reply("150 listing");
                s.data_send("type=file;size=1; a.htm\r\n");
                s.data_close();
                s.reply("226 done");
            }
            Bye(s);
        },
        Strict());
    Recorder rec;
    auto ftp = PipeliningPassiveClient(rec, server.port());
    for (int i = 0; i < 2; ++i) {
        rec.log.clear();
        ftp->MachineList("/site");
        EXPECT_EQ(rec.Only("item:"), Lines{"type=file;size=1; a.htm"});
    }
    LogOut(*ftp, server);
}

TEST(VaneFtpPipelinedPassive, RefusedCommandIsReportedWithItsOwnReply) {
    ScriptedFtpServer server(
        [](Session& s) {
            Greet(s);
            ExpectLines(s, {"EPSV", "MLSD /missing"});
            s.reply_epsv();
            s.reply("550 /missing: no such folder");
            s.expect("PWD"); // in step afterwards
            s.reply("257 \"/\"");
            Bye(s);
        },
        Strict());
    Recorder rec;
    auto ftp = PipeliningPassiveClient(rec, server.port());
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->MachineList("/missing"); }),
              "550 /missing: no such folder\r\n");
    EXPECT_TRUE(ftp->Pipelining);
    EXPECT_EQ(ftp->GetCurrentDir(), "/");
    LogOut(*ftp, server);
}

// A small file sent with its STOR's EPSV goes as soon as the data connection is open: the
// server reads the whole file before it says 150, which a client that waited for the 150
// would never send (the strict server's limit would end the session).
TEST(VaneFtpPipelinedPassive, SmallUploadIsSentWithoutWaitingForThe150) {
    TempDir dir;
    RandomFile(dir / "a.htm", 4096, 3);
    RandomFile(dir / "b.htm", 0, 4);
    std::vector<std::string> bodies;
    ScriptedFtpServer server(
        [&](Session& s) {
            Greet(s);
            for (const char* name : {"a.htm", "b.htm"}) {
                ExpectLines(s, {"EPSV", std::string("STOR .") + name});
                s.reply_epsv();
                s.accept_data();
                bodies.push_back(s.data_recv_all());
                s.reply("150 go");
                s.reply("226 done");
            }
            s.expect("PWD"); // in step afterwards
            s.reply("257 \"/\"");
            Bye(s);
        },
        Strict());
    Recorder rec;
    auto ftp = PipeliningPassiveClient(rec, server.port());
    ftp->Upload((dir / "a.htm").string(), ".a.htm");
    ftp->Upload((dir / "b.htm").string(), ".b.htm");
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[0], RandomBytes(4096, 3));
    EXPECT_EQ(bodies[1], "");
    EXPECT_EQ(rec.Only("success:"), (Lines{"Upload", "Upload"}));
    EXPECT_EQ(ftp->GetCurrentDir(), "/");
    LogOut(*ftp, server);
}

// The server refuses the STOR where the 150 would be: the bytes sent early went nowhere,
// the refusal is the upload's failure, and the next file still gets its own replies.
TEST(VaneFtpPipelinedPassive, SmallUploadRefusedInsteadOfThe150FailsWithItsOwnReply) {
    TempDir dir;
    RandomFile(dir / "a.htm", 4096, 3);
    std::string body;
    ScriptedFtpServer server(
        [&](Session& s) {
            Greet(s);
            ExpectLines(s, {"EPSV", "STOR /ro/a.htm"});
            s.reply_epsv();
            s.reply("553 /ro/a.htm: not allowed"); // never accepts the data connection
            ExpectLines(s, {"EPSV", "STOR /rw/a.htm"});
            s.reply_epsv();
            s.accept_data();
            body = s.data_recv_all();
            s.send("150 go\r\n226 done\r\n");
            Bye(s);
        },
        Strict());
    Recorder rec;
    auto ftp = PipeliningPassiveClient(rec, server.port());
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Upload((dir / "a.htm").string(), "/ro/a.htm"); }),
              "553 /ro/a.htm: not allowed\r\n");
    ftp->Upload((dir / "a.htm").string(), "/rw/a.htm");
    EXPECT_EQ(body, RandomBytes(4096, 3));
    LogOut(*ftp, server);
}

// A server that wants the data connection open before the STOR (425 to the STOR sent with
// its EPSV) gets the file again, whole, the ordinary way: the bytes sent early are not
// taken for the upload.
TEST(VaneFtpPipelinedPassive, SmallUploadGoesAgainWholeWhenTheServerWantedTheConnectionFirst) {
    TempDir dir;
    RandomFile(dir / "a.htm", 4096, 5);
    std::string body;
    ScriptedFtpServer server(
        [&](Session& s) {
            Greet(s);
            ExpectLines(s, {"EPSV", "STOR a.htm"});
            s.reply_epsv();
            s.reply("425 Open the data connection first");
            s.expect("EPSV");
            s.reply_epsv();
            s.accept_data();
            s.expect("STOR a.htm");
            s.reply("150 go");
            body = s.data_recv_all();
            s.reply("226 done");
            Bye(s);
        },
        Strict());
    Recorder rec;
    auto ftp = PipeliningPassiveClient(rec, server.port());
    ftp->Upload((dir / "a.htm").string(), "a.htm");
    EXPECT_EQ(body, RandomBytes(4096, 5));
    EXPECT_EQ(rec.Only("success:"), Lines{"Upload"});
    LogOut(*ftp, server);
}

// --- RNTO sent with its RNFR -------------------------------------------------------------------

TEST(VaneFtpPipelinedRename, RntoGoesWithItsRnfr) {
    ScriptedFtpServer server(
        [](Session& s) {
            Greet(s);
            ExpectLines(s, {"RNFR .a.htm.tmp", "RNTO a.htm"});
            s.send("350 go on\r\n250 renamed\r\n");
            Bye(s);
        },
        Strict());
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    ftp->Pipelining = true;
    ftp->Rename(".a.htm.tmp", "a.htm");
    EXPECT_EQ(rec.Only("success:"), Lines{"Rename"});
    LogOut(*ftp, server);
}

TEST(VaneFtpPipelinedRename, RefusedRnfrIsReportedAndTheRntoReplyAnswersNothingElse) {
    ScriptedFtpServer server(
        [](Session& s) {
            Greet(s);
            ExpectLines(s, {"RNFR .a.htm.tmp", "RNTO a.htm"});
            s.reply("550 .a.htm.tmp: no such file");
            s.reply("503 RNFR first");
            ExpectLines(s, {"RNFR .b.htm.tmp", "RNTO b.htm"});
            s.reply("350 go on");
            s.reply("553 b.htm: not allowed");
            s.expect("PWD");
            s.reply("257 \"/\"");
            Bye(s);
        },
        Strict());
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    ftp->Pipelining = true;
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Rename(".a.htm.tmp", "a.htm"); }),
              "550 .a.htm.tmp: no such file\r\n");
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Rename(".b.htm.tmp", "b.htm"); }),
              "553 b.htm: not allowed\r\n");
    EXPECT_EQ(ftp->GetCurrentDir(), "/");
    LogOut(*ftp, server);
}

TEST(VaneFtpPipelinedRename, AByte255GoesDoubledAsInASingleCommand) {
    ScriptedFtpServer server(
        [](Session& s) {
            Greet(s);
            ExpectLines(s, {"RNFR .x\xff\xffy.htm.tmp", "RNTO x\xff\xffy.htm"});
            s.send("350 go on\r\n250 renamed\r\n");
            Bye(s);
        },
        Strict());
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    ftp->Pipelining = true;
    ftp->Rename(".x\xffy.htm.tmp", "x\xffy.htm");
    EXPECT_EQ(rec.Only("success:"), Lines{"Rename"});
    LogOut(*ftp, server);
}
