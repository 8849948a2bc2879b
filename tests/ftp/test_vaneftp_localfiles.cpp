// Local files that are not regular files: a named pipe or a socket chosen for upload, or a
// pipe in the place of a download's target, is refused by name and never blocks the thread
// that runs the window.
#include "test_vaneftp_util.h"

#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace kestrel {
namespace {

using namespace kestrel::test;

std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no exception)";
}

TEST(VaneFtpLocalFiles, APipeIsNeitherSentNorReceivedInto) {
    TempDir dir;
    const std::string fifo = (dir / "page.htm").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto files = std::make_shared<MemoryFiles>();
    files->put("remote.htm", "<html>remote</html>");
    ScriptedFtpServer server(ScriptedFtpServer::Replies(
        {{"USER", "331 password please"}, {"PASS", "230 in"}, {"NOOP", "200 ok"}}, files));
    Recorder rec;
    auto ftp = MakeClient(rec, server.port());
    ftp->Connect();

    for (const auto& upload : std::vector<std::function<void()>>{
             [&] { ftp->Upload(fifo, "page.htm"); }, [&] { ftp->UploadAppend(fifo, "page.htm"); },
             [&] { ftp->UploadRestore(fifo, "page.htm", 0); }, [&] { ftp->UploadUnique(fifo); }})
        EXPECT_EQ(MessageOf(upload), fifo + " is not a regular file");
    for (const std::string& line : server.received())
        EXPECT_TRUE(line.rfind("STOR", 0) != 0 && line.rfind("APPE", 0) != 0 &&
                    line.rfind("STOU", 0) != 0)
            << "the server was asked to store: " << line;

    EXPECT_EQ(MessageOf([&] { ftp->Download("remote.htm", fifo); }),
              fifo + " is not a regular file");
    struct stat info {};
    ASSERT_EQ(::lstat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

} // namespace
} // namespace kestrel
