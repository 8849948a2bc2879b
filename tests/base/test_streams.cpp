// The file stream opens regular files only: a named pipe, a socket or a device given as a
// file to send, to receive into or to read settings from is refused by name and never
// blocks the thread.
#include "base/exception.h"
#include "base/streams.h"

#include "support/fixtures.h"
#include "support/watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

// Expects the constructor to raise "<name> is not a regular file" as the error class of
// the mode (EFCreateError for Create, EFOpenError otherwise).
void ExpectRefused(const std::string& name, TFileStream::Mode mode) {
    SCOPED_TRACE(name + " mode " + std::to_string(int(mode)));
    try {
        TFileStream stream(name, mode);
        ADD_FAILURE() << "opened";
    } catch (const EFCreateError& error) {
        EXPECT_EQ(mode, TFileStream::Create);
        EXPECT_EQ(std::string(error.what()), name + " is not a regular file");
    } catch (const EFOpenError& error) {
        EXPECT_NE(mode, TFileStream::Create);
        EXPECT_EQ(std::string(error.what()), name + " is not a regular file");
    }
}

constexpr TFileStream::Mode kAllModes[] = {TFileStream::OpenRead, TFileStream::OpenReadWrite,
                                           TFileStream::Create, TFileStream::OpenAppend};

TEST(FileStreamTest, PipesSocketsAndDevicesAreRefusedByNameWithoutBlocking) {
    TempDir dir("kestrel-streams");
    const std::string fifo = (dir / "page.htm").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    const std::string socketPath = (dir / "sock.htm").string();
    int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);

    for (TFileStream::Mode mode : kAllModes) {
        ExpectRefused(fifo, mode);
        ExpectRefused(socketPath, mode);
        if (::access("/dev/null", R_OK | W_OK) == 0)
            ExpectRefused("/dev/null", mode);
    }
    // Nothing was made or cut in their place: the pipe is still a pipe.
    struct stat info {};
    ASSERT_EQ(::lstat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    ::close(listener);
}

TEST(FileStreamTest, RegularFilesAndLinksToThemOpenAsBefore) {
    TempDir dir("kestrel-streams");
    const std::string page = (dir / "index.htm").string();
    test::WriteFileBytes(page, "<html>old content</html>");
    const std::string link = (dir / "link.htm").string();
    std::filesystem::create_symlink(page, link);

    {
        TFileStream stream(link, TFileStream::OpenRead); // a linked page is still sent
        char buffer[64];
        EXPECT_EQ(stream.Read(buffer, sizeof buffer), 24);
        EXPECT_EQ(std::string(buffer, 6), "<html>");
    }
    {
        TFileStream stream(page, TFileStream::Create); // receiving over a file cuts it
        EXPECT_EQ(stream.Size(), 0);
        stream.WriteString("new");
    }
    EXPECT_EQ(test::ReadFileBytes(page), "new");
    {
        TFileStream stream(page, TFileStream::OpenAppend);
        EXPECT_EQ(stream.Size(), 3);
    }
    EXPECT_THROW(TFileStream(dir.str(), TFileStream::OpenRead), EFOpenError);
    try {
        TFileStream stream((dir / "missing.htm").string(), TFileStream::OpenRead);
        ADD_FAILURE() << "opened";
    } catch (const EFOpenError& error) {
        EXPECT_EQ(std::string(error.what()), "Cannot open file " + (dir / "missing.htm").string());
    }
}

} // namespace
} // namespace kestrel
