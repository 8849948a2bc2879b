// What a publish leaves out: the ".gitignore" grammar (checked against git itself on
// generated trees), the default rules with their reasons, the site's ".kestrelignore", and
// the plan's guard on deletions and its care for files it could not read.
#include "base/exception.h"
#include "publish/describe.h"
#include "publish/ignorelist.h"
#include "publish/permissions.h"
#include "publish/plan.h"
#include "publish/sha256.h"
#include "publish/siterules.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;
using Paths = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

struct WildCase {
    const char* pattern;
    const char* text;
    bool pathname;
    bool matches;
};

// Why the rules leave path out, as "reason" text, or "" when it is published.
std::string Verdict(const TSiteRules& rules, const std::string& path, bool folder = false) {
    std::optional<TLeftOut> leftOut = rules.LeftOut(path, folder);
    return leftOut ? LeftOutText(*leftOut) : "";
}

TLocalTree LocalFiles(const Paths& paths) {
    TLocalTree tree;
    for (const std::string& path : paths) {
        tree.Files[path] = TLocalFile{"/site/" + path, 1, 1000, BytesSha256("x")};
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            tree.Folders.insert(path.substr(0, slash));
    }
    return tree;
}

TRemoteTree RemoteFiles(const Paths& paths) {
    TRemoteTree tree;
    for (const std::string& path : paths) {
        tree.Entries[path] = TRemoteEntry{false, 1, 500};
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            tree.Entries[path.substr(0, slash)] = TRemoteEntry{true, -1, -1};
    }
    return tree;
}

Paths Numbered(const std::string& stem, int count) {
    Paths paths;
    for (int i = 0; i < count; ++i)
        paths.push_back(stem + std::to_string(i) + ".htm");
    return paths;
}

TPlanOptions Deleting(int maxDelete = -1, bool force = false) {
    TPlanOptions options;
    options.Delete = true;
    options.MaxDelete = maxDelete;
    options.ForceDelete = force;
    return options;
}

} // namespace

TEST(SiteRules, WildcardGrammarEdges) {
    const WildCase cases[] = {
        {"*.htm", "index.htm", false, true},
        {"*.htm", "index.html", false, false},
        {"*", "", false, true},
        {"?", "", false, false},
        {"a?c", "abc", false, true},
        {"a?c", "a/c", true, false}, // "?" never matches "/" in a path
        {"a*c", "a/b/c", true, false},
        {"a*c", "a/b/c", false, true},
        {"a/*", "a/b", true, true},
        {"a/*", "a/b/c", true, false},
        {"*/b", "a/b", true, true},
        {"*/b", "b", true, false},
        {"**/b", "b", true, true}, // "**/" also matches no folder at all
        {"**/b", "x/y/b", true, true},
        {"a/**", "a/x/y", true, true},
        {"a/**", "a", true, false},
        {"a/**/b", "a/b", true, true},
        {"a/**/b", "a/x/y/b", true, true},
        {"a**b", "a/x/b", true, false}, // "**" inside a segment is a plain "*"
        {"a**b", "axxb", true, true},
        {"[abc]x", "bx", false, true},
        {"[!abc]x", "bx", false, false},
        {"[^abc]x", "dx", false, true},
        {"[a-c]", "b", false, true},
        {"[a-c]", "d", false, false},
        {"[]]", "]", false, true}, // a "]" first in a class is a member
        {"[!]]", "a", false, true},
        {"[a-]", "-", false, true},
        {"[[:digit:]]x", "7x", false, true},
        {"[[:digit:]]x", "ax", false, false},
        {"[[:upper:][:digit:]]", "Q", false, true},
        {"[[:bogus:]]", "b", false, false}, // an unknown class matches nothing
        {"[abc", "a", false, false},        // an unclosed class matches nothing
        {"\\*", "*", false, true},
        {"\\*", "x", false, false},
        {"a\\", "a", false, false},
        {"[/]", "/", true, false},
        {"*.HTM", "index.htm", false, false}, // names keep their case
    };
    for (const WildCase& c : cases)
        EXPECT_EQ(WildMatch(c.pattern, c.text, c.pathname), c.matches)
            << c.pattern << " on " << c.text << (c.pathname ? " (path)" : "");
}

