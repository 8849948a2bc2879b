// Publishes against a scripted server that keeps the site in memory and misbehaves
// exactly where a test asks: an upload whose data connection never comes is asked again
// and fails only after the last attempt, a server that stops answering a rename fails that
// file without holding up the run, a Stop before an upload's late reply cleans up on a new
// log-in, and a connection still waiting for its greeting holds up none that got in.
#include "publish/describe.h"
#include "publish/journal.h"
#include "publish/manifest.h"
#include "publish/names.h"
#include "publish/publisher.h"
#include "publish/sha256.h"
#include "publish/sitelock.h"
#include "support/fixtures.h"
#include "support/ftp_script.h"
#include "support/loopback.h"
#include "support/scripted_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

using namespace kestrel;
using namespace kestrel::test;
namespace fs = std::filesystem;

namespace {

// What the server does wrong: the first `stalls` STOR lines for one name are answered
// 150 without any data connection, and the first `silences` RNFR lines for one name are
// never answered.
struct Misbehaviour {
    std::string stallStore{};
    int stalls = 0;
    std::string silentRename{};
    int silences = 0;
    // A STOR of this name calls onLateStore once its data connection is open, and its final
    // reply comes lateBy after the data, as from a server slow to finish writing.
    std::string lateStore{};
    std::function<void()> onLateStore{};
    std::chrono::milliseconds lateBy{0};
    // Called when a RNFR goes unanswered.
    std::function<void()> onSilence{};
    // FEAT lists UTF8 and OPTS UTF8 ON is accepted.
    bool utf8 = false;
    // The first `corruptions` STOR lines for this name answer 226 but keep a damaged copy:
    // its first byte changed, or (cut) its last byte missing.
    std::string corruptStore{};
    int corruptions = 0;
    bool cut = false;
    // FEAT lines (none: FEAT is refused). The server answers SIZE, and HASH with SHA-256
    // once chosen ("OPTS HASH SHA-256") or when it is the starred one.
    std::vector<std::string> features{};
    bool refuseSize = false;
    // RNFR of this name is refused, as when a staged file vanished before it was placed.
    std::string refusedRename{};
    // SIZE and HASH of this name are refused.
    std::string refusedProof{};
    // Reads one command per packet: whatever came with a command is lost.
    bool onePerPacket = false;
};

// A server of plain files in memory, one session after the other, in active mode.
class SiteServer {
public:
    explicit SiteServer(Misbehaviour misbehaviour)
        : misbehaviour_(std::move(misbehaviour)),
          server_([this](Session& s) { Serve(s); }, Options()) {}

    int port() const { return server_.port(); }
    MemoryFiles& files() { return *files_; }
    std::set<std::string>& folders() { return *folders_; }
    ScriptedFtpServer& server() { return server_; }
    // The most renames that had already come, unread, when a RNFR was read: how many files
    // were put in place together.
    std::size_t RenamesAhead() const { return renamesAhead_; }
    // How many times the client sent this exact command line.
    int Count(const std::string& line) const {
        auto lines = server_.received();
        return int(std::count(lines.begin(), lines.end(), line));
    }

private:
    static ScriptedServerOptions Options() {
        ScriptedServerOptions options;
        options.max_sessions = 0;
        return options;
    }

    void Serve(Session& s) {
        s.reply("220 ready");
        std::string renaming;
        bool stalled = false;
        bool sha256 =
            std::any_of(misbehaviour_.features.begin(), misbehaviour_.features.end(),
                        [](const std::string& f) { return f.find("SHA-256*") != f.npos; });
        while (std::optional<std::string> line = s.read_line()) {
            if (misbehaviour_.onePerPacket)
                s.drop_buffered();
            // The stalled upload's final reply comes late, as from a server that gave up
            // connecting: just before the answer to whatever the client sends next.
            if (std::exchange(stalled, false))
                s.reply("425 Cannot open the data connection");
            std::size_t space = line->find(' ');
            std::string verb = line->substr(0, space);
            std::string path = space == std::string::npos ? "" : line->substr(space + 1);
            if (verb == "USER")
                s.reply("331 password please");
            else if (verb == "PASS")
                s.reply("230 in");
            else if (verb == "TYPE" || verb == "PORT")
                s.reply("200 ok");
            else if (verb == "FEAT" && misbehaviour_.utf8)
                s.reply("211-Features:\r\n UTF8\r\n211 End");
            else if (*line == "OPTS UTF8 ON" && misbehaviour_.utf8)
                s.reply("200 UTF8 on");
            else if (verb == "CWD" || verb == "DELE")
                s.reply(files_->remove(path) || verb == "CWD" ? "250 ok" : "550 no such file");
            else if (verb == "MKD")
                s.reply(folders_->insert(path).second ? "257 \"" + path + "\" made" : "550 exists");
            else if (verb == "RMD")
                s.reply(folders_->erase(path) ? "250 removed" : "550 no such folder");
            else if (verb == "LIST") {
                s.reply("150 listing");
                s.connect_data();
                s.data_close(); // an empty folder
                s.reply("226 done");
            } else if (verb == "RETR") {
                std::optional<std::string> content = files_->get(path);
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
                if (path == misbehaviour_.stallStore && misbehaviour_.stalls-- > 0) {
                    stalled = true; // and never connects
                    continue;
                }
                s.connect_data();
                bool late = path == misbehaviour_.lateStore;
                if (late && misbehaviour_.onLateStore)
                    misbehaviour_.onLateStore();
                std::string content = s.data_recv_all();
                if (path == misbehaviour_.corruptStore && misbehaviour_.corruptions-- > 0 &&
                    !content.empty()) {
                    if (misbehaviour_.cut)
                        content.pop_back();
                    else
                        content[0] = char(content[0] ^ 1);
                }
                files_->put(path, content);
                if (late)
                    std::this_thread::sleep_for(misbehaviour_.lateBy);
                s.reply("226 stored");
            } else if (verb == "RNFR") {
                if (path == misbehaviour_.silentRename && misbehaviour_.silences-- > 0) {
                    if (misbehaviour_.onSilence)
                        misbehaviour_.onSilence();
                    continue; // and never answers
                }
                // How many more renames had come with this one, not yet read.
                std::size_t ahead = 0;
                for (std::size_t at = s.buffered().find("RNFR "); at != std::string::npos;
                     at = s.buffered().find("RNFR ", at + 1))
                    ++ahead;
                renamesAhead_ = std::max(renamesAhead_.load(), ahead);
                const bool accepted = files_->contains(path) && path != misbehaviour_.refusedRename;
                renaming = accepted ? path : "";
                s.reply(accepted ? "350 go on" : "550 no such file");
            } else if (verb == "RNTO") {
                std::optional<std::string> content = files_->get(renaming);
                if (!content) {
                    s.reply("503 RNFR first");
                    continue;
                }
                files_->remove(renaming);
                files_->put(path, *content);
                s.reply("250 renamed");
            } else if (verb == "FEAT" && !misbehaviour_.features.empty()) {
                s.reply("211-Features:");
                for (const std::string& feature : misbehaviour_.features)
                    s.reply(" " + feature);
                s.reply("211 End");
            } else if (verb == "OPTS" && path == "HASH SHA-256") {
                sha256 = true;
                s.reply("200 SHA-256");
            } else if ((verb == "SIZE" && !misbehaviour_.refuseSize) ||
                       (verb == "HASH" && sha256)) {
                std::optional<std::string> content = files_->get(path);
                if (path == misbehaviour_.refusedProof)
                    s.reply("550 " + verb + " not allowed here");
                else if (!content)
                    s.reply("550 no such file");
                else if (verb == "SIZE")
                    s.reply("213 " + std::to_string(content->size()));
                else
                    s.reply("213 SHA-256 0-" + std::to_string(content->size()) + " " +
                            BytesSha256(*content) + " " + path);
            } else if (verb == "QUIT") {
                s.reply("221 bye");
                return;
            } else {
                s.reply("502 not here");
            }
        }
    }

