// Whole publishes against a real server (pyftpdlib): trees byte for byte afterwards, a
// second publish that sends nothing, a changed file that sends one, several connections,
// the LIST fallback, Stop in the middle, failures, and a server that refuses to rename
// over an existing file.
#include "publish/describe.h"
#include "publish/publisher.h"
#include "publish/sha256.h"
#include "publish_support.h"
#include "support/fixtures.h"
#include "support/pyftpd.h"
#include "support/watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <thread>

using namespace kestrel;
using namespace kestrel::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>; // relative path -> content

namespace {

const std::string kUtf8Folder = "\xC3\xBC"
                                "ber uns";                      // "über uns"
const std::string kUtf8File = kUtf8Folder + "/caf\xC3\xA9.htm"; // "café.htm"

void MakeSite(const fs::path& root) {
    fs::create_directories(root / "css");
    fs::create_directories(root / "images/icons");
    fs::create_directories(root / kUtf8Folder);
    fs::create_directories(root / "empty folder");
    WriteFileBytes(root / "index.htm", "<html>home</html>");
    WriteFileBytes(root / "my page.htm", "<html>spaces</html>");
    WriteFileBytes(root / "css/site.css", "body { margin: 0 }");
    RandomFile(root / "images/photo.jpg", 200000, 7);
    RandomFile(root / "images/icons/a.png", 3000, 8);
    WriteFileBytes(root / "empty.txt", "");
    WriteFileBytes(root / kUtf8File, "caf\xC3\xA9");
    WriteFileBytes(root / ".DS_Store", "never published");
}

// Every file under root, by relative path, except the manifest.
Files TreeOf(const fs::path& root) {
    Files files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        std::string relative = fs::relative(entry.path(), root).string();
        if (entry.is_regular_file() && relative != kManifestName)
            files[relative] = ReadFileBytes(entry.path());
        else if (entry.is_directory())
            files[relative + "/"] = "";
    }
    return files;
}

Files PublishedPart(const fs::path& root) {
    Files files = TreeOf(root);
    files.erase(".DS_Store");
    return files;
}

struct Site {
    PyFtpd& server;
    fs::path local;
    std::string remote = "/www";
    int connections = 1;
    bool machineList = true;
    bool remove = false;
    bool passive = false;

    TPublisher Make() const {
        TConnectionSettings connection = ConnectionTo(server, passive);
        TPublishOptions options;
        options.LocalRoot = local.string();
        options.RemoteRoot = remote;
        options.Connections = connections;
        options.MatchConnectionsToWork = false; // a small site still runs every connection
        options.UseMachineList = machineList;
        options.Plan.Delete = remove;
        return TPublisher(connection, options);
    }
};

// The manifest on the server describes exactly the files there, byte for byte.
void ExpectManifestMatchesServer(const fs::path& remoteRoot) {
    std::optional<TManifest> manifest = ParseManifest(ReadFileBytes(remoteRoot / kManifestName));
    ASSERT_TRUE(manifest);
    for (const auto& [path, entry] : *manifest) {
        ASSERT_TRUE(fs::exists(remoteRoot / path)) << path;
        EXPECT_EQ(FileSha256((remoteRoot / path).string()), entry.Hash) << path;
    }
}

// A server and a site folder, the site already published once to /www.
struct PublishedOnce {
    PyFtpd server;
    TempDir local{"kestrel-site"};
    Site site{server, local.path()};
    fs::path remote = server.root() / "www";

    explicit PublishedOnce(PyFtpdOptions options = {}) : server(std::move(options)) {
        MakeSite(local.path());
        EXPECT_TRUE(site.Make().Run().Succeeded());
    }
};

bool HasNote(const std::vector<std::string>& notes, const std::string& part) {
    for (const std::string& note : notes)
        if (note.find(part) != std::string::npos)
            return true;
    return false;
}

void ExpectNoTemporaryFiles(const fs::path& remoteRoot) {
    for (const auto& entry : fs::recursive_directory_iterator(remoteRoot))
        EXPECT_EQ(entry.path().string().find(kTemporarySuffix), std::string::npos) << entry.path();
}