TEST(SiteRules, IgnoreLinesAsGitReadsThem) {
    TIgnorePattern p;
    EXPECT_FALSE(ParseIgnoreLine("", p));
    EXPECT_FALSE(ParseIgnoreLine("# comment", p));
    EXPECT_FALSE(ParseIgnoreLine("   ", p));
    EXPECT_FALSE(ParseIgnoreLine("!", p));
    EXPECT_FALSE(ParseIgnoreLine("/", p));
    ASSERT_TRUE(ParseIgnoreLine("\\#hash", p));
    EXPECT_EQ(p.Pattern, "\\#hash");
    EXPECT_TRUE(PatternMatches(p, "#hash", false));
    ASSERT_TRUE(ParseIgnoreLine("\\!bang", p));
    EXPECT_FALSE(p.Negated);
    EXPECT_TRUE(PatternMatches(p, "dir/!bang", false));
    ASSERT_TRUE(ParseIgnoreLine("trail   \r", p)); // spaces and a CR dropped
    EXPECT_EQ(p.Pattern, "trail");
    ASSERT_TRUE(ParseIgnoreLine("keep\\ ", p)); // an escaped space stays
    EXPECT_TRUE(PatternMatches(p, "keep ", false));
    ASSERT_TRUE(ParseIgnoreLine("!/drafts/", p));
    EXPECT_TRUE(p.Negated);
    EXPECT_TRUE(p.FoldersOnly);
    EXPECT_TRUE(p.Anchored);
    EXPECT_TRUE(PatternMatches(p, "drafts", true));
    EXPECT_FALSE(PatternMatches(p, "drafts", false));
    EXPECT_FALSE(PatternMatches(p, "x/drafts", true));
    ASSERT_TRUE(ParseIgnoreLine("build/", p));
    EXPECT_FALSE(p.Anchored) << "a trailing slash alone does not anchor";
    EXPECT_TRUE(PatternMatches(p, "a/b/build", true));

    // A file in a folder left out cannot be included again; the folder itself can.
    TIgnoreList list;
    list.AddText("\xEF\xBB\xBF"
                 "drafts/\n!drafts/keep.htm\n*.psd\n!logo.psd\n",
                 ".kestrelignore");
    ASSERT_NE(list.Excluding("drafts/keep.htm", false), nullptr);
    EXPECT_EQ(list.Excluding("drafts/keep.htm", false)->Source, ".kestrelignore:1");
    EXPECT_NE(list.Excluding("art/a.psd", false), nullptr);
    EXPECT_EQ(list.Excluding("art/logo.psd", false), nullptr);
    EXPECT_EQ(list.Excluding("drafts", false), nullptr) << "a file named drafts";
}