    Misbehaviour misbehaviour_;
    std::shared_ptr<MemoryFiles> files_ = std::make_shared<MemoryFiles>();
    // Folders made: sessions come one after the other, so no lock is needed.
    std::shared_ptr<std::set<std::string>> folders_ = std::make_shared<std::set<std::string>>();
    std::atomic<std::size_t> renamesAhead_{0};
    ScriptedFtpServer server_;
};

struct Site {
    TempDir local{"kestrel-site"};
    std::string big = RandomBytes(200000, 3);

    Site() {
        WriteFileBytes(local / "a.htm", "<html>a</html>");
        WriteFileBytes(local / "b.htm", big);
        WriteFileBytes(local / "c.htm", "<html>c</html>");
    }

    TPublishSummary Publish(SiteServer& server, std::int32_t replyTimeOut = 30000,
                            int connections = 1) {
        TPublisher publisher(Connection(server.port(), replyTimeOut), Options(connections));
        return publisher.Run();
    }

    static TConnectionSettings Connection(int port, std::int32_t replyTimeOut = 30000) {
        TConnectionSettings connection;
        connection.Host = "127.0.0.1";
        connection.Port = port;
        connection.UserID = "webuser";
        connection.Password = "s3cret";
        connection.ReplyTimeOut = replyTimeOut;
        return connection;
    }

    TPublishOptions Options(int connections = 1) const {
        TPublishOptions options;
        options.LocalRoot = local.str();
        options.RemoteRoot = "/site";
        options.Connections = connections;
        options.MatchConnectionsToWork = false;
        return options;
    }
};

std::optional<TManifest> ManifestOn(SiteServer& server) {
    std::optional<std::string> text = server.files().get("/site/" + std::string(kManifestName));
    return text ? ParseManifest(*text) : std::nullopt;
}

bool HasNote(const TPublishSummary& summary, const std::string& part) {
    return std::any_of(summary.Notes.begin(), summary.Notes.end(),
                       [&](const std::string& note) { return note.find(part) != note.npos; });
}

const std::string kStoreB = "STOR /site/.b.htm.kestrel-tmp";

} // namespace

TEST(PublishScriptedServer, DataConnectionThatNeverComesIsAskedAgainAndTheFileArrivesWhole) {
    Site site;
    SiteServer server({.stallStore = "/site/.b.htm.kestrel-tmp", .stalls = 1});
    TPublishSummary summary = site.Publish(server);
    EXPECT_TRUE(summary.Succeeded())
        << (summary.Failures.empty() ? "" : summary.Failures[0].Reason);
    EXPECT_EQ(summary.Uploaded, 3);
    EXPECT_EQ(server.Count(kStoreB), 2) << "sent again after the stalled attempt";
    EXPECT_TRUE(server.files().get("/site/b.htm") == site.big) << "b.htm arrived whole";
    EXPECT_TRUE(HasNote(summary, "such files were sent again"));
    std::optional<TManifest> manifest = ManifestOn(server);
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->size(), 3u);
    EXPECT_TRUE(server.server().failures().empty()) << server.server().failures().front();
}