void PublishTwiceThenOneChange(int connections, bool machineList, bool passive = false) {
    PyFtpd server;
    TempDir local("kestrel-site");
    MakeSite(local.path());
    Site site{server, local.path()};
    site.connections = connections;
    site.machineList = machineList;
    site.passive = passive;
    fs::path remote = server.root() / "www";

    TPublisher first = site.Make();
    const TPublishPlan& plan = first.Prepare();
    EXPECT_TRUE(plan.CreateRoot);
    EXPECT_EQ(plan.Uploads.size(), 7u);
    TPublishSummary summary = first.Run();
    EXPECT_TRUE(summary.Succeeded())
        << (summary.Failures.empty() ? "" : summary.Failures[0].Reason);
    EXPECT_EQ(summary.Connections, connections);
    EXPECT_EQ(summary.Uploaded, 7);
    // pyftpdlib offers no hash command: each file is proven by its size.
    EXPECT_EQ(summary.VerifiedBy, "SIZE");
    EXPECT_EQ(summary.Verified, 7);
    EXPECT_EQ(summary.Created, 6); // the root and five folders
    EXPECT_TRUE(summary.ManifestWritten);
    EXPECT_EQ(TreeOf(remote), PublishedPart(local.path()));
    ExpectManifestMatchesServer(remote);
    ExpectNoTemporaryFiles(remote);

    // Nothing changed: nothing is sent and the manifest stays as it is.
    auto manifestTime = fs::last_write_time(remote / kManifestName);
    TPublisher second = site.Make();
    EXPECT_TRUE(second.Prepare().NothingToDo());
    EXPECT_TRUE(second.Plan().ByManifest);
    summary = second.Run();
    EXPECT_TRUE(summary.Succeeded());
    EXPECT_EQ(summary.Uploaded, 0);
    EXPECT_EQ(summary.Unchanged, 7);
    EXPECT_FALSE(summary.ManifestWritten);
    EXPECT_EQ(fs::last_write_time(remote / kManifestName), manifestTime);

    // One page edited without changing its size: only the manifest can tell, and it does.
    WriteFileBytes(local / "css/site.css", "body { margin: 1 }");
    TPublisher third = site.Make();
    ASSERT_EQ(third.Prepare().Uploads.size(), 1u);
    EXPECT_EQ(third.Plan().Uploads[0].Path, "css/site.css");
    summary = third.Run();
    EXPECT_TRUE(summary.Succeeded());
    EXPECT_EQ(summary.Uploaded, 1);
    EXPECT_EQ(TreeOf(remote), PublishedPart(local.path()));
    ExpectManifestMatchesServer(remote);
}

} // namespace

// pyftpdlib with max_cons_per_ip answers a connection beyond it with "421 Too many
// connections from the same IP address.": the run goes on with the connections it has,
// fails no file, and says how many the server allowed. Asked for four at once, and grown
// one after the other from one, alike.
TEST(PublishRealServer, TheServersCapOnConnectionsFailsNoFile) {
    for (bool grow : {false, true}) {
        SCOPED_TRACE(grow);
        PyFtpdOptions options;
        options.extra_args = {"--max-cons-per-ip", "2"};
        PyFtpd server(options);
        TempDir local("kestrel-site");
        MakeSite(local.path());
        fs::create_directories(local / "many");
        for (int i = 0; i < 150; ++i)
            WriteFileBytes(local / "many" / ("p" + std::to_string(i) + ".htm"), "page");
        TPublishOptions publish;
        publish.LocalRoot = local.str();
        publish.RemoteRoot = "/www";
        publish.Connections = grow ? 1 : 4;
        publish.MatchConnectionsToWork = grow;
        publish.GrowTo = grow ? kMaxConnections : 0;
        TPublisher publisher(ConnectionTo(server, true), publish);
        TPublishSummary summary = publisher.Run();
        ASSERT_TRUE(summary.Succeeded()) << FailureText(summary.Failures.front());
        EXPECT_EQ(summary.Uploaded, 157);
        // Grown one by one (the work of 157 files repays many log-ins on loopback), the
        // third is refused and no fourth is tried.
        EXPECT_EQ(summary.Connections, grow ? 3 : 4);
        EXPECT_EQ(summary.ConnectionsAllowed, 2);
        EXPECT_TRUE(HasNote(summary.Notes, "The server allowed 2 connections at once (421 "))
            << summary.Notes.front();
        EXPECT_FALSE(HasNote(summary.Notes, "could not log in"));
        EXPECT_EQ(PublishedPart(server.root() / "www").size(), PublishedPart(local.path()).size());
    }
}

