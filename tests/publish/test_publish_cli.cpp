// The command line's publish, run as the real program without a display: settings from
// Config.txt in the current folder, the password from the environment, --dry-run, the
// exit status and its one-line reason.
#include "app/config.h"
#include "support/fixtures.h"
#include "support/pyftpd.h"
#include "support/tls_support.h"
#include "support/watchdog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fcntl.h>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the program in folder with the arguments; password, when given, in the environment.
// Standard input is /dev/null, so no prompt can wait.
Result RunProgram(const fs::path& folder, std::vector<std::string> args, const char* password) {
    TempDir capture("kestrel-cli-out");
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(folder.c_str()) != 0)
            ::_exit(127);
        int in = ::open("/dev/null", O_RDONLY);
        int out = ::open((capture / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = ::open((capture / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (password)
            ::setenv("KESTRELFTP_PASSWORD", password, 1);
        else
            ::unsetenv("KESTRELFTP_PASSWORD");
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        std::vector<char*> argv{const_cast<char*>(KESTRELFTP_PROGRAM)};
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        ::execv(KESTRELFTP_PROGRAM, argv.data());
        ::_exit(127);
    }
    Result result;
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadFileBytes(capture / "out");
    result.err = ReadFileBytes(capture / "err");
    return result;
}

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