// Generated trees and pattern files, judged by git check-ignore and by the matcher.
TEST(SiteRules, MatcherAgreesWithGitCheckIgnore) {
    if (::access("/usr/bin/git", X_OK) != 0)
        GTEST_SKIP() << "git is not installed (apt-get install git)";
    const Paths names = {"a",   "b",     "ab", "abc",  "x.txt",  "y.md",  "img",     "doc", "Doc",
                         "a.b", "1",     "2x", ".hid", "deep",   "sp ce", "[x]",     "q?",  "build",
                         "foo", "bar.c", "#h", "!n",   "drafts", "z.psd", "logo.psd"};
    const Paths parts = {
        "a",     "b",      "ab",           "*",        "?",     "**",      "x.txt",   "*.txt",
        "*.md",  "img",    "doc",          "[ab]*",    "[!a]*", "[a-c]",   "a*",      "*b",
        "*.*",   "deep",   "[[:digit:]]*", "\\#h",     "\\!n",  "sp\\ ce", "\\[x\\]", "q\\?",
        "build", "drafts", "*.psd",        "logo.psd", "Doc",   ".hid",    "foo",     "bar.*"};
    std::mt19937 random(2026);
    auto pick = [&](const Paths& from) { return from[random() % from.size()]; };
    int pathsChecked = 0;
    int patternsUsed = 0;
    int ignored = 0;
    for (int round = 0; round < 6; ++round) {
        TempDir tree("kestrel-gitcheck");
        // The tree: files and folders up to four deep.
        std::set<std::string> files, folders;
        while (files.size() + folders.size() < 420) {
            int depth = 1 + int(random() % 4);
            std::string path;
            for (int level = 0; level < depth; ++level) {
                std::string name = pick(names);
                std::string next = path.empty() ? name : path + "/" + name;
                if (files.count(next))
                    break;
                if (level + 1 < depth) {
                    folders.insert(next);
                } else if (!folders.count(next)) {
                    files.insert(next);
                }
                path = next;
            }
        }
        for (const std::string& folder : folders)
            fs::create_directories(tree / folder);
        for (const std::string& file : files)
            WriteFileBytes(tree / file, "x");
        // The patterns: one to three parts, anchored or not, folders only or not, negated.
        std::string text;
        for (int i = 0; i < 11; ++i) {
            std::string pattern;
            int count = 1 + int(random() % 3);
            for (int k = 0; k < count; ++k)
                pattern += (k ? "/" : "") +
                           (k == 1 && count == 3 && random() % 2 ? std::string("**") : pick(parts));
            if (random() % 4 == 0)
                pattern = "/" + pattern;
            if (random() % 4 == 0)
                pattern += "/";
            if (random() % 4 == 0)
                pattern = "!" + pattern;
            if (random() % 8 == 0)
                pattern += "  ";
            text += pattern + "\n";
            ++patternsUsed;
        }
        text += "# a comment\n\n";
        WriteFileBytes(tree / ".gitignore", text);

        std::string input;
        std::vector<std::pair<std::string, bool>> all;
        for (const std::string& file : files)
            all.emplace_back(file, false);
        for (const std::string& folder : folders)
            all.emplace_back(folder, true);
        for (const auto& [path, folder] : all)
            input += path + '\0';
        WriteFileBytes(tree / ".git-input", input);
        std::string command = "cd '" + tree.str() + "' && git init -q . && HOME='" + tree.str() +
                              "' GIT_CONFIG_NOSYSTEM=1 git -c core.excludesFile=/dev/null "
                              "-c core.ignorecase=false check-ignore --no-index -z --stdin "
                              "< .git-input > .git-output; test $? -le 1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        std::set<std::string> ignoredByGit;
        std::string output = ReadFileBytes(tree / ".git-output");
        for (std::size_t start = 0; start < output.size();) {
            std::size_t end = output.find('\0', start);
            ignoredByGit.insert(output.substr(start, end - start));
            start = end + 1;
        }

        TIgnoreList list;
        list.AddText(text, ".gitignore");
        int mismatches = 0;
        for (const auto& [path, folder] : all) {
            bool ours = list.Excluding(path, folder) != nullptr;
            bool git = ignoredByGit.count(path) > 0;
            if (ours != git && ++mismatches <= 10)
                ADD_FAILURE() << (folder ? "folder " : "file ") << path << ": git says "
                              << (git ? "ignored" : "kept") << "\npatterns:\n"
                              << text;
            ++pathsChecked;
        }
        ignored += int(ignoredByGit.size());
    }
    EXPECT_GT(ignored, pathsChecked / 10) << "the patterns leave out a fair share";
    EXPECT_LT(ignored, pathsChecked * 9 / 10);
    EXPECT_GE(pathsChecked, 2000);
    EXPECT_GE(patternsUsed, 50);
}

