// The command line's publish, run as the real program without a display: settings from
// Config.txt in the current folder, the password from the environment, --dry-run, the
// exit status and its one-line reason.
#include "app/config.h"
#include "cli_program.h"
#include "publish/manifest.h"
#include "server_files.h"
#include "support/fixtures.h"
#include "support/pyftpd.h"
#include "support/scripted_server.h"
#include "support/tls_support.h"
#include "support/watchdog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

void SaveConfig(const fs::path& folder, const PyFtpd& server, const std::string& password) {
    ConfigRecord config{};
    SetConfigField(config.Host, server.host());
    SetConfigField(config.Port, std::to_string(server.port()));
    SetConfigField(config.UserID, server.user());
    SetConfigField(config.Password, password);
    ASSERT_TRUE(WriteConfigFile(folder.string(), config));
}

} // namespace

TEST(PublishCommandLine, HelpListsPublish) {
    TempDir here("kestrel-cli");
    Result help = RunProgram(here.path(), {"--help"}, nullptr);
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("kestrelftp publish [--dry-run] [--delete] [--connections N]"),
              std::string::npos);
    Result usage = RunProgram(here.path(), {"publish", "--connections", "9", "site"}, nullptr);
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.err.find("--connections must be a number from 1 to 8"), std::string::npos);
    Result password = RunProgram(here.path(), {"publish", "--password", "x", "site"}, nullptr);
    EXPECT_EQ(password.status, 2);
    EXPECT_NE(password.err.find("never taken from the command line"), std::string::npos);
}

TEST(PublishCommandLine, DryRunThenPublishWithSettingsFromTheCurrentFolder) {
    PyFtpd server;
    TempDir here("kestrel-cli");
    fs::create_directories(here / "site/images");
    WriteFileBytes(here / "site/index.htm", "<html>home</html>");
    WriteFileBytes(here / "site/images/a.gif", "GIF89a");
    // The password is saved wrong: the environment's takes precedence.
    SaveConfig(here.path(), server, "wrong");

    Result dry =
        RunProgram(here.path(), {"publish", "--dry-run", "site", "www"}, server.password().c_str());
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_NE(dry.out.find("2 files to send (2 new, 0 changed"), std::string::npos) << dry.out;
    EXPECT_NE(dry.out.find("  send images/a.gif (new, 6 B)"), std::string::npos) << dry.out;
    EXPECT_FALSE(fs::exists(server.root() / "www")) << "a dry run changes nothing";

    Result run = RunProgram(here.path(), {"publish", "site", "www"}, server.password().c_str());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Uploaded 2, created 2, deleted 0, unchanged 0, failed 0"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(ReadFileBytes(server.root() / "www/images/a.gif"), "GIF89a");

    // Without the environment the settings file's (wrong) password is used: a one-line
    // reason with the server's refusal, and a failing status.
    Result refused = RunProgram(here.path(), {"publish", "site", "www"}, nullptr);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err.rfind("kestrelftp: publish failed: 530", 0), 0u) << refused.err;
    EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1);

    // --user overrides the settings file.
    Result other = RunProgram(here.path(), {"publish", "--user", "nobody", "site", "www"},
                              server.password().c_str());
    EXPECT_EQ(other.status, 1);
}

TEST(PublishCommandLine, AFailedFileGivesAFailingStatus) {
    PyFtpdOptions options;
    options.extra_args = {"--perm", "elr"}; // may list and read, not write
    PyFtpd server(options);
    TempDir here("kestrel-cli");
    fs::create_directories(here / "site");
    WriteFileBytes(here / "site/index.htm", "home");
    Result run = RunProgram(here.path(),
                            {"publish", "--host", server.host(), "--port",
                             std::to_string(server.port()), "--user", server.user(), "site", "/"},
                            server.password().c_str());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("Failed: index.htm: 550"), std::string::npos) << run.out;
    EXPECT_EQ(run.err.rfind("kestrelftp: publish failed: 2 failures (index.htm: 550", 0), 0u)
        << run.err;
}

