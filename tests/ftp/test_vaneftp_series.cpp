// Small uploads one after another: on a server that answers a NOOP sent with the first STOR
// only after that transfer's 226, each next file's EPSV and STOR leave before the 226 of the
// file before (the strict server waits for them before it answers); on one that answers the
// NOOP while the transfer runs, never. Replies stay matched to their files through a refusal
// in the middle, and a connection lost with commands sent ahead is closed, not reused. A file
// added as the series begins its last one goes on in the same series.
#include "support/fixtures.h"
#include "test_vaneftp_util.h"

#include <algorithm>

using namespace kestrel;
using namespace kestrel::test;

namespace {

using Lines = std::vector<std::string>;
using Outcomes = std::vector<TVaneFTP::TSeriesOutcome>;

ScriptedServerOptions Strict() {
    ScriptedServerOptions options;
    options.timeout = std::chrono::milliseconds(3000);
    return options;
}

std::vector<TVaneFTP::TSeriesFile> Files(const Lines& names) {
    std::vector<TVaneFTP::TSeriesFile> files;
    for (const std::string& name : names)
        files.push_back({name, "<p>" + name + "</p>"});
    return files;
}

// Where entry (without a line end) stands in the client's log; fails when it is not there.
std::size_t Position(const Recorder& rec, const std::string& entry) {
    for (std::size_t i = 0; i < rec.log.size(); ++i) {
        std::string line = rec.log[i];
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        if (line == entry)
            return i;
    }
    ADD_FAILURE() << entry << " is not in the log";
    return rec.log.size();
}

// The first file of a log-in: EPSV, STOR and the probing NOOP in one packet; a server that
// holds commands during a transfer answers the NOOP after the 226.
void FirstFileHeld(Session& s, const std::string& name, std::vector<std::string>& bodies) {
    for (const std::string& line : Lines{"EPSV", "STOR " + name, "NOOP"})
        s.expect(line);
    s.reply_epsv();
    s.accept_data();
    bodies.push_back(s.data_recv_all());
    s.send("150 go\r\n226 " + name + " stored\r\n200 NOOP ok\r\n");
}

// a as FirstFileHeld sends it, then b's data, and c's commands sent ahead of b's 226, which
// the script answers next.
void BSentWithCAhead(Session& s, std::vector<std::string>& bodies) {
    FirstFileHeld(s, "a", bodies);
    for (const char* line : {"EPSV", "STOR b"})
        s.expect(line);
    s.reply_epsv();
    s.accept_data();
    bodies.push_back(s.data_recv_all());
    for (const char* line : {"EPSV", "STOR c"})
        s.expect(line);
}

} // namespace

TEST(VaneFtpSeries, NextFilesCommandsLeaveBeforeThe226OnAServerThatHoldsThem) {
    std::vector<std::string> bodies;
    ScriptedFtpServer server(
        [&](Session& s) {
            Greet(s);
            FirstFileHeld(s, "a", bodies);
            s.expect("EPSV");
            s.expect("STOR b");
            s.reply_epsv();
            s.accept_data();
            bodies.push_back(s.data_recv_all());
            // c's commands come before b's 226: the strict server waits for them, and
            // answers c's EPSV in the packet of b's 226.
            s.expect("EPSV");
            s.expect("STOR c");
            s.send("150 go\r\n226 b stored\r\n229 Entering Extended Passive Mode (|||" +
                   std::to_string(s.passive_listen()) + "|)\r\n");
            s.accept_data();
            bodies.push_back(s.data_recv_all());
            s.send("150 go\r\n226 c stored\r\n");
            s.expect("PWD"); // in step afterwards
            s.reply("257 \"/\"");
            Bye(s);
        },
        Strict());
    Recorder rec;
    auto ftp = PipeliningPassiveClient(rec, server.port());
    ASSERT_TRUE(ftp->SendsAhead());
    Outcomes outcomes;
    Lines started;
    // c joins the series as b begins, as a caller with more to send adds it.
    auto files = Files({"a", "b"});
    ftp->UploadSeries(files, outcomes, [&](std::size_t i) {
        if (i == 1)
            files.push_back({"c", "<p>c</p>"});
        started.push_back(files[i].remoteName);
        // A file sent is let go of: a long series holds only what is still to go.
        if (i > 0) {
            EXPECT_TRUE(files[i - 1].bytes.empty()) << files[i - 1].remoteName;
        }
    });
    EXPECT_EQ(outcomes, (Outcomes{std::nullopt, std::nullopt, std::nullopt}));
    EXPECT_EQ(started, (Lines{"a", "b", "c"}));
    EXPECT_EQ(bodies, (Lines{"<p>a</p>", "<p>b</p>", "<p>c</p>"}));
    EXPECT_LT(Position(rec, "status:STOR c"), Position(rec, "status:226 b stored"));
    EXPECT_EQ(ftp->GetCurrentDir(), "/");
    LogOut(*ftp, server);
}

