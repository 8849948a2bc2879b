// The publishing engine without a server: the plan worked out from constructed local and
// remote trees and manifests, the manifest's text, the listing lines, and the local walk.
#include "base/exception.h"
#include "publish/plan.h"
#include "publish/publisher.h"
#include "publish/sha256.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

using namespace kestrel;
using namespace kestrel::test;
using Paths = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

// A local tree of files given as path -> content; folders are made from the paths.
TLocalTree Local(const std::map<std::string, std::string>& files, Paths folders = {}) {
    TLocalTree tree;
    for (const auto& [path, content] : files) {
        tree.Files[path] =
            TLocalFile{"/site/" + path, std::int64_t(content.size()), 1000, BytesSha256(content)};
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            tree.Folders.insert(path.substr(0, slash));
    }
    tree.Folders.insert(folders.begin(), folders.end());
    return tree;
}

TRemoteEntry File(std::int64_t size, std::int64_t time = 500) {
    return TRemoteEntry{false, size, time};
}
TRemoteEntry Folder() {
    return TRemoteEntry{true, -1, -1};
}

TRemoteTree Remote(std::map<std::string, TRemoteEntry> entries) {
    TRemoteTree tree;
    tree.TimesKnown = true;
    tree.Entries = std::move(entries);
    return tree;
}

TManifest ManifestOf(const std::map<std::string, std::string>& files) {
    TManifest manifest;
    for (const auto& [path, content] : files)
        manifest[path] = {BytesSha256(content), std::int64_t(content.size())};
    return manifest;
}

Paths UploadPaths(const TPublishPlan& plan) {
    Paths paths;
    for (const auto& upload : plan.Uploads)
        paths.push_back(upload.Path + (upload.New ? " (new)" : " (changed)"));
    return paths;
}

TPlanOptions WithDelete() {
    TPlanOptions options;
    options.Delete = true;
    return options;
}

} // namespace

TEST(PublishPlan, ManifestFindsNewChangedUnchangedDeletedAndRenamedFiles) {
    // Last publish: index, about (same size as now), old.htm; since then about.htm was
    // edited without changing its size, old.htm was renamed to news.htm.
    TManifest manifest = ManifestOf({{"index.htm", "home"},
                                     {"about.htm", "me!"},
                                     {"old.htm", "news"},
                                     {"img/logo.gif", "GIF"}});
    TRemoteTree remote = Remote({{"index.htm", File(4)},
                                 {"about.htm", File(3)},
                                 {"old.htm", File(4)},
                                 {"img", Folder()},
                                 {"img/logo.gif", File(3)},
                                 {kManifestName, File(300)}});
    TLocalTree local = Local({{"index.htm", "home"},
                              {"about.htm", "you"},
                              {"news.htm", "news"},
                              {"img/logo.gif", "GIF"},
                              {"contact.htm", "mail me"}});

    TPublishPlan plan = MakePlan(local, remote, manifest, {});
    EXPECT_TRUE(plan.ByManifest);
    EXPECT_EQ(UploadPaths(plan),
              (Paths{"about.htm (changed)", "contact.htm (new)", "news.htm (new)"}));
    EXPECT_EQ(plan.Unchanged, (Paths{"img/logo.gif", "index.htm"}));
    EXPECT_EQ(plan.BytesToSend, 3 + 7 + 4);
    EXPECT_TRUE(plan.FilesToDelete.empty()) << "nothing is deleted without the option";
    EXPECT_TRUE(plan.Notes.empty());

    plan = MakePlan(local, remote, manifest, WithDelete());
    EXPECT_EQ(plan.FilesToDelete, (Paths{"old.htm"})) << "never the manifest";
    EXPECT_TRUE(plan.FoldersToDelete.empty());
}

TEST(PublishPlan, ServerChangedBehindTheManifestIsSentAgain) {
    TManifest manifest = ManifestOf({{"a.htm", "aaaa"}, {"b.htm", "bbbb"}});
    // Another tool replaced a.htm with a longer file and removed b.htm.
    TRemoteTree remote = Remote({{"a.htm", File(9)}});
    TLocalTree local = Local({{"a.htm", "aaaa"}, {"b.htm", "bbbb"}});
    TPublishPlan plan = MakePlan(local, remote, manifest, {});
    EXPECT_EQ(UploadPaths(plan), (Paths{"a.htm (changed)", "b.htm (new)"}));
}

