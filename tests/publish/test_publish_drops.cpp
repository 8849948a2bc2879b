// Publishes through a proxy that drops connections at seeded random points: whatever the
// summary reports as sent is byte-identical on the server, every real name holds a whole
// file (the new one or the old one), the manifest describes only what is really there,
// failures name their file and a reason, and a publish without drops then finishes the
// job. Also the exact case of a rename the server carried out whose answer was lost.
#include "publish/describe.h"
#include "publish/publisher.h"
#include "publish/sha256.h"
#include "publish/undo.h"
#include "publish_support.h"
#include "support/dropping_proxy.h"
#include "support/fixtures.h"
#include "support/pyftpd.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>

using namespace kestrel;
using namespace kestrel::test;
namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>; // relative path -> content

namespace {

// 48 files in nested folders, mostly pages of a few KiB and every sixth a picture of
// 100-300 KiB, the same for the same seed.
void MakeSite(const fs::path& root, std::uint64_t seed) {
    const char* const folders[] = {"", "css", "images", "images/2024", "blog", "blog/old/deep"};
    std::mt19937_64 random(seed);
    for (int i = 0; i < 48; ++i) {
        fs::path folder = root / folders[i % 6];
        fs::create_directories(folder);
        bool large = i % 6 == 2;
        std::uint64_t size = large ? 100 * 1024 + random() % (200 * 1024) : random() % 6000;
        RandomFile(folder / ((large ? "photo" : "page") + std::to_string(i) + ".htm"), size,
                   random());
    }
}

// Changes every third file: some keep their size (only the manifest tells them apart),
// some grow.
void ChangeSite(const fs::path& root, std::uint64_t seed) {
    int i = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file() || i++ % 3 != 0)
            continue;
        std::uint64_t size = fs::file_size(entry.path()) + (i % 2 ? 0 : 777);
        RandomFile(entry.path(), size, seed + std::uint64_t(i));
    }
}

bool IsTemporary(const std::string& path) {
    return path.ends_with(kTemporarySuffix);
}

// Every file under root by relative path, except the manifest and temporary names.
Files TreeOf(const fs::path& root) {
    Files files;
    if (!fs::exists(root))
        return files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        std::string relative = fs::relative(entry.path(), root).string();
        if (entry.is_regular_file() && relative != kManifestName && !IsTemporary(relative))
            files[relative] = ReadFileBytes(entry.path());
    }
    return files;
}

std::set<std::string> TemporaryNames(const fs::path& root) {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (IsTemporary(entry.path().string()))
            names.insert(fs::relative(entry.path(), root).string());
    return names;
}

// The manifest, when there is one, lists only files that are there with its size and hash.
void ExpectManifestTrue(const fs::path& remoteRoot) {
    if (!fs::exists(remoteRoot / kManifestName))
        return;
    std::optional<TManifest> manifest = ParseManifest(ReadFileBytes(remoteRoot / kManifestName));
    ASSERT_TRUE(manifest);
    for (const auto& [path, entry] : *manifest) {
        fs::path file = remoteRoot / path;
        ASSERT_TRUE(fs::exists(file)) << "the manifest lists a missing " << path;
        EXPECT_EQ(std::int64_t(fs::file_size(file)), entry.Size) << path;
        EXPECT_EQ(FileSha256(file.string()), entry.Hash) << "the manifest is wrong about " << path;
    }
}

struct DroppingSite {
    PyFtpd server;
    DroppingProxy proxy{server.port()};
    TempDir local{"kestrel-site"};
    fs::path remote = server.root() / "www";
    int connections = 1;
    bool passive = false;
    int historyRuns = kDefaultHistoryRuns;

    TPublisher Make() {
        TConnectionSettings connection = ConnectionTo(server, passive, proxy.port());
        connection.TimeOut = 5000;
        connection.ReplyTimeOut = 3000; // pyftpdlib now and then stops reading a session
        TPublishOptions options;
        options.LocalRoot = local.str();
        options.RemoteRoot = "/www";
        options.Connections = connections;
        options.MatchConnectionsToWork = false; // every connection meets the drops
        options.HistoryRuns = historyRuns;
        return TPublisher(connection, options);
    }
};