TEST(VaneFtpSeries, AServerThatAnswersTheNoopDuringTheTransferGetsNoCommandsAhead) {
    // The NOOP's reply comes before the 150 or between the 150 and the 226.
    for (bool before150 : {true, false}) {
        std::vector<std::string> bodies;
        ScriptedFtpServer server(
            [&](Session& s) {
                Greet(s);
                for (const char* line : {"EPSV", "STOR a", "NOOP"})
                    s.expect(line);
                s.reply_epsv();
                if (before150)
                    s.reply("200 NOOP ok");
                s.accept_data();
                bodies.push_back(s.data_recv_all());
                s.send(before150 ? "150 go\r\n226 a stored\r\n"
                                 : "150 go\r\n200 NOOP ok\r\n226 a stored\r\n");
                for (const char* name : {"b", "c"}) {
                    s.expect("EPSV");
                    s.expect(std::string("STOR ") + name);
                    s.reply_epsv();
                    s.accept_data();
                    bodies.push_back(s.data_recv_all());
                    s.send(std::string("150 go\r\n226 ") + name + " stored\r\n");
                }
                s.expect("PWD");
                s.reply("257 \"/\"");
                Bye(s);
            },
            Strict());
        Recorder rec;
        auto ftp = PipeliningPassiveClient(rec, server.port());
        Outcomes outcomes;
        auto files = Files({"a", "b", "c"});
        ftp->UploadSeries(files, outcomes, nullptr);
        EXPECT_EQ(outcomes, (Outcomes{std::nullopt, std::nullopt, std::nullopt}));
        EXPECT_EQ(bodies, (Lines{"<p>a</p>", "<p>b</p>", "<p>c</p>"}));
        EXPECT_GT(Position(rec, "status:STOR c"), Position(rec, "status:226 b stored"));
        EXPECT_FALSE(ftp->SendsAhead());
        EXPECT_EQ(ftp->GetCurrentDir(), "/");
        LogOut(*ftp, server);
    }
}

TEST(VaneFtpSeries, ARefusalInTheMiddleBelongsToItsFileAndTheNextGoesOn) {
    std::vector<std::string> bodies;
    ScriptedFtpServer server(
        [&](Session& s) {
            Greet(s);
            BSentWithCAhead(s, bodies);
            s.send("150 go\r\n552 b: quota exceeded\r\n");
            s.reply_epsv();
            s.accept_data();
            bodies.push_back(s.data_recv_all());
            // d went with c's data, before c's 226, and is refused at once.
            for (const char* line : {"EPSV", "STOR d"})
                s.expect(line);
            s.send("150 go\r\n226 c stored\r\n");
            s.reply_epsv();
            s.reply("553 d: not allowed"); // never accepts its data connection
            s.expect("PWD");
            s.reply("257 \"/\"");
            Bye(s);
        },
        Strict());
    Recorder rec;
    auto ftp = PipeliningPassiveClient(rec, server.port());
    Outcomes outcomes;
    auto files = Files({"a", "b", "c", "d"});
    ftp->UploadSeries(files, outcomes, nullptr);
    EXPECT_EQ(outcomes, (Outcomes{std::nullopt, "552 b: quota exceeded\r\n", std::nullopt,
                                  "553 d: not allowed\r\n"}));
    EXPECT_EQ(bodies, (Lines{"<p>a</p>", "<p>b</p>", "<p>c</p>"}));
    EXPECT_EQ(ftp->GetCurrentDir(), "/");
    LogOut(*ftp, server);
}

// With c's commands sent ahead, b's 226 does not come: the connection is lost, or the server
// (which held the probe's NOOP) answers c's EPSV first, and a 229 is no completion of b. The
// series raises with b not done, and the session, out of step, is closed.
TEST(VaneFtpSeries, ASeriesOutOfStepRaisesWithTheFileUnderWayNotDone) {
    for (bool lost : {true, false}) {
        SCOPED_TRACE(lost ? "connection lost" : "the next file's 229 first");
        std::vector<std::string> bodies;
        ScriptedFtpServer server(
            [&](Session& s) {
                Greet(s);
                BSentWithCAhead(s, bodies);
                if (lost) {
                    s.send("150 go\r\n");
                    s.close();
                    return;
                }
                s.send("150 go\r\n229 Entering Extended Passive Mode (|||" +
                       std::to_string(s.passive_listen()) + "|)\r\n226 b stored\r\n");
                s.read_line(); // until the client closes
            },
            Strict());
        Recorder rec;
        auto ftp = PipeliningPassiveClient(rec, server.port());
        Outcomes outcomes;
        auto files = Files({"a", "b", "c"});
        EXPECT_ANY_THROW(ftp->UploadSeries(files, outcomes, nullptr));
        EXPECT_EQ(outcomes, (Outcomes{std::nullopt})); // b and c are the caller's to send again
        EXPECT_FALSE(ftp->Connected);
        EXPECT_TRUE(server.wait_sessions(1));
        EXPECT_TRUE(server.failures().empty());
    }
}

TEST(VaneFtpSeries, ANameThatCannotBeSentFailsAloneBeforeAnyOfItsCommands) {
    std::vector<std::string> bodies;
    ScriptedFtpServer server(
        [&](Session& s) {
            Greet(s);
            FirstFileHeld(s, "a", bodies);
            for (const char* line : {"EPSV", "STOR c"})
                s.expect(line);
            s.reply_epsv();
            s.accept_data();
            bodies.push_back(s.data_recv_all());
            s.send("150 go\r\n226 c stored\r\n");
            Bye(s);
        },
        Strict());
    Recorder rec;
    auto ftp = PipeliningPassiveClient(rec, server.port());
    Outcomes outcomes;
    auto files = Files({"a", "b\r\nDELE x", "c"});
    ftp->UploadSeries(files, outcomes, nullptr);
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_FALSE(outcomes[0]);
    EXPECT_TRUE(outcomes[1]);
    EXPECT_FALSE(outcomes[2]);
    EXPECT_EQ(bodies, (Lines{"<p>a</p>", "<p>c</p>"}));
    LogOut(*ftp, server);
}