TEST(PublishPlan, WithoutManifestSizeAndTimeDecideAndThePlanSaysSo) {
    TLocalTree local = Local(
        {{"same.htm", "1234"}, {"longer.htm", "12345"}, {"newer.htm", "1234"}, {"new.htm", "x"}});
    local.Files["newer.htm"].ModifyTime = 900; // edited after the server's copy (500)
    local.Files["same.htm"].ModifyTime = 400;
    TRemoteTree remote = Remote(
        {{"same.htm", File(4, 500)}, {"longer.htm", File(4, 500)}, {"newer.htm", File(4, 500)}});
    TPublishPlan plan = MakePlan(local, remote, std::nullopt, {});
    EXPECT_FALSE(plan.ByManifest);
    EXPECT_EQ(UploadPaths(plan),
              (Paths{"longer.htm (changed)", "new.htm (new)", "newer.htm (changed)"}));
    EXPECT_EQ(plan.Unchanged, (Paths{"same.htm"}));
    ASSERT_EQ(plan.Notes.size(), 1u);
    EXPECT_EQ(plan.Notes[0],
              "No manifest on the server: changes are judged by size and modification time");

    // A listing without exact times (LIST) leaves size alone, and says so.
    remote.TimesKnown = false;
    for (auto& [path, entry] : remote.Entries)
        entry.ModifyTime = -1;
    plan = MakePlan(local, remote, std::nullopt, {});
    EXPECT_EQ(UploadPaths(plan), (Paths{"longer.htm (changed)", "new.htm (new)"}));
    EXPECT_EQ(plan.Notes[0], "No manifest on the server: changes are judged by size");
}

TEST(PublishPlan, NestedFoldersAreCreatedParentsFirstAndTheMissingRootToo) {
    TLocalTree local =
        Local({{"a/b/c/deep.htm", "d"}, {"a/top.htm", "t"}, {"z/z.htm", "z"}}, {"empty"});
    TRemoteTree remote = Remote({{"a", Folder()}});
    TPublishPlan plan = MakePlan(local, remote, std::nullopt, {});
    EXPECT_FALSE(plan.CreateRoot);
    EXPECT_EQ(plan.FoldersToCreate, (Paths{"a/b", "a/b/c", "empty", "z"}));
    EXPECT_EQ(plan.Uploads.size(), 3u);

    TRemoteTree none;
    none.RootExists = false;
    plan = MakePlan(local, none, std::nullopt, {});
    EXPECT_TRUE(plan.CreateRoot);
    EXPECT_EQ(plan.FoldersToCreate, (Paths{"a", "a/b", "a/b/c", "empty", "z"}));
}

TEST(PublishPlan, FileWhereAFolderWasAndFolderWhereAFileWas) {
    // Locally "docs" became a page and "pics" a folder; on the server it is the reverse.
    TLocalTree local = Local({{"docs", "page"}, {"pics/a.gif", "GIF"}, {"pics/b/c.gif", "G"}});
    TRemoteTree remote = Remote({{"docs", Folder()},
                                 {"docs/x.htm", File(1)},
                                 {"docs/sub", Folder()},
                                 {"docs/sub/y.htm", File(1)},
                                 {"pics", File(10)}});

    TPublishPlan plan = MakePlan(local, remote, std::nullopt, {});
    ASSERT_EQ(plan.Conflicts.size(), 2u);
    EXPECT_EQ(plan.Conflicts[0].Path, "pics");
    EXPECT_EQ(plan.Conflicts[0].Reason,
              "a file of that name is on the server; publish with delete to replace it");
    EXPECT_EQ(plan.Conflicts[1].Path, "docs");
    EXPECT_TRUE(plan.Uploads.empty()) << "nothing under a folder that cannot be made";
    EXPECT_TRUE(plan.FoldersToCreate.empty());
    EXPECT_TRUE(plan.FilesToRemoveFirst.empty());

    plan = MakePlan(local, remote, std::nullopt, WithDelete());
    EXPECT_TRUE(plan.Conflicts.empty());
    EXPECT_EQ(plan.FilesToRemoveFirst, (Paths{"pics", "docs/sub/y.htm", "docs/x.htm"}));
    EXPECT_EQ(plan.FoldersToRemoveFirst, (Paths{"docs/sub", "docs"}));
    EXPECT_EQ(plan.FoldersToCreate, (Paths{"pics", "pics/b"}));
    EXPECT_EQ(UploadPaths(plan), (Paths{"docs (new)", "pics/a.gif (new)", "pics/b/c.gif (new)"}));
    EXPECT_TRUE(plan.FilesToDelete.empty()) << "what made way is not deleted twice";
    EXPECT_TRUE(plan.FoldersToDelete.empty());
}

