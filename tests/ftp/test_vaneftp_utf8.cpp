// OPTS UTF8 ON (RFC 2640): sent once per log-in exactly when the server's FEAT lists UTF8
// (or, without FEAT, when Utf8Names says a further connection's server does), never
// otherwise; a refusal leaves the session as it was; names stay the bytes they are.
#include "test_vaneftp_realserver.h"

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::test;
using Lines = std::vector<std::string>;

namespace {

constexpr const char* kFeatWithUtf8 = "211-Features:\r\n MDTM\r\n UTF8\r\n SIZE\r\n211 End";
constexpr const char* kFeatWithoutUtf8 = "211-Features:\r\n MDTM\r\n SIZE\r\n211 End";

ScriptedFtpServer::ReplyTable Table(const std::string& feat, const std::string& opts) {
    return {{"USER", "331 pw"},
            {"PASS", "230 in"},
            {"FEAT", feat},
            {"OPTS UTF8 ON", opts},
            {"PWD", "257 \"/\""}};
}

} // namespace

TEST(VaneFtpUtf8, OptsUtf8OnFollowsAFeatThatListsUtf8OncePerLogIn) {
    ScriptedFtpServer server(ScriptedFtpServer::Replies(Table(kFeatWithUtf8, "200 UTF8 on")),
                             {.max_sessions = 2});
    Recorder rec;
    auto ftp = ConnectedClient(rec, server.port());
    EXPECT_FALSE(ftp->Utf8On);
    Lines features = ftp->Features();
    EXPECT_EQ(features, (Lines{"MDTM", "UTF8", "SIZE"}));
    EXPECT_TRUE(ftp->Utf8On);
    ftp->Features(); // asked again: the option is on already
    ftp->Disconnect();
    // A new log-in is a new session: FEAT again, and the option again.
    ftp->Connect();
    EXPECT_FALSE(ftp->Utf8On);
    ftp->Features();
    EXPECT_TRUE(ftp->Utf8On);
    LogOut(*ftp, server, 2);
    EXPECT_EQ(server.received(0),
              (Lines{"USER bob", "PASS pw", "FEAT", "OPTS UTF8 ON", "FEAT", "QUIT"}));
    EXPECT_EQ(server.received(1), (Lines{"USER bob", "PASS pw", "FEAT", "OPTS UTF8 ON", "QUIT"}));
}

TEST(VaneFtpUtf8, NoOptsWithoutUtf8InFeatOrWithoutFeat) {
    for (const char* feat : {kFeatWithoutUtf8, "502 no FEAT here", "211 no features"}) {
        SCOPED_TRACE(feat);
        ScriptedFtpServer server(ScriptedFtpServer::Replies(Table(feat, "200 UTF8 on")));
        Recorder rec;
        auto ftp = ConnectedClient(rec, server.port());
        ftp->Features();
        ftp->GetCurrentDir();
        EXPECT_FALSE(ftp->Utf8On);
        LogOut(*ftp, server);
        EXPECT_EQ(server.received(), (Lines{"USER bob", "PASS pw", "FEAT", "PWD", "QUIT"}));
    }
    // A log-in alone asks for neither: no round trip is added where FEAT is not asked.
    ScriptedFtpServer server(ScriptedFtpServer::Replies(Table(kFeatWithUtf8, "200 UTF8 on")));
    Recorder rec;
    auto ftp = ConnectedClient(rec, server.port());
    ftp->GetCurrentDir();
    LogOut(*ftp, server);
    EXPECT_EQ(server.received(), (Lines{"USER bob", "PASS pw", "PWD", "QUIT"}));
}

TEST(VaneFtpUtf8, ARefusedOptsLeavesTheSessionAsItWas) {
    for (const char* refusal :
         {"501 option not understood", "502 OPTS not implemented", "451 try later"}) {
        SCOPED_TRACE(refusal);
        ScriptedFtpServer server(ScriptedFtpServer::Replies(Table(kFeatWithUtf8, refusal)));
        Recorder rec;
        auto ftp = ConnectedClient(rec, server.port());
        rec.log.clear();
        Lines features;
        EXPECT_NO_THROW(features = ftp->Features());
        EXPECT_EQ(features.size(), 3u);
        EXPECT_FALSE(ftp->Utf8On);
        EXPECT_TRUE(rec.Only("failure:").empty()); // nothing to report: used as it is
        EXPECT_EQ(ftp->GetCurrentDir(), "/");
        LogOut(*ftp, server);
        EXPECT_EQ(server.received(),
                  (Lines{"USER bob", "PASS pw", "FEAT", "OPTS UTF8 ON", "PWD", "QUIT"}));
    }
}

TEST(VaneFtpUtf8, Utf8NamesAsksAtTheEndOfTheLogInWithoutFeat) {
    ScriptedFtpServer server(ScriptedFtpServer::Replies(Table(kFeatWithUtf8, "200 UTF8 on")));
    Recorder rec;
    auto ftp = MakeClient(rec, server.port());
    ftp->Utf8Names = true;
    ftp->Connect();
    EXPECT_TRUE(ftp->Utf8On);
    ftp->Features(); // no second OPTS in the same session
    LogOut(*ftp, server);
    EXPECT_EQ(server.received(), (Lines{"USER bob", "PASS pw", "OPTS UTF8 ON", "FEAT", "QUIT"}));
}

TEST(VaneFtpUtf8, NamesGoAsTheirBytesConvertedNeither) {
    ScriptedFtpServer server(ScriptedFtpServer::Replies(Table(kFeatWithUtf8, "200 UTF8 on")));
    Recorder rec;
    auto ftp = ConnectedClient(rec, server.port());
    ftp->Features();
    rec.handle = true;
    const std::string utf8 = "caf\xC3\xA9";     // café in UTF-8
    const std::string latin1 = "\xE9t\xE9.htm"; // été in Latin-1, not valid UTF-8
    ftp->MakeDirectory(utf8);
    ftp->Delete(latin1);
    LogOut(*ftp, server);
    Lines received = server.received();
    ASSERT_EQ(received.size(), 7u);
    EXPECT_EQ(received[4], "MKD " + utf8);
    EXPECT_EQ(received[5], "DELE " + latin1);
}

// pyftpdlib lists UTF8 and always treats names as UTF-8; it refuses OPTS UTF8 ON (it
// knows OPTS MLST only), which is ignored.
TEST(VaneFtpUtf8RealServer, PyftpdlibListsUtf8AndKeepsAUtf8NameAsItsBytes) {
    PyFtpd server;
    TempDir dir;
    const std::string name = "caf\xC3\xA9 \xE2\x82\xAC.htm"; // "café €.htm"
    WriteFileBytes(dir / "page.htm", "<p>page</p>");
    Recorder rec;
    auto ftp = RealServerClient(rec, server);
    ftp->Connect();
    Lines features = ftp->Features();
    EXPECT_NE(std::find(features.begin(), features.end(), "UTF8"), features.end());
    EXPECT_TRUE(rec.Has("status:OPTS UTF8 ON"));
    EXPECT_FALSE(ftp->Utf8On);
    ftp->Upload((dir / "page.htm").string(), name);
    EXPECT_EQ(ReadFileBytes(server.root() / name), "<p>page</p>");
    rec.log.clear();
    ftp->Nlist();
    EXPECT_EQ(rec.Only("item:"), Lines{name});
    ftp->Disconnect();
}
