// Undo against a real server (pyftpdlib): runs that add, replace and delete files and make
// and remove folders are undone one after the other, each back to the tree before it byte
// for byte, manifest included; the history keeps the last N runs; a history inside the root
// is never listed, planned, deleted or published; a cut run is undone as far as it got; and
// with the history off a publish overwrites and deletes as it always did.
#include "publish/describe.h"
#include "publish/history.h"
#include "publish/publisher.h"
#include "publish/undo.h"
#include "publish_support.h"
#include "support/fixtures.h"
#include "support/pyftpd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

using namespace kestrel;
using namespace kestrel::test;
namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>; // relative path ("folder/") -> content

namespace {

// Every file and folder under root, the manifest included, the history left out.
Files TreeOf(const fs::path& root) {
    Files files;
    if (!fs::exists(root))
        return files;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
        std::string relative = fs::relative(it->path(), root).string();
        if (relative == kHistoryName) {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_directory())
            files[relative + "/"] = "";
        else
            files[relative] = ReadFileBytes(it->path());
    }
    return files;
}

struct Site {
    PyFtpd& server;
    TempDir local{"kestrel-site"};
    std::string remote = "/www";
    int historyRuns = kDefaultHistoryRuns;

    TPublishOptions Options() const {
        TPublishOptions options;
        options.LocalRoot = local.str();
        options.RemoteRoot = remote;
        options.Connections = 2;
        options.MatchConnectionsToWork = false;
        options.Plan.Delete = true;
        options.Plan.ForceDelete = true;
        options.HistoryRuns = historyRuns;
        return options;
    }
    TPublishSummary Publish() const {
        TPublisher publisher(ConnectionTo(server, true), Options());
        TPublishSummary summary = publisher.Run();
        EXPECT_TRUE(summary.Succeeded())
            << (summary.Failures.empty() ? "stopped" : FailureText(summary.Failures.front()));
        return summary;
    }
    TUndoSummary Undo(const std::string& run = "") const {
        TUndo undo(ConnectionTo(server, true), remote);
        TUndoSummary summary = undo.Undo(run);
        EXPECT_TRUE(summary.Succeeded()) << FailureText(summary.Failures.front());
        return summary;
    }
    std::vector<TUndoRun> Runs() const { return TUndo(ConnectionTo(server, true), remote).List(); }
    void Write(const std::string& path, const std::string& content) const {
        fs::create_directories((local / path).parent_path());
        WriteFileBytes(local / path, content);
    }
    void Remove(const std::string& path) const { fs::remove_all(local / path); }
};

std::vector<std::string> IdsOf(const std::vector<TUndoRun>& runs) {
    std::vector<std::string> ids;
    for (const TUndoRun& run : runs)
        ids.push_back(run.Id);
    return ids;
}

} // namespace

// Three runs, each undone in turn: the tree before each comes back byte for byte, the
// manifest with it, and the run leaves the history. The first run's undo removes all it
// added, its manifest too.
TEST(UndoRealServer, EachRunIsUndoneBackToTheTreeBeforeIt) {
    PyFtpd server;
    Site site{server};
    site.Write("index.htm", "<html>home 1</html>");
    site.Write("old.htm", "<html>old</html>");
    site.Write("css/site.css", "body { margin: 0 }");
    site.Write("gone/deep/a.txt", "in a folder that goes");
    site.Write("images/photo.jpg", RandomBytes(120000, 5));
    const fs::path www = server.root() / "www";
    TPublishSummary first = site.Publish();
    EXPECT_FALSE(first.HistoryRun.empty());
    const Files one = TreeOf(www);
    ASSERT_TRUE(one.count(kManifestName));

    // Replaced, deleted, a folder tree removed, a folder made, a file added.
    site.Write("index.htm", "<html>home 2, longer than before</html>");
    site.Remove("old.htm");
    site.Remove("gone");
    site.Write("new/b.htm", "<html>b</html>");
    site.Write("c.htm", "<html>c</html>");
    TPublishSummary second = site.Publish();
    EXPECT_EQ(second.Deleted, 4); // old.htm, gone/deep/a.txt, gone/deep, gone
    const Files two = TreeOf(www);
    ASSERT_NE(two, one);

    site.Write("css/site.css", "body { margin: 1em }");
    site.Write("images/photo.jpg", RandomBytes(90000, 6));
    site.Remove("new");
    site.Write("gone/again.htm", "a folder made where one was removed before");
    site.Publish();
    ASSERT_NE(TreeOf(www), two);

    std::vector<TUndoRun> runs = site.Runs();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].Id, first.HistoryRun);
    EXPECT_EQ(runs[1].Id, second.HistoryRun);
    EXPECT_TRUE(runs[1].Complete);
    EXPECT_EQ(runs[1].Added, 2);
    EXPECT_EQ(runs[1].Replaced, 1);
    EXPECT_EQ(runs[1].Deleted, 2);
    EXPECT_EQ(runs[1].FoldersMade, 1);
    EXPECT_EQ(runs[1].FoldersRemoved, 2);

    TUndoSummary undone = site.Undo();
    EXPECT_EQ(undone.Undone, std::vector<std::string>{runs[2].Id});
    EXPECT_TRUE(undone.ManifestRestored);
    EXPECT_EQ(TreeOf(www), two);
    EXPECT_EQ(IdsOf(site.Runs()), (std::vector<std::string>{runs[0].Id, runs[1].Id}));

    site.Undo();
    EXPECT_EQ(TreeOf(www), one);
    site.Undo();
    EXPECT_EQ(TreeOf(www), Files{}); // the root the first run made stays, empty
    EXPECT_TRUE(site.Runs().empty());
    // Only the history's .htaccess is left of it, beside the root: the root's parent is
    // writable here.
    const fs::path history = server.root() / kHistoryName / "www";
    EXPECT_EQ(TreeOf(history), (Files{{".htaccess", HistoryAccessText()}}));
    TUndo undo(ConnectionTo(server, true), "/www");
    EXPECT_THROW(undo.Undo(), ENothingToUndo);
}