TEST(PublishScriptedServer, DataConnectionThatNeverComesFailsTheFileAfterTheLastAttempt) {
    Site site;
    SiteServer server({.stallStore = "/site/.b.htm.kestrel-tmp", .stalls = 100});
    TPublishSummary summary = site.Publish(server);
    EXPECT_EQ(server.Count(kStoreB), 3) << "three attempts, no more";
    EXPECT_FALSE(summary.Succeeded());
    EXPECT_EQ(summary.Uploaded, 2);
    ASSERT_EQ(summary.Failures.size(), 1u);
    EXPECT_EQ(summary.Failures[0].Path, "b.htm");
    EXPECT_EQ(summary.Failures[0].Reason,
              "The server did not open the data connection in time; tried 3 times");
    EXPECT_FALSE(server.files().contains("/site/b.htm"));
    EXPECT_EQ(server.files().get("/site/a.htm"), "<html>a</html>");
    std::optional<TManifest> manifest = ManifestOn(server);
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->count("b.htm"), 0u) << "the manifest lists only what is there";
    EXPECT_EQ(manifest->size(), 2u);
}

// Commands sent one at a time: the rename left unanswered fails after the reply limit, and
// the run goes on. Sent together with the other files' renames, the replies after the
// missing one come one command early: the file of the first reply out of place fails (by
// that reply), and the others are looked at on a new log-in.
TEST(PublishScriptedServer, ServerThatStopsAnsweringARenameFailsThatFileOnly) {
    for (bool onePerPacket : {true, false}) {
        SCOPED_TRACE(onePerPacket ? "one command per packet" : "commands together");
        Site site;
        SiteServer server({.silentRename = "/site/.b.htm.kestrel-tmp",
                           .silences = 1,
                           .onePerPacket = onePerPacket});
        TPublishSummary summary = site.Publish(server, 1000); // without the limit: a hang
        EXPECT_EQ(summary.Uploaded, 2);
        ASSERT_EQ(summary.Failures.size(), 1u);
        EXPECT_EQ(summary.Failures[0].Path, "b.htm");
        if (onePerPacket) {
            EXPECT_EQ(summary.Failures[0].Reason, "The server did not answer within 1 s");
        }
        EXPECT_EQ(server.files().get("/site/a.htm"), "<html>a</html>");
        EXPECT_EQ(server.files().get("/site/c.htm"), "<html>c</html>") << "the run went on";
        std::optional<TManifest> manifest = ManifestOn(server);
        ASSERT_TRUE(manifest);
        EXPECT_EQ(manifest->count("b.htm"), 0u);
        EXPECT_EQ(manifest->count("c.htm"), 1u);
    }
}

// This server serves one session after the other: a second connection gets no greeting
// until the first has logged out. The first does the whole site meanwhile; it must not
// wait for the second to log in before it starts on the next step.
TEST(PublishScriptedServer, ConnectionStillLoggingInHoldsUpNone) {
    Site site;
    SiteServer server(Misbehaviour{});
    TPublishSummary summary = site.Publish(server, 3000, 2);
    EXPECT_TRUE(summary.Succeeded())
        << (summary.Failures.empty() ? "" : summary.Failures[0].Reason);
    EXPECT_EQ(summary.Uploaded, 3);
    EXPECT_EQ(summary.Connections, 2);
    EXPECT_FALSE(HasNote(summary, "could not log in")) << summary.Notes.front();
    EXPECT_EQ(server.Count("PASS s3cret"), 2) << "the second logged in once the first was done";
    EXPECT_EQ(server.files().get("/site/c.htm"), "<html>c</html>");
    EXPECT_TRUE(ManifestOn(server));
}

// The local folder is walked while the server is asked: when both fail, the local folder,
// the user's own mistake, is the one named.
TEST(PublishScriptedServer, MissingLocalFolderIsNamedBeforeAServerThatIsNotThere) {
    TempDir parent{"kestrel-site"};
    TConnectionSettings connection;
    connection.Host = "127.0.0.1";
    connection.Port = ClosedPort();
    connection.UserID = "webuser";
    TPublishOptions options;
    options.LocalRoot = (parent / "missing").string();
    options.RemoteRoot = "/site";
    TPublisher publisher(connection, options);
    std::string message;
    try {
        publisher.Prepare();
    } catch (const std::exception& error) {
        message = error.what();
    }
    EXPECT_EQ(message, "Cannot read folder " + options.LocalRoot);
}

// Stop during an upload whose final reply comes only after the connection has stopped
// waiting for it: on that connection the late reply would answer the clean-up's command,
// and each later command would read the reply of the one before. The clean-up and the
// manifest go on a new log-in (this server greets it once the first session has ended).
// a.htm was staged before the Stop and is removed again, never put in place: a Stop while
// files are staged leaves the site as it was.
TEST(PublishScriptedServer, StopWithTheUploadsReplyStillToComeCleansUpOnANewLogIn) {
    Site site;
    TPublisher* running = nullptr;
    Misbehaviour late;
    late.lateStore = kStoreB.substr(5);
    late.onLateStore = [&] { running->Stop(); };
    late.lateBy = std::chrono::milliseconds(1500);
    SiteServer server(late);
    TConnectionSettings connection;
    connection.Host = "127.0.0.1";
    connection.Port = server.port();
    connection.UserID = "webuser";
    connection.Password = "s3cret";
    TPublishOptions options;
    options.LocalRoot = site.local.str();
    options.RemoteRoot = "/site";
    options.Connections = 1;
    TPublisher publisher(connection, options);
    running = &publisher;
    TPublishSummary summary = publisher.Run();

    EXPECT_TRUE(summary.Stopped);
    EXPECT_TRUE(summary.Failures.empty()) << summary.Failures.front().Reason;
    EXPECT_EQ(summary.Uploaded, 0);
    EXPECT_FALSE(server.files().contains("/site/.b.htm.kestrel-tmp")) << "cleaned up";
    EXPECT_FALSE(server.files().contains("/site/.a.htm.kestrel-tmp")) << "unstaged";
    EXPECT_FALSE(server.files().contains("/site/a.htm"));
    EXPECT_FALSE(server.files().contains("/site/b.htm"));
    EXPECT_TRUE(HasNote(summary, "Stopped: 3 files were not sent"));
    std::optional<TManifest> manifest = ManifestOn(server);
    ASSERT_TRUE(manifest) << "the manifest was written after the Stop";
    EXPECT_TRUE(manifest->empty());
}

