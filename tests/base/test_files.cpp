// Reading and replacing settings files: only regular files are read, never through a link
// or by blocking on a pipe; a replacement is whole, owner-only and never written through a
// link.
#include "base/files.h"

#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

TEST(SettingsFiles, OnlyARegularFileWithinTheLimitIsRead) {
    TempDir dir;
    WriteFileBytes(dir / "a.ini", "abc");
    WriteFileBytes(dir / "big.ini", std::string(11, 'x'));
    fs::create_directory(dir / "folder");
    fs::create_symlink(dir / "a.ini", dir / "link.ini");
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);

    std::string content = "kept:";
    EXPECT_EQ(ReadRegularFile((dir / "a.ini").string(), content, 10), TReadResult::Read);
    EXPECT_EQ(content, "kept:abc") << "appended";
    WriteFileBytes(dir / "ten.ini", std::string(10, 'y'));
    content.clear();
    EXPECT_EQ(ReadRegularFile((dir / "ten.ini").string(), content, 10), TReadResult::Read);
    EXPECT_EQ(content.size(), 10u) << "exactly the limit is read";

    for (const char* name : {"big.ini", "folder", "missing.ini"}) {
        content.clear();
        EXPECT_EQ(ReadRegularFile((dir / name).string(), content, 10), TReadResult::Missing)
            << name;
        EXPECT_EQ(content, "") << name;
    }
    for (const char* name : {"link.ini", "pipe"}) {
        content.clear();
        EXPECT_EQ(ReadRegularFile((dir / name).string(), content, 10), TReadResult::Refused)
            << name;
        EXPECT_EQ(content, "") << name;
    }
}

TEST(SettingsFiles, AReplacementIsWholeOwnerOnlyAndNeverThroughALink) {
    TempDir dir;
    const std::string path = (dir / "Config.txt").string();
    std::string problem;
    ASSERT_TRUE(ReplaceFileSafely(path, std::string("new\0file", 8), &problem)) << problem;
    EXPECT_EQ(ReadFileBytes(path), std::string("new\0file", 8));
    struct stat info {};
    ASSERT_EQ(::lstat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    // An existing file is replaced by a new one under its name, with nothing left beside it.
    ::chmod(path.c_str(), 0644);
    const ino_t before = info.st_ino;
    ASSERT_TRUE(ReplaceFileSafely(path, "second", &problem)) << problem;
    EXPECT_EQ(ReadFileBytes(path), "second");
    ASSERT_EQ(::lstat(path.c_str(), &info), 0);
    EXPECT_NE(info.st_ino, before);
    EXPECT_EQ(info.st_mode & 07777, 0600u) << "the password is the owner's alone";
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    // A link or a pipe in the file's place is refused and left as it is.
    WriteFileBytes(dir / "target", "elsewhere");
    fs::create_symlink(dir / "target", dir / "link.txt");
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    for (const char* name : {"link.txt", "pipe"}) {
        problem.clear();
        EXPECT_FALSE(ReplaceFileSafely((dir / name).string(), "secret", &problem)) << name;
        EXPECT_EQ(problem, (dir / name).string() + " is not a regular file");
    }
    EXPECT_TRUE(fs::is_symlink(dir / "link.txt"));
    EXPECT_EQ(ReadFileBytes(dir / "target"), "elsewhere");

    // A folder in its place, or no folder to write into: nothing written.
    fs::create_directory(dir / "folder");
    EXPECT_FALSE(ReplaceFileSafely((dir / "folder").string(), "x", &problem));
    EXPECT_EQ(problem, "File not found");
    EXPECT_FALSE(ReplaceFileSafely((dir / "none/Config.txt").string(), "x", &problem));
    EXPECT_EQ(problem, "File not found");
    EXPECT_FALSE(fs::exists(dir / "none"));
}

} // namespace
} // namespace kestrel