// Undoing a run that is not the last undoes the later ones first; a run not in the history
// is refused with its id, and nothing is changed.
TEST(UndoRealServer, UndoingAnEarlierRunUndoesTheLaterOnesFirst) {
    PyFtpd server;
    Site site{server};
    site.Write("index.htm", "1");
    site.Publish();
    const Files one = TreeOf(server.root() / "www");
    site.Write("index.htm", "2");
    TPublishSummary second = site.Publish();
    site.Write("index.htm", "3");
    site.Write("more.htm", "3");
    site.Publish();
    const Files three = TreeOf(server.root() / "www");

    TUndo undo(ConnectionTo(server, true), "/www");
    try {
        undo.Undo("20000101T000000Z");
        FAIL() << "an unknown run was undone";
    } catch (const ENothingToUndo& error) {
        EXPECT_NE(std::string(error.what()).find("20000101T000000Z"), std::string::npos);
    }
    EXPECT_EQ(TreeOf(server.root() / "www"), three);
    TUndoSummary summary = site.Undo(second.HistoryRun);
    EXPECT_EQ(summary.Undone.size(), 2u);
    EXPECT_EQ(summary.Undone.back(), second.HistoryRun);
    EXPECT_EQ(TreeOf(server.root() / "www"), one);
    EXPECT_EQ(site.Runs().size(), 1u);
}

// Keep the last N: after a successful run the older runs beyond N go; the plan says what the
// history holds, what the run moves there and what it removes.
TEST(UndoRealServer, TheHistoryKeepsTheLastRunsAndThePlanShowsItsCost) {
    PyFtpd server;
    Site site{server};
    site.historyRuns = 2;
    std::vector<std::string> ids;
    std::vector<Files> trees;
    for (int run = 1; run <= 4; ++run) {
        site.Write("index.htm", std::string(std::size_t(run) * 100, char('a' + run)));
        trees.push_back(TreeOf(server.root() / "www"));
        if (run == 4) {
            TPublisher publisher(ConnectionTo(server, true), site.Options());
            const TPlanHistory& history = publisher.Prepare().History;
            EXPECT_TRUE(history.On);
            EXPECT_FALSE(history.InsideRoot);
            EXPECT_EQ(history.Folder, "/" + std::string(kHistoryName) + "/www");
            EXPECT_EQ(history.Runs, 2);
            EXPECT_EQ(history.Files, 2); // the index.htm of runs 1 and 2, kept by runs 2 and 3
            EXPECT_EQ(history.Moves, 1);
            EXPECT_EQ(history.MovesBytes, 300);
            EXPECT_EQ(history.Prunes, 1);
            std::string text = HistoryText(publisher.Plan());
            EXPECT_NE(text.find("keeps the last 2 runs"), std::string::npos) << text;
            TPublishSummary summary = publisher.Run();
            ASSERT_TRUE(summary.Succeeded());
            ids.push_back(summary.HistoryRun);
        } else {
            ids.push_back(site.Publish().HistoryRun);
        }
    }
    EXPECT_EQ(IdsOf(site.Runs()), (std::vector<std::string>{ids[2], ids[3]}));
    site.Undo();
    EXPECT_EQ(TreeOf(server.root() / "www"), trees[3]);
    site.Undo();
    EXPECT_EQ(TreeOf(server.root() / "www"), trees[2]);
    TUndo undo(ConnectionTo(server, true), "/www");
    EXPECT_THROW(undo.Undo(), ENothingToUndo);
}