// Stop is heard whatever the publish waits for while it prepares: the greeting, a log-in
// reply, TYPE I, or the end of the listing. Prepare then ends at once with EPublishStopped
// (before, it waited until the server answered or the reply limit passed).
TEST(PublishStop, StopWhilePreparingEndsPrepareWhateverItWaitsFor) {
    struct Case {
        const char* name;
        std::function<void(Session&)> script; // ends by calling stop() once stuck
    };
    std::function<void()> stop;
    auto stuck = [&](Session& s) {
        stop();
        while (s.read_line()) {
        }
    };
    const std::vector<Case> cases = {
        {"greeting", [&](Session& s) { stuck(s); }},
        {"USER",
         [&](Session& s) {
             s.reply("220 ready");
             s.expect("USER webuser");
             stuck(s);
         }},
        {"TYPE I",
         [&](Session& s) {
             s.reply("220 ready");
             UserAndPassword(s);
             s.expect("TYPE I");
             stuck(s);
         }},
        {"the end of the listing",
         [&](Session& s) {
             s.reply("220 ready");
             UserAndPassword(s);
             AnswerUntilQuit(s, [&](const std::string& line) {
                 if (line.rfind("LIST", 0) == 0) {
                     s.reply("150 listing");
                     s.connect_data();
                     s.data_send("-rw-r--r-- 1 u g 4 Jan 01 2030 a.htm\r\n");
                     stop(); // the data connection stays open, no 226 comes
                     while (s.read_line()) {
                     }
                     return;
                 }
                 s.reply(line.rfind("PWD", 0) == 0 ? "257 \"/\"" : "200 ok");
             });
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Site site;
        ScriptedFtpServer server(c.script);
        // The limit would end the wait too, but only after 20 s: Stop must not wait for it.
        TPublisher publisher(Site::Connection(server.port(), 20000), site.Options());
        stop = [&] { publisher.Stop(); };
        std::string message;
        try {
            publisher.Prepare();
        } catch (const EPublishStopped& error) {
            message = error.what();
        }
        EXPECT_EQ(message, "The publish was stopped");
        server.stop();
    }
}

TEST(PublishStop, TheWalkEndsEarlyOnceStopped) {
    TempDir local{"kestrel-site"};
    for (int i = 0; i < 20; ++i)
        WriteFileBytes(local / ("p" + std::to_string(i) + ".htm"), "x");
    std::atomic<bool> stop{false};
    TWalkOptions options;
    options.Stop = &stop;
    EXPECT_EQ(WalkLocalTree(local.str(), options).Files.size(), 20u);
    stop = true;
    EXPECT_TRUE(WalkLocalTree(local.str(), options).Files.empty());
}

// A Stop that comes before Run, or in its first moments, is kept: nothing is sent, and the
// manifest is still written (Run used to clear the flag after it had built its phases).
TEST(PublishStop, StopBeforeRunIsKept) {
    Site site;
    SiteServer server(Misbehaviour{});
    TPublisher publisher(Site::Connection(server.port()), site.Options());
    publisher.Prepare();
    publisher.Stop();
    TPublishSummary summary = publisher.Run();
    EXPECT_TRUE(summary.Stopped);
    EXPECT_EQ(summary.Uploaded, 0);
    EXPECT_EQ(server.Count(kStoreB), 0) << "nothing is sent after a Stop";
    EXPECT_FALSE(server.files().contains("/site/a.htm"));
    EXPECT_TRUE(HasNote(summary, "Stopped: 3 files were not sent"));
}

// A Stop while a connection waits for a reply that never comes (here RNFR, with no reply
// limit at all, as the window's own connection has) ends that wait at once; the clean-up
// and the manifest then go on a new log-in.
TEST(PublishStop, StopEndsAWaitForAReplyThatNeverComes) {
    Site site;
    TPublisher* running = nullptr;
    Misbehaviour silent;
    silent.silentRename = "/site/.b.htm.kestrel-tmp";
    silent.silences = 1;
    // A moment after the silence began, so that the replies the server sent before it
    // (a.htm's) are read first, whatever the threads' timing.
    std::thread stopper;
    silent.onSilence = [&] {
        stopper = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            running->Stop();
        });
    };
    SiteServer server(silent);
    TPublisher publisher(Site::Connection(server.port(), 0), site.Options());
    running = &publisher;
    TPublishSummary summary = publisher.Run();
    stopper.join();
    EXPECT_TRUE(summary.Stopped);
    EXPECT_TRUE(summary.Failures.empty()) << summary.Failures.front().Reason;
    EXPECT_FALSE(server.files().contains("/site/.b.htm.kestrel-tmp")) << "cleaned up";
    // c.htm's renames went in the same burst as b.htm's, and the server carried them out:
    // staged and removed again, or in place, never both, and not claimed by the manifest.
    EXPECT_FALSE(server.files().contains("/site/.c.htm.kestrel-tmp"))
        << "staged, never put in place, removed again";
    std::optional<TManifest> manifest = ManifestOn(server);
    ASSERT_TRUE(manifest) << "the manifest was written after the Stop";
    EXPECT_EQ(manifest->count("b.htm"), 0u) << "its rename may or may not have happened";
    EXPECT_EQ(manifest->count("a.htm"), 1u);
    EXPECT_EQ(manifest->count("c.htm"), 0u);
    EXPECT_EQ(server.folders().count("/site/" + std::string(kLockName)), 0u)
        << "the lock goes after a Stop too";
}

