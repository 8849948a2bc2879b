// Publishes against a scripted server whose listings say what a test makes them say: names
// that would lead out of the remote root, names with spaces at their ends, and the three
// kinds of server for "LIST -a" (one that takes the option, one that takes "-a" for a
// name, one that shows hidden names anyway). Whatever the listing says, no command names
// anything outside the remote root. Then the same names on real servers: the longest names
// on pyftpdlib, spaces and hidden names on vsftpd (skipped where it cannot run).
#include "net/ftp/ftplist.h"
#include "publish/manifest.h"
#include "publish/publisher.h"
#include "support/anon_vsftpd.h"
#include "support/fixtures.h"
#include "support/pyftpd.h"
#include "support/scripted_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

using namespace kestrel;
using namespace kestrel::test;

namespace {

using Lines = std::vector<std::string>;

std::string MachineLine(const std::string& name, std::int64_t size, const char* type = "file");

// What the server lists: for a folder (as CWD or MLSD named it) and the arguments of the
// listing command ("" or "-a"); nothing means the listing is refused with 550.
using ListingScript =
    std::function<std::optional<Lines>(const std::string& folder, const std::string& arguments)>;

// A server of files in memory whose listings come from the test, in active mode. It offers
// MLSD in FEAT when machineList is set; LIST then is never asked for.
class ListingServer {
public:
    // telnet: the server reads commands as Telnet text (as proftpd does): a doubled byte
    // 255 is one byte of the text, a single one begins a Telnet command (dropped here with
    // the byte after it).
    ListingServer(bool machineList, ListingScript listing, bool telnet = false)
        : machineList_(machineList), telnet_(telnet), listing_(std::move(listing)),
          server_([this](Session& s) { Serve(s); }, Options()) {}

    // MLSD lines of what the server holds in folder: its files, and folders made or holding
    // files.
    Lines MachineListing(const std::string& folder) const {
        std::set<std::string> folders;
        Lines lines;
        const std::string prefix = folder + "/";
        for (const std::string& path : files_->names()) {
            if (path.rfind(prefix, 0) != 0)
                continue;
            std::string rest = path.substr(prefix.size());
            std::size_t slash = rest.find('/');
            if (slash != std::string::npos)
                folders.insert(rest.substr(0, slash));
            else
                lines.push_back(MachineLine(rest, std::int64_t(files_->get(path)->size())));
        }
        for (const std::string& made : folders_)
            if (made.rfind(prefix, 0) == 0 && made.find('/', prefix.size()) == std::string::npos)
                folders.insert(made.substr(prefix.size()));
        for (const std::string& name : folders)
            lines.push_back(MachineLine(name, 0, "dir"));
        return lines;
    }

    // A listing of these lines only goes on until the client stops it (or kEndlessCap).
    static constexpr const char* kEndless = "(endless)";
    static constexpr std::int64_t kEndlessCap = std::int64_t(256) << 20;
    std::atomic<std::int64_t> endlessSent{0};

    int port() const { return server_.port(); }
    MemoryFiles& files() { return *files_; }
    Lines received() const { return server_.received(); }
    int Count(const std::string& line) const {
        Lines lines = received();
        return int(std::count(lines.begin(), lines.end(), line));
    }

private:
    static ScriptedServerOptions Options() {
        ScriptedServerOptions options;
        options.max_sessions = 0;
        return options;
    }

    void List(Session& s, const std::string& folder, const std::string& arguments) {
        std::optional<Lines> lines = listing_(folder, arguments);
        if (!lines) {
            s.reply("550 " + arguments + ": No such file or directory");
            return;
        }
        s.reply("150 Here comes the directory listing");
        s.connect_data();
        if (*lines == Lines{kEndless}) {
            std::string chunk;
            for (int i = 0; chunk.size() < 64 * 1024; ++i)
                chunk += MachineLine("page" + std::to_string(i) + ".html", i) + "\r\n";
            while (endlessSent < kEndlessCap && s.data_send(chunk))
                endlessSent += std::int64_t(chunk.size());
            s.data_close();
            s.reply("226 Directory send OK");
            return;
        }
        std::string text;
        for (const std::string& line : *lines)
            text += line + "\r\n";
        s.data_send(text);
        s.data_close();
        s.reply("226 Directory send OK");
    }

