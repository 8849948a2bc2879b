// Publishes through a proxy that drops connections at seeded random points: whatever the
// summary reports as sent is byte-identical on the server, every real name holds a whole
// file (the new one or the old one), the manifest describes only what is really there,
// failures name their file and a reason, and a publish without drops then finishes the
// job. Also the exact case of a rename the server carried out whose answer was lost.
#include "drop_support.h"
#include "publish/describe.h"
#include "publish/publisher.h"
#include "publish/sha256.h"
#include "publish/undo.h"
#include "publish_support.h"
#include "support/dropping_proxy.h"
#include "support/fixtures.h"
#include "support/pyftpd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>

using namespace kestrel;
using namespace kestrel::test;
namespace fs = std::filesystem;

namespace {

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

// One of two connections is dropped in the middle of its uploads and cannot log in again:
// the files it had taken on and not sent go to the other connection, and the run publishes
// everything, with a note of the lost connection.
TEST(PublishThroughDrops, ALostConnectionsFilesGoToTheOthers) {
    DroppingSite setup;
    setup.connections = 2;
    setup.passive = true;
    MakeSite(setup.local.path(), 41);

    TPublishSummary summary = PublishWhileDropping(setup, [&] {
        setup.proxy.RefuseSessionsAfterDrop();
        setup.proxy.DropAfterCommand("STOR /www/css/", 2);
    });
    EXPECT_EQ(setup.proxy.Drops(), 1);
    EXPECT_TRUE(summary.Succeeded())
        << (summary.Failures.empty() ? std::string("stopped")
                                     : FailureText(summary.Failures.front()));
    EXPECT_EQ(summary.Uploaded, 48);
    EXPECT_TRUE(std::any_of(
        summary.Notes.begin(), summary.Notes.end(),
        [](const std::string& note) { return note.find("could not log in") != std::string::npos; }))
        << (summary.Notes.empty() ? std::string("no note") : summary.Notes.front());
    EXPECT_TRUE(TreeOf(setup.remote) == TreeOf(setup.local.path()));
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