// This server greets a second connection only once the first has logged out, and the
// first is slow (one upload's reply comes late): the second cannot log in within the reply
// limit, is given up with a note, and the first does its share.
TEST(PublishScriptedServer, ConnectionThatCannotLogInInTimeIsGivenUp) {
    Site site;
    Misbehaviour slow;
    slow.lateStore = kStoreB.substr(5);
    slow.lateBy = std::chrono::milliseconds(2500);
    SiteServer server(slow);
    TPublishSummary summary = site.Publish(server, 1000, 2);
    EXPECT_TRUE(summary.Succeeded())
        << (summary.Failures.empty() ? "" : summary.Failures[0].Reason);
    EXPECT_EQ(summary.Uploaded, 3);
    EXPECT_TRUE(HasNote(summary, "Connection 2 could not log in: The server did not answer "
                                 "within 1 s"));
    EXPECT_EQ(server.files().get("/site/b.htm"), site.big);
    EXPECT_TRUE(ManifestOn(server));
}

// The manifest records the bytes that were sent: a page edited between the plan and its
// upload (here without changing its size) is sent as it is then, and recorded with that
// content's hash, with a note.
TEST(PublishManifestTruth, FileChangedBetweenPlanAndUploadIsRecordedAsSent) {
    Site site;
    SiteServer server(Misbehaviour{});
    TPublisher publisher(Site::Connection(server.port()), site.Options());
    publisher.Prepare();
    WriteFileBytes(site.local / "a.htm", "<html>A</html>");
    TPublishSummary summary = publisher.Run();
    EXPECT_TRUE(summary.Succeeded());
    EXPECT_EQ(server.files().get("/site/a.htm"), "<html>A</html>");
    std::optional<TManifest> manifest = ManifestOn(server);
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->at("a.htm").Hash, BytesSha256("<html>A</html>"));
    EXPECT_TRUE(HasNote(summary, "a.htm changed after the plan"));
}

// Two runs to the same folder at once are told apart by a lock in the remote root: a run
// takes it before its first change and removes it after its last.
TEST(PublishLock, ARunTakesTheLockAndRemovesItAtTheEnd) {
    Site site;
    SiteServer server(Misbehaviour{});
    TPublishSummary summary = site.Publish(server);
    EXPECT_TRUE(summary.Succeeded());
    EXPECT_EQ(server.Count("MKD /site/" + std::string(kLockName)), 1);
    EXPECT_EQ(server.Count("RMD /site/" + std::string(kLockName)), 1);
    EXPECT_EQ(server.folders().count("/site/" + std::string(kLockName)), 0u);
    EXPECT_FALSE(server.files().contains("/site/" + std::string(kLockName) + "/owner"));
    EXPECT_EQ(server.files().get("/site/a.htm"), "<html>a</html>");
}

TEST(PublishLock, ALockHeldByAnotherRunChangesNothing) {
    Site site;
    SiteServer server(Misbehaviour{});
    const std::string lock = "/site/" + std::string(kLockName);
    TLockOwner other = ThisLockOwner(); // this process is alive: the lock is fresh
    other.User = "other";
    other.Since -= 30;
    server.folders().insert(lock);
    server.files().put(lock + "/owner", FormatLockOwner(other));
    TPublishSummary summary = site.Publish(server);
    EXPECT_FALSE(summary.Succeeded());
    ASSERT_FALSE(summary.Failures.empty());
    EXPECT_EQ(summary.Failures[0].Reason.rfind("Nothing was published: another publish to this "
                                               "folder is running: other on ",
                                               0),
              0u)
        << summary.Failures[0].Reason;
    EXPECT_EQ(summary.Uploaded, 0);
    EXPECT_EQ(server.Count(kStoreB), 0) << "nothing was sent";
    EXPECT_FALSE(ManifestOn(server)) << "the other run's manifest is its own business";
    EXPECT_EQ(server.files().get(lock + "/owner"), FormatLockOwner(other)) << "left as it was";
    EXPECT_EQ(server.folders().count(lock), 1u);
}

TEST(PublishLock, AStaleLockIsTakenOverWithANote) {
    // A lock an hour and more old, and one whose process on this host is gone.
    pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);
    TLockOwner old = ThisLockOwner();
    old.Since -= 2 * 3600;
    old.Pid = 1; // alive, but the lock is too old
    TLockOwner gone = ThisLockOwner();
    gone.Pid = child;
    for (const TLockOwner& owner : {old, gone}) {
        SCOPED_TRACE(owner.Pid);
        Site site;
        SiteServer server(Misbehaviour{});
        const std::string lock = "/site/" + std::string(kLockName);
        server.folders().insert(lock);
        server.files().put(lock + "/owner", FormatLockOwner(owner));
        TPublishSummary summary = site.Publish(server);
        EXPECT_TRUE(summary.Succeeded())
            << (summary.Failures.empty() ? "" : summary.Failures[0].Reason);
        EXPECT_TRUE(HasNote(summary, "A stale lock of "));
        EXPECT_TRUE(HasNote(summary, "was found on the server and taken over"));
        EXPECT_EQ(summary.Uploaded, 3);
        EXPECT_EQ(server.folders().count(lock), 0u) << "and removed at the end";
    }
}

