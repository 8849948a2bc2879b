// The settings file holds the password: it is only ever a regular owner-only file of the
// user's, never read or written through a link, never blocks on a pipe, and a save that
// fails leaves the old file whole.
#include "app/config.h"
#include "base/exception.h"

#include "app_test_support.h"
#include "support/fixtures.h"
#include "support/watchdog.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using kestrel::test::ReadFileBytes;
using kestrel::test::TempDir;
using kestrel::test::WriteFileBytes;

namespace {

mode_t ModeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode;
}

ConfigRecord Sample(const std::string& password) {
    ConfigRecord config{};
    SetConfigField(config.Password, password);
    SetConfigField(config.UserID, "jsmith");
    SetConfigField(config.Host, "ftp.example.com");
    return config;
}

// Names in the folder other than the settings file: a save must leave no temporary behind.
std::vector<std::string> OtherNames(const TempDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (entry.path().filename() != kConfigFileName)
            names.push_back(entry.path().filename().string());
    return names;
}

} // namespace

TEST(ConfigFileSafetyTest, ALinkInTheFilesPlaceIsNeitherReadNorWrittenThrough) {
    TempDir dir("kestrel-config");
    TempDir elsewhere("kestrel-elsewhere");
    const fs::path config = dir / kConfigFileName;
    const fs::path target = elsewhere / "shared.txt";
    WriteFileBytes(target, "someone else's file");
    fs::create_symlink(target, config);

    std::string problem;
    ConfigRecord record = Sample("old");
    EXPECT_FALSE(ReadConfigFile(dir.str(), record, &problem));
    EXPECT_EQ(problem, config.string() + " is not a regular file");
    EXPECT_EQ(GetConfigField(record.Password), "old"); // untouched

    // Saving is refused by name as well: the link stays, its target is never written.
    problem.clear();
    EXPECT_FALSE(WriteConfigFile(dir.str(), Sample("secret"), &problem));
    EXPECT_EQ(problem, config.string() + " is not a regular file");
    EXPECT_EQ(ReadFileBytes(target), "someone else's file");
    EXPECT_TRUE(S_ISLNK(ModeOf(config)));
    EXPECT_TRUE(OtherNames(dir).empty());

    // A dangling link is not followed to create its target, at start-up or on saving.
    fs::remove(config);
    fs::create_symlink(elsewhere / "planted.txt", config);
    EXPECT_FALSE(ReadConfigFile(dir.str(), record, &problem));
    EXPECT_FALSE(WriteConfigFile(dir.str(), Sample("secret"), &problem));
    EXPECT_FALSE(fs::exists(elsewhere / "planted.txt"));
    EXPECT_TRUE(S_ISLNK(ModeOf(config)));
}

TEST(ConfigFileSafetyTest, EverySaveLeavesAnOwnerOnlyFileWhateverModeTheOldOneHad) {
    TempDir dir("kestrel-config");
    const fs::path config = dir / kConfigFileName;
    WriteFileBytes(config, std::string(501, '\0'));
    ASSERT_EQ(::chmod(config.c_str(), 0644), 0);
    ASSERT_TRUE(WriteConfigFile(dir.str(), Sample("secret")));
    EXPECT_EQ(ModeOf(config) & 07777, 0600u);
    struct stat info {};
    ASSERT_EQ(::stat(config.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, ::geteuid());
    ConfigRecord back{};
    ASSERT_TRUE(ReadConfigFile(dir.str(), back));
    EXPECT_EQ(GetConfigField(back.Password), "secret");
}

TEST(ConfigFileSafetyTest, APipeSocketOrDeviceAsTheSettingsFileIsRefusedWithoutBlocking) {
    TempDir dir("kestrel-config");
    const fs::path config = dir / kConfigFileName;
    ASSERT_EQ(::mkfifo(config.c_str(), 0600), 0);
    std::string problem;
    ConfigRecord record{};
    EXPECT_FALSE(ReadConfigFile(dir.str(), record, &problem));
    EXPECT_EQ(problem, config.string() + " is not a regular file");
    problem.clear();
    EXPECT_FALSE(WriteConfigFile(dir.str(), Sample("secret"), &problem));
    EXPECT_EQ(problem, config.string() + " is not a regular file");
    EXPECT_TRUE(S_ISFIFO(ModeOf(config))); // left as it was
    EXPECT_TRUE(OtherNames(dir).empty());
}

TEST(ConfigFileSafetyTest, AWriteThatFailsRaisesAndLeavesTheOldFileWhole) {
    TempDir dir("kestrel-config");
    const fs::path config = dir / kConfigFileName;
    ASSERT_TRUE(WriteConfigFile(dir.str(), Sample("old-password")));
    const std::string before = ReadFileBytes(config);

    // A file size limit below 501 bytes makes the write fail the way a full disk does.
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string message;
    try {
        WriteConfigFile(dir.str(), Sample("new-password"));
    } catch (const EInOutError& error) {
        message = error.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldSignal);

    EXPECT_EQ(message.rfind("Cannot write file " + config.string(), 0), 0u) << message;
    EXPECT_EQ(ReadFileBytes(config), before);
    EXPECT_TRUE(OtherNames(dir).empty());
}

TEST(ConfigFileSafetyTest, BytesThatAreNotUtf8AreKeptExactly) {
    TempDir dir("kestrel-config");
    std::string bytes(501, '\0');
    const std::string password = "p\xe4ss ";
    const std::string user = " j\xf6rg";
    bytes.replace(0, password.size(), password);
    bytes.replace(100, user.size(), user);
    bytes[500] = '\x7f';
    WriteFileBytes(dir / kConfigFileName, bytes);
    ConfigRecord record{};
    ASSERT_TRUE(ReadConfigFile(dir.str(), record));
    EXPECT_EQ(GetConfigField(record.Password), password);
    EXPECT_EQ(GetConfigField(record.UserID), user);
    ASSERT_TRUE(WriteConfigFile(dir.str(), record));
    EXPECT_EQ(ReadFileBytes(dir / kConfigFileName), bytes);
}

KESTREL_QT_TEST_MAIN()
