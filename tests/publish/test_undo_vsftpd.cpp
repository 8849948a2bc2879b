// Undo against Debian's vsftpd (its anonymous account, which may write only below /www):
// the parent of the root is not writable, so the history is inside the root, closed to
// visitors; two runs that add, replace, delete and rename files and make and remove folders
// are undone one after the other, each back to the tree before it byte for byte, manifest
// included. Skipped with the reason where vsftpd or root is missing.
#include "publish/describe.h"
#include "publish/history.h"
#include "publish/publisher.h"
#include "publish/undo.h"
#include "support/anon_vsftpd.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

using namespace kestrel;
using namespace kestrel::test;
namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

namespace {

// Every file and folder under root, the manifest included, the history left out.
Files TreeOf(const fs::path& root) {
    Files files;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
        std::string relative = fs::relative(it->path(), root).string();
        if (relative == kHistoryName) {
            it.disable_recursion_pending();
            continue;
        }
        files[it->is_directory() ? relative + "/" : relative] =
            it->is_directory() ? "" : ReadFileBytes(it->path());
    }
    return files;
}

} // namespace

TEST(UndoVsftpd, TwoRunsAreUndoneBackToTheTreesBeforeThem) {
    std::string reason = AnonVsftpd::Unavailable();
    if (!reason.empty())
        GTEST_SKIP() << reason;
    AnonVsftpd server;
    TempDir local{"kestrel-vsftpd-site"};
    auto write = [&](const std::string& path, const std::string& content) {
        fs::create_directories((local / path).parent_path());
        WriteFileBytes(local / path, content);
    };
    TConnectionSettings connection;
    connection.Host = "127.0.0.1";
    connection.Port = server.port();
    connection.UserID = "anonymous";
    connection.Password = "publish@example.com";
    connection.DataMode = TDataMode::Passive;
    TPublishOptions options;
    options.LocalRoot = local.str();
    options.RemoteRoot = "/www";
    options.Connections = 2;
    options.Plan.Delete = true;
    options.Plan.ForceDelete = true;
    auto publish = [&] {
        TPublisher publisher(connection, options);
        const TPublishPlan& plan = publisher.Prepare();
        EXPECT_TRUE(plan.History.InsideRoot) << HistoryText(plan);
        TPublishSummary summary = publisher.Run();
        EXPECT_TRUE(summary.Succeeded())
            << (summary.Failures.empty() ? "stopped" : FailureText(summary.Failures.front()));
        return summary;
    };

    write("Index.htm", "<html>home</html>");
    write("old.htm", "<html>old</html>");
    write("gone/a.txt", "in a folder that goes");
    write("images/photo.jpg", RandomBytes(150000, 9));
    publish();
    const Files one = TreeOf(server.www());
    ASSERT_TRUE(one.count(kManifestName));
    // Closed to visitors, and never part of the site.
    EXPECT_EQ(ReadFileBytes(server.www() / kHistoryName / ".htaccess"), HistoryAccessText());

    fs::rename(local / "Index.htm", local / "index.htm"); // a rename in letter case only
    write("index.htm", "<html>home, new spelling</html>");
    fs::remove(local / "old.htm");
    fs::remove_all(local / "gone");
    write("new/b.htm", "<html>b</html>");
    write("images/photo.jpg", RandomBytes(100000, 10));
    publish();
    const Files two = TreeOf(server.www());
    ASSERT_NE(two, one);

    write("index.htm", "<html>home 3</html>");
    write("c.htm", "<html>c</html>");
    publish();
    ASSERT_NE(TreeOf(server.www()), two);

    TUndo undo(connection, "/www");
    ASSERT_EQ(undo.List().size(), 3u);
    TUndoSummary summary = undo.Undo();
    ASSERT_TRUE(summary.Succeeded()) << FailureText(summary.Failures.front());
    EXPECT_EQ(TreeOf(server.www()), two);
    summary = undo.Undo();
    ASSERT_TRUE(summary.Succeeded()) << FailureText(summary.Failures.front());
    EXPECT_EQ(TreeOf(server.www()), one);
    EXPECT_EQ(undo.List().size(), 1u);
}