TEST(PublishLock, OwnerTextRoundTripsAndOddTextIsRefused) {
    TLockOwner owner{"pc.example", 4242, "anna", 1765260000};
    std::optional<TLockOwner> read = ParseLockOwner(FormatLockOwner(owner));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->Host, "pc.example");
    EXPECT_EQ(read->Pid, 4242);
    EXPECT_EQ(read->User, "anna");
    EXPECT_EQ(read->Since, 1765260000);
    EXPECT_EQ(DescribeLockOwner(owner, 1765260095), "anna on pc.example (process 4242), 95 s ago");
    TLockOwner odd{"my pc", 7, "Anna Berg\nx", 5};
    read = ParseLockOwner(FormatLockOwner(odd));
    ASSERT_TRUE(read) << "blanks in a name do not make the owner unreadable";
    EXPECT_EQ(read->User, "Anna_Berg_x");
    EXPECT_EQ(read->Host, "my_pc");
    EXPECT_FALSE(ParseLockOwner(""));
    EXPECT_FALSE(ParseLockOwner("# KestrelFTP lock 1\nhost x pid y"));
    EXPECT_FALSE(ParseLockOwner("<html>not a lock</html>"));
}

TEST(PublishScriptedServer, EveryConnectionAsksForUtf8NamesWhenTheServerListsThem) {
    // The listing connection asks FEAT and then OPTS UTF8 ON; every further connection
    // asks for the option after its log-in, so that all of them treat names alike.
    Site site;
    SiteServer server({.utf8 = true});
    TPublishSummary summary = site.Publish(server, 30000, 3);
    EXPECT_TRUE(summary.Succeeded());
    EXPECT_EQ(summary.Uploaded, 3);
    const int logins = server.Count("PASS s3cret");
    EXPECT_GE(logins, 2);
    EXPECT_EQ(server.Count("FEAT"), 1);
    EXPECT_EQ(server.Count("OPTS UTF8 ON"), logins);

    // Without UTF8 in FEAT nobody asks.
    SiteServer plain({});
    summary = site.Publish(plain, 30000, 3);
    EXPECT_TRUE(summary.Succeeded());
    EXPECT_EQ(plain.Count("FEAT"), 1);
    EXPECT_EQ(plain.Count("OPTS UTF8 ON"), 0);
}

// The site switches from old to new in a burst of renames: every file is staged under its
// temporary name before the first is put in place, and images, fonts and other files go in
// place before the style sheets and scripts, and those before the pages that refer to them.
TEST(PublishTwoPhases, EveryFileIsStagedBeforeAnyIsPutInPlaceAndAssetsBeforePages) {
    TempDir local{"kestrel-site"};
    const std::vector<std::string> paths = {"index.html", "about.HTM",      "css/site.css",
                                            "js/app.js",  "img/logo.png",   "fonts/f.woff2",
                                            "doc.pdf",    "blog/post.xhtml"};
    for (const std::string& path : paths) {
        fs::create_directories((local / path).parent_path());
        WriteFileBytes(local / path, "content of " + path);
    }
    SiteServer server(Misbehaviour{});
    TPublishOptions options;
    options.LocalRoot = local.str();
    options.RemoteRoot = "/site";
    options.Connections = 1;
    TPublisher publisher(Site::Connection(server.port()), options);
    TPublishSummary summary = publisher.Run();
    ASSERT_TRUE(summary.Succeeded()) << summary.Failures.front().Reason;
    EXPECT_EQ(summary.Uploaded, int(paths.size()));
    EXPECT_GE(summary.SwitchSeconds, 0.0);

    auto sitePath = [&](const std::string& line, const std::string& verb) -> std::string {
        if (line.rfind(verb + " /site/", 0) != 0 || line.find(kManifestName) != line.npos ||
            line.find(kLockName) != line.npos)
            return "";
        return line.substr(verb.size() + 7);
    };
    const std::vector<std::string> lines = server.server().received();
    std::size_t lastStore = 0, firstRename = lines.size();
    std::vector<int> renameOrders;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!sitePath(lines[i], "STOR").empty())
            lastStore = i;
        std::string renamed = sitePath(lines[i], "RNTO");
        if (!renamed.empty()) {
            firstRename = std::min(firstRename, i);
            renameOrders.push_back(PlacementOrder(renamed));
        }
    }
    EXPECT_LT(lastStore, firstRename) << "a file was put in place while others were still sent";
    EXPECT_EQ(renameOrders.size(), paths.size());
    EXPECT_TRUE(std::is_sorted(renameOrders.begin(), renameOrders.end()))
        << "a page was put in place before an asset";
    for (const std::string& path : paths)
        EXPECT_EQ(server.files().get("/site/" + path), "content of " + path) << path;
    std::optional<TManifest> manifest = ManifestOn(server);
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->size(), paths.size());
}

// Proof of arrival against a server that answers 226 and keeps a damaged copy: its HASH
// (chosen with OPTS HASH, as SHA-1 is the server's current one) finds a changed byte, and
// the file is sent again, once; the summary says how the run was verified.
TEST(PublishArrival, ACopyThatDiffersByItsHashIsSentAgain) {
    Site site;
    SiteServer server({.corruptStore = "/site/.b.htm.kestrel-tmp",
                       .corruptions = 1,
                       .features = {"HASH SHA-1*;SHA-256;MD5", "SIZE"}});
    TPublishSummary summary = site.Publish(server);
    ASSERT_TRUE(summary.Succeeded()) << summary.Failures.front().Reason;
    EXPECT_EQ(server.Count(kStoreB), 2) << "sent again after its hash differed";
    EXPECT_TRUE(server.files().get("/site/b.htm") == site.big) << "b.htm arrived whole";
    EXPECT_EQ(summary.Uploaded, 3);
    EXPECT_EQ(summary.Verified, 3);
    EXPECT_EQ(summary.VerifiedBy, "HASH SHA-256");
    EXPECT_TRUE(HasNote(summary, "b.htm arrived different from what was sent (HASH SHA-256)"));
    EXPECT_EQ(VerificationText(summary),
              "Verified on the server: 3 of 3 files sent, by their hash (HASH SHA-256)");
    EXPECT_GE(server.Count("OPTS HASH SHA-256"), 1);
    std::optional<TManifest> manifest = ManifestOn(server);
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->at("b.htm").Hash, BytesSha256(site.big));
}

