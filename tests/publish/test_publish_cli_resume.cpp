// The command line's publish cut off by kill -9 and finished by the next run from its
// journal, and its check over HTTP (--verify-url) against a local web server that serves
// the FTP server's web space: pages as published, a wrong folder, a stale copy.
#include "app/config.h"
#include "cli_program.h"
#include "drop_support.h"
#include "http_server.h"
#include "publish/journal.h"
#include "publish/names.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

using namespace kestrel;
using namespace kestrel::test;
namespace fs = std::filesystem;

namespace {

void SaveConfig(const fs::path& folder, const PyFtpd& server) {
    ConfigRecord config{};
    SetConfigField(config.Host, server.host());
    SetConfigField(config.Port, std::to_string(server.port()));
    SetConfigField(config.UserID, server.user());
    ASSERT_TRUE(WriteConfigFile(folder.string(), config));
}

// The journal files in a state folder.
std::vector<fs::path> Journals(const fs::path& state) {
    std::vector<fs::path> found;
    if (fs::exists(state / "kestrelftp"))
        for (const auto& entry : fs::directory_iterator(state / "kestrelftp"))
            if (entry.path().extension() == ".journal")
                found.push_back(entry.path());
    return found;
}

int Count(const std::string& text, const std::string& what) {
    int count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

} // namespace

// kill -9 while files are being staged: nothing is in place, the journal names only what the
// server has, and the next run puts the staged files in place without sending them again.
TEST(PublishCommandLineResume, KilledRunIsFinishedByTheNextOne) {
    PyFtpdOptions options;
    options.extra_args = {"--verbose"};
    options.read_limit = 160000; // the slow file below pauses in flight
    PyFtpd server(options);
    TempDir here("kestrel-cli");
    TempDir state("kestrel-state");
    const fs::path site = here / "site";
    MakeSite(site, 17);
    const std::string slow = "images/m-slow.bin";
    RandomFile(site / slow, 400000, 17);
    SaveConfig(here.path(), server);

    TempDir capture("kestrel-cli-out");
    const pid_t pid = StartProgram(here.path(), {"publish", "--connections", "1", "site", "www"},
                                   server.password().c_str(), capture, state.path());
    const fs::path remote = server.root() / "www";
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(remote / TemporaryPath(slow)) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    // The slow file pauses in flight for a second or more: time for the journal's writer to
    // take the files staged before it.
    std::this_thread::sleep_for(2 * kJournalPause);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);

    ASSERT_EQ(Journals(state.path()).size(), 1u);
    std::optional<TJournalState> journal =
        ParseJournal(ReadFileBytes(Journals(state.path()).front()));
    ASSERT_TRUE(journal) << "a killed run leaves a whole journal";
    EXPECT_GE(journal->Staged.size(), 5u);
    for (const auto& [path, entry] : journal->Staged)
        EXPECT_EQ(FileSha256((remote / TemporaryPath(path)).string()), entry.Hash) << path;
    for (const auto& [path, content] : TreeOf(remote))
        EXPECT_TRUE(path.starts_with(kLockName)) << path << " was put in place before the kill";

    const std::size_t mark = server.log().size();
    Result run = RunProgram(here.path(), {"publish", "site", "www"}, server.password().c_str(),
                            state.path());
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(
        run.out.find("Resuming a cut run: " + std::to_string(journal->Staged.size()) + " files"),
        std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("Resumed " + std::to_string(journal->Staged.size()) + " files"),
              std::string::npos)
        << run.out;
    const std::string log = server.log().substr(mark);
    for (const auto& [path, entry] : journal->Staged)
        EXPECT_EQ(Count(log, "<- STOR /www/" + TemporaryPath(path) + "\n"), 0) << path;
    EXPECT_EQ(TreeOf(remote), TreeOf(site));
    EXPECT_TRUE(TemporaryNames(remote).empty());
    ExpectManifestTrue(remote);
    EXPECT_TRUE(Journals(state.path()).empty()) << "a complete run removes its journal";
}

// Each changed page is fetched from the address given and compared with the local file;
// a page the web server does not have, or has in another version, is a failure.
TEST(PublishCommandLineResume, VerifyUrlFetchesTheChangedPages) {
    PyFtpd server;
    HttpServer web(server.root());
    TempDir here("kestrel-cli");
    TempDir state("kestrel-state");
    const fs::path site = here / "site";
    fs::create_directories(site / "sub dir");
    WriteFileBytes(site / "index.htm", "<html>home</html>");
    WriteFileBytes(site / "sub dir/my page.html", "<html>deep</html>");
    WriteFileBytes(site / "logo.gif", "GIF89a");
    SaveConfig(here.path(), server);
    const char* password = server.password().c_str();

    // The site is served from the folder published to.
    Result good =
        RunProgram(here.path(), {"publish", "--verify-url", web.Url("www"), "site", "www"},
                   password, state.path());
    EXPECT_EQ(good.status, 0) << good.out << good.err;
    EXPECT_NE(good.out.find("Checked over HTTP: 2 pages, all as published"), std::string::npos)
        << good.out;

    // Published into another folder than the one served: the pages are not there.
    WriteFileBytes(site / "index.htm", "<html>home, new</html>");
    Result wrong =
        RunProgram(here.path(), {"publish", "--verify-url", web.Url("htdocs/"), "site", "www"},
                   password, state.path());
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.out.find("Failed: index.htm: the web server has no page at " +
                             web.Url("htdocs/index.htm") + " (HTTP 404)"),
              std::string::npos)
        << wrong.out;
    EXPECT_NE(wrong.out.find("Checked over HTTP: 1 page, 1 differs"), std::string::npos)
        << wrong.out;

    // A stale copy served (a cache, a mirror): the page differs and says how.
    fs::create_directories(server.root() / "mirror");
    WriteFileBytes(server.root() / "mirror/index.htm", "<html>home, new</html>");
    WriteFileBytes(site / "index.htm", "<html>home, newer</html>");
    Result stale =
        RunProgram(here.path(), {"publish", "--verify-url", web.Url("mirror"), "site", "www"},
                   password, state.path());
    EXPECT_EQ(stale.status, 1);
    EXPECT_NE(stale.out.find("Failed: index.htm: the page served at " +
                             web.Url("mirror/index.htm") +
                             " differs from the file published (22 bytes served, 24 published)"),
              std::string::npos)
        << stale.out;
    EXPECT_EQ(ReadFileBytes(server.root() / "www/index.htm"), "<html>home, newer</html>")
        << "the check reports; it changes nothing on the server";

    // Not an address of a web site: a usage error before anything is done.
    Result usage = RunProgram(here.path(), {"publish", "--verify-url", "ftp://x/", "site", "www"},
                              password, state.path());
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.err.find("--verify-url: 'ftp://x/' is not an http:// or https:// address"),
              std::string::npos)
        << usage.err;
}