    void Serve(Session& s) {
        s.reply("220 ready");
        std::string cwd = "/";
        std::string renaming;
        while (std::optional<std::string> line = s.read_line()) {
            if (telnet_)
                line = TelnetText(*line);
            std::size_t space = line->find(' ');
            std::string verb = line->substr(0, space);
            std::string path = space == std::string::npos ? "" : line->substr(space + 1);
            if (verb == "USER")
                s.reply("331 password please");
            else if (verb == "PASS")
                s.reply("230 in");
            else if (verb == "TYPE" || verb == "PORT")
                s.reply("200 ok");
            else if (verb == "PWD")
                s.reply("257 \"/\" is the current directory");
            else if (verb == "SYST")
                s.reply("215 UNIX Type: L8");
            else if (verb == "FEAT")
                s.send(machineList_ ? "211-Features:\r\n MLST type*;size*;modify*;\r\n211 End\r\n"
                                    : "211-Features:\r\n SIZE\r\n211 End\r\n");
            else if (verb == "CWD") {
                cwd = path;
                s.reply("250 ok");
            } else if (verb == "LIST")
                List(s, cwd, path);
            else if (verb == "MLSD")
                List(s, path, "");
            else if (verb == "NLST") {
                std::string text;
                for (const std::string& line : MachineListing(cwd))
                    text += line.substr(line.find(' ') + 1) + "\r\n";
                s.reply("150 names");
                s.connect_data();
                s.data_send(text);
                s.data_close();
                s.reply("226 done");
            } else if (verb == "DELE" || verb == "RMD") {
                files_->remove(path); // what the listing says is there
                folders_.erase(path);
                s.reply("250 ok");
            } else if (verb == "MKD") {
                folders_.insert(path);
                s.reply("257 \"" + path + "\" made");
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
                s.connect_data();
                files_->put(path, s.data_recv_all());
                s.reply("226 stored");
            } else if (verb == "RNFR") {
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

    static std::string TelnetText(const std::string& line) {
        std::string text;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] != '\xff')
                text += line[i];
            else if (i + 1 < line.size() && line[i + 1] == '\xff')
                text += line[++i];
            else
                ++i; // a Telnet command: IAC and its code
        }
        return text;
    }

    bool machineList_;
    bool telnet_;
    std::set<std::string> folders_; // made by MKD, used on the server's thread only
    ListingScript listing_;
    std::shared_ptr<MemoryFiles> files_ = std::make_shared<MemoryFiles>();
    ScriptedFtpServer server_;
};

struct Published {
    TPublishSummary summary;
    TPublishPlan plan;
};

Published Publish(const ListingServer& server, const std::string& local, bool withDelete) {
    TConnectionSettings connection;
    connection.Host = "127.0.0.1";
    connection.Port = server.port();
    connection.UserID = "webuser";
    connection.Password = "s3cret";
    TPublishOptions options;
    options.LocalRoot = local;
    options.RemoteRoot = "/site";
    options.Connections = 1;
    options.Plan.Delete = withDelete;
    options.Plan.ForceDelete = withDelete; // the deletions here are the point, not a mistake
    // Which names are acted on is the point, not where deleted files go (test_undo_*): this
    // server keeps no files to move into a history.
    options.HistoryRuns = 0;
    TPublisher publisher(connection, options);
    Published result;
    result.plan = publisher.Prepare();
    result.summary = publisher.Run();
    return result;
}

// A line of vsftpd's LIST for a file of size bytes.
std::string UnixLine(const std::string& name, std::int64_t size, char type = '-') {
    return std::string(1, type) + "rw-r--r--    1 1001     1001     " + std::to_string(size) +
           " Dec 09 05:17 " + name;
}

std::string MachineLine(const std::string& name, std::int64_t size, const char* type) {
    return std::string("type=") + type + ";size=" + std::to_string(size) +
           ";modify=20990101000000; " + name;
}

// The remote path of every command that names one.
Lines PathsNamed(const Lines& received) {
    static const char* kVerbs[] = {"CWD ",  "DELE ", "RMD ",  "MKD ", "STOR ",
                                   "RETR ", "RNFR ", "RNTO ", "MLSD "};
    Lines paths;
    for (const std::string& line : received)
        for (const char* verb : kVerbs)
            if (line.rfind(verb, 0) == 0)
                paths.push_back(line.substr(std::string(verb).size()));
    return paths;
}

// "/site/a/b": absolute, and no name in it empty, "." or "..".
bool PlainBelowRoot(const std::string& path) {
    std::size_t start = 1;
    while (start <= path.size()) {
        std::size_t slash = std::min(path.find('/', start), path.size());
        std::string name = path.substr(start, slash - start);
        if (name.empty() || name == "." || name == "..")
            return false;
        start = slash + 1;
    }
    return path.rfind("/", 0) == 0;
}

// The most resident memory this process has had since the last ResetPeakResident() (the
// kernel's high-water mark).
std::int64_t PeakResidentBytes() {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return 0;
    char line[256];
    long kib = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1)
            break;
    std::fclose(f);
    return std::int64_t(kib) * 1024;
}