TEST(PublishCommandLine, TlsCertificateRefusedWithItsFingerprintUnlessTrusted) {
    TempDir certDir("kestrel-certs");
    TestCertificates certs = MakeTestCertificates(certDir.str());
    PyFtpdOptions options;
    options.extra_args = {"--tls-cert", certs.selfSignedCert, "--tls-key", certs.selfSignedKey,
                          "--tls-required"};
    PyFtpd server(options);
    TempDir here("kestrel-cli");
    fs::create_directories(here / "site");
    WriteFileBytes(here / "site/index.htm", "home");
    SaveConfig(here.path(), server, server.password());
    std::string fingerprint = FingerprintOf(certs.selfSignedCert);

    Result refused = RunProgram(here.path(), {"publish", "--tls", "site", "www"}, nullptr);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("SHA-256 fingerprint " + fingerprint), std::string::npos)
        << refused.err;
    EXPECT_FALSE(fs::exists(server.root() / "www"));

    Result trusted = RunProgram(
        here.path(), {"publish", "--tls", "--trust-fingerprint", fingerprint, "site", "www"},
        nullptr);
    EXPECT_EQ(trusted.status, 0) << trusted.err;
    EXPECT_EQ(ReadFileBytes(server.root() / "www/index.htm"), "home");

    // The certificates trusted in the window, in the settings file of the current folder,
    // are accepted too: one fingerprint per host, the host as given, the file only read.
    auto trustInFile = [&](const std::string& host, const std::string& print) {
        WriteFileBytes(here / "KestrelFTP.ini", "[TrustedCertificates]\nsize=1\n1\\Host=" + host +
                                                    "\n1\\Fingerprint=" + print + "\n");
    };
    std::string another = fingerprint;
    another[0] = another[0] == '0' ? '1' : '0';
    trustInFile(server.host(), another);
    Result changed = RunProgram(here.path(), {"publish", "--tls", "site", "saved"}, nullptr);
    EXPECT_EQ(changed.status, 1);
    EXPECT_NE(changed.err.find("SHA-256 fingerprint " + fingerprint), std::string::npos)
        << changed.err;
    EXPECT_NE(changed.err.find("KestrelFTP.ini trusts another certificate for 127.0.0.1"),
              std::string::npos)
        << changed.err;
    trustInFile("localhost", fingerprint);
    Result otherHost = RunProgram(here.path(), {"publish", "--tls", "site", "saved"}, nullptr);
    EXPECT_EQ(otherHost.status, 1) << "trusted for another host name";
    EXPECT_FALSE(fs::exists(server.root() / "saved"));

    std::string lower = fingerprint;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    trustInFile(server.host(), lower); // the window takes either letter case
    const std::string file = ReadFileBytes(here / "KestrelFTP.ini");
    Result saved = RunProgram(here.path(), {"publish", "--tls", "site", "saved"}, nullptr);
    EXPECT_EQ(saved.status, 0) << saved.err;
    EXPECT_EQ(ReadFileBytes(server.root() / "saved/index.htm"), "home");
    EXPECT_EQ(ReadFileBytes(here / "KestrelFTP.ini"), file) << "the settings file is only read";
}

