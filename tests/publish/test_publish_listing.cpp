// The remote tree listed together ("CWD <path>" and "STAT -a <path>" for every folder of a
// level in one packet, the listings coming back on the control connection) learns what the
// folder-by-folder listing learns: on vsftpd and pyftpdlib with an awkward tree, and against
// scripted servers that answer STAT badly, not at all, or with names that look like the end
// of a reply. The replies stay in step throughout.
#include "net/ftp/vaneftp.h"
#include "publish/publisher.h"
#include "publish/remotetree.h"
#include "support/anon_vsftpd.h"
#include "support/fixtures.h"
#include "support/pyftpd.h"
#include "support/scripted_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sys/stat.h>

using namespace kestrel;
using namespace kestrel::test;
namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

// A tree as the comparisons see it: each path with "/" for a folder or its size.
std::map<std::string, std::string> Shape(const TRemoteTree& tree) {
    std::map<std::string, std::string> shape;
    for (const auto& [path, entry] : tree.Entries)
        shape[path] = entry.Folder ? "/" : std::to_string(entry.Size);
    for (const std::string& path : tree.Unlisted)
        shape[path] += " (unlisted)";
    return shape;
}

bool HasNote(const std::vector<std::string>& notes, const std::string& part) {
    return std::any_of(notes.begin(), notes.end(), [&](const std::string& note) {
        return note.find(part) != std::string::npos;
    });
}

// Folders with spaces (also at the ends), leading dashes, names that look like reply codes
// or the end of a STAT reply, hidden names, an empty folder, folders four deep, glob
// characters and a Latin-1 byte.
void MakeAwkwardTree(const fs::path& root) {
    for (const char* folder : {"a b", " lead", "-dash", "-a", "213 End of status", "empty",
                               "d1/d2/d3/d4", ".hidden-folder", "caf\xe9", "g[1]"})
        fs::create_directories(root / folder);
    const std::map<std::string, std::string> files = {
        {"index.htm", "home"},
        {"-rf", "x"},
        {"213 x", "two"},
        {"200 ok", "three"},
        {".htaccess", "deny"},
        {"a b/ two  spaces ", "12345"},
        {" lead/page.htm", "p"},
        {"-dash/-a", "minus a"},
        {"213 End of status/213 End of status", "end"},
        {"d1/d2/d3/d4/deep.htm", "deep"},
        {"d1/d2/mid.htm", "middle"},
        {".hidden-folder/.x", "dot"},
        {"caf\xe9/men\xfc.htm", "menu"},
        {"g[1]/*.htm", "star"},
    };
    for (const auto& [path, content] : files)
        WriteFileBytes(root / path, content);
}

// Both listings on one connection of ftp settings: the folder-by-folder one first.
struct BothWays {
    TRemoteTree alone, together;
};

BothWays ListBothWays(const TConnectionSettings& settings, const std::string& root) {
    std::unique_ptr<TVaneFTP> ftp = OpenConnection(settings);
    EXPECT_TRUE(ftp->Pipelining);
    BothWays both;
    both.alone = ReadRemoteTree(*ftp, root, false, false);
    both.together = ReadRemoteTree(*ftp, root, false, true);
    return both;
}

TConnectionSettings Settings(int port, const std::string& user, const std::string& password) {
    TConnectionSettings settings;
    settings.Host = "127.0.0.1";
    settings.Port = port;
    settings.UserID = user;
    settings.Password = password;
    settings.DataMode = TDataMode::Passive;
    return settings;
}

} // namespace