void ResetPeakResident() {
    if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

bool HasNote(const std::vector<std::string>& notes, const std::string& part) {
    return std::any_of(notes.begin(), notes.end(), [&](const std::string& note) {
        return note.find(part) != std::string::npos;
    });
}

} // namespace

TEST(PublishNames, TheRuleForNamesAServerLists) {
    for (const char* name : {"index.html", " lead.html", "trail.html ", "...", ".htaccess", "a\\b",
                             "x..\\y", "\xff.html", "-a"})
        EXPECT_EQ(RemoteNameProblem(name), "") << name;
    for (const std::string& name :
         {std::string(), std::string("."), std::string(".."), std::string("evil/../../victim.html"),
          std::string("/etc"), std::string("a/"), std::string("x\rvictim"), std::string("x\n"),
          std::string("x\0y", 3), std::string("..\\victim"), std::string("a\\..\\..\\victim"),
          std::string("a\\..")})
        EXPECT_NE(RemoteNameProblem(name), "") << name;

    // The manifest holds paths of such names, "/"-separated, and nothing else.
    int bad = 0;
    std::string hash(64, 'a');
    std::optional<TManifest> manifest = ParseManifest(
        "# KestrelFTP manifest 1\n" + hash + " 1 a/b.htm\n" + hash + " 1  lead.htm\n" + hash +
            " 1 ../victim.htm\n" + hash + " 1 a/../../victim.htm\n" + hash + " 1 /etc/victim\n" +
            hash + " 1 a//b\n" + hash + " 1 a/./b\n" + hash + " 1 a/\n" + hash + " 1 ..\\victim\n",
        &bad);
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->size(), 2u);
    EXPECT_TRUE(manifest->count("a/b.htm"));
    EXPECT_TRUE(manifest->count(" lead.htm"));
    EXPECT_EQ(bad, 7);
}