namespace {

// A site with what real sites hold: server rules, certificate challenges, a repository,
// secrets, drafts the owner keeps back, and pages.
void MakeOwnersSite(const fs::path& site) {
    fs::create_directories(site / ".well-known/acme-challenge");
    fs::create_directories(site / ".git/objects");
    fs::create_directories(site / "drafts");
    fs::create_directories(site / "css");
    WriteFileBytes(site / ".htaccess", "RewriteEngine On\nRewriteRule ^old$ /new [R=301]\n");
    WriteFileBytes(site / ".well-known/acme-challenge/x", "challenge-token");
    WriteFileBytes(site / ".git/HEAD", "ref: refs/heads/main\n");
    WriteFileBytes(site / ".git/objects/ab", "blob");
    WriteFileBytes(site / ".env", "DB_PASSWORD=hunter2\n");
    WriteFileBytes(site / "drafts/next.htm", "not yet");
    WriteFileBytes(site / "index.htm", "<html>home</html>");
    WriteFileBytes(site / "css/site.css", "body{}");
    WriteFileBytes(site / "notes.txt", "my notes");
    WriteFileBytes(site / ".kestrelignore", "# kept back\ndrafts/\n");
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

} // namespace

TEST(PublishCommandLine, UsageErrorsComeFirstWithTheUsageAndStatusTwo) {
    TempDir here("kestrel-cli");
    fs::create_directories(here / "site");
    WriteFileBytes(here / "page.htm", "x");
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--bogus"}, {"rollback"}, {"--from-menu", "extra"}}) {
        Result usage = RunProgram(here.path(), args, nullptr);
        EXPECT_EQ(usage.status, 2) << args[0] << ": the window must not start";
        EXPECT_NE(usage.err.find("Usage: kestrelftp [--help] [--version] [--from-menu]"),
                  std::string::npos)
            << usage.err;
    }
    // Without a display the window says so in one line instead of aborting.
    Result window = RunProgram(here.path(), {}, nullptr);
    EXPECT_EQ(window.status, 1);
    EXPECT_EQ(window.err, "kestrelftp: no display to show the window on (DISPLAY is not set); "
                          "'kestrelftp publish' works without one\n");

    // LOCAL_DIR is checked before any connection: port 1 on 127.0.0.1 would refuse.
    const std::vector<std::string> server = {"--host", "127.0.0.1", "--port", "1", "--user", "u"};
    auto publish = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "publish");
        args.insert(args.end() - 1, server.begin(), server.end());
        return RunProgram(here.path(), args, "pw");
    };
    Result missing = publish({"no-such-folder"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("LOCAL_DIR 'no-such-folder' does not exist"), std::string::npos);
    Result file = publish({"page.htm"});
    EXPECT_EQ(file.status, 2);
    EXPECT_NE(file.err.find("LOCAL_DIR 'page.htm' is not a folder"), std::string::npos);
    for (std::vector<std::string> bad : {std::vector<std::string>{"--chmod", "648:755", "site"},
                                         {"--max-delete", "3", "site"},
                                         {"--delete", "--max-delete", "-1", "site"},
                                         {"--exclude=", "site"},
                                         {"--connections", "2", "--connections", "3", "site"},
                                         {"site", "www", "more"}}) {
        Result usage = publish(bad);
        EXPECT_EQ(usage.status, 2) << bad[0] << " " << bad[1] << ": " << usage.err;
        EXPECT_NE(usage.err.find("Usage: "), std::string::npos);
    }
    Result help = RunProgram(here.path(), {"publish", "--help"}, nullptr);
    EXPECT_EQ(help.status, 0);
    for (const char* words : {"Exit status:", "  2  a usage error", "--json", "--max-delete N",
                              "--exclude PATTERN", "--chmod FILES:FOLDERS", ".kestrelignore"})
        EXPECT_NE(help.out.find(words), std::string::npos) << words;
    EXPECT_EQ(RunProgram(here.path(), {"--help"}, nullptr).out, help.out) << "one usage text";
}