// The root "/" has no parent: the history is inside it, closed to the web by its .htaccess,
// and never listed, planned, deleted, published or put in the manifest; a local folder of
// its name is never published over it.
TEST(UndoRealServer, AHistoryInsideTheRootIsNeverPartOfTheSite) {
    PyFtpd server;
    Site site{server};
    site.remote = "/";
    site.Write("index.htm", "<html>1</html>");
    site.Write("a/b.htm", "<html>b</html>");
    site.Write(std::string(kHistoryName) + "/x.htm", "never published");
    site.Write("a/" + std::string(kHistoryName), "a page of that name below the root is content");
    site.Publish();
    const fs::path history = server.root() / kHistoryName;
    ASSERT_TRUE(fs::exists(history / ".htaccess"));
    EXPECT_EQ(ReadFileBytes(history / ".htaccess"), HistoryAccessText());
    EXPECT_FALSE(fs::exists(history / "x.htm"));
    const Files one = TreeOf(server.root());

    site.Write("index.htm", "<html>2</html>");
    site.Remove("a");
    TPublisher publisher(ConnectionTo(server, true), site.Options());
    const TPublishPlan& plan = publisher.Prepare();
    EXPECT_TRUE(plan.History.InsideRoot);
    EXPECT_EQ(plan.History.Folder, "/" + std::string(kHistoryName));
    EXPECT_NE(HistoryText(plan).find("inside the site"), std::string::npos) << HistoryText(plan);
    for (const auto& [path, entry] : publisher.Remote().Entries)
        EXPECT_EQ(path.rfind(kHistoryName, 0), std::string::npos) << path;
    EXPECT_EQ(plan.FilesOnServer, 3); // index.htm and the two in a/
    EXPECT_EQ(plan.FilesToDelete,
              (std::vector<std::string>{"a/" + std::string(kHistoryName), "a/b.htm"}));
    EXPECT_EQ(plan.FoldersToDelete, std::vector<std::string>{"a"});
    ASSERT_EQ(plan.Uploads.size(), 1u);
    EXPECT_EQ(plan.Uploads[0].Path, "index.htm");
    ASSERT_TRUE(publisher.Run().Succeeded());
    const std::string manifest = ReadFileBytes(server.root() / kManifestName);
    EXPECT_EQ(manifest.find(kHistoryName), std::string::npos) << manifest;
    EXPECT_TRUE(fs::exists(history / ".htaccess"));

    site.Undo();
    EXPECT_EQ(TreeOf(server.root()), one);
}

// A run cut before its end (its record never completed) is undone as far as it got: what
// it set out to do and never did is left alone, what it did is put back.
TEST(UndoRealServer, ACutRunIsUndoneAsFarAsItGot) {
    PyFtpd server;
    Site site{server};
    site.Write("index.htm", "<html>1</html>");
    site.Write("keep.htm", "<html>keep</html>");
    site.Publish();
    const Files one = TreeOf(server.root() / "www");
    site.Write("index.htm", "<html>2</html>");
    site.Write("new.htm", "<html>new</html>");
    TPublishSummary second = site.Publish();

    // The record as a run cut before its end leaves it: what it set out to do, among it a
    // file it never added and one it never got to delete.
    const fs::path record = server.root() / kHistoryName / "www" / second.HistoryRun / "record";
    std::optional<THistoryRecord> done = ParseHistoryRecord(ReadFileBytes(record));
    ASSERT_TRUE(done);
    done->Complete = false;
    done->Added.push_back("never-sent.htm");
    done->Deleted.push_back("keep.htm");
    WriteFileBytes(record, FormatHistoryRecord(*done));
    EXPECT_FALSE(site.Runs().back().Complete);

    site.Undo();
    EXPECT_EQ(TreeOf(server.root() / "www"), one);
}

// History off: files are overwritten and deleted as before, nothing is kept anywhere.
TEST(UndoRealServer, WithTheHistoryOffNothingIsKept) {
    PyFtpd server;
    Site site{server};
    site.historyRuns = 0;
    site.Write("index.htm", "1");
    site.Write("old.htm", "old");
    site.Publish();
    site.Write("index.htm", "2");
    site.Remove("old.htm");
    TPublisher publisher(ConnectionTo(server, true), site.Options());
    EXPECT_FALSE(publisher.Prepare().History.On);
    EXPECT_EQ(HistoryText(publisher.Plan()), "");
    TPublishSummary summary = publisher.Run();
    ASSERT_TRUE(summary.Succeeded());
    EXPECT_EQ(summary.HistoryRun, "");
    EXPECT_EQ(ReadFileBytes(server.root() / "www/index.htm"), "2");
    EXPECT_FALSE(fs::exists(server.root() / "www/old.htm"));
    EXPECT_FALSE(fs::exists(server.root() / kHistoryName));
    EXPECT_FALSE(fs::exists(server.root() / "www" / kHistoryName));
    TUndo undo(ConnectionTo(server, true), "/www");
    EXPECT_THROW(undo.Undo(), ENothingToUndo);
}

