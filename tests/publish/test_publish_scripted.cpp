// Publishes against a scripted server that keeps the site in memory and misbehaves
// exactly where a test asks: an upload whose data connection never comes is asked again
// and fails only after the last attempt, a server that stops answering a rename fails that
// file without holding up the run, a Stop before an upload's late reply cleans up on a new
// log-in, and a connection still waiting for its greeting holds up none that got in.
#include "publish/manifest.h"
#include "publish/publisher.h"
#include "support/fixtures.h"
#include "support/ftp_script.h"
#include "support/loopback.h"
#include "support/scripted_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
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
    // FEAT lists UTF8 and OPTS UTF8 ON is accepted.
    bool utf8 = false;
};

// A server of plain files in memory, one session after the other, in active mode.
class SiteServer {
public:
    explicit SiteServer(Misbehaviour misbehaviour)
        : misbehaviour_(std::move(misbehaviour)),
          server_([this](Session& s) { Serve(s); }, Options()) {}

    int port() const { return server_.port(); }
    MemoryFiles& files() { return *files_; }
    ScriptedFtpServer& server() { return server_; }
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
        while (std::optional<std::string> line = s.read_line()) {
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
                s.reply("257 \"" + path + "\" made");
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
                files_->put(path, s.data_recv_all());
                if (late)
                    std::this_thread::sleep_for(misbehaviour_.lateBy);
                s.reply("226 stored");
            } else if (verb == "RNFR") {
                if (path == misbehaviour_.silentRename && misbehaviour_.silences-- > 0)
                    continue; // and never answers
                renaming = path;
                s.reply(files_->contains(path) ? "350 go on" : "550 no such file");
            } else if (verb == "RNTO") {
                std::optional<std::string> content = files_->get(renaming);
                if (!content) {
                    s.reply("503 RNFR first");
                    continue;
                }
                files_->remove(renaming);
                files_->put(path, *content);
                s.reply("250 renamed");
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
        TConnectionSettings connection;
        connection.Host = "127.0.0.1";
        connection.Port = server.port();
        connection.UserID = "webuser";
        connection.Password = "s3cret";
        connection.ReplyTimeOut = replyTimeOut;
        TPublishOptions options;
        options.LocalRoot = local.str();
        options.RemoteRoot = "/site";
        options.Connections = connections;
        options.MatchConnectionsToWork = false;
        TPublisher publisher(connection, options);
        return publisher.Run();
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

TEST(PublishScriptedServer, ServerThatStopsAnsweringARenameFailsThatFileOnly) {
    Site site;
    SiteServer server({.silentRename = "/site/.b.htm.kestrel-tmp", .silences = 1});
    TPublishSummary summary = site.Publish(server, 1000); // without the limit: a hang
    EXPECT_EQ(summary.Uploaded, 2);
    ASSERT_EQ(summary.Failures.size(), 1u);
    EXPECT_EQ(summary.Failures[0].Path, "b.htm");
    EXPECT_EQ(summary.Failures[0].Reason, "The server did not answer within 1 s");
    EXPECT_EQ(server.files().get("/site/c.htm"), "<html>c</html>") << "the run went on";
    std::optional<TManifest> manifest = ManifestOn(server);
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->count("b.htm"), 0u);
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
    EXPECT_EQ(summary.Uploaded, 1);
    EXPECT_FALSE(server.files().contains("/site/.b.htm.kestrel-tmp")) << "cleaned up";
    EXPECT_FALSE(server.files().contains("/site/b.htm"));
    std::optional<TManifest> manifest = ManifestOn(server);
    ASSERT_TRUE(manifest) << "the manifest was written after the Stop";
    EXPECT_EQ(manifest->size(), 1u);
    EXPECT_EQ(manifest->count("a.htm"), 1u);
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