// Names that lead out of the folder listed, in MLSD and in LIST: each is left alone with a
// note, and a publish with delete removes only the entry that is really gone locally.
TEST(PublishNames, NamesThatLeaveTheFolderAreNeverActedOn) {
    TempDir local{"kestrel-names"};
    WriteFileBytes(local / "index.html", "<html>new</html>");
    std::filesystem::create_directory(local / "sub");
    WriteFileBytes(local / "sub" / "page.html", "<p>");
    const Lines evil = {"evil/../../victim.html", "../victim.html", "..\\victim.html",
                        "a\\..\\..\\victim.html", "x\rvictim.html", "/etc/victim"};
    for (bool machineList : {true, false}) {
        SCOPED_TRACE(machineList ? "MLSD" : "LIST");
        auto line = [&](const std::string& name, std::int64_t size, bool folder = false) {
            return machineList ? MachineLine(name, size, folder ? "dir" : "file")
                               : UnixLine(name, size, folder ? 'd' : '-');
        };
        ListingServer server(machineList, [&](const std::string& folder, const std::string&) {
            Lines lines;
            if (folder == "/site") {
                lines = {line("index.html", 5), line("old.html", 5), line("sub", 0, true),
                         line("..", 0, true), line("up\\..", 0, true)};
                for (const std::string& name : evil)
                    lines.push_back(line(name, 7));
            } else if (folder == "/site/sub") {
                lines = {line("gone.html", 3), line("../../victim.html", 7),
                         line("sub/../../../victim", 0, true), line("links", 0, true)};
            } else if (folder == "/site/sub/links" && !machineList) {
                // Links only: no file or folder of their own, never deleted as files.
                lines = {"total 0", "lrwxrwxrwx    1 1001     1001     11 Dec 09 05:17 "
                                    "victim.html -> /etc/victim"};
            }
            return std::optional<Lines>(lines);
        });
        Published run = Publish(server, local.str(), true);
        EXPECT_TRUE(run.summary.Succeeded())
            << (run.summary.Failures.empty() ? "" : run.summary.Failures[0].Reason);
        for (const std::string& path : PathsNamed(server.received())) {
            EXPECT_EQ(path.rfind("/site", 0), 0u) << path;
            EXPECT_EQ(path.find("victim"), std::string::npos) << path;
            EXPECT_TRUE(PlainBelowRoot(path)) << path;
        }
        EXPECT_EQ(server.Count("DELE /site/old.html"), 1);
        EXPECT_EQ(server.Count("DELE /site/sub/gone.html"), 1);
        EXPECT_TRUE(HasNote(run.plan.Notes, "Left alone in /: the server listed a name that "
                                            "holds a \"/\": \"evil/../../victim.html\""));
        EXPECT_TRUE(HasNote(run.plan.Notes, "\"x\\rvictim.html\""));
        EXPECT_TRUE(HasNote(run.plan.Notes, "Left alone in sub: "));
        EXPECT_TRUE(HasNote(run.plan.Notes, "\"..\\victim.html\""));
        EXPECT_FALSE(HasNote(run.plan.Notes, "\"..\"")) << "the parent is no name to note";
    }
}

// Spaces at either end of a name are part of it in every listing format: the files are
// found unchanged, and one that is gone locally is deleted under its exact name.
TEST(PublishNames, SpacesAtTheEndsOfNamesAreReadExactly) {
    TempDir local{"kestrel-spaces"};
    const Lines names = {" lead.html", "trail.html ", "  both  .html  ", "mid  dle.html"};
    for (const std::string& name : names)
        WriteFileBytes(local / name, name);
    for (bool machineList : {true, false}) {
        SCOPED_TRACE(machineList ? "MLSD" : "LIST");
        ListingServer server(machineList, [&](const std::string& folder, const std::string&) {
            Lines lines;
            if (folder != "/site")
                return std::optional<Lines>(lines);
            for (const std::string& name : names)
                lines.push_back(machineList ? MachineLine(name, std::int64_t(name.size()))
                                            : UnixLine(name, std::int64_t(name.size())));
            lines.push_back(machineList ? MachineLine(" gone.html ", 4)
                                        : UnixLine(" gone.html ", 4));
            return std::optional<Lines>(lines);
        });
        Published run = Publish(server, local.str(), true);
        EXPECT_TRUE(run.summary.Succeeded())
            << (run.summary.Failures.empty() ? "" : run.summary.Failures[0].Reason);
        EXPECT_EQ(run.plan.Unchanged.size(), names.size());
        EXPECT_TRUE(run.plan.Uploads.empty()) << run.plan.Uploads.front().Path;
        EXPECT_EQ(run.plan.FilesToDelete, Lines{" gone.html "});
        EXPECT_EQ(server.Count("DELE /site/ gone.html "), 1);
    }
}