// A run with nothing to do keeps no run in the history.
TEST(UndoRealServer, ARunThatChangesNothingKeepsNoRun) {
    PyFtpd server;
    Site site{server};
    site.Write("index.htm", "1");
    site.Publish();
    TPublishSummary again = site.Publish();
    EXPECT_EQ(again.HistoryRun, "");
    EXPECT_EQ(site.Runs().size(), 1u);
}

// The record of a run reads back as written; one naming a path outside the site (written by
// hand, or damaged) is refused whole, so that undo never reaches outside the root.
TEST(HistoryRecord, ReadsBackAndRefusesPathsOutsideTheSite) {
    THistoryRecord record;
    record.Id = "20261209T081500Z";
    record.Complete = true;
    record.HadManifest = true;
    record.Added = {"a b.htm", "new/c.htm"};
    record.Replaced = {"index.htm"};
    record.Deleted = {"old/x.gif"};
    record.NotKept = {"y.htm"};
    record.FoldersMade = {"new"};
    record.FoldersRemoved = {"old"};
    const std::string text = FormatHistoryRecord(record);
    std::optional<THistoryRecord> back = ParseHistoryRecord(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(FormatHistoryRecord(*back), text);
    EXPECT_EQ(back->Added, record.Added);
    EXPECT_TRUE(back->Complete);
    EXPECT_FALSE(ParseHistoryRecord("added a.htm\n"));
    for (const char* bad : {"../x", "/etc/passwd", "a//b", "a/../../b", "./a", ""})
        EXPECT_FALSE(ParseHistoryRecord(text + "deleted " + bad + "\n")) << bad;
}

// Run ids sort as the runs came, also several in one second and after the clock went back.
TEST(HistoryRecord, RunIdsSortAsTheRunsCame) {
    using namespace std::chrono;
    const system_clock::time_point when = sys_days{2026y / 12 / 9} + 8h + 15min;
    EXPECT_EQ(HistoryRunId(when), "20261209T081500Z");
    EXPECT_EQ(HistoryRunTime("20261209T081500Z-2"), "2026-12-09 08:15:00 UTC");
    EXPECT_TRUE(IsHistoryRunId("20261209T081500Z-12"));
    for (const char* bad : {"20261209T081500", "20261209-081500Z", "20261209T081500Z-", "x"})
        EXPECT_FALSE(IsHistoryRunId(bad)) << bad;
    std::vector<THistoryRunInfo> runs;
    EXPECT_EQ(NextHistoryRunId(when, runs), "20261209T081500Z");
    runs.push_back({"20261209T081500Z-9"});
    EXPECT_EQ(NextHistoryRunId(when, runs), "20261209T081500Z-10");
    EXPECT_TRUE(HistoryRunBefore("20261209T081500Z-9", "20261209T081500Z-10"));
    EXPECT_TRUE(HistoryRunBefore("20261209T081500Z", "20261209T081500Z-2"));
    EXPECT_EQ(NextHistoryRunId(when - 1h, runs), "20261209T081500Z-10");
    EXPECT_EQ(NextHistoryRunId(when + 1s, runs), "20261209T081501Z");
}

// A log-in that may write files but make no folders has no place for a history: the run
// goes on without one, as it does without a lock, and says that it cannot be undone.
TEST(UndoRealServer, WhereNoHistoryCanBeMadeTheRunSaysItCannotBeUndone) {
    PyFtpdOptions options;
    options.extra_args = {"--perm", "elradfw"}; // everything but MKD
    PyFtpd server(options);
    Site site{server};
    site.remote = "/";
    site.Write("index.htm", "1");
    WriteFileBytes(server.root() / "index.htm", "old");
    TPublisher publisher(ConnectionTo(server, true), site.Options());
    EXPECT_TRUE(publisher.Prepare().History.On);
    TPublishSummary summary = publisher.Run();
    ASSERT_TRUE(summary.Succeeded()) << FailureText(summary.Failures.front());
    EXPECT_EQ(summary.HistoryRun, "");
    EXPECT_TRUE(std::any_of(summary.Notes.begin(), summary.Notes.end(), [](const std::string& n) {
        return n.find("No history could be started") != n.npos &&
               n.find("cannot be undone") != n.npos;
    }));
    EXPECT_EQ(ReadFileBytes(server.root() / "index.htm"), "1");
    EXPECT_FALSE(fs::exists(server.root() / kHistoryName));
}
