// The site owner's rules against vsftpd (Debian's, run as root with the tests' local user
// kestreltest; CTest runs no two such cases at once): exactly the expected files arrive,
// byte for byte, with the asked permissions. Skipped with the reason where vsftpd or root
// is missing.
#include "bench/servers.h"
#include "publish/describe.h"
#include "publish/publisher.h"
#include "server_files.h"
#include "support/anon_vsftpd.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <map>
#include <sys/stat.h>

using namespace kestrel;
using namespace kestrel::test;
namespace fs = std::filesystem;

namespace {

int Mode(const fs::path& path) {
    return int(fs::status(path).permissions() & fs::perms::mask);
}

} // namespace

TEST(PublishVsftpd, TheOwnersRulesAndPermissions) {
    TempDir work("kestrel-vsftpd");
    fs::path served = work / "served";
    fs::create_directories(served);
    std::unique_ptr<bench::Vsftpd> server;
    try {
        server = std::make_unique<bench::Vsftpd>(served, work.path(), "", true,
                                                 bench::Vsftpd::Tls::Strict, "kestreltest");
    } catch (const std::exception& error) {
        GTEST_SKIP() << error.what();
    }
    TempDir site("kestrel-site");
    fs::create_directories(site / ".well-known/acme-challenge");
    fs::create_directories(site / ".git");
    fs::create_directories(site / "drafts");
    fs::create_directories(site / "images");
    WriteFileBytes(site / ".htaccess", "Require all granted\n");
    WriteFileBytes(site / ".well-known/acme-challenge/x", "challenge-token");
    WriteFileBytes(site / ".git/HEAD", "ref");
    WriteFileBytes(site / ".env", "SECRET=1\n");
    WriteFileBytes(site / "drafts/next.htm", "not yet");
    WriteFileBytes(site / "index.htm", "<html>home</html>");
    RandomFile(site / "images/photo.jpg", 300000, 3);
    WriteFileBytes(site / ".kestrelignore", "drafts/\n");

    TConnectionSettings connection;
    connection.Host = "127.0.0.1";
    connection.Port = server->port();
    connection.UserID = server->user();
    connection.Password = server->password();
    connection.DataMode = TDataMode::Passive;
    TPublishOptions options;
    options.LocalRoot = site.str();
    options.RemoteRoot = "/www";
    options.Connections = 2;
    options.Permissions = {0640, 0750};
    TPublisher publisher(connection, options);
    const TPublishPlan& plan = publisher.Prepare();
    EXPECT_EQ(
        LeftOutLines(plan),
        (std::vector<std::string>{"leave out .env (looks like a secret)",
                                  "leave out .git/ (a version-control folder)",
                                  "leave out .kestrelignore (a file of this program)",
                                  "leave out drafts/ (excluded by drafts/ (.kestrelignore:1))"}));
    TPublishSummary summary = publisher.Run();
    ASSERT_TRUE(summary.Succeeded())
        << (summary.Failures.empty() ? std::string("stopped")
                                     : FailureText(summary.Failures.front()));
    EXPECT_TRUE(summary.Notes.empty()) << summary.Notes.front();
    std::map<std::string, std::string> expected = {
        {".htaccess", "Require all granted\n"},
        {".well-known/", ""},
        {".well-known/acme-challenge/", ""},
        {".well-known/acme-challenge/x", "challenge-token"},
        {"images/", ""},
        {"images/photo.jpg", ReadFileBytes(site / "images/photo.jpg")},
        {"index.htm", "<html>home</html>"}};
    EXPECT_EQ(ServerFiles(served / "www"), expected);
    EXPECT_EQ(Mode(served / "www/.htaccess"), 0640);
    EXPECT_EQ(Mode(served / "www/images/photo.jpg"), 0640);
    EXPECT_EQ(Mode(served / "www/.well-known/acme-challenge"), 0750);
    EXPECT_EQ(Mode(served / "www"), 0750);
}

TEST(PublishVsftpd, ACaseOnlyRenameArrives) {
    TempDir work("kestrel-vsftpd");
    fs::path served = work / "served";
    fs::create_directories(served);
    std::unique_ptr<bench::Vsftpd> server;
    try {
        server = std::make_unique<bench::Vsftpd>(served, work.path(), "", true,
                                                 bench::Vsftpd::Tls::Strict, "kestreltest");
    } catch (const std::exception& error) {
        GTEST_SKIP() << error.what();
    }
    TempDir site("kestrel-site");
    WriteFileBytes(site / "Index.htm", "old spelling");
    WriteFileBytes(site / "about.htm", "about");
    TConnectionSettings connection;
    connection.Host = "127.0.0.1";
    connection.Port = server->port();
    connection.UserID = server->user();
    connection.Password = server->password();
    TPublishOptions options;
    options.LocalRoot = site.str();
    options.Plan.Delete = true;
    options.Plan.ForceDelete = true;
    ASSERT_TRUE(TPublisher(connection, options).Run().Succeeded());

    fs::rename(site / "Index.htm", site / "index.htm");
    WriteFileBytes(site / "index.htm", "new spelling");
    TPublisher again(connection, options);
    ASSERT_EQ(again.Prepare().CaseRenames.size(), 1u);
    TPublishSummary summary = again.Run();
    ASSERT_TRUE(summary.Succeeded()) << FailureText(summary.Failures.front());
    EXPECT_EQ(ServerFiles(served), (std::map<std::string, std::string>{
                                       {"about.htm", "about"}, {"index.htm", "new spelling"}}));
}

// vsftpd with max_per_ip answers a session beyond it "421 There are too many connections
// from your internet address.": the run goes on with the sessions it has, fails no file,
// and says how many the server allowed.
TEST(PublishVsftpd, TheServersCapOnConnectionsFailsNoFile) {
    std::string reason = AnonVsftpd::Unavailable();
    if (!reason.empty())
        GTEST_SKIP() << reason;
    AnonVsftpd server(2);
    TempDir site("kestrel-site");
    for (int i = 0; i < 40; ++i)
        WriteFileBytes(site / ("p" + std::to_string(i) + ".htm"), "page " + std::to_string(i));
    TConnectionSettings connection;
    connection.Host = "127.0.0.1";
    connection.Port = server.port();
    connection.UserID = "anonymous";
    connection.Password = "publish@example.com";
    connection.DataMode = TDataMode::Passive;
    TPublishOptions options;
    options.LocalRoot = site.str();
    options.RemoteRoot = "/www";
    options.Connections = 4;
    options.MatchConnectionsToWork = false;
    TPublisher publisher(connection, options);
    TPublishSummary summary = publisher.Run();
    ASSERT_TRUE(summary.Succeeded())
        << (summary.Failures.empty() ? std::string("stopped")
                                     : FailureText(summary.Failures.front()));
    EXPECT_EQ(summary.Uploaded, 40);
    EXPECT_EQ(summary.Connections, 4);
    EXPECT_EQ(summary.ConnectionsAllowed, 2);
    ASSERT_FALSE(summary.Notes.empty());
    EXPECT_NE(summary.Notes.front().find("The server allowed 2 connections at once (421 "),
              std::string::npos)
        << summary.Notes.front();
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(ReadFileBytes(server.www() / ("p" + std::to_string(i) + ".htm")),
                  "page " + std::to_string(i));
}