// SIZE is all a server without a hash command offers (pyftpdlib, vsftpd): it finds a copy cut
// short. A copy that differs again after it was sent again is a failure, and the manifest
// does not claim it.
TEST(PublishArrival, ACopyCutShortIsFoundBySizeAndOneThatStaysWrongFails) {
    for (int corruptions : {1, 2}) {
        SCOPED_TRACE(corruptions);
        Site site;
        SiteServer server(
            {.corruptStore = "/site/.b.htm.kestrel-tmp", .corruptions = corruptions, .cut = true});
        TPublishSummary summary = site.Publish(server);
        EXPECT_EQ(server.Count(kStoreB), 2);
        EXPECT_EQ(summary.VerifiedBy, "SIZE");
        std::optional<TManifest> manifest = ManifestOn(server);
        ASSERT_TRUE(manifest);
        if (corruptions == 1) {
            ASSERT_TRUE(summary.Succeeded()) << summary.Failures.front().Reason;
            EXPECT_EQ(summary.Verified, 3);
            EXPECT_TRUE(server.files().get("/site/b.htm") == site.big);
            EXPECT_NE(VerificationText(summary).find("by their size (SIZE"), std::string::npos);
            EXPECT_EQ(manifest->count("b.htm"), 1u);
        } else {
            ASSERT_EQ(summary.Failures.size(), 1u);
            EXPECT_EQ(summary.Failures[0].Path, "b.htm");
            EXPECT_NE(summary.Failures[0].Reason.find("differs from the file sent (SIZE)"),
                      std::string::npos);
            EXPECT_EQ(summary.Verified, 2);
            EXPECT_EQ(manifest->count("b.htm"), 0u) << "the manifest claims no damaged copy";
            EXPECT_EQ(manifest->count("a.htm"), 1u);
        }
    }
}

// The files of a run are verified in one batch of SIZE commands on a server that takes
// commands together: a refusal in the middle of the batch belongs to its own file (the
// server's line does not name it), and a copy cut short next to it is still found and sent
// again; the files around them are verified.
TEST(PublishArrival, ARefusalInTheMiddleOfABatchBelongsToItsOwnFile) {
    Site site;
    WriteFileBytes(site.local / "d.htm", "<html>d</html>");
    SiteServer server({.corruptStore = "/site/.c.htm.kestrel-tmp",
                       .corruptions = 1,
                       .cut = true,
                       .refusedProof = "/site/b.htm"});
    TPublishSummary summary = site.Publish(server);
    ASSERT_TRUE(summary.Succeeded()) << summary.Failures.front().Reason;
    EXPECT_EQ(summary.Verified, 3) << "a.htm, c.htm once sent again, d.htm";
    EXPECT_TRUE(HasNote(summary, "could not be verified on the server (b.htm: 550 SIZE"));
    EXPECT_TRUE(HasNote(summary, "c.htm arrived different from what was sent (SIZE)"));
    EXPECT_EQ(server.Count("STOR /site/.c.htm.kestrel-tmp"), 2);
    EXPECT_EQ(server.Count("STOR /site/.a.htm.kestrel-tmp"), 1);
    EXPECT_EQ(server.files().get("/site/c.htm"), "<html>c</html>");
    std::optional<TManifest> manifest = ManifestOn(server);
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->size(), 4u);
}

// A server that reads one command per packet would lose the commands sent together: the
// probe finds that out on every log-in, and folders, renames and proofs go one at a time,
// with a note.
TEST(PublishScriptedServer, AServerThatReadsOneCommandPerPacketGetsOneAtATime) {
    Site site;
    for (const char* folder : {"img", "img/small", "css"}) {
        fs::create_directories(site.local / folder);
        WriteFileBytes(site.local / folder / "x.htm", folder);
    }
    SiteServer server({.onePerPacket = true});
    TPublishSummary summary = site.Publish(server, 3000, 2);
    ASSERT_TRUE(summary.Succeeded()) << summary.Failures.front().Reason;
    EXPECT_EQ(summary.Uploaded, 6);
    EXPECT_EQ(summary.Verified, 6);
    EXPECT_EQ(summary.Created, 3);
    EXPECT_TRUE(HasNote(summary, "takes one command at a time"));
    EXPECT_EQ(server.files().get("/site/img/small/x.htm"), "img/small");
    EXPECT_TRUE(server.server().failures().empty()) << server.server().failures().front();

    // The same site on a server that takes them together: no such note.
    Site again;
    for (const char* folder : {"img", "img/small", "css"}) {
        fs::create_directories(again.local / folder);
        WriteFileBytes(again.local / folder / "x.htm", folder);
    }
    SiteServer together(Misbehaviour{});
    summary = again.Publish(together, 3000, 2);
    ASSERT_TRUE(summary.Succeeded()) << summary.Failures.front().Reason;
    EXPECT_EQ(summary.Verified, 6);
    EXPECT_EQ(summary.Created, 3);
    EXPECT_FALSE(HasNote(summary, "takes one command at a time"));
}