TEST(PublishPlan, DeleteKeepsWhatTheWalkLeavesOutAndOtherTreesAndRemovesLeftovers) {
    TLocalTree local = Local({{"index.htm", "i"}});
    TRemoteTree remote = Remote({
        {"index.htm", File(1)},
        {".DS_Store", File(20)}, // litter: the walk leaves such files out
        {"gone.htm", File(2)},   // deleted locally
        {"old", Folder()},       // a folder gone locally, all of it goes
        {"old/a.htm", File(1)},
        {"old/deeper", Folder()},
        {"old/deeper/b.htm", File(1)},
        {"keep", Folder()}, // gone locally, but holds a file that looks like a secret
        {"keep/.env", File(1)},
        {"keep/x.htm", File(1)},
        {"blog", Folder()}, // another published tree
        {"blog/.kestrelftp-manifest", File(80)},
        {"blog/post.htm", File(5)},
        {".index.htm.kestrel-tmp", File(1)}, // left by an interrupted publish
        {kManifestName, File(100)},
    });
    TPublishPlan plan = MakePlan(local, remote, std::nullopt, {});
    EXPECT_EQ(plan.FilesToDelete, (Paths{".index.htm.kestrel-tmp"}))
        << "temporary files are removed even without the delete option";
    EXPECT_TRUE(plan.FoldersToDelete.empty());

    plan = MakePlan(local, remote, std::nullopt, WithDelete());
    EXPECT_EQ(plan.FilesToDelete, (Paths{".index.htm.kestrel-tmp", "gone.htm", "keep/x.htm",
                                         "old/a.htm", "old/deeper/b.htm"}));
    EXPECT_EQ(plan.FoldersToDelete, (Paths{"old/deeper", "old"}));
    EXPECT_EQ(plan.Notes.back(), "Left alone: blog holds another published tree");

    EXPECT_EQ(plan.KeptOnServer, 2);

    // With those files included, the ones that are gone locally go too.
    local.Rules.AddExclusions({"!.DS_Store", "!.env"});
    plan = MakePlan(local, remote, std::nullopt, WithDelete());
    EXPECT_EQ(plan.FilesToDelete,
              (Paths{".DS_Store", ".index.htm.kestrel-tmp", "gone.htm", "keep/.env", "keep/x.htm",
                     "old/a.htm", "old/deeper/b.htm"}));
    EXPECT_EQ(plan.FoldersToDelete, (Paths{"old/deeper", "keep", "old"}));
}

TEST(PublishPlan, NamesWithSpacesAndUtf8) {
    std::map<std::string, std::string> files = {{"my page.htm", "a b"},
                                                {"\xC3\xBC"
                                                 "ber/caf\xC3\xA9 1.htm",
                                                 "cafe"}};
    TLocalTree local = Local(files);
    TPublishPlan plan = MakePlan(local, Remote({}), std::nullopt, {});
    EXPECT_EQ(plan.FoldersToCreate, (Paths{"\xC3\xBC"
                                           "ber"}));
    EXPECT_EQ(UploadPaths(plan), (Paths{"my page.htm (new)", "\xC3\xBC"
                                                             "ber/caf\xC3\xA9 1.htm (new)"}));

    // The manifest carries such names through its text unchanged.
    TManifest manifest = ManifestOf(files);
    std::optional<TManifest> back = ParseManifest(FormatManifest(manifest));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, manifest);
    TRemoteTree remote = Remote({{"my page.htm", File(3)},
                                 {"\xC3\xBC"
                                  "ber",
                                  Folder()},
                                 {"\xC3\xBC"
                                  "ber/caf\xC3\xA9 1.htm",
                                  File(4)}});
    plan = MakePlan(local, remote, back, {});
    EXPECT_TRUE(plan.Uploads.empty());
    EXPECT_EQ(plan.Unchanged.size(), 2u);
}

