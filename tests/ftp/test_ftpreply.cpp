// The reply grammar and the values read out of reply lines: the announced transfer
// size and the PWD folder.
#include "net/ftp/ftpreply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrel {
namespace {

TEST(ReplyGrammar, CodeIsThreeDigitsThenASpaceOrAHyphen) {
    const struct {
        const char* line;
        int code;
    } cases[] = {
        {"200 ok\r\n", 200},
        {"150-Opening\r\n", 150},
        {"421 \r\n", 421},
        {"999 odd", 999},
        {"45 x", 0},
        {"2000 x", 0},
        {"200\r\n", 0},
        {"200", 0},
        {"20a ok", 0},
        {" 200 ok", 0},
        {"HTTP/1.1 400 Bad", 0},
        {"", 0},
        {"-200 ok", 0},
        {"200_ok", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReplyCodeOf(c.line), c.code) << c.line;
}

TEST(ReplyGrammar, ServiceEndingCodes) {
    for (int code : {421, 426})
        EXPECT_TRUE(EndsService(code)) << code;
    for (int code : {0, 220, 226, 420, 425, 450, 530})
        EXPECT_FALSE(EndsService(code)) << code;
}

// Whether the lines read so far are not yet a whole reply.
TEST(ReplyGrammar, WhenAReplyContinues) {
    const struct {
        std::vector<std::string> lines;
        bool continues;
    } cases[] = {
        {{"200 ok\r\n"}, false},
        {{"211-Features:\r\n"}, true},
        {{"211-Features:\r\n", " UTF8\r\n"}, true},
        {{"211-Features:\r\n", "211 End\r\n"}, false},
        {{"211-Features:\r\n", "211-more\r\n"}, true},
    };
    for (const auto& c : cases) {
        FtpReply reply;
        reply.lines = c.lines;
        reply.code = ReplyCodeOf(c.lines.front());
        EXPECT_EQ(ReplyContinues(reply), c.continues) << c.lines.back();
    }
}

TEST(ParseBytesTotal, TakesTheNumberBeforeTheWordBytes) {
    EXPECT_EQ(
        ParseBytesTotal("150 Opening BINARY mode data connection for a.gif (1234 bytes).\r\n"),
        1234);
    EXPECT_EQ(ParseBytesTotal("226 Transfer complete (1234 bytes)"), 1234);
    EXPECT_EQ(ParseBytesTotal("150 Opening data connection for x (2048 BYTES)"), 2048);
    // Sizes past 32 bits are kept.
    EXPECT_EQ(ParseBytesTotal("150 Opening (5000000000 bytes)"), 5000000000LL);
    EXPECT_EQ(ParseBytesTotal("150 (9223372036854775807 bytes)"), 9223372036854775807LL);
    // Only the first "byte" counts, and the digits nearest before it.
    EXPECT_EQ(ParseBytesTotal("150 file 7.txt (12 bytes, 3 bytes)"), 12);
}

TEST(ParseBytesTotal, NoUsableNumberGivesZero) {
    EXPECT_EQ(ParseBytesTotal("150 Opening data connection"), 0);
    EXPECT_EQ(ParseBytesTotal(""), 0);
    EXPECT_EQ(ParseBytesTotal("bytes 150"), 0);
    EXPECT_EQ(ParseBytesTotal("150 (9223372036854775808 bytes)"), 0);
    EXPECT_EQ(ParseBytesTotal("150 (123456789012345678901234567890 bytes)"), 0);
    // With no size before the word, the nearest digits are the reply code.
    EXPECT_EQ(ParseBytesTotal("150 Opening data connection for a (bytes unknown)"), 150);
}

TEST(ExtractQuotedDir, TakesTheQuotedFolder) {
    EXPECT_EQ(ExtractQuotedDir("257 \"/web/site\" is the current directory\r\n"), "/web/site");
    EXPECT_EQ(ExtractQuotedDir("257 \"/my site\" is current\r\n"), "/my site");
    EXPECT_EQ(ExtractQuotedDir("257 \"\" nothing\r\n"), "");
    // A quote inside the name comes doubled.
    EXPECT_EQ(ExtractQuotedDir("257 \"/a\"\"b\" is current\r\n"), "/a\"b");
}

TEST(ExtractQuotedDir, MissingQuotesNeverYieldTheLineEnd) {
    EXPECT_EQ(ExtractQuotedDir("257 /web is the current directory\r\n"), "");
    EXPECT_EQ(ExtractQuotedDir("550 Not allowed\r\n"), "");
    EXPECT_EQ(ExtractQuotedDir(""), "");
    EXPECT_EQ(ExtractQuotedDir("257 \"/web/site\r\n"), "/web/site");
    EXPECT_EQ(ExtractQuotedDir("257 \"/web\n"), "/web");
    EXPECT_EQ(ExtractQuotedDir("257 \"\r\n"), "");
}

} // namespace
} // namespace kestrel