// LIST shows hidden names only when asked ("LIST -a") on many servers; a server that takes
// "-a" for a name is found out with the first listing and listed plainly from then on.
TEST(PublishNames, HiddenNamesAreListedWhereverTheServerCan) {
    TempDir local{"kestrel-hidden"};
    WriteFileBytes(local / "index.html", "12345");
    std::filesystem::create_directory(local / "sub");
    WriteFileBytes(local / "sub" / "a.html", "123");
    const std::string leftover = ".index.html.kestrel-tmp";
    // Unix listings of the two folders: what LIST alone shows, and the hidden names.
    auto shown = [&](const std::string& folder) {
        return folder == "/site" ? Lines{UnixLine("index.html", 5), UnixLine("sub", 0, 'd')}
                                 : Lines{UnixLine("a.html", 3)};
    };
    // A server that takes the option lists the folder and its parent too; one that shows
    // hidden names anyway (as pyftpdlib does) does not.
    auto hidden = [&](const std::string& folder, bool withParent) {
        Lines lines;
        if (withParent)
            lines = {UnixLine(".", 0, 'd'), UnixLine("..", 0, 'd')};
        lines.push_back(UnixLine(folder == "/site" ? leftover : ".a.html.kestrel-tmp", 2));
        return lines;
    };
    enum Kind { TakesOption, TakesName, TakesNameWithSuchAFile, ShowsAll };
    for (Kind kind : {TakesOption, TakesName, TakesNameWithSuchAFile, ShowsAll}) {
        SCOPED_TRACE(kind);
        ListingServer server(false, [&](const std::string& folder, const std::string& arguments) {
            Lines lines = shown(folder);
            if (kind == TakesNameWithSuchAFile && folder == "/site")
                lines.push_back(UnixLine("-a", 1));
            if (kind == ShowsAll || (kind == TakesOption && arguments == "-a")) {
                Lines more = hidden(folder, kind == TakesOption);
                lines.insert(lines.end(), more.begin(), more.end());
            }
            if (arguments == "-a" && kind == TakesName)
                return std::optional<Lines>();
            if (arguments == "-a" && kind == TakesNameWithSuchAFile)
                return folder == "/site" ? std::optional<Lines>(Lines{UnixLine("-a", 1)})
                                         : std::optional<Lines>();
            return std::optional<Lines>(lines);
        });
        server.files().put("/site/" + leftover, "xx");
        Published run = Publish(server, local.str(), false);
        EXPECT_TRUE(run.summary.Succeeded())
            << (run.summary.Failures.empty() ? "" : run.summary.Failures[0].Reason);
        EXPECT_TRUE(run.plan.Uploads.empty()) << "the listed files were all found";
        bool seesHidden = kind == TakesOption || kind == ShowsAll;
        EXPECT_EQ(server.Count("DELE /site/" + leftover), seesHidden ? 1 : 0);
        EXPECT_EQ(server.Count("DELE /site/sub/.a.html.kestrel-tmp"), seesHidden ? 1 : 0);
        EXPECT_EQ(HasNote(run.plan.Notes, "does not show hidden names"), !seesHidden);
        // The kind of server is found out once: after that each folder gets one listing.
        int withOption = server.Count("LIST -a"), plain = server.Count("LIST");
        EXPECT_EQ(withOption, seesHidden ? 2 : 1);
        EXPECT_EQ(plain, kind == TakesOption ? 0 : seesHidden ? 1 : 2);
    }
}

// A name of up to 255 bytes (what file systems allow) is published, however little room
// it leaves for the temporary name: one too long for the dot and the suffix is uploaded
// under a short hash, renamed over the real name and never left behind.
TEST(PublishNames, LongestNamesArePublishedUnderATemporaryNameThatFits) {
    PyFtpd server;
    TempDir local{"kestrel-long"};
    const Lines names = {std::string(242, 'a'), std::string(243, 'b'),
                         std::string(250, 'c') + ".html"};
    for (const std::string& name : names)
        WriteFileBytes(local / name, name.substr(0, 10));
    TConnectionSettings connection;
    connection.Host = server.host();
    connection.Port = server.port();
    connection.UserID = server.user();
    connection.Password = server.password();
    TPublishOptions options;
    options.LocalRoot = local.str();
    options.RemoteRoot = "/www";
    options.Connections = 1;
    for (int run = 0; run < 2; ++run) {
        TPublisher publisher(connection, options);
        const TPublishPlan& plan = publisher.Prepare();
        EXPECT_EQ(plan.Uploads.size(), run == 0 ? names.size() : 0u);
        TPublishSummary summary = publisher.Run();
        EXPECT_TRUE(summary.Succeeded())
            << (summary.Failures.empty() ? "" : summary.Failures[0].Reason);
    }
    Lines onServer;
    for (const auto& entry : std::filesystem::directory_iterator(server.root() / "www"))
        if (entry.path().filename() != kManifestName)
            onServer.push_back(entry.path().filename().string());
    std::sort(onServer.begin(), onServer.end());
    EXPECT_EQ(onServer, names);
    for (const std::string& name : names)
        EXPECT_EQ(ReadFileBytes(server.root() / "www" / name), name.substr(0, 10));
}