TEST(PublishManifest, ForeignOrDamagedText) {
    EXPECT_FALSE(ParseManifest(""));
    EXPECT_FALSE(ParseManifest("<html>not a manifest</html>\n"));
    int bad = 0;
    std::string hash(64, 'a');
    auto manifest = ParseManifest("# KestrelFTP manifest 1\r\n" + hash + " 12 ok.htm\r\n" + hash +
                                      " -1 negative.htm\n" + hash + " 12\n" + "xyz 12 short.htm\n" +
                                      hash + " 7 /absolute.htm\n" + hash.substr(0, 63) +
                                      "G 3 badhex.htm\n\n" + hash + " 3 last without line end.htm",
                                  &bad);
    ASSERT_TRUE(manifest);
    EXPECT_EQ(bad, 5);
    ASSERT_EQ(manifest->size(), 2u);
    EXPECT_EQ(manifest->at("ok.htm").Size, 12);
    EXPECT_EQ(manifest->at("last without line end.htm").Size, 3);
}

TEST(PublishListing, MachineAndUnixListingLines) {
    std::string name;
    TRemoteEntry entry;
    ASSERT_TRUE(
        ParseMachineListLine("type=file;size=2048;modify=20261208101500; a b.htm", name, entry));
    EXPECT_EQ(name, "a b.htm");
    EXPECT_FALSE(entry.Folder);
    EXPECT_EQ(entry.Size, 2048);
    EXPECT_EQ(entry.ModifyTime, 1796724900); // 2026-12-08 10:15:00 UTC
    ASSERT_TRUE(
        ParseMachineListLine("Type=dir;Modify=20261208101500.123;Perm=el; images", name, entry));
    EXPECT_TRUE(entry.Folder);
    EXPECT_EQ(name, "images");
    EXPECT_FALSE(ParseMachineListLine("type=cdir;modify=20261208101500; /site", name, entry));
    EXPECT_FALSE(ParseMachineListLine("type=pdir; ..", name, entry));
    EXPECT_FALSE(ParseMachineListLine("type=OS.unix=slink:/x; link", name, entry));
    EXPECT_FALSE(ParseMachineListLine("garbage", name, entry));
    ASSERT_TRUE(ParseMachineListLine("type=file;size=huge; odd.htm", name, entry));
    EXPECT_EQ(entry.Size, -1);

    ASSERT_TRUE(ParseUnixListLine("-rw-r--r--   1 owner group     2048 Dec  8 10:15 my  page.htm",
                                  name, entry));
    EXPECT_EQ(name, "my  page.htm");
    EXPECT_EQ(entry.Size, 2048);
    ASSERT_TRUE(
        ParseUnixListLine("drwxr-xr-x 2 owner group 4096 Jan  1  2025 images", name, entry));
    EXPECT_TRUE(entry.Folder);
    EXPECT_FALSE(ParseUnixListLine("total 12", name, entry));
    EXPECT_FALSE(ParseUnixListLine("lrwxrwxrwx 1 o g 4 Dec  8 10:15 l -> x", name, entry));
    EXPECT_FALSE(ParseUnixListLine("drwxr-xr-x 2 o g 4096 Dec  8 10:15 ..", name, entry));
    EXPECT_FALSE(ParseUnixListLine("-rw-r--r-- 1 o g 12 Dec  8", name, entry));

    EXPECT_EQ(JoinRemote("/", "a/b.htm"), "/a/b.htm");
    EXPECT_EQ(JoinRemote("/site", "a"), "/site/a");
    EXPECT_EQ(JoinRemote("/site", ""), "/site");
}

