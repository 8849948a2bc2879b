// The socket layer's text helpers: fields, delimiter positions, protocol lines.
#include "net/sock/sockstr.h"

#include "base/streams.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrel {
namespace {

TEST(NthWord, TakesSingleDelimitedFields) {
    EXPECT_EQ(NthWord("a b c", ' ', 1), "a");
    EXPECT_EQ(NthWord("a b c", ' ', 2), "b");
    EXPECT_EQ(NthWord("a b c", ' ', 3), "c");
    // Two adjacent delimiters enclose an empty field.
    EXPECT_EQ(NthWord("a  b", ' ', 2), "");
    EXPECT_EQ(NthWord("a  b", ' ', 3), "b");
    EXPECT_EQ(NthWord(" a", ' ', 1), "");
    EXPECT_EQ(NthWord("a ", ' ', 2), "");
}

TEST(NthWord, OutOfRangeGivesEmpty) {
    EXPECT_EQ(NthWord("a b c", ' ', 4), "");
    EXPECT_EQ(NthWord("a b c", ' ', 0), "");
    EXPECT_EQ(NthWord("a b c", ' ', -1), "");
    EXPECT_EQ(NthWord("", ' ', 1), "");
    // No delimiter at all: the whole text is field 1 and there is no field 2.
    EXPECT_EQ(NthWord("abc", ' ', 1), "abc");
    EXPECT_EQ(NthWord("abc", ' ', 2), "");
}

TEST(NthWord, QuotedDirectoryOfPwdReply) {
    EXPECT_EQ(NthWord("257 \"/web/site\" is the current directory\r\n", '"', 2), "/web/site");
    EXPECT_EQ(NthWord("257 \"\" empty\r\n", '"', 2), "");
}

TEST(NthPos, FindsTheNthDelimiter) {
    EXPECT_EQ(NthPos("a,b,c", ',', 1), 2);
    EXPECT_EQ(NthPos("a,b,c", ',', 2), 4);
    EXPECT_EQ(NthPos(",,x", ',', 2), 2);
}

TEST(NthPos, MissingOrTrailingDelimiterIsPastTheEnd) {
    EXPECT_EQ(NthPos("a,b,c", ',', 3), 6);
    EXPECT_EQ(NthPos("a,b,c", ',', 0), 6);
    EXPECT_EQ(NthPos("a,b,c", ',', -2), 6);
    EXPECT_EQ(NthPos("", ',', 1), 1);
    // The n-th delimiter in the last place also reports length plus 1.
    EXPECT_EQ(NthPos("a,b,", ',', 2), 5);
    EXPECT_EQ(NthPos(",", ',', 1), 2);
    EXPECT_EQ(NthPos("a,b,", ',', 1), 2);
}

TEST(StreamLn, AppendsCrLfAfterTheText) {
    TMemoryStream stream;
    StreamLn(stream, "USER web");
    StreamLn(stream, "");
    EXPECT_EQ(stream.ToString(), "USER web\r\n\r\n");
}

} // namespace
} // namespace kestrel
