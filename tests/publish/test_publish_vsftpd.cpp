// The site owner's rules against vsftpd (Debian's, run as root with the tests' local user
// kestreltest; CTest runs no two such cases at once): exactly the expected files arrive,
// byte for byte, with the asked permissions. Skipped with the reason where vsftpd or root
// is missing.
#include "bench/servers.h"
#include "drop_support.h"
#include "publish/describe.h"
#include "publish/journal.h"
#include "publish/names.h"
#include "publish/publisher.h"
#include "server_files.h"
#include "support/anon_vsftpd.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <sys/stat.h>
#include <thread>

using namespace kestrel;
using namespace kestrel::test;
namespace fs = std::filesystem;

namespace {

int Mode(const fs::path& path) {
    return int(fs::status(path).permissions() & fs::perms::mask);
}

// Debian's vsftpd serving a folder of its own, logging in the tests' local user; no server,
// with the reason in skip, where it cannot run here.
struct TestVsftpd {
    TempDir work{"kestrel-vsftpd"};
    fs::path served = work / "served";
    std::unique_ptr<bench::Vsftpd> server;
    std::string skip;

    TestVsftpd() {
        fs::create_directories(served);
        try {
            server = std::make_unique<bench::Vsftpd>(served, work.path(), "", true,
                                                     bench::Vsftpd::Tls::Strict, "kestreltest");
        } catch (const std::exception& error) {
            skip = error.what();
        }
    }
};

TConnectionSettings LogIn(const bench::Vsftpd& server) {
    TConnectionSettings connection;
    connection.Host = "127.0.0.1";
    connection.Port = server.port();
    connection.UserID = server.user();
    connection.Password = server.password();
    return connection;
}

} // namespace

