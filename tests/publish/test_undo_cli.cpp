// The command line's undo, run as the real program without a display: the same Config.txt
// and password as publish, --list, the last run undone and a named one, JSON lines, and the
// usage errors.
#include "app/config.h"
#include "cli_program.h"
#include "publish/manifest.h"
#include "support/fixtures.h"
#include "support/pyftpd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

using namespace kestrel;
using namespace kestrel::test;
namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

namespace {

void SaveConfig(const fs::path& folder, const PyFtpd& server) {
    ConfigRecord config{};
    SetConfigField(config.Host, server.host());
    SetConfigField(config.Port, std::to_string(server.port()));
    SetConfigField(config.UserID, server.user());
    ASSERT_TRUE(WriteConfigFile(folder.string(), config));
}

// Every file under root, the manifest included.
Files TreeOf(const fs::path& root) {
    Files files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), root).string()] = ReadFileBytes(entry.path());
    return files;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The run id a publish printed ("Kept for undo as run ID (kestrelftp undo)").
std::string KeptRun(const Result& publish) {
    const std::string marker = "Kept for undo as run ";
    std::size_t at = publish.out.find(marker);
    if (at == std::string::npos)
        return "";
    at += marker.size();
    return publish.out.substr(at, publish.out.find(' ', at) - at);
}

} // namespace

TEST(UndoCommandLine, ListThenUndoTheLastRunAndANamedOne) {
    PyFtpd server;
    TempDir here("kestrel-cli");
    SaveConfig(here.path(), server);
    const char* password = server.password().c_str();
    fs::create_directories(here / "site");
    WriteFileBytes(here / "site/index.htm", "<html>1</html>");
    WriteFileBytes(here / "site/old.htm", "<html>old</html>");
    Result first = RunProgram(here.path(), {"publish", "site", "www"}, password);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find("History: beside the site in /.kestrelftp-history/www"),
              std::string::npos)
        << first.out;
    const Files one = TreeOf(server.root() / "www");

    WriteFileBytes(here / "site/index.htm", "<html>2</html>");
    fs::remove(here / "site/old.htm");
    Result second = RunProgram(here.path(), {"publish", "--delete", "site", "www"}, password);
    ASSERT_EQ(second.status, 0) << second.err;
    const std::string secondRun = KeptRun(second);
    ASSERT_FALSE(secondRun.empty()) << second.out;
    const Files two = TreeOf(server.root() / "www");
    WriteFileBytes(here / "site/new.htm", "<html>new</html>");
    Result third = RunProgram(here.path(), {"publish", "site", "www"}, password);
    ASSERT_EQ(third.status, 0) << third.err;

    Result list = RunProgram(here.path(), {"undo", "--list", "www"}, password);
    EXPECT_EQ(list.status, 0) << list.err;
    std::vector<std::string> lines = Lines(list.out);
    ASSERT_EQ(lines.size(), 4u) << list.out;
    EXPECT_EQ(lines[1].rfind(secondRun + "  ", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find("added 0, replaced 1, deleted 1, folders made 0, removed 0; keeps 2 "
                            "files"),
              std::string::npos)
        << lines[1];
    EXPECT_EQ(lines[3], "3 runs of /www in the history /.kestrelftp-history/www (beside the "
                        "site); undo puts back the last one");
    EXPECT_EQ(TreeOf(server.root() / "www").size(), 3u); // --list changes nothing

    Result undo = RunProgram(here.path(), {"undo", "www"}, password);
    EXPECT_EQ(undo.status, 0) << undo.err;
    EXPECT_NE(undo.out.find("The site is as before the run: removed 1, restored 0"),
              std::string::npos)
        << undo.out;
    EXPECT_EQ(TreeOf(server.root() / "www"), two);

    // A named run, in JSON: it is the last one now.
    Result named = RunProgram(here.path(), {"undo", "--json", "--run", secondRun, "www"}, password);
    EXPECT_EQ(named.status, 0) << named.err;
    lines = Lines(named.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "{\"event\":\"undone\",\"id\":\"" + secondRun + "\"}");
    EXPECT_EQ(lines.back(), "{\"event\":\"summary\",\"undone\":[\"" + secondRun +
                                "\"],\"removed\":0,\"restored\":2,\"foldersRemoved\":0,"
                                "\"foldersMade\":0,\"failed\":0,\"exit\":0}");
    EXPECT_EQ(TreeOf(server.root() / "www"), one);

    // A run that is no longer there fails with its reason and status 1.
    Result gone = RunProgram(here.path(), {"undo", "--run", secondRun, "www"}, password);
    EXPECT_EQ(gone.status, 1);
    EXPECT_NE(gone.err.find("There is no run " + secondRun), std::string::npos) << gone.err;
    EXPECT_EQ(TreeOf(server.root() / "www"), one);
}

TEST(UndoCommandLine, UsageErrorsComeFirstWithStatusTwo) {
    TempDir here("kestrel-cli");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"undo"},
          {"undo", "--run", "yesterday", "www"},
          {"undo", "--list", "--run", "20261209T081500Z", "www"},
          {"undo", "--password", "x", "www"},
          {"undo", "--frobnicate", "www"}}) {
        Result run = RunProgram(here.path(), args, "s3cret");
        EXPECT_EQ(run.status, 2) << args.back();
        EXPECT_NE(run.err.find("Usage: kestrelftp undo"), std::string::npos) << run.err;
    }
    Result help = RunProgram(here.path(), {"--help"}, nullptr);
    EXPECT_NE(help.out.find("kestrelftp undo [--list] [--run ID]"), std::string::npos);
    EXPECT_NE(help.out.find("Options of undo:"), std::string::npos);
}