TEST(PublishLocalWalk, WhatIsPublishedAndWhatIsLeftOutWithANote) {
    TempDir outside("kestrel-outside");
    WriteFileBytes(outside / "secret.txt", "secret");
    TempDir site("kestrel-site");
    fs::create_directories(site / "css");
    fs::create_directories(site / ".git");
    WriteFileBytes(site / "index.htm", "home");
    WriteFileBytes(site / "css/site.css", "body{}");
    WriteFileBytes(site / ".git/config", "x");
    WriteFileBytes(site / ".htaccess", "x");
    WriteFileBytes(site / "index.htm~", "x");
    WriteFileBytes(site / ".index.htm.swp", "x");
    WriteFileBytes(site / "page.bak", "x");
    WriteFileBytes(site / kManifestName, "x");
    WriteFileBytes(site / "Config.txt", "password inside");
    WriteFileBytes(site / "css/KestrelFTP.ini", "x");
    fs::create_symlink(outside / "secret.txt", site / "leak.txt");
    fs::create_symlink(site / "index.htm", site / "home.htm");
    fs::create_symlink(site.path(), site / "css/loop");
    fs::create_symlink(site / "missing", site / "dangling");
    ASSERT_EQ(::mkfifo((site / "pipe").c_str(), 0600), 0);

    TLocalTree tree = WalkLocalTree(site.str(), {});
    Paths files;
    for (const auto& [path, file] : tree.Files)
        files.push_back(path);
    EXPECT_EQ(files, (Paths{".htaccess", "css/site.css", "home.htm", "index.htm"}))
        << "hidden names are web files";
    EXPECT_EQ(tree.Folders, (std::set<std::string>{"css"}));
    EXPECT_EQ(tree.Files["index.htm"].Hash, BytesSha256("home"));
    EXPECT_EQ(tree.Files["index.htm"].Size, 4);
    Paths leftOut;
    for (const TLeftOut& item : tree.LeftOut)
        leftOut.push_back(item.Path + (item.Folder ? "/: " : ": ") + LeftOutText(item));
    EXPECT_EQ(leftOut, (Paths{".git/: a version-control folder",
                              ".index.htm.swp: an editor back-up or swap file",
                              ".kestrelftp-manifest: a file of this program",
                              "Config.txt: a settings file of this program, it holds the password",
                              "css/KestrelFTP.ini: a settings file of this program, it holds "
                              "the password",
                              "index.htm~: an editor back-up or swap file",
                              "page.bak: an editor back-up or swap file"}));
    EXPECT_EQ(tree.Notes, (Paths{"Skipped link css/loop: it leads into a loop",
                                 "Skipped link dangling: it points nowhere",
                                 "Skipped link leak.txt: it points outside the site folder",
                                 "Skipped special file pipe"}));
    EXPECT_TRUE(tree.Unreadable.empty());

    // Every default can be included again; the manifest and the settings files never.
    TWalkOptions all;
    all.Exclusions = {"!.git",       "!*.swp",         "!*~", "!*.bak", "!.kestrelftp-manifest",
                      "!Config.txt", "!KestrelFTP.ini"};
    tree = WalkLocalTree(site.str(), all);
    files.clear();
    for (const auto& [path, file] : tree.Files)
        files.push_back(path);
    EXPECT_EQ(files, (Paths{".git/config", ".htaccess", ".index.htm.swp", "css/site.css",
                            "home.htm", "index.htm", "index.htm~", "page.bak"}));
    EXPECT_TRUE(tree.Folders.count(".git"));

    // The settings files are those the program names, in any folder of the site.
    TWalkOptions named;
    named.SettingsFiles = {"site.css"};
    tree = WalkLocalTree(site.str(), named);
    EXPECT_TRUE(tree.Files.count("Config.txt"));
    ASSERT_FALSE(tree.Files.count("css/site.css"));
    EXPECT_EQ(std::count_if(tree.LeftOut.begin(), tree.LeftOut.end(),
                            [](const TLeftOut& item) {
                                return item.Path == "css/site.css" &&
                                       item.Reason == TLeftOutReason::SettingsFile;
                            }),
              1);

    EXPECT_THROW(WalkLocalTree((site / "no such").string(), {}), EInOutError);
}

TEST(PublishConnections, OnlyAsManyAsTheWorkRepays) {
    // 1,000 files of 2 ms each against a log-in of 50 ms: all four are worth it; ten files
    // (20 ms) are sent sooner on one connection than after more log-ins.
    EXPECT_EQ(ConnectionsWorthOpening(1000, 0, 0.002, 0.050, 4), 4);
    EXPECT_EQ(ConnectionsWorthOpening(10, 0, 0.002, 0.050, 4), 1);
    EXPECT_EQ(ConnectionsWorthOpening(60, 0, 0.002, 0.050, 4), 2);
    // A few large files weigh by their bytes.
    EXPECT_EQ(ConnectionsWorthOpening(3, 300'000'000, 0.002, 0.050, 4), 3);
    // Never more than the files, never fewer than one; an unknown log-in time gives all.
    EXPECT_EQ(ConnectionsWorthOpening(2, 0, 1.0, 0.001, 8), 2);
    EXPECT_EQ(ConnectionsWorthOpening(0, 0, 0.002, 0.050, 4), 1);
    EXPECT_EQ(ConnectionsWorthOpening(5, 0, 0, 0, 4), 4);
}
