// A whole site published over IPv6 to pyftpdlib on ::1, with several connections, in both
// data modes (EPRT and EPSV): the tree on the server is the local one byte for byte.
#include "publish/publisher.h"
#include "publish_support.h"
#include "support/fixtures.h"
#include "support/loopback.h"
#include "support/pyftpd.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;
namespace fs = std::filesystem;

namespace {

std::map<std::string, std::string> FilesUnder(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file() && entry.path().filename() != kManifestName)
            files[fs::relative(entry.path(), root).string()] = ReadFileBytes(entry.path());
    return files;
}

} // namespace

TEST(PublishIpv6, ASiteArrivesWholeOverIpv6InBothDataModes) {
    if (!kestrel::test::HasIpv6Loopback())
        GTEST_SKIP() << "cannot bind ::1 here (no IPv6 on this machine)";
    PyFtpdOptions serverOptions;
    serverOptions.host = "::1";
    serverOptions.extra_args = {"--verbose"}; // every command in the log
    PyFtpd server(serverOptions);
    TempDir local("kestrel-site");
    fs::create_directories(local / "images");
    WriteFileBytes(local / "index.htm", "<html>home</html>");
    RandomFile(local / "images/photo.jpg", 300000, 11);
    for (int i = 0; i < 6; ++i)
        RandomFile(local / ("page" + std::to_string(i) + ".htm"), 5000 + i, 20 + i);
    for (bool passive : {false, true}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        const std::string folder = passive ? "passive" : "active";
        TConnectionSettings connection = ConnectionTo(server, passive);
        connection.Host = "[::1]";
        TPublishOptions options;
        options.LocalRoot = local.str();
        options.RemoteRoot = "/" + folder;
        options.Connections = 3;
        options.MatchConnectionsToWork = false;
        TPublisher publisher(connection, options);
        TPublishSummary summary = publisher.Run();
        EXPECT_TRUE(summary.Succeeded())
            << (summary.Failures.empty() ? "" : summary.Failures[0].Reason);
        EXPECT_EQ(summary.Uploaded, 8);
        EXPECT_GE(summary.Connections, 2);
        EXPECT_EQ(FilesUnder(server.root() / folder), FilesUnder(local.path()));
    }
    // The server saw only IPv6 data commands.
    std::string log = server.log();
    EXPECT_NE(log.find("<- EPRT |2|::1|"), std::string::npos);
    EXPECT_NE(log.find("<- EPSV"), std::string::npos);
    EXPECT_EQ(log.find("<- PORT"), std::string::npos);
    EXPECT_EQ(log.find("<- PASV"), std::string::npos);
}