// A server that answers neither a hash command nor SIZE leaves the files unverified, with a
// note, and the run still succeeds.
TEST(PublishArrival, AServerWithoutAnyProofIsNotedAndTheRunSucceeds) {
    Site site;
    SiteServer server({.features = {"UTF8"}, .refuseSize = true});
    TPublisher publisher(Site::Connection(server.port()), site.Options());
    publisher.Prepare();
    TPublishSummary summary = publisher.Run();
    ASSERT_TRUE(summary.Succeeded()) << summary.Failures.front().Reason;
    EXPECT_EQ(summary.Verified, 0);
    EXPECT_TRUE(HasNote(summary, "could not be verified"));
}

// A staged file that cannot be renamed (RNFR refused: it is not there any more) fails its
// page and leaves the page on the server as it was: only a refused RNTO, a name in the
// way, may be mended by deleting that name first. Also when RNFR and RNTO go in one packet.
TEST(PublishScriptedServer, ARefusedRenameFromNeverDeletesThePage) {
    Site site;
    SiteServer server({.refusedRename = "/site/.a.htm.kestrel-tmp"});
    server.files().put("/site/a.htm", "<html>the page as it was</html>");
    TPublishSummary summary = site.Publish(server);
    ASSERT_EQ(summary.Failures.size(), 1u);
    EXPECT_EQ(summary.Failures.front().Path, "a.htm");
    EXPECT_EQ(server.Count("DELE /site/a.htm"), 0);
    EXPECT_EQ(server.files().get("/site/a.htm"), "<html>the page as it was</html>");
    EXPECT_EQ(server.files().get("/site/c.htm"), "<html>c</html>");
}

// The staged pages are put in place by one burst: the renames of every file in one packet,
// the replies read in order. A refusal in the middle of it is the failure of its own file:
// the files before and after it are in place, and its page stays as it was. A server that
// reads one command per packet gets the renames one file at a time, with the same outcome.
TEST(PublishScriptedServer, TheRenamesOfABurstGoTogetherAndARefusalBelongsToItsFile) {
    for (bool onePerPacket : {false, true}) {
        SCOPED_TRACE(onePerPacket ? "one command per packet" : "commands together");
        Site site;
        SiteServer server(
            {.refusedRename = "/site/.b.htm.kestrel-tmp", .onePerPacket = onePerPacket});
        server.files().put("/site/a.htm", "<html>old a</html>");
        server.files().put("/site/b.htm", "<html>old b</html>");
        TPublishOptions options = site.Options();
        options.HistoryRuns = 0;
        TPublishSummary summary = TPublisher(Site::Connection(server.port()), options).Run();
        ASSERT_EQ(summary.Failures.size(), 1u);
        EXPECT_EQ(summary.Failures.front().Path, "b.htm");
        EXPECT_EQ(server.files().get("/site/a.htm"), "<html>a</html>");
        EXPECT_EQ(server.files().get("/site/b.htm"), "<html>old b</html>");
        EXPECT_EQ(server.files().get("/site/c.htm"), "<html>c</html>");
        EXPECT_EQ(server.Count("DELE /site/b.htm"), 0);
        EXPECT_EQ(summary.Sent, (std::vector<std::string>{"a.htm", "c.htm"}));
        if (onePerPacket)
            EXPECT_EQ(server.RenamesAhead(), 0u);
        else
            EXPECT_EQ(server.RenamesAhead(), 2u) << "the three files were placed one by one";
    }
}

// A file the journal of a cut run has staged is trusted only as far as the server bears it
// out: where the server offers a hash command, a temporary copy of the right size with one
// byte changed is sent again; the intact one is only put in place, never sent again.
TEST(PublishResumeProof, AStagedFileIsTrustedOnlyWhenTheServersHashAgrees) {
    Site site;
    TempDir state("kestrel-state");
    SiteServer server({.features = {"HASH SHA-256*", "SIZE"}});
    server.files().put("/site/.a.htm.kestrel-tmp", "<html>a</html>");
    std::string damaged = site.big;
    damaged[100] = char(damaged[100] ^ 1);
    server.files().put("/site/.b.htm.kestrel-tmp", damaged);
    const std::string name = JournalSiteName("127.0.0.1", server.port(), "webuser", "/site");
    {
        TJournalState cut;
        cut.Staged["a.htm"] = {BytesSha256("<html>a</html>"), 14};
        cut.Staged["b.htm"] = {BytesSha256(site.big), std::int64_t(site.big.size())};
        TJournal(JournalPath(state.str(), name), name).Begin(cut);
    }
    TPublishOptions options = site.Options();
    options.JournalFolder = state.str();
    TPublisher publisher(Site::Connection(server.port()), options);
    const TPublishPlan& plan = publisher.Prepare();
    EXPECT_EQ(plan.FilesResumed, 1);
    EXPECT_TRUE(std::any_of(plan.Notes.begin(), plan.Notes.end(), [](const std::string& note) {
        return note.find("names 1 files that are no longer as it says") != note.npos;
    }));
    TPublishSummary summary = publisher.Run();
    ASSERT_TRUE(summary.Succeeded()) << summary.Failures.front().Reason;
    EXPECT_GE(server.Count("HASH /site/.b.htm.kestrel-tmp"), 1) << "asked before trusting it";
    EXPECT_EQ(server.Count("STOR /site/.a.htm.kestrel-tmp"), 0) << "a.htm was sent again";
    EXPECT_EQ(server.Count(kStoreB), 1);
    EXPECT_FALSE(HasNote(summary, "arrived different")) << "the damaged copy was put in place";
    EXPECT_TRUE(server.files().get("/site/b.htm") == site.big);
    EXPECT_TRUE(server.files().get("/site/a.htm") == std::string("<html>a</html>"));
    EXPECT_EQ(summary.Resumed, 1);
    EXPECT_FALSE(fs::exists(JournalPath(state.str(), name)));
}