TEST(PublishCommandLine, TheOwnersRulesDecideWhatArrives) {
    PyFtpd server;
    TempDir here("kestrel-cli");
    MakeOwnersSite(here / "site");
    SaveConfig(here.path(), server, server.password());

    Result dry = RunProgram(here.path(),
                            {"publish", "--dry-run", "--verbose", "--exclude", "notes.txt", "site"},
                            server.password().c_str());
    EXPECT_EQ(dry.status, 0) << dry.err;
    std::vector<std::string> lines = Lines(dry.out);
    for (const char* line :
         {"Plan for /: 3 folders to create, 4 files to send (4 new, 0 changed, 86 B), 0 to "
          "delete, 0 unchanged, 5 left out",
          "Left out 5: 1 version control, 1 secrets, 1 this program's files, 1 .kestrelignore, "
          "1 exclusions",
          "  leave out .env (looks like a secret)", "  leave out .git/ (a version-control folder)",
          "  leave out .kestrelignore (a file of this program)",
          "  leave out drafts/ (excluded by drafts/ (.kestrelignore:2))",
          "  leave out notes.txt (excluded by notes.txt)", "  send .htaccess (new, 48 B)"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line << "\n"
                                                                            << dry.out;
    EXPECT_NE(dry.out.find("Left out as secrets: .env; to publish one"), std::string::npos);

    Result run = RunProgram(here.path(), {"publish", "--exclude", "notes.txt", "site"},
                            server.password().c_str());
    EXPECT_EQ(run.status, 0) << run.err << run.out;
    EXPECT_NE(run.out.find("Left out 5: "), std::string::npos);
    EXPECT_NE(run.out.find("(--verbose lists them)"), std::string::npos);
    std::map<std::string, std::string> expected = {
        {".htaccess", ReadFileBytes(here / "site/.htaccess")},
        {".well-known/", ""},
        {".well-known/acme-challenge/", ""},
        {".well-known/acme-challenge/x", "challenge-token"},
        {"css/", ""},
        {"css/site.css", "body{}"},
        {"index.htm", "<html>home</html>"}};
    EXPECT_EQ(ServerFiles(server.root()), expected);

    // The secret goes only when asked for by name; what stays left out is never deleted.
    WriteFileBytes(server.root() / "drafts.htm", "on the server only");
    fs::create_directories(server.root() / "drafts");
    WriteFileBytes(server.root() / "drafts/old.htm", "left out locally");
    WriteFileBytes(server.root() / "notes.txt", "server notes");
    Result include = RunProgram(here.path(),
                                {"publish", "--include", ".env", "--exclude", "notes.txt",
                                 "--delete", "--force-delete", "site"},
                                server.password().c_str());
    EXPECT_EQ(include.status, 0) << include.err << include.out;
    expected[".env"] = "DB_PASSWORD=hunter2\n";
    expected["drafts/"] = "";
    expected["drafts/old.htm"] = "left out locally";
    expected["notes.txt"] = "server notes";
    EXPECT_EQ(ServerFiles(server.root()), expected) << "drafts.htm alone was deleted";
}

TEST(PublishCommandLine, DeleteGuardRefusesUnlessAllowed) {
    PyFtpd server;
    TempDir here("kestrel-cli");
    fs::create_directories(here / "site");
    fs::create_directories(here / "empty");
    fs::create_directories(server.root() / "www");
    for (int i = 0; i < 10; ++i)
        WriteFileBytes(server.root() / "www" / ("page" + std::to_string(i) + ".htm"), "page");
    WriteFileBytes(here / "site/page0.htm", "page"); // a tenth of the site
    SaveConfig(here.path(), server, server.password());
    const char* password = server.password().c_str();
    auto pages = [&] {
        return std::distance(fs::directory_iterator(server.root() / "www"),
                             fs::directory_iterator{});
    };

    for (const char* folder : {"empty", "site"}) {
        Result refused = RunProgram(here.path(), {"publish", "--delete", folder, "www"}, password);
        EXPECT_EQ(refused.status, 1) << folder;
        EXPECT_NE(refused.out.find("Refused: it would delete "), std::string::npos) << refused.out;
        EXPECT_NE(refused.out.find("give --max-delete "), std::string::npos);
        EXPECT_NE(refused.err.find("kestrelftp: publish failed: 1 failure (Refused: "),
                  std::string::npos)
            << refused.err;
        EXPECT_EQ(pages(), 10) << "nothing deleted, nothing written";
        Result dry =
            RunProgram(here.path(), {"publish", "--delete", "--dry-run", folder, "www"}, password);
        EXPECT_EQ(dry.status, 1);
    }
    Result tooFew = RunProgram(
        here.path(), {"publish", "--delete", "--max-delete", "8", "site", "www"}, password);
    EXPECT_EQ(tooFew.status, 1);
    EXPECT_EQ(pages(), 10);
    Result allowed = RunProgram(
        here.path(), {"publish", "--delete", "--max-delete", "9", "site", "www"}, password);
    EXPECT_EQ(allowed.status, 0) << allowed.out << allowed.err;
    EXPECT_EQ(pages(), 2) << "page0.htm and the manifest";
    Result forced = RunProgram(here.path(),
                               {"publish", "--delete", "--force-delete", "empty", "www"}, password);
    EXPECT_EQ(forced.status, 0) << forced.out << forced.err;
    EXPECT_EQ(pages(), 1) << "the manifest alone";
}

TEST(PublishCommandLine, JsonLinesForScripts) {
    PyFtpd server;
    TempDir here("kestrel-cli");
    MakeOwnersSite(here / "site");
    SaveConfig(here.path(), server, server.password());
    Result run =
        RunProgram(here.path(), {"publish", "--json", "site", "www"}, server.password().c_str());
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> lines = Lines(run.out);
    ASSERT_GE(lines.size(), 3u);
    for (const std::string& line : lines)
        EXPECT_TRUE(line.front() == '{' && line.back() == '}') << line;
    EXPECT_EQ(lines[0].rfind("{\"event\":\"plan\",\"root\":\"/www\",\"create\":[\"/www\",", 0), 0u)
        << lines[0];
    EXPECT_NE(lines[0].find("{\"path\":\".htaccess\",\"size\":48,\"new\":true}"),
              std::string::npos);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "{\"event\":\"left-out\",\"path\":\".env\",\"folder\":false,\"kind\":"
                        "\"secrets\",\"reason\":\"looks like a secret\"}"),
              lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "{\"event\":\"sent\",\"path\":\".well-known/acme-challenge/x\"}"),
              lines.end());
    EXPECT_EQ(lines.back(), "{\"event\":\"summary\",\"uploaded\":5,\"created\":4,\"deleted\":0,"
                            "\"unchanged\":0,\"failed\":0,\"stopped\":false,\"resumed\":0,"
                            "\"bytesNotResent\":0,\"exit\":0}");

    // A run that cannot start says why, in JSON too.
    Result refused = RunProgram(here.path(), {"publish", "--json", "--user", "nobody", "site"},
                                server.password().c_str());
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out.rfind("{\"event\":\"error\",\"reason\":\"530 ", 0), 0u) << refused.out;
}