TEST(PublishRealServer, OneConnection) {
    PublishTwiceThenOneChange(1, true);
}

TEST(PublishRealServer, FourConnections) {
    PublishTwiceThenOneChange(4, true);
}

TEST(PublishRealServer, FourPassiveConnections) {
    PublishTwiceThenOneChange(4, true, true);
}

TEST(PublishRealServer, ListFallbackWithoutMachineListing) {
    PublishTwiceThenOneChange(2, false);
}

TEST(PublishRealServer, DeleteRemovesWhatIsGoneLocallyAndKeepsTheRest) {
    PublishedOnce published;
    auto& [server, local, site, remote] = published;
    WriteFileBytes(remote / ".DS_Store", "server only"); // left out locally: kept

    fs::remove_all(local / "images");
    fs::rename(local / "index.htm", local / "home.htm");
    TPublisher without = site.Make();
    TPublishSummary summary = without.Run();
    EXPECT_TRUE(summary.Succeeded());
    EXPECT_TRUE(fs::exists(remote / "images/photo.jpg")) << "nothing deleted by default";
    EXPECT_TRUE(fs::exists(remote / "home.htm"));

    site.remove = true;
    TPublisher with = site.Make();
    summary = with.Run();
    EXPECT_TRUE(summary.Succeeded());
    EXPECT_EQ(summary.Deleted, 5); // index.htm, two images, two folders
    Files expected = PublishedPart(local.path());
    expected[".DS_Store"] = "server only";
    EXPECT_EQ(TreeOf(remote), expected);
    ExpectManifestMatchesServer(remote);
}

TEST(PublishRealServer, ServerThatRefusesToRenameOverAFile) {
    PyFtpdOptions options;
    options.extra_args = {"--no-rename-over"};
    PublishedOnce published(options);
    auto& [server, local, site, remote] = published;

    WriteFileBytes(local / "index.htm", "<html>new home</html>");
    TPublishSummary summary = site.Make().Run();
    EXPECT_TRUE(summary.Succeeded())
        << (summary.Failures.empty() ? "" : summary.Failures[0].Reason);
    EXPECT_EQ(summary.Uploaded, 1);
    ASSERT_FALSE(summary.Notes.empty());
    EXPECT_NE(summary.Notes[0].find("refused to rename over existing files"), std::string::npos);
    EXPECT_EQ(TreeOf(remote), PublishedPart(local.path()));
    ExpectManifestMatchesServer(remote);
}