TEST(SiteRules, DefaultsWithTheirReasonsAndWhatIncludesThem) {
    TSiteRules rules;
    rules.AddSettingsFiles({"Config.txt", "KestrelFTP.ini"});
    EXPECT_EQ(Verdict(rules, ".htaccess"), "");
    EXPECT_EQ(Verdict(rules, ".well-known", true), "");
    EXPECT_EQ(Verdict(rules, ".well-known/acme-challenge/token"), "");
    EXPECT_EQ(Verdict(rules, ".git", true), "a version-control folder");
    EXPECT_EQ(Verdict(rules, "sub/.svn", true), "a version-control folder");
    EXPECT_EQ(Verdict(rules, ".git/config"), "a version-control folder") << "inside it";
    EXPECT_EQ(Verdict(rules, "img/.DS_Store"), "a file the operating system made");
    EXPECT_EQ(Verdict(rules, "Thumbs.db"), "a file the operating system made");
    EXPECT_EQ(Verdict(rules, "index.htm~"), "an editor back-up or swap file");
    EXPECT_EQ(Verdict(rules, ".index.htm.swp"), "an editor back-up or swap file");
    for (const char* secret :
         {".env", ".env.production", "certs/site.pem", "site.key", "id_rsa", "id_ed25519.pub",
          "dump.sql", "data.sqlite", "wp-config.php.bak", "wp-config.php~", "config.inc.old"})
        EXPECT_EQ(Verdict(rules, secret), "looks like a secret") << secret;
    EXPECT_EQ(Verdict(rules, "Config.txt"),
              "a settings file of this program, it holds the password");
    EXPECT_EQ(Verdict(rules, "a/.kestrelftp-manifest"), "a file of this program");
    EXPECT_EQ(Verdict(rules, ".page.htm.kestrel-tmp"), "a file of this program");
    EXPECT_EQ(Verdict(rules, "notes.kestrel-tmp"), "")
        << "the same temporary-name rule as the clean-up on the server: no dot, not ours";
    EXPECT_EQ(Verdict(rules, ".kestrelignore"), "a file of this program");
    EXPECT_EQ(Verdict(rules, "docs/.kestrelignore"), "") << "only the root's is the program's";
    EXPECT_EQ(Verdict(rules, "keys.html"), "");

    // The site's file and the run's exclusions come after the defaults: the last match wins.
    rules.AddIgnoreFile("drafts/\n*.psd\n!.env.example\n[oops\n");
    rules.AddExclusions({ExcludeLine("#notes.txt"), IncludeLine("dump.sql"), IncludeLine(".git")});
    EXPECT_EQ(Verdict(rules, "drafts", true), "excluded by drafts/ (.kestrelignore:1)");
    EXPECT_EQ(Verdict(rules, "drafts/post.htm"), "excluded by drafts/ (.kestrelignore:1)");
    EXPECT_EQ(Verdict(rules, "art/logo.psd"), "excluded by *.psd (.kestrelignore:2)");
    EXPECT_EQ(Verdict(rules, ".env.example"), "");
    EXPECT_EQ(Verdict(rules, ".env"), "looks like a secret");
    EXPECT_EQ(Verdict(rules, "#notes.txt"), "excluded by \\#notes.txt");
    EXPECT_EQ(Verdict(rules, "dump.sql"), "");
    EXPECT_EQ(Verdict(rules, "other.sql"), "looks like a secret");
    EXPECT_EQ(Verdict(rules, ".git/config"), "");
    rules.AddExclusions({IncludeLine("Config.txt"), IncludeLine("*.kestrel-tmp")});
    EXPECT_NE(Verdict(rules, "Config.txt"), "") << "the password never goes out";
    EXPECT_NE(Verdict(rules, ".a.kestrel-tmp"), "");
    EXPECT_EQ(rules.Problems(),
              (Paths{"The pattern [oops (.kestrelignore:4) has a \"[\" without its \"]\" and "
                     "matches nothing"}));
    EXPECT_EQ(ExclusionLines("a\r\n\n  \n!b\nc d"), (Paths{"a", "!b", "c d"}));
}

TEST(SiteRules, WalkReadsTheIgnoreFileAndNothingIsLeftOutSilently) {
    TempDir site("kestrel-site");
    fs::create_directories(site / ".well-known/acme-challenge");
    fs::create_directories(site / "drafts");
    fs::create_directories(site / ".git");
    WriteFileBytes(site / ".htaccess", "RewriteEngine On");
    WriteFileBytes(site / ".well-known/acme-challenge/x", "token");
    WriteFileBytes(site / ".git/HEAD", "ref");
    WriteFileBytes(site / ".env", "SECRET=1");
    WriteFileBytes(site / "drafts/next.htm", "soon");
    WriteFileBytes(site / "index.htm", "home");
    WriteFileBytes(site / "notes.txt", "mine");
    WriteFileBytes(site / kIgnoreFileName, "# drafts stay here\ndrafts/\n");
    TWalkOptions options;
    options.Exclusions = {ExcludeLine("notes.txt")};
    TLocalTree tree = WalkLocalTree(site.str(), options);
    Paths files;
    for (const auto& [path, file] : tree.Files)
        files.push_back(path);
    EXPECT_EQ(files, (Paths{".htaccess", ".well-known/acme-challenge/x", "index.htm"}));

    // The plan counts them by reason and lists each with it.
    TPublishPlan plan = MakePlan(tree, TRemoteTree{}, std::nullopt, {});
    EXPECT_EQ(LeftOutSummary(plan), "Left out 5: 1 version control, 1 secrets, 1 this "
                                    "program's files, 1 .kestrelignore, 1 exclusions");
    EXPECT_EQ(
        LeftOutLines(plan),
        (Paths{"leave out .env (looks like a secret)", "leave out .git/ (a version-control folder)",
               "leave out .kestrelignore (a file of this program)",
               "leave out drafts/ (excluded by drafts/ (.kestrelignore:2))",
               "leave out notes.txt (excluded by notes.txt)"}));
    Paths warnings = PlanWarnings(plan);
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(warnings[0], "Left out as secrets: .env; to publish one, include it (--include "
                           "NAME, or a line !NAME in the exclusions or in .kestrelignore)");

    // An ignore file that cannot be read stops the walk rather than publish without it.
    fs::remove(site / kIgnoreFileName);
    fs::create_directories(site / kIgnoreFileName);
    EXPECT_THROW(WalkLocalTree(site.str(), {}), EInOutError);
}