TEST(PublishCommandLine, ChmodAfterUploadsAndFoldersWithOneNoteWhereRefused) {
    PyFtpd server;
    TempDir here("kestrel-cli");
    fs::create_directories(here / "site/cgi");
    WriteFileBytes(here / "site/index.htm", "home");
    WriteFileBytes(here / "site/cgi/a.htm", "a");
    SaveConfig(here.path(), server, server.password());
    Result run = RunProgram(here.path(), {"publish", "--chmod", "640:750", "site", "www"},
                            server.password().c_str());
    EXPECT_EQ(run.status, 0) << run.err << run.out;
    auto mode = [](const fs::path& path) {
        return int(fs::status(path).permissions() & fs::perms::mask);
    };
    EXPECT_EQ(mode(server.root() / "www/index.htm"), 0640);
    EXPECT_EQ(mode(server.root() / "www/cgi/a.htm"), 0640);
    EXPECT_EQ(mode(server.root() / "www/cgi"), 0750);
    EXPECT_EQ(mode(server.root() / "www"), 0750);

    PyFtpdOptions options;
    options.extra_args = {"--perm", "elradfmwT"}; // no SITE CHMOD
    PyFtpd refusing(options);
    SaveConfig(here.path(), refusing, refusing.password());
    Result noted = RunProgram(here.path(), {"publish", "--chmod", "640:750", "site", "www"},
                              refusing.password().c_str());
    EXPECT_EQ(noted.status, 0) << "the files arrived: " << noted.out;
    EXPECT_EQ(ReadFileBytes(refusing.root() / "www/cgi/a.htm"), "a");
    std::size_t first = noted.out.find("Note: Permissions were not set: the server refused "
                                       "SITE CHMOD (550");
    EXPECT_NE(first, std::string::npos) << noted.out;
    EXPECT_EQ(noted.out.find("Permissions were not set", first + 10), std::string::npos)
        << "once: " << noted.out;
}

