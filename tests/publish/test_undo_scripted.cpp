// Putting a page in place while its old version goes into the history, against a scripted
// server that keeps its files in memory and takes commands together: the four renames go
// as one burst, and a refusal in the middle of it never costs the page.
#include "publish/describe.h"
#include "publish/history.h"
#include "publish/publisher.h"
#include "publish/undo.h"
#include "support/fixtures.h"
#include "support/scripted_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>

using namespace kestrel;
using namespace kestrel::test;

namespace {

struct Refusals {
    std::string renameFrom{}; // RNFR of this path is refused
    bool noOverwrite = false; // RNTO onto an existing file is refused
    // After this command line is answered (the first time) the server goes down: it closes
    // the session and greets every later one with 421, as long as down is set.
    std::string dieAfter{};
    std::shared_ptr<std::atomic<bool>> down = std::make_shared<std::atomic<bool>>(false);
};

// Files and folders in memory, listed in the Unix layout, one session after the other.
class HistoryServer {
public:
    explicit HistoryServer(Refusals refusals)
        : refusals_(std::move(refusals)), server_([this](Session& s) { Serve(s); }, Options()) {
        folders_ = {"/"};
    }

    int port() const { return server_.port(); }
    MemoryFiles& files() { return files_; }
    std::shared_ptr<std::atomic<bool>> down() { return refusals_.down; }
    std::set<std::string>& folders() { return folders_; }
    std::vector<std::string> received() const { return server_.received(); }
    int Count(const std::string& line) const {
        auto lines = server_.received();
        return int(std::count(lines.begin(), lines.end(), line));
    }
    // Whether the lines follow one another in what the server read.
    bool InARow(const std::vector<std::string>& lines) const {
        auto all = server_.received();
        return std::search(all.begin(), all.end(), lines.begin(), lines.end()) != all.end();
    }

private:
    static ScriptedServerOptions Options() {
        ScriptedServerOptions options;
        options.max_sessions = 0;
        return options;
    }
    static std::string ParentOf(const std::string& path) {
        std::size_t slash = path.rfind('/');
        return slash == 0 ? "/" : path.substr(0, slash);
    }

    void Serve(Session& s) {
        if (*refusals_.down) {
            s.reply("421 down");
            return;
        }
        s.reply("220 ready");
        std::string cwd = "/", renaming;
        while (std::optional<std::string> line = s.read_line()) {
            std::size_t space = line->find(' ');
            std::string verb = line->substr(0, space);
            std::string path = space == std::string::npos ? "" : line->substr(space + 1);
            if (!path.empty() && path[0] != '/' && verb != "TYPE" && verb != "PORT" &&
                verb != "USER" && verb != "PASS")
                path = (cwd == "/" ? "" : cwd) + "/" + path;
            if (verb == "USER")
                s.reply("331 password please");
            else if (verb == "PASS")
                s.reply("230 in");
            else if (verb == "TYPE" || verb == "PORT")
                s.reply("200 ok");
            else if (verb == "CWD") {
                bool there = folders_.count(path) > 0;
                if (there)
                    cwd = path;
                s.reply(there ? "250 ok" : "550 no such folder");
            } else if (verb == "DELE")
                s.reply(files_.remove(path) ? "250 deleted" : "550 no such file");
            else if (verb == "MKD")
                s.reply(folders_.count(ParentOf(path)) && folders_.insert(path).second
                            ? "257 made"
                            : "550 cannot");
            else if (verb == "RMD")
                s.reply(folders_.erase(path) ? "250 removed" : "550 no such folder");
            else if (verb == "LIST") {
                s.reply("150 listing");
                s.connect_data();
                std::string listing;
                for (const std::string& folder : folders_)
                    if (folder != "/" && ParentOf(folder) == cwd)
                        listing += "drwxr-xr-x 2 u g 0 Dec  8 10:15 " +
                                   folder.substr(folder.rfind('/') + 1) + "\r\n";
                for (const std::string& name : files_.names())
                    if (ParentOf(name) == cwd)
                        listing += "-rw-r--r-- 1 u g " + std::to_string(files_.get(name)->size()) +
                                   " Dec  8 10:15 " + name.substr(name.rfind('/') + 1) + "\r\n";
                s.data_send(listing);
                s.data_close();
                s.reply("226 done");
            } else if (verb == "RETR") {
                std::optional<std::string> content = files_.get(path);
                if (!content) {
                    s.reply("550 not found");
                    continue;
                }
                s.reply("150 sending");
                s.connect_data();
                s.data_send(*content);
                s.data_close();
                s.reply("226 done");
            } else if (verb == "STOR") {
                s.reply("150 go ahead");
                s.connect_data();
                files_.put(path, s.data_recv_all());
                s.reply("226 stored");
            } else if (verb == "SIZE") {
                std::optional<std::string> content = files_.get(path);
                s.reply(content ? "213 " + std::to_string(content->size()) : "550 no such file");
            } else if (verb == "RNFR") {
                bool refused = path == refusals_.renameFrom;
                renaming = files_.contains(path) && !refused ? path : "";
                s.reply(renaming.empty() ? "550 not now" : "350 go on");
            } else if (verb == "RNTO") {
                std::optional<std::string> content = files_.get(renaming);
                if (!content)
                    s.reply("503 RNFR first");
                else if ((refusals_.noOverwrite && files_.contains(path)) ||
                         !folders_.count(ParentOf(path)))
                    s.reply("553 cannot rename there");
                else {
                    files_.remove(renaming);
                    files_.put(path, *content);
                    s.reply("250 renamed");
                }
                renaming.clear();
            } else if (verb == "QUIT") {
                s.reply("221 bye");
                return;
            } else {
                s.reply("502 not here"); // FEAT, NOOP (the probe for commands together)
            }
            if (*line == refusals_.dieAfter) {
                refusals_.dieAfter.clear(); // once
                *refusals_.down = true;
                return;
            }
        }
    }