TEST(PublishVsftpd, TheOwnersRulesAndPermissions) {
    TestVsftpd vsftpd;
    if (!vsftpd.server)
        GTEST_SKIP() << vsftpd.skip;
    const fs::path& served = vsftpd.served;
    const bench::Vsftpd& server = *vsftpd.server;
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

    TConnectionSettings connection = LogIn(server);
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
    TestVsftpd vsftpd;
    if (!vsftpd.server)
        GTEST_SKIP() << vsftpd.skip;
    const fs::path& served = vsftpd.served;
    const bench::Vsftpd& server = *vsftpd.server;
    TempDir site("kestrel-site");
    WriteFileBytes(site / "Index.htm", "old spelling");
    WriteFileBytes(site / "about.htm", "about");
    TConnectionSettings connection = LogIn(server);
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

// A run stopped while it stages, and one whose large file is cut in the middle through a
// proxy, are finished by the next run from the journal: the staged files are put in place
// as they lie (their time on the server's disk is the one they had at the cut: not sent
// again), and the large file goes on from the byte vsftpd has (REST and STOR).
TEST(PublishVsftpd, ACutRunIsResumed) {
    TestVsftpd vsftpd;
    if (!vsftpd.server)
        GTEST_SKIP() << vsftpd.skip;
    const fs::path& served = vsftpd.served;
    const bench::Vsftpd& server = *vsftpd.server;
    TempDir site("kestrel-site");
    TempDir state("kestrel-state");
    MakeSite(site.path(), 31);
    test::DroppingProxy proxy(server.port());
    TConnectionSettings connection = LogIn(server);
    connection.Port = proxy.port();
    connection.DataMode = TDataMode::Passive;
    TPublishOptions options;
    options.LocalRoot = site.str();
    options.RemoteRoot = "/www";
    options.Connections = 1;
    options.JournalFolder = state.str();
    const fs::path remote = served / "www";
    const std::string journalPath =
        JournalPath(state.str(), JournalSiteName("127.0.0.1", proxy.port(), server.user(), "/www"));

    // Stopped once the first page is staged: what the journal has staged lies on the server.
    {
        TPublisher publisher(connection, options);
        publisher.Prepare();
        std::atomic<bool> done{false};
        std::thread stopper([&] {
            while (!done && !fs::exists(remote / TemporaryPath("blog/page4.htm")))
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            publisher.Stop();
        });
        EXPECT_TRUE(publisher.Run().Stopped);
        done = true;
        stopper.join();
    }
    std::optional<TJournalState> cut = ParseJournal(ReadFileBytes(journalPath));
    ASSERT_TRUE(cut);
    std::map<std::string, fs::file_time_type> staged;
    for (const auto& [path, entry] : cut->Staged) {
        const fs::path file = remote / TemporaryPath(path);
        ASSERT_EQ(FileSha256(file.string()), entry.Hash) << path;
        staged[path] = fs::last_write_time(file);
    }
    EXPECT_FALSE(staged.empty());

    {
        TPublisher publisher(connection, options);
        publisher.Prepare();
        TPublishSummary summary = publisher.Run();
        ASSERT_TRUE(summary.Succeeded()) << FailureText(summary.Failures.front());
        EXPECT_EQ(summary.Resumed, int(staged.size()));
    }
    EXPECT_EQ(TreeOf(remote), TreeOf(site.path()));
    EXPECT_TRUE(TemporaryNames(remote).empty());
    ExpectManifestTrue(remote);
    for (const auto& [path, time] : staged)
        EXPECT_EQ(fs::last_write_time(remote / path), time) << path << " was sent again";
    EXPECT_FALSE(fs::exists(journalPath));

    // A large file cut in the middle goes on from the byte vsftpd has.
    RandomFile(site / "big.bin", 6 * kContinuedSize, 31);
    {
        TPublisher publisher(connection, options);
        publisher.Prepare();
        proxy.Arm(test::DroppingProxy::Fault::Data, 2 * kContinuedSize + 1000);
        EXPECT_FALSE(publisher.Run().Succeeded());
        proxy.Arm(test::DroppingProxy::Fault::None, 0);
    }
    const fs::path part = remote / TemporaryPath("big.bin");
    ASSERT_TRUE(fs::exists(part));
    const std::int64_t have = SettledSize(part);
    TPublisher last(connection, options);
    const TPublishPlan& plan = last.Prepare();
    ASSERT_EQ(plan.Uploads.size(), 1u);
    EXPECT_EQ(plan.Uploads[0].RestartAt, have);
    TPublishSummary summary = last.Run();
    ASSERT_TRUE(summary.Succeeded()) << FailureText(summary.Failures.front());
    EXPECT_EQ(summary.BytesNotResent, have);
    EXPECT_EQ(ReadFileBytes(remote / "big.bin"), ReadFileBytes(site / "big.bin"));
    EXPECT_FALSE(fs::exists(journalPath));
}

// Runs cut by a dropped control or data connection at seeded points (through a proxy), each
// followed by a run that resumes: the trees end the same, the manifest is true, and what the
// journal had staged or in place at the cut is not sent again (its time on disk is kept).
TEST(PublishVsftpd, SeededCutsAreResumed) {
    std::vector<std::uint64_t> seeds = {5, 6};
    if (const char* more = std::getenv("KESTREL_CUT_SEEDS"))
        for (std::uint64_t seed = 200; seed < 200 + std::stoull(more); ++seed)
            seeds.push_back(seed);
    for (std::uint64_t seed : seeds) {
        SCOPED_TRACE(seed);
        TestVsftpd vsftpd;
        if (!vsftpd.server)
            GTEST_SKIP() << vsftpd.skip;
        const fs::path& served = vsftpd.served;
        const bench::Vsftpd& server = *vsftpd.server;
        TempDir site("kestrel-site");
        TempDir state("kestrel-state");
        MakeSite(site.path(), seed);
        fs::create_directories(site / "media");
        RandomFile(site / "media/film.bin", 3 * kContinuedSize, seed);
        test::DroppingProxy proxy(server.port());
        TConnectionSettings connection = LogIn(server);
        connection.Port = proxy.port();
        connection.DataMode = seed % 2 ? TDataMode::Passive : TDataMode::Active;
        connection.ReplyTimeOut = 3000;
        TPublishOptions options;
        options.LocalRoot = site.str();
        options.RemoteRoot = "/www";
        options.Connections = 2;
        options.MatchConnectionsToWork = false;
        options.JournalFolder = state.str();
        const fs::path remote = served / "www";
        const std::string journalPath = JournalPath(
            state.str(), JournalSiteName("127.0.0.1", proxy.port(), server.user(), "/www"));

        std::mt19937_64 random(seed);
        const bool control = seed % 3 == 0;
        const std::uint64_t at = control ? 300 + random() % 3000 : random() % (4 << 20);
        {
            TPublisher publisher(connection, options);
            publisher.Prepare();
            proxy.Arm(control ? test::DroppingProxy::Fault::Control
                              : test::DroppingProxy::Fault::Data,
                      at);
            publisher.Run();
            proxy.Arm(test::DroppingProxy::Fault::None, 0);
        }
        ExpectManifestTrue(remote);
        TJournalState cut;
        if (fs::exists(journalPath)) {
            std::optional<TJournalState> read = ParseJournal(ReadFileBytes(journalPath));
            ASSERT_TRUE(read);
            cut = *read;
        }
        std::map<std::string, fs::file_time_type> kept;
        for (const auto& [path, entry] : cut.Staged) {
            ASSERT_EQ(FileSha256((remote / TemporaryPath(path)).string()), entry.Hash) << path;
            kept[path] = fs::last_write_time(remote / TemporaryPath(path));
        }
        for (const auto& [path, entry] : cut.Placed) {
            ASSERT_EQ(FileSha256((remote / path).string()), entry.Hash) << path;
            kept[path] = fs::last_write_time(remote / path);
        }
        TPublisher again(connection, options);
        const TPublishPlan& plan = again.Prepare();
        TPublishSummary summary = again.Run();
        ASSERT_TRUE(summary.Succeeded()) << FailureText(summary.Failures.front());
        EXPECT_EQ(TreeOf(remote), TreeOf(site.path()));
        EXPECT_TRUE(TemporaryNames(remote).empty());
        ExpectManifestTrue(remote);
        EXPECT_FALSE(fs::exists(journalPath));
        int sentAgain = 0;
        for (const auto& [path, time] : kept)
            sentAgain += fs::last_write_time(remote / path) != time;
        EXPECT_EQ(sentAgain, 0);
        std::cout << "resumed run: " << cut.Staged.size() << " staged and " << cut.Placed.size()
                  << " placed at the cut, " << cut.Sending.size() << " in part; "
                  << plan.FilesResumed << " resumed, " << summary.BytesNotResent
                  << " bytes not sent again, " << sentAgain << " sent again\n";
    }
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

// vsftpd holds a command sent while a transfer runs until the transfer's 226, so small files
// go as series, each next file's commands sent before the 226 of the one before, and a
// series takes more of the phase as it ends. Small files of every size up to the series'
// limit (empty ones too), odd names, and larger files between them that go alone: each
// arrives whole under its own name, on the first run and on one that changes some.
TEST(PublishVsftpd, SmallFilesSentAsSeriesArriveWholeUnderTheirNames) {
    TestVsftpd vsftpd;
    if (!vsftpd.server)
        GTEST_SKIP() << vsftpd.skip;
    const fs::path& served = vsftpd.served;
    const bench::Vsftpd& server = *vsftpd.server;
    TempDir site("kestrel-site");
    std::map<std::string, std::string> expected;
    std::mt19937 sizes(7);
    for (int i = 0; i < 90; ++i) {
        const std::string folder = "dir" + std::to_string(i % 3) + "/";
        const std::string name = folder + (i % 10 == 0 ? "page " : "p") + std::to_string(i) +
                                 (i % 7 == 0 ? ".a b.htm" : ".htm");
        std::uint64_t size = i % 11 == 0 ? 0 : sizes() % (32 * 1024);
        if (i % 30 == 15)
            size = 40 * 1024 + std::uint64_t(i); // larger than a series takes
        fs::create_directories(site / folder);
        RandomFile(site / name, size, std::uint64_t(i) + 1);
        expected[folder] = "";
        expected[name] = ReadFileBytes(site / name);
    }
    TConnectionSettings connection = LogIn(server);
    connection.DataMode = TDataMode::Passive;
    TPublishOptions options;
    options.LocalRoot = site.str();
    options.RemoteRoot = "/www";
    options.Connections = 4;
    options.MatchConnectionsToWork = false;
    auto publish = [&](int uploads) {
        TPublishSummary summary = TPublisher(connection, options).Run();
        ASSERT_TRUE(summary.Succeeded())
            << (summary.Failures.empty() ? std::string("stopped")
                                         : FailureText(summary.Failures.front()));
        EXPECT_EQ(summary.Uploaded, uploads);
        EXPECT_EQ(ServerFiles(served / "www"), expected);
    };
    publish(90);
    for (int i = 1; i < 90; i += 4) {
        const std::string name = "dir" + std::to_string(i % 3) + "/p" + std::to_string(i) +
                                 (i % 7 == 0 ? ".a b.htm" : ".htm");
        WriteFileBytes(site / name, "changed " + std::to_string(i));
        expected[name] = "changed " + std::to_string(i);
    }
    publish(23);
}