TEST(PublishCommandLine, ACaseOnlyRenameArrivesAndLosesNothing) {
    PyFtpd server; // names are case-sensitive here
    TempDir here("kestrel-cli");
    fs::create_directories(here / "site");
    WriteFileBytes(here / "site/Index.htm", "old spelling");
    SaveConfig(here.path(), server, server.password());
    const char* password = server.password().c_str();
    ASSERT_EQ(RunProgram(here.path(), {"publish", "site"}, password).status, 0);

    fs::rename(here / "site/Index.htm", here / "site/index.htm");
    WriteFileBytes(here / "site/index.htm", "new spelling");
    Result run = RunProgram(
        here.path(), {"publish", "--verbose", "--delete", "--force-delete", "site"}, password);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("  rename Index.htm to index.htm (letter case)"), std::string::npos)
        << run.out;
    EXPECT_EQ(ReadFileBytes(server.root() / "index.htm"), "new spelling");
    EXPECT_FALSE(fs::exists(server.root() / "Index.htm")) << "renamed, not deleted";
    std::optional<TManifest> manifest =
        ParseManifest(ReadFileBytes(server.root() / ".kestrelftp-manifest"));
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->count("Index.htm"), 0u);
    EXPECT_EQ(manifest->count("index.htm"), 1u);
}

// Ctrl-C (or SIGTERM) while the publish still compares, here on a listing whose reply never
// comes, ends the program within a moment through its own Stop: a failure status with the
// reason, as while it sends, never a kill by the signal nor a wait for the reply limit.
TEST(PublishCommandLine, InterruptWhileTheListingNeverAnswersEndsThePublish) {
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
        std::atomic<bool> listing{false};
        ScriptedServerOptions options;
        options.timeout = std::chrono::milliseconds(60000); // longer than the reply limit
        ScriptedFtpServer server(
            [&](Session& s) {
                s.reply("220 ready");
                while (std::optional<std::string> line = s.read_line()) {
                    for (const char* verb : {"PORT", "EPRT", "PASV", "EPSV", "LIST", "MLSD"})
                        if (line->rfind(verb, 0) == 0)
                            listing = true;
                    if (listing)
                        continue; // silent from here on
                    if (line->rfind("USER", 0) == 0)
                        s.reply("331 password please");
                    else if (line->rfind("PASS", 0) == 0)
                        s.reply("230 in");
                    else if (line->rfind("PWD", 0) == 0)
                        s.reply("257 \"/\"");
                    else
                        s.reply("200 ok");
                }
            },
            options);
        TempDir here("kestrel-cli-here");
        TempDir site("kestrel-cli-site");
        WriteFileBytes(site / "index.htm", "home");
        ConfigRecord config{};
        SetConfigField(config.Host, "127.0.0.1");
        SetConfigField(config.Port, std::to_string(server.port()));
        SetConfigField(config.UserID, "webuser");
        ASSERT_TRUE(WriteConfigFile(here.str(), config));

        TempDir capture("kestrel-cli-out");
        const pid_t pid =
            StartProgram(here.path(), {"publish", site.str(), "www"}, "secret", capture);
        while (!listing)
            std::this_thread::sleep_for(10ms);
        ASSERT_EQ(::kill(pid, signal), 0);
        // A generous bound, far below the 30 s reply limit that would end it anyway.
        int status = 0;
        pid_t ended = 0;
        for (int i = 0; i < 1000 && ended == 0; ++i) {
            ended = ::waitpid(pid, &status, WNOHANG);
            if (ended == 0)
                std::this_thread::sleep_for(10ms);
        }
        if (ended == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            FAIL() << "still waiting 10 s after the signal";
        }
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_NE(ReadFileBytes(capture / "err").find("stopped"), std::string::npos)
            << ReadFileBytes(capture / "err");
    }
}
