// Reading the port (and address) out of the server's EPSV and PASV replies.
#include "net/ftp/ftppassive.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kestrel {
namespace {

struct EpsvCase {
    std::string line;
    std::optional<int> port;
};

TEST(ParseEpsvReply, ReadsThePortBetweenTheDelimiters) {
    const std::vector<EpsvCase> cases = {
        {"229 Entering Extended Passive Mode (|||6446|)\r\n", 6446},
        {"229 Entering Extended Passive Mode (|||6446|)", 6446},
        {"229 Extended Passive Mode OK (!!!1!)\r\n", 1},
        {"229 (###65535#)\r\n", 65535},
        {"229 Entering Extended Passive Mode (|||6446|\r\n", 6446}, // no ")"
        {"229 note (see RFC) then (|||21000|)\r\n", 21000},         // first "(" is text
        // Malformed groups give no port.
        {"229 Entering Extended Passive Mode\r\n", std::nullopt},
        {"229 (|||)\r\n", std::nullopt},
        {"229 (|||0|)\r\n", std::nullopt},
        {"229 (|||65536|)\r\n", std::nullopt},
        {"229 (|||123456|)\r\n", std::nullopt},
        {"229 (||6446|)\r\n", std::nullopt},
        {"229 (|||6446)\r\n", std::nullopt},
        {"229 (|!|6446|)\r\n", std::nullopt},
        {"229 (111644461)\r\n", std::nullopt}, // a digit is no delimiter
        {"229 (   6446 )\r\n", std::nullopt},  // a blank is no delimiter
        {"", std::nullopt},
        {"(", std::nullopt},
    };
    for (const EpsvCase& c : cases)
        EXPECT_EQ(ParseEpsvReply(c.line), c.port) << c.line;
}

struct PasvCase {
    std::string line;
    std::string host; // empty: no address expected
    int port = 0;
};

TEST(ParsePasvReply, ReadsSixNumbersWhereverTheyStand) {
    const std::vector<PasvCase> cases = {
        {"227 Entering Passive Mode (127,0,0,1,4,7)\r\n", "127.0.0.1", 1031},
        {"227 Entering Passive Mode (192,168,1,20,195,80).\r\n", "192.168.1.20", 50000},
        {"227 =10,0,0,5,0,21\r\n", "10.0.0.5", 21},
        {"227 Entering Passive Mode 10,0,0,5,255,255\r\n", "10.0.0.5", 65535},
        {"227 Entering Passive Mode (10, 0, 0, 5, 4, 7)\r\n", "10.0.0.5", 1031},
        // Digits in the text before the numbers are not taken for them.
        {"227 Mode 2 (v4) ok (1,2,3,4,0,1)\r\n", "1.2.3.4", 1},
        {"227 Entering Passive Mode (127,0,0,1,4,7,9)\r\n", "127.0.0.1", 1031},
        // Malformed replies give nothing.
        {"227 Entering Passive Mode\r\n", "", 0},
        {"227 Entering Passive Mode (127,0,0,1,4)\r\n", "", 0},
        {"227 Entering Passive Mode (256,0,0,1,4,7)\r\n", "", 0},
        {"227 Entering Passive Mode (127,0,0,1,4,700)\r\n", "", 0},
        {"227 Entering Passive Mode (127,0,0,1,0,0)\r\n", "", 0},
        {"227 Entering Passive Mode (1270,0,0,1,4,7)\r\n", "", 0},
        {"227 Entering Passive Mode (127;0;0;1;4;7)\r\n", "", 0},
        {"227 Entering Passive Mode (127,0,0,1,4,)\r\n", "", 0},
        {"", "", 0},
    };
    for (const PasvCase& c : cases) {
        std::optional<TPassiveAddress> got = ParsePasvReply(c.line);
        if (c.host.empty()) {
            EXPECT_FALSE(got.has_value()) << c.line;
            continue;
        }
        ASSERT_TRUE(got.has_value()) << c.line;
        EXPECT_EQ(got->Host, c.host) << c.line;
        EXPECT_EQ(got->Port, c.port) << c.line;
    }
}

TEST(ParsePasvReply, TheReplyCodeIsNeverTakenForAnAddress) {
    // "227,0,0,1,4,7" starts with the code: only numbers after it count.
    EXPECT_FALSE(ParsePasvReply("227,0,0,1,4,7\r\n").has_value());
    std::optional<TPassiveAddress> got = ParsePasvReply("227,1,2,3,4,5,6\r\n");
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->Host, "1.2.3.4");
}

TEST(WithPassiveAdvice, KeepsTheServersLineAndItsLineEnd) {
    EXPECT_EQ(WithPassiveAdvice("425 Can't open data connection.\r\n",
                                "the server could not connect back"),
              "425 Can't open data connection. (the server could not connect back; try passive "
              "mode in the settings)\r\n");
    EXPECT_EQ(WithPassiveAdvice("501 Rejected", "the server refused PORT"),
              "501 Rejected (the server refused PORT; try passive mode in the settings)");
    EXPECT_EQ(WithPassiveAdvice("", "nothing connected"),
              "(nothing connected; try passive mode in the settings)");
}

} // namespace
} // namespace kestrel