TEST(PublishRealServer, FailureIsReportedWithItsFileAndTheManifestStaysTrue) {
    PublishedOnce published;
    auto& [server, local, site, remote] = published;

    // Two pages changed; one of them vanishes between the plan and its upload.
    WriteFileBytes(local / "index.htm", "<html>home, longer</html>");
    WriteFileBytes(local / "my page.htm", "<html>spaces, longer</html>");
    TPublisher publisher = site.Make();
    ASSERT_EQ(publisher.Prepare().Uploads.size(), 2u);
    fs::remove(local / "my page.htm");
    TPublishSummary summary = publisher.Run();
    EXPECT_FALSE(summary.Succeeded());
    EXPECT_EQ(summary.Uploaded, 1);
    ASSERT_EQ(summary.Failures.size(), 1u);
    EXPECT_EQ(summary.Failures[0].Path, "my page.htm");
    EXPECT_NE(summary.Failures[0].Reason.find("Cannot open file"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(remote / "my page.htm"), "<html>spaces</html>") << "old page kept";
    ExpectManifestMatchesServer(remote);
    ExpectNoTemporaryFiles(remote);
}

TEST(PublishRealServer, StopInTheMiddleLeavesNoPartAndATrueManifest) {
    PyFtpdOptions options;
    // pyftpdlib pauses a data connection for about two seconds each time it has read this
    // many bytes: the small pages go at once, the large files stall in flight.
    options.read_limit = 50000;
    PyFtpd server(options);
    TempDir local("kestrel-site");
    fs::path remote = server.root() / "www";
    for (int i = 0; i < 8; ++i)
        RandomFile(local / ((i < 3 ? "a" : "b") + std::to_string(i) + ".htm"),
                   i < 3 ? 1000 : 150000, std::uint64_t(i));
    Site site{server, local.path()};
    site.connections = 4;
    TPublisher publisher = site.Make();
    publisher.Prepare();
    // Stop comes from another thread, as the window's does, once the small pages are sent.
    std::atomic<bool> smallSent{false};
    publisher.OnProgress = [&](const TPublishProgress& progress) {
        if (progress.FilesDone >= 3)
            smallSent = true;
    };
    std::atomic<std::chrono::steady_clock::rep> stopped{0};
    std::thread stopper([&] {
        auto until = std::chrono::steady_clock::now() + 15s;
        while (!smallSent && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(300ms);
        stopped = std::chrono::steady_clock::now().time_since_epoch().count();
        publisher.Stop();
    });
    TPublishSummary summary = publisher.Run();
    stopper.join();
    auto stopTook = std::chrono::steady_clock::now().time_since_epoch() -
                    std::chrono::steady_clock::duration(stopped.load());
    EXPECT_LT(stopTook, 5s) << "Stop ends the run at once";
    EXPECT_TRUE(summary.Stopped);
    EXPECT_FALSE(summary.Succeeded());
    // The small pages were staged, not put in place: a Stop before the renames leaves the
    // site as it was, here without any page.
    EXPECT_EQ(summary.Uploaded, 0);
    for (int i = 0; i < 8; ++i)
        EXPECT_FALSE(fs::exists(remote / ((i < 3 ? "a" : "b") + std::to_string(i) + ".htm"))) << i;
    EXPECT_TRUE(summary.ManifestWritten);
    ExpectNoTemporaryFiles(remote);
    // Whatever stands under a real name is whole.
    for (const auto& [path, content] : TreeOf(remote)) {
        if (path.back() != '/') {
            EXPECT_EQ(content, ReadFileBytes(local / path)) << path;
        }
    }
    ExpectManifestMatchesServer(remote);

    // The next publish would send just the rest (the throttled server makes running it slow).
    TPublisher rest = site.Make();
    EXPECT_EQ(int(rest.Prepare().Uploads.size()), 8 - summary.Uploaded);
    EXPECT_TRUE(rest.Plan().ByManifest);
}

// A first publish without a manifest can compare only sizes and times: a page whose one
// word changed keeps its size. What was not proven is not recorded as known, so the
// manifest stays true and the next publish sends those files.
TEST(PublishRealServer, FirstPublishWithoutAManifestTakesNoSizeForProof) {
    PyFtpd server;
    TempDir local("kestrel-site");
    fs::path remote = server.root() / "www";
    fs::create_directories(remote);
    WriteFileBytes(local / "index.htm", "<html>new</html>");
    WriteFileBytes(local / "same.htm", "<html>same</html>");
    WriteFileBytes(remote / "index.htm", "<html>old</html>");
    WriteFileBytes(remote / "same.htm", "<html>same</html>");
    // The server's copies are newer than the local files: their times tell nothing either.
    for (const char* name : {"index.htm", "same.htm"})
        fs::last_write_time(remote / name, fs::file_time_type::clock::now() + 24h);
    Site site{server, local.path()};

    TPublisher first = site.Make();
    EXPECT_FALSE(first.Prepare().ByManifest);
    TPublishSummary summary = first.Run();
    EXPECT_TRUE(summary.Succeeded());
    EXPECT_EQ(summary.Unchanged, 2);
    ExpectManifestMatchesServer(remote);
    std::optional<TManifest> manifest = ParseManifest(ReadFileBytes(remote / kManifestName));
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->count("index.htm"), 0u) << "its content was never proven";

    summary = site.Make().Run();
    EXPECT_TRUE(summary.Succeeded());
    EXPECT_EQ(summary.Uploaded, 2);
    EXPECT_EQ(ReadFileBytes(remote / "index.htm"), "<html>new</html>");
    ExpectManifestMatchesServer(remote);
    EXPECT_TRUE(site.Make().Prepare().NothingToDo()) << "now it is known";
}