TEST(SiteRules, WhatIsLeftOutLocallyIsNeverDeletedOnTheServer) {
    TLocalTree local = LocalFiles({"index.htm", "a.htm"});
    local.Rules.AddIgnoreFile("drafts/\n");
    TRemoteTree remote = RemoteFiles({"index.htm", "a.htm", "gone.htm", ".env", "drafts/x.htm",
                                      ".git/HEAD", "backup.sql", "page.htm~"});
    TPublishPlan plan = MakePlan(local, remote, std::nullopt, Deleting(-1, true));
    EXPECT_EQ(plan.FilesToDelete, (Paths{"gone.htm"}));
    EXPECT_TRUE(plan.FoldersToDelete.empty());
    EXPECT_EQ(plan.KeptOnServer, 5);
    EXPECT_EQ(LeftOutSummary(plan), "Left out 0; 5 such files on the server are kept, never "
                                    "deleted");
}

TEST(SiteRules, DeletionGuard) {
    Paths site = Numbered("page", 20);
    // From an empty local folder: refused whatever the share.
    TPublishPlan plan = MakePlan(LocalFiles({}), RemoteFiles(site), std::nullopt, Deleting());
    EXPECT_EQ(plan.FilesDeleted, 20);
    EXPECT_EQ(plan.DeletionRefused,
              "it would delete 20 files on the server while the local folder has none to publish");
    EXPECT_EQ(PlanWarnings(plan).front(), "Refused: " + plan.DeletionRefused);
    TRemoteTree one = RemoteFiles({"only.htm"});
    EXPECT_FALSE(MakePlan(LocalFiles({}), one, std::nullopt, Deleting()).DeletionRefused.empty());

    // From a folder holding a tenth of the site: 18 of 20, more than half.
    Paths tenth = {"page0.htm", "page1.htm"};
    plan = MakePlan(LocalFiles(tenth), RemoteFiles(site), std::nullopt, Deleting());
    EXPECT_EQ(plan.DeletionRefused, "it would delete 18 files of the 20 on the server, more "
                                    "than half");
    EXPECT_TRUE(MakePlan(LocalFiles(tenth), RemoteFiles(site), std::nullopt, Deleting(18))
                    .DeletionRefused.empty());
    EXPECT_EQ(
        MakePlan(LocalFiles(tenth), RemoteFiles(site), std::nullopt, Deleting(17)).DeletionRefused,
        "it would delete 18 files, more than the 17 allowed");
    EXPECT_TRUE(MakePlan(LocalFiles(tenth), RemoteFiles(site), std::nullopt, Deleting(-1, true))
                    .DeletionRefused.empty());
    EXPECT_TRUE(MakePlan(LocalFiles({}), RemoteFiles(site), std::nullopt, Deleting(20))
                    .DeletionRefused.empty());

    // Exactly half is allowed; files replaced by folders count; leftovers and the manifest
    // do not; without the delete option nothing is guarded.
    Paths half(site.begin(), site.begin() + 10);
    EXPECT_TRUE(MakePlan(LocalFiles(half), RemoteFiles(site), std::nullopt, Deleting())
                    .DeletionRefused.empty());
    Paths withLeftovers = {"a.htm", ".a.htm.kestrel-tmp", ".b.htm.kestrel-tmp", kManifestName};
    plan = MakePlan(LocalFiles({"a.htm"}), RemoteFiles(withLeftovers), std::nullopt, Deleting());
    EXPECT_EQ(plan.FilesDeleted, 0);
    EXPECT_EQ(plan.FilesOnServer, 1);
    EXPECT_TRUE(plan.DeletionRefused.empty());
    plan = MakePlan(LocalFiles({"x/y.htm", "b.htm"}), RemoteFiles({"x", "b.htm", "c.htm"}),
                    std::nullopt, Deleting());
    EXPECT_EQ(plan.FilesDeleted, 2) << "x makes way, c.htm is gone";
    EXPECT_FALSE(plan.DeletionRefused.empty());
    EXPECT_TRUE(
        MakePlan(LocalFiles({}), RemoteFiles(site), std::nullopt, {}).DeletionRefused.empty());
}