    Refusals refusals_;
    MemoryFiles files_;
    // Sessions come one after the other: no lock needed.
    std::set<std::string> folders_;
    ScriptedFtpServer server_;
};

TConnectionSettings ConnectionTo(const HistoryServer& server) {
    TConnectionSettings connection;
    connection.Host = "127.0.0.1";
    connection.Port = server.port();
    connection.UserID = "webuser";
    connection.Password = "s3cret";
    return connection;
}

struct Site {
    TempDir local{"kestrel-site"};
    Site() {
        WriteFileBytes(local / "a.htm", "<html>a, new</html>");
        WriteFileBytes(local / "c.htm", "<html>c</html>");
    }
    TPublishSummary Publish(HistoryServer& server) {
        TPublishOptions options;
        options.LocalRoot = local.str();
        options.RemoteRoot = "/site";
        options.Connections = 1;
        options.MatchConnectionsToWork = false;
        TPublisher publisher(ConnectionTo(server), options);
        EXPECT_TRUE(publisher.Prepare().History.On);
        return publisher.Run();
    }
};

const std::string kOld = "<html>a, as it was</html>";
const std::string kPage = "/site/a.htm";
const std::string kStaged = "/site/.a.htm.kestrel-tmp";

void PutOldSite(HistoryServer& server) {
    server.folders().insert("/site");
    server.files().put(kPage, kOld);
}

std::string KeptPathOf(const TPublishSummary& summary) {
    return "/" + std::string(kHistoryName) + "/site/" + summary.HistoryRun + "/files/a.htm";
}

bool HasNote(const TPublishSummary& summary, const std::string& part) {
    return std::any_of(summary.Notes.begin(), summary.Notes.end(),
                       [&](const std::string& note) { return note.find(part) != note.npos; });
}

} // namespace

// The page goes into the history and the staged file takes its name in one burst of four
// commands; undo renames the page back.
TEST(UndoScriptedServer, ThePageAndTheStagedFileAreRenamedInOneBurst) {
    Site site;
    HistoryServer server({});
    PutOldSite(server);
    TPublishSummary summary = site.Publish(server);
    ASSERT_TRUE(summary.Succeeded()) << FailureText(summary.Failures.front());
    const std::string kept = KeptPathOf(summary);
    EXPECT_TRUE(
        server.InARow({"RNFR " + kPage, "RNTO " + kept, "RNFR " + kStaged, "RNTO " + kPage}));
    EXPECT_EQ(server.files().get(kept), kOld);
    EXPECT_EQ(server.files().get(kPage), "<html>a, new</html>");

    TUndo undo(ConnectionTo(server), "/site");
    TUndoSummary undone = undo.Undo();
    ASSERT_TRUE(undone.Succeeded()) << FailureText(undone.Failures.front());
    EXPECT_EQ(undone.Restored, 1);
    EXPECT_EQ(undone.Removed, 1); // c.htm
    EXPECT_EQ(server.files().get(kPage), kOld);
    EXPECT_FALSE(server.files().contains("/site/c.htm"));
    EXPECT_FALSE(server.files().contains("/site/" + std::string(kManifestName)));
}