// One publish: the plan is learned without drops, then it runs while the proxy drops as
// armed. Checks everything a run that may have failed must still keep.
TPublishSummary PublishWhileDropping(DroppingSite& setup, const std::function<void()>& arm) {
    const Files before = TreeOf(setup.remote);
    TPublisher publisher = setup.Make();
    const TPublishPlan plan = publisher.Prepare();
    arm();
    TPublishSummary summary = publisher.Run();
    setup.proxy.Arm(DroppingProxy::Fault::None, 0);

    std::set<std::string> failed;
    for (const TPublishFailure& failure : summary.Failures) {
        EXPECT_FALSE(failure.Reason.empty()) << failure.Path;
        if (failure.Path.empty()) {
            EXPECT_NE(failure.Reason.find("manifest"), std::string::npos) << failure.Reason;
        }
        failed.insert(failure.Path);
    }
    int sent = 0;
    for (const TPlannedUpload& upload : plan.Uploads) {
        if (failed.count(upload.Path))
            continue;
        ++sent;
        EXPECT_EQ(ReadFileBytes(setup.remote / upload.Path),
                  ReadFileBytes(setup.local / upload.Path))
            << upload.Path << " is reported sent but differs";
    }
    EXPECT_EQ(summary.Uploaded, sent) << "every planned file is either sent or failed";
    // A real name holds the new file or the old one, never a part of either.
    for (const auto& [path, content] : TreeOf(setup.remote)) {
        auto old = before.find(path);
        bool whole = content == ReadFileBytes(setup.local / path) ||
                     (old != before.end() && content == old->second);
        EXPECT_TRUE(whole) << path << " holds a part of a file";
    }
    ExpectManifestTrue(setup.remote);
    return summary;
}

// A publish without drops afterwards completes the job: both trees the same.
void ExpectCleanPublishCompletes(DroppingSite& setup) {
    TPublishSummary summary = setup.Make().Run();
    EXPECT_TRUE(summary.Succeeded())
        << (summary.Failures.empty()
                ? ""
                : summary.Failures[0].Path + ": " + summary.Failures[0].Reason);
    EXPECT_EQ(TreeOf(setup.remote), TreeOf(setup.local.path()));
    EXPECT_TRUE(TemporaryNames(setup.remote).empty()) << *TemporaryNames(setup.remote).begin();
    ExpectManifestTrue(setup.remote);
}

void PublishThroughDrops(int connections, bool passive, std::uint64_t seed) {
    DroppingSite setup;
    setup.connections = connections;
    setup.passive = passive;
    MakeSite(setup.local.path(), seed);

    // The first publish, into an empty server, then one that replaces every third file.
    auto arm = [&](std::uint64_t s) {
        return [&setup, s] { setup.proxy.DropRandomly(s, 6, 1500, 700 * 1024); };
    };
    PublishWhileDropping(setup, arm(seed));
    ExpectCleanPublishCompletes(setup);
    ChangeSite(setup.local.path(), seed * 31);
    PublishWhileDropping(setup, arm(seed + 1));
    ExpectCleanPublishCompletes(setup);
    EXPECT_GE(setup.proxy.Drops(), 2) << "the drops happened";
}

} // namespace

TEST(PublishThroughDrops, OneActiveConnection) {
    PublishThroughDrops(1, false, 11);
}

TEST(PublishThroughDrops, FourPassiveConnections) {
    PublishThroughDrops(4, true, 23);
}