TEST(SiteRules, UnreadableFilesAreFailuresAndKeptOnTheServer) {
    TempDir site("kestrel-site");
    fs::create_directories(site / "locked");
    WriteFileBytes(site / "index.htm", "home");
    WriteFileBytes(site / "secret.htm", "mine");
    WriteFileBytes(site / "locked/inner.htm", "x");
    ::chmod(site.path().c_str(), 0755);
    ::chmod((site / "secret.htm").c_str(), 0);
    ::chmod((site / "locked").c_str(), 0);
    // As root the walk runs with another file-system user, to whom both are closed.
    const bool root = ::geteuid() == 0;
    if (root)
        ::setfsuid(65534);
    TLocalTree local = WalkLocalTree(site.str(), {});
    if (root)
        ::setfsuid(0);
    ::chmod((site / "locked").c_str(), 0755);
    ASSERT_EQ(local.Unreadable.size(), 2u);
    EXPECT_EQ(local.Unreadable[0].Path, "locked");
    EXPECT_EQ(local.Unreadable[0].Reason.rfind("the folder cannot be read: ", 0), 0u);
    EXPECT_EQ(local.Unreadable[1].Path, "secret.htm");
    EXPECT_EQ(local.Unreadable[1].Reason.rfind("the file cannot be read: ", 0), 0u);
    EXPECT_TRUE(local.Notes.empty());

    TRemoteTree remote = RemoteFiles({"index.htm", "secret.htm", "locked/inner.htm"});
    TPublishPlan plan = MakePlan(local, remote, std::nullopt, Deleting(-1, true));
    ASSERT_EQ(plan.Conflicts.size(), 2u) << "a failure of the run, named";
    EXPECT_EQ(plan.Conflicts[1].Path, "secret.htm");
    EXPECT_TRUE(plan.FilesToDelete.empty()) << "what could not be read is not gone";
    EXPECT_TRUE(plan.FoldersToDelete.empty());
    EXPECT_EQ(PlanWarnings(plan)[1].rfind("Cannot publish secret.htm: the file cannot be read", 0),
              0u);
}

TEST(SiteRules, PermissionsText) {
    auto parsed = [](const std::string& text) {
        std::optional<TPermissions> p = ParsePermissions(text);
        return p ? std::to_string(p->Files) + "," + std::to_string(p->Folders) : "bad";
    };
    EXPECT_EQ(parsed("644:755"), std::to_string(0644) + "," + std::to_string(0755));
    EXPECT_EQ(parsed("600:"), std::to_string(0600) + ",-1");
    EXPECT_EQ(parsed(":2775"), "-1," + std::to_string(02775));
    for (const char* bad :
         {"", ":", "644", "644:755:1", "648:755", "64x:755", "77777:1", "-1:755", " 644:755"})
        EXPECT_EQ(parsed(bad), "bad") << bad;
}

TEST(SiteRules, ANameThatDiffersOnlyInCaseIsRenamedNeverDeleted) {
    // Renamed locally: Index.htm -> index.htm, Images/ -> images/. On a server that ignores
    // case, DELE Index.htm after the upload of index.htm would delete the new page.
    TLocalTree local =
        LocalFiles({"index.htm", "images/a.gif", "other.htm", "Twin.htm", "twin.htm"});
    TRemoteTree remote = RemoteFiles(
        {"Index.htm", "Images/a.gif", "other.htm", "gone.htm", "Gone2.htm", "TWIN.htm"});
    TPublishPlan plan = MakePlan(local, remote, std::nullopt, Deleting(-1, true));
    EXPECT_EQ(plan.FilesToDelete, (Paths{"Gone2.htm", "gone.htm"}));
    EXPECT_TRUE(plan.FoldersToDelete.empty());
    ASSERT_EQ(plan.CaseRenames.size(), 1u);
    EXPECT_EQ(plan.CaseRenames[0].From, "Index.htm");
    EXPECT_EQ(plan.CaseRenames[0].To, "index.htm");
    EXPECT_TRUE(std::any_of(plan.Uploads.begin(), plan.Uploads.end(), [](const TPlannedUpload& u) {
        return u.Path == "index.htm";
    })) << "the new spelling is sent after the rename";
    // In another folder spelling, or with two local spellings, it is kept with a note.
    Paths kept;
    for (const std::string& note : plan.Notes)
        if (note.rfind("Kept ", 0) == 0)
            kept.push_back(note.substr(5, note.find(':') - 5));
    EXPECT_EQ(kept, (Paths{"Images/a.gif", "TWIN.htm"}));
    EXPECT_TRUE(MakePlan(local, remote, std::nullopt, {}).CaseRenames.empty())
        << "only with the delete option";
}