// vsftpd offers no MLSD, lists a missing folder as an empty one and takes "STAT -a": every
// level in one round trip, the same tree as CWD and LIST -a folder by folder, a folder it
// may not enter unlisted either way, and a missing root missing either way.
TEST(PublishListingVsftpd, TheSameTreeOnALevelARoundTrip) {
    std::string reason = AnonVsftpd::Unavailable();
    if (!reason.empty())
        GTEST_SKIP() << reason;
    AnonVsftpd server;
    MakeAwkwardTree(server.www());
    fs::create_directories(server.www() / "closed");
    WriteFileBytes(server.www() / "closed/inside.htm", "hidden");
    // More folders in one level than go in one packet.
    for (int i = 0; i < 120; ++i)
        fs::create_directories(server.www() / ("f" + std::to_string(1000 + i)));
    server.HandOver();
    ::chmod((server.www() / "closed").c_str(), 0);
    TConnectionSettings settings = Settings(server.port(), "anonymous", "publish@example.com");

    BothWays both = ListBothWays(settings, "/www");
    ::chmod((server.www() / "closed").c_str(), 0755);
    EXPECT_EQ(Shape(both.together), Shape(both.alone));
    EXPECT_EQ(Shape(both.together).at("closed"), "/ (unlisted)");
    EXPECT_EQ(Shape(both.together).at("a b/ two  spaces "), "5");
    EXPECT_EQ(Shape(both.together).at("213 End of status/213 End of status"), "3");
    EXPECT_EQ(Shape(both.together).at(".hidden-folder/.x"), "3");
    EXPECT_EQ(Shape(both.together).at("d1/d2/d3/d4/deep.htm"), "4");
    EXPECT_TRUE(both.together.RootExists);
    EXPECT_EQ(Shape(both.together).at("f1119"), "/");
    // The root, its 134 folders in two packets, d2, d3 and d4: six batches, where the old
    // way waited four times for each of 135 folders.
    EXPECT_EQ(both.together.Waits, 6);
    EXPECT_EQ(both.alone.Waits, 135 * TRemoteTree::kWaitsOfListing);
    EXPECT_FALSE(HasNote(both.together.Notes, "STAT"));

    BothWays missing = ListBothWays(settings, "/www/not-there");
    EXPECT_FALSE(missing.alone.RootExists);
    EXPECT_FALSE(missing.together.RootExists);
    EXPECT_TRUE(missing.together.Entries.empty());
}

// pyftpdlib takes "STAT -a <path>" for a name and refuses it: the tree is listed the old way,
// with a note, and comes out the same.
TEST(PublishListingPyftpd, ARefusedStatListsTheOldWay) {
    PyFtpd server;
    MakeAwkwardTree(server.root() / "site");
    TConnectionSettings settings = Settings(server.port(), server.user(), server.password());
    BothWays both = ListBothWays(settings, "/site");
    EXPECT_EQ(Shape(both.together), Shape(both.alone));
    EXPECT_EQ(Shape(both.together).at("d1/d2/d3/d4/deep.htm"), "4");
    EXPECT_TRUE(HasNote(both.together.Notes, "does not list folders by \"STAT -a\""));
}

namespace {

// A scripted server whose STAT replies the test writes: stat(path) gives the bytes sent for
// "STAT -a <path>" and "STAT <path>" (nothing: no reply at all). CWD passes for the folders
// of folders (else 550), LIST gives the listing of listLines(path), EPSV and the log-in pass.
struct StatServer {
    std::function<std::optional<std::string>(const std::string& command)> stat;
    std::map<std::string, Lines> folders; // path -> LIST lines