// On vsftpd, whose LIST hides names that begin with a dot unless asked with "-a", which
// offers no MLSD and takes a byte 255 as it comes: names with spaces at their ends or a
// byte 255 are published once and then found unchanged, one gone locally is deleted, and
// the temporary names that a killed publish left are seen and removed.
TEST(PublishNamesVsftpd, SpacesAndLeftoversOnARealServer) {
    std::string reason = AnonVsftpd::Unavailable();
    if (!reason.empty())
        GTEST_SKIP() << reason;
    AnonVsftpd server;
    TempDir local{"kestrel-vsftpd-site"};
    const Lines names = {" lead.html", "trail.html ", "  both .html ",
                         "index.html", "x\xffy.html", "x\xff\xffy.html"};
    for (const std::string& name : names)
        WriteFileBytes(local / name, "<p>" + name + "</p>");
    std::filesystem::create_directory(local / "sub");
    WriteFileBytes(local / "sub" / "page.html", "<p>page</p>");
    TConnectionSettings connection;
    connection.Host = "127.0.0.1";
    connection.Port = server.port();
    connection.UserID = "anonymous";
    connection.Password = "publish@example.com";
    TPublishOptions options;
    options.LocalRoot = local.str();
    options.RemoteRoot = "/www";
    options.Connections = 2;
    options.Plan.Delete = true;
    options.Plan.ForceDelete = true;
    auto publish = [&] {
        TPublisher publisher(connection, options);
        Published run;
        run.plan = publisher.Prepare();
        run.summary = publisher.Run();
        EXPECT_TRUE(run.summary.Succeeded())
            << (run.summary.Failures.empty() ? "" : run.summary.Failures[0].Reason);
        EXPECT_FALSE(HasNote(run.plan.Notes, "does not show hidden names"));
        return run;
    };
    // What publishes killed in the middle left (of pages that are gone by now), and a page
    // published earlier that is gone locally.
    std::filesystem::create_directory(server.www() / "sub");
    for (const char* left : {".old.html.kestrel-tmp", "sub/.gone.html.kestrel-tmp", " gone.html "})
        WriteFileBytes(server.www() / left, "part");
    server.HandOver();

    Published first = publish();
    EXPECT_EQ(first.plan.Uploads.size(), names.size() + 1);
    // vsftpd offers SIZE and no hash command; it finds every name, blanks and byte 255 too.
    EXPECT_EQ(first.summary.VerifiedBy, "SIZE");
    EXPECT_EQ(first.summary.Verified, int(names.size() + 1));
    Lines onServer;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(server.www())) {
        std::string relative = std::filesystem::relative(entry.path(), server.www()).string();
        // The history of the publishes (inside the root: the parent is not writable here)
        // keeps " gone.html " for undo.
        if (relative.rfind(kHistoryName, 0) != 0)
            onServer.push_back(relative);
    }
    std::sort(onServer.begin(), onServer.end());
    Lines expected = names;
    expected.insert(expected.end(), {kManifestName, "sub", "sub/page.html"});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(onServer, expected);
    for (const std::string& name : names)
        EXPECT_EQ(ReadFileBytes(server.www() / name), "<p>" + name + "</p>");

    Published second = publish();
    EXPECT_TRUE(second.plan.NothingToDo())
        << (second.plan.Uploads.empty() ? "" : second.plan.Uploads.front().Path);
    EXPECT_EQ(second.plan.Unchanged.size(), names.size() + 1);

    // A root still to be made: found out there all the same.
    options.RemoteRoot = "/www/new";
    Published fresh = publish();
    EXPECT_TRUE(fresh.plan.CreateRoot);
    for (const std::string& name : names)
        EXPECT_EQ(ReadFileBytes(server.www() / "new" / name), "<p>" + name + "</p>");
}