// The page is refused its move (RNFR), and the server will not rename the staged file over
// it either: the page stands as it was and is never deleted to make way; the file fails, its
// staged copy goes, and the others are published.
TEST(UndoScriptedServer, APageRefusedItsMoveIsNeverDeleted) {
    Site site;
    HistoryServer server({.renameFrom = kPage, .noOverwrite = true});
    PutOldSite(server);
    TPublishSummary summary = site.Publish(server);
    ASSERT_EQ(summary.Failures.size(), 1u);
    EXPECT_EQ(summary.Failures.front().Path, "a.htm");
    EXPECT_EQ(server.Count("DELE " + kPage), 0);
    EXPECT_EQ(server.files().get(kPage), kOld);
    EXPECT_FALSE(server.files().contains(kStaged));
    EXPECT_EQ(server.files().get("/site/c.htm"), "<html>c</html>");
}

// The page is refused its move but the server renames the staged file over it all the same
// (the four commands were on their way together): the run says that the old version was not
// kept, and undo leaves that page as the run left it.
TEST(UndoScriptedServer, APageReplacedWithoutItsMoveIsNamedAndLeftByUndo) {
    Site site;
    HistoryServer server({.renameFrom = kPage});
    PutOldSite(server);
    TPublishSummary summary = site.Publish(server);
    ASSERT_TRUE(summary.Succeeded()) << FailureText(summary.Failures.front());
    EXPECT_TRUE(HasNote(summary, "a.htm was replaced without keeping its old version"));
    EXPECT_EQ(server.files().get(kPage), "<html>a, new</html>");

    TUndo undo(ConnectionTo(server), "/site");
    TUndoSummary undone = undo.Undo();
    ASSERT_TRUE(undone.Succeeded()) << FailureText(undone.Failures.front());
    EXPECT_EQ(undone.Restored, 0);
    EXPECT_EQ(server.files().get(kPage), "<html>a, new</html>");
    EXPECT_FALSE(server.files().contains("/site/c.htm"));
    ASSERT_EQ(undone.Notes.size(), 1u);
    EXPECT_NE(undone.Notes[0].find("a.htm"), std::string::npos);
}

// The page moved into the history, and then the staged file is refused its name (RNFR, as
// when it vanished): nothing may be left without the page, so it comes back from the
// history, and the file fails.
TEST(UndoScriptedServer, APageMovedAndTheStagedFileRefusedComesBack) {
    Site site;
    HistoryServer server({.renameFrom = kStaged});
    PutOldSite(server);
    TPublishSummary summary = site.Publish(server);
    ASSERT_EQ(summary.Failures.size(), 1u);
    EXPECT_EQ(summary.Failures.front().Path, "a.htm");
    EXPECT_EQ(server.files().get(kPage), kOld);
    EXPECT_EQ(server.Count("DELE " + kPage), 0);
    EXPECT_EQ(server.files().get("/site/c.htm"), "<html>c</html>");
}

// The server goes down in the middle of the burst (a lost connection, a killed process):
// the record of the run is never completed, and undo goes by what the run set out to do,
// putting back what it finds moved and removing what it finds added or left staged.
TEST(UndoScriptedServer, ARunCutInTheMiddleOfTheBurstIsUndone) {
    Site site;
    HistoryServer server({.dieAfter = "RNTO " + kPage});
    PutOldSite(server);
    server.files().put("/site/b.htm", "<html>b, not touched</html>");
    TPublishSummary summary = site.Publish(server);
    EXPECT_FALSE(summary.Succeeded());
    ASSERT_FALSE(summary.HistoryRun.empty());
    EXPECT_TRUE(HasNote(summary, "undo goes by what the run set out to do"));
    EXPECT_EQ(server.files().get(kPage), "<html>a, new</html>");
    EXPECT_EQ(server.files().get(KeptPathOf(summary)), kOld);

    *server.down() = false; // the server is back
    // The lock the cut run left is this process's, which still runs: as from a process that
    // was killed, it is gone.
    for (const std::string& name : server.files().names())
        if (name.rfind("/site/.kestrelftp-lock/", 0) == 0)
            server.files().remove(name);
    server.folders().erase("/site/.kestrelftp-lock");
    TUndo undo(ConnectionTo(server), "/site");
    std::vector<TUndoRun> runs = undo.List();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_FALSE(runs[0].Complete);
    TUndoSummary undone = undo.Undo();
    ASSERT_TRUE(undone.Succeeded()) << FailureText(undone.Failures.front());
    EXPECT_EQ(undone.Restored, 1);
    std::vector<std::string> files;
    for (const std::string& name : server.files().names())
        if (name.rfind("/site/", 0) == 0)
            files.push_back(name);
    EXPECT_EQ(files, (std::vector<std::string>{"/site/a.htm", "/site/b.htm"}));
    EXPECT_EQ(server.files().get(kPage), kOld);
    EXPECT_TRUE(undo.List().empty());
}