    void Serve(Session& s) {
        s.reply("220 ready");
        std::string cwd = "/";
        while (std::optional<std::string> line = s.read_line()) {
            std::size_t space = line->find(' ');
            std::string verb = line->substr(0, space);
            std::string path = space == std::string::npos ? "" : line->substr(space + 1);
            if (verb == "USER")
                s.reply("331 password please");
            else if (verb == "PASS")
                s.reply("230 in");
            else if (verb == "TYPE" || verb == "NOOP")
                s.reply("200 ok");
            else if (verb == "CWD") {
                if (!folders.count(path)) {
                    s.reply("550 Failed to change directory.");
                    continue;
                }
                cwd = path;
                s.reply("250 ok");
            } else if (verb == "STAT") {
                if (std::optional<std::string> bytes = stat(*line))
                    s.send(*bytes);
            } else if (verb == "EPSV") {
                s.reply_epsv();
            } else if (verb == "LIST") {
                s.accept_data();
                s.reply("150 Here comes the directory listing");
                std::string text;
                for (const std::string& entry : folders[cwd])
                    if (path == "-a" || entry.rfind(".", 0) != 0)
                        text += entry + "\r\n";
                s.data_send(text);
                s.data_close();
                s.reply("226 Directory send OK");
            } else if (verb == "QUIT") {
                s.reply("221 bye");
                return;
            } else {
                s.reply("502 not here");
            }
        }
    }
};

std::string FileLine(const std::string& name, int size) {
    return "-rw-r--r--    1 1001     1001     " + std::to_string(size) + " Dec 09 05:17 " + name;
}
std::string FolderLine(const std::string& name) {
    return "drwxr-xr-x    2 1001     1001     4096 Dec 09 05:17 " + name;
}

// vsftpd's STAT reply for the lines of a folder ("." and ".." first).
std::string StatReply(const Lines& lines) {
    std::string text =
        "213-Status follows:\r\n" + FolderLine(".") + "\r\n" + FolderLine("..") + "\r\n";
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text + "213 End of status\r\n";
}

// The folders every scripted case lists: /site with a.htm and the folder sub, which holds
// b.htm.
std::map<std::string, Lines> SiteFolders() {
    return {{"/site", {FileLine("a.htm", 1), FolderLine("sub")}},
            {"/site/sub", {FileLine("b.htm", 22)}}};
}

const std::map<std::string, std::string> kSiteShape = {
    {"a.htm", "1"}, {"sub", "/"}, {"sub/b.htm", "22"}};

} // namespace