// A byte 255 in a name reaches the server as the same byte, whichever way the server reads
// commands: doubled for one that reads Telnet text (where "x\xff\xffy.html" sent as it is
// would overwrite "x\xffy.html"), as it is for one that takes bytes as they come. The
// publish finds out which kind it talks to before it sends such a name.
TEST(PublishNames, AByte255ReachesTheServerAsItIs) {
    TempDir local{"kestrel-iac"};
    const std::map<std::string, std::string> site = {{"x\xffy.html", "one 255"},
                                                     {"x\xff\xffy.html", "two 255s"},
                                                     {"d\xff/p.html", "in a folder"},
                                                     {"plain.html", "plain"}};
    std::filesystem::create_directory(local / "d\xff");
    for (const auto& [path, content] : site)
        WriteFileBytes(local / path, content);
    for (bool telnet : {true, false}) {
        SCOPED_TRACE(telnet ? "a server that reads Telnet text" : "a server that takes bytes");
        ListingServer* self = nullptr;
        ListingServer server(
            true,
            [&](const std::string& folder, const std::string&) {
                return std::optional<Lines>(self->MachineListing(folder));
            },
            telnet);
        self = &server;
        Published first = Publish(server, local.str(), true);
        EXPECT_TRUE(first.summary.Succeeded())
            << (first.summary.Failures.empty() ? "" : first.summary.Failures[0].Reason);
        std::map<std::string, std::string> onServer;
        for (const std::string& path : server.files().names())
            if (path != "/site/" + std::string(kManifestName))
                onServer[path.substr(6)] = *server.files().get(path);
        EXPECT_EQ(onServer, site);
        EXPECT_EQ(server.Count(telnet ? "RNTO /site/x\xff\xff\xff\xffy.html"
                                      : "RNTO /site/x\xff\xffy.html"),
                  1);
        EXPECT_EQ(HasNote(first.plan.Notes, "takes a byte 255 in a name as it comes"), !telnet);
        // The names are read back exactly: nothing to do the second time.
        Published second = Publish(server, local.str(), true);
        EXPECT_TRUE(second.plan.NothingToDo());
        EXPECT_TRUE(second.summary.Succeeded());
    }
}

// A listing that never ends is stopped at its bound and refused, and memory does not follow
// it; so is a tree whose folders never end.
TEST(PublishNames, AListingWithoutEndIsRefusedAtItsBound) {
    TempDir local{"kestrel-endless"};
    WriteFileBytes(local / "index.html", "<p>");
    ListingServer server(true, [](const std::string&, const std::string&) {
        return std::optional<Lines>(Lines{ListingServer::kEndless});
    });
    TConnectionSettings connection;
    connection.Host = "127.0.0.1";
    connection.Port = server.port();
    connection.UserID = "webuser";
    connection.Password = "s3cret";
    TPublishOptions options;
    options.LocalRoot = local.str();
    options.RemoteRoot = "/site";
    TPublisher publisher(connection, options);
    ResetPeakResident();
    std::int64_t before = PeakResidentBytes();
    std::string message;
    try {
        publisher.Prepare();
    } catch (const std::exception& error) {
        message = error.what();
    }
    EXPECT_EQ(message, "The listing goes on past 32 MiB");
    EXPECT_LT(server.endlessSent.load(), ListingServer::kEndlessCap);
    EXPECT_LT(PeakResidentBytes() - before, std::int64_t(160) << 20);

    // Folders without end, each listing many more: the tree stops at its bound.
    Lines wide;
    for (int i = 0; i < 50000; ++i)
        wide.push_back(MachineLine("d" + std::to_string(i), 0, "dir"));
    ListingServer folders(
        true, [&](const std::string&, const std::string&) { return std::optional<Lines>(wide); });
    connection.Port = folders.port();
    TPublisher widePublisher(connection, options);
    message.clear();
    try {
        widePublisher.Prepare();
    } catch (const std::exception& error) {
        message = error.what();
    }
    EXPECT_EQ(message, "The server lists more than 1000000 files and folders under /site");
}