// The server renamed the new file over the old one, and the connection broke before its
// answer came: the file counts as failed, and the manifest must not keep describing the
// old file under that name, which the next publish would then trust.
TEST(PublishThroughDrops, RenameCarriedOutButItsAnswerLost) {
    DroppingSite setup;
    setup.historyRuns = 0; // RNFR and RNTO of the staged file alone (with a history: below)
    MakeSite(setup.local.path(), 5);
    ExpectCleanPublishCompletes(setup);
    const std::string page = "css/page1.htm";
    RandomFile(setup.local / page, fs::file_size(setup.local / page), 99); // same size

    TPublishSummary summary =
        PublishWhileDropping(setup, [&] { setup.proxy.DropAfterCommand("RNTO /www/" + page, 1); });
    EXPECT_EQ(setup.proxy.Drops(), 1);
    ASSERT_EQ(summary.Failures.size(), 1u);
    EXPECT_EQ(summary.Failures[0].Path, page);
    EXPECT_EQ(ReadFileBytes(setup.remote / page), ReadFileBytes(setup.local / page))
        << "the server did rename";
    ExpectCleanPublishCompletes(setup);
}

// The same with a history: the connection breaks in the middle of the burst that moves the
// page into the history and renames the staged file over it. Whatever of it the server
// carried out, the page is never left missing: on a new log-in the staged file takes its
// name (or the old page comes back), and undo brings the old page back.
TEST(PublishThroughDrops, APageMovedIntoTheHistoryIsNeverLeftMissing) {
    DroppingSite setup;
    MakeSite(setup.local.path(), 5);
    ExpectCleanPublishCompletes(setup);
    const Files before = TreeOf(setup.remote);
    const std::string page = "css/page1.htm";
    const std::string old = ReadFileBytes(setup.remote / page);
    RandomFile(setup.local / page, fs::file_size(setup.local / page), 98);

    TPublishSummary summary =
        PublishWhileDropping(setup, [&] { setup.proxy.DropAfterCommand("RNTO /www/" + page, 1); });
    EXPECT_EQ(setup.proxy.Drops(), 1);
    ASSERT_TRUE(fs::exists(setup.remote / page)) << "the page is missing from the site";
    const std::string now = ReadFileBytes(setup.remote / page);
    EXPECT_TRUE(now == old || now == ReadFileBytes(setup.local / page));
    ASSERT_FALSE(summary.HistoryRun.empty());
    TUndo undo(ConnectionTo(setup.server, false), "/www");
    TUndoSummary undone = undo.Undo();
    ASSERT_TRUE(undone.Succeeded()) << FailureText(undone.Failures.front());
    EXPECT_EQ(TreeOf(setup.remote), before);
}

// The run replaces files the manifest lists, and its connection breaks at a manifest
// upload: whatever the run did by then, the manifest on the server must not go on
// describing the files as they were before it.
TEST(PublishThroughDrops, ManifestStaysTrueWhenTheRunBreaksAtAManifestUpload) {
    DroppingSite setup;
    MakeSite(setup.local.path(), 5);
    ExpectCleanPublishCompletes(setup);
    ChangeSite(setup.local.path(), 77);

    TPublishSummary summary = PublishWhileDropping(setup, [&] {
        setup.proxy.DropAfterCommand("STOR /www/." + std::string(kManifestName), 1);
    });
    EXPECT_EQ(setup.proxy.Drops(), 1);
    EXPECT_FALSE(summary.Succeeded());
    ExpectCleanPublishCompletes(setup);
}

// The server made the remote root and the connection broke before its answer came: the
// failure names the folder, and the next publish finds it there.
TEST(PublishThroughDrops, RootMadeButItsAnswerLost) {
    DroppingSite setup;
    MakeSite(setup.local.path(), 9);
    TPublishSummary summary =
        PublishWhileDropping(setup, [&] { setup.proxy.DropAfterCommand("MKD /www", 1); });
    EXPECT_EQ(setup.proxy.Drops(), 1);
    ASSERT_FALSE(summary.Failures.empty());
    EXPECT_EQ(summary.Failures[0].Path, "/www");
    ExpectCleanPublishCompletes(setup);
}