// Servers that list by STAT badly: each time the tree is what LIST gives, and the session
// goes on in step (a last RETR finds the reply it asked for).
TEST(PublishListingScripted, AStatThatIsNoListingFallsBack) {
    struct Case {
        const char* name;
        std::function<std::optional<std::string>(const std::string&)> stat;
        bool noted; // the server is listed the old way from the root on
    };
    const std::vector<Case> cases = {
        {"refused", [](const std::string&) { return "500 Unknown command.\r\n"; }, true},
        {"one line", [](const std::string&) { return "213 status of a file\r\n"; }, true},
        {"\"-a\" taken for a name",
         [](const std::string& command) {
             // "-a /site" is no folder: an empty listing; plain STAT lists the folder.
             return command.rfind("STAT -a", 0) == 0
                        ? std::string("213-Status follows:\r\n213 End of status\r\n")
                        : StatReply(SiteFolders()["/site"]);
         },
         true},
        {"another layout",
         [](const std::string&) {
             return std::string("211-status\r\n12-09-26  05:17AM       1 a.htm\r\n211 End\r\n");
         },
         true},
        {"lines the root's listing cannot hold",
         [](const std::string& command) -> std::string {
             // The root's lines pass; sub's listing is not in the Unix layout, and sub is
             // listed alone.
             if (command.find("/site/sub") != std::string::npos)
                 return "213-Status follows:\r\nb.htm 22\r\n213 End of status\r\n";
             return StatReply(SiteFolders()["/site"]);
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StatServer script{c.stat, SiteFolders()};
        ScriptedFtpServer server([&](Session& s) { script.Serve(s); });
        TConnectionSettings settings = Settings(server.port(), "webuser", "s3cret");
        std::unique_ptr<TVaneFTP> ftp = OpenConnection(settings);
        ASSERT_TRUE(ftp->Pipelining);
        TRemoteTree tree = ReadRemoteTree(*ftp, "/site", false, true);
        EXPECT_EQ(Shape(tree), kSiteShape);
        EXPECT_EQ(HasNote(tree.Notes, "does not list folders by \"STAT -a\""), c.noted);
        ftp->ChangeDir("/site"); // in step: the reply is the CWD's
        EXPECT_EQ(ftp->ReplyCode, 250);
        ftp.reset();
        server.stop();
        EXPECT_TRUE(server.failures().empty()) << server.failures().front();
    }
}

// Names that hold a line feed, or begin like the last line of a STAT reply, stay names: the
// reply ends only at its own last line, a name with a line end is left alone with a note,
// and the next folder's listing is that folder's.
TEST(PublishListingScripted, NamesThatLookLikeTheEndOfTheReplyStayNames) {
    std::map<std::string, Lines> folders = SiteFolders();
    folders["/site"].push_back(FileLine("213 End of status", 5));
    folders["/site"].push_back(FileLine("x\n213 End of status", 6));
    folders["/site/sub"].push_back(FileLine("213-Status follows:", 7));
    StatServer script{[&](const std::string& command) -> std::optional<std::string> {
                          std::string path = command.substr(command.find('/'));
                          return StatReply(folders[path]);
                      },
                      folders};
    ScriptedFtpServer server([&](Session& s) { script.Serve(s); });
    std::unique_ptr<TVaneFTP> ftp = OpenConnection(Settings(server.port(), "webuser", "s3cret"));
    TRemoteTree tree = ReadRemoteTree(*ftp, "/site", false, true);
    std::map<std::string, std::string> expected = kSiteShape;
    expected["213 End of status"] = "5";
    expected["sub/213-Status follows:"] = "7";
    EXPECT_EQ(Shape(tree), expected);
    EXPECT_TRUE(HasNote(tree.Notes, "holds a line end"));
    EXPECT_EQ(tree.Waits, 2); // the root, then sub: nothing listed again
    ftp->ChangeDir("/site");
    EXPECT_EQ(ftp->ReplyCode, 250);
}

// A reply cut short by a name with CR LF in it leaves the rest of the listing where the next
// reply should be: the publish notices, logs in again and lists folder by folder; a server
// that never answers STAT is given up on after the reply limit the same way. The plan
// comes out as the old listing makes it.
TEST(PublishListingScripted, RepliesOutOfStepMeanANewLogInAndTheOldWay) {
    struct Case {
        const char* name;
        std::function<std::optional<std::string>(const std::string&)> stat;
    };
    const std::vector<Case> cases = {
        {"a name with CR LF",
         [](const std::string& command) -> std::optional<std::string> {
             if (command.find("/site/sub") != std::string::npos)
                 return StatReply(SiteFolders()["/site/sub"]);
             // "x\r\n213 End" ends the reply early; a.htm's line and the real end follow.
             return "213-Status follows:\r\n" + FolderLine("..") + "\r\n" +
                    FileLine("x\r\n213 End of status", 1) + "\r\n" + FileLine("a.htm", 1) + "\r\n" +
                    FolderLine("sub") + "\r\n213 End of status\r\n";
         }},
        {"no answer", [](const std::string&) -> std::optional<std::string> { return {}; }},
        {"a reply past its bound",
         [](const std::string& command) -> std::optional<std::string> {
             if (command != "STAT -a /site")
                 return StatReply(SiteFolders()[command.substr(command.find('/'))]);
             // 33 MiB of pages, more than a folder's listing may hold, then the end.
             std::string reply = "213-Status follows:\r\n";
             for (int i = 0; reply.size() <= (std::size_t(33) << 20); ++i)
                 reply += FileLine("page" + std::to_string(i) + ".htm", 1) + "\r\n";
             return reply + "213 End of status\r\n";
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StatServer script{c.stat, SiteFolders()};
        ScriptedServerOptions options;
        options.max_sessions = 0;
        ScriptedFtpServer server([&](Session& s) { script.Serve(s); }, options);
        TempDir site("kestrel-listing-site");
        WriteFileBytes(site / "a.htm", "a");
        TConnectionSettings settings = Settings(server.port(), "webuser", "s3cret");
        settings.ReplyTimeOut = 1500;
        TPublishOptions publish;
        publish.LocalRoot = site.str();
        publish.RemoteRoot = "/site";
        TPublisher publisher(settings, publish);
        const TPublishPlan& plan = publisher.Prepare();
        EXPECT_EQ(Shape(publisher.Remote()), kSiteShape);
        EXPECT_TRUE(HasNote(plan.Notes, "listed again folder by folder on a new log-in"));
        EXPECT_GE(server.sessions_accepted(), 2u);
    }
}
