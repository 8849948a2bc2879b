// Misbehaving replies on the control connection: trickled bytes, replies that come
// early, lines around the length limit, zero bytes, an odd greeting, and floods with
// and without line feeds. Memory stays bounded and every wait ends.
#include "fault_util.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace kestrel;
using namespace kestrel::test;
using Lines = std::vector<std::string>;

TEST(FaultReplies, TrickledRepliesAndACompletionThatComesBeforeTheData) {
    TempDir dir;
    RandomFile(dir / "up", 70000, 3);
    const std::string content = ReadFileBytes(dir / "up");
    ScriptedFtpServer server([&](Session& s) {
        s.trickle("220-slow\r\n220 ready\r\n", 2);
        s.expect("USER ");
        s.trickle("331 password\r\n", 2);
        s.expect("PASS ");
        s.trickle("230 in\r\n", 2);
        s.expect("PORT ");
        s.trickle("200 ok\r\n", 2);
        s.expect("STOR up");
        // The 150 and the 226 in one packet, before any data has moved.
        s.send("150 go\r\n226 done\r\n");
        s.connect_data();
        if (s.data_recv_all() != content)
            s.fail("upload differs");
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("RETR down");
        s.send("150 go (5 bytes)\r\n226 done\r\n");
        s.connect_data();
        s.data_trickle("hello", 3);
        s.data_close();
        s.expect("NOOP");
        s.trickle("200-one\r\n 200 two\r\n200 three\r\n", 1);
        Bye(s);
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    EXPECT_TRUE(ftp->Connected);
    rec.log.clear();
    ftp->Upload((dir / "up").string(), "up");
    ftp->Download("down", (dir / "down").string());
    EXPECT_EQ(rec.Events(),
              (Lines{"start", "stop", "success:Upload", "start", "stop", "success:Download"}));
    EXPECT_EQ(ReadFileBytes(dir / "down"), "hello");
    ftp->DoCommand("NOOP");
    EXPECT_EQ(ftp->LastReply, "200-one\r\n");
    EXPECT_TRUE(rec.Has("status:200 three\r\n"));
    ftp->Disconnect();
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_TRUE(server.failures().empty()) << server.failures().front();
}

// A line may be up to 64 KiB long with its line feed; one byte more is refused and the
// connection closed, even when the line feed arrives in the same packet as the bytes past
// the limit.
TEST(FaultReplies, LongLinesUpToTheLimitAndOneByteMore) {
    const std::string limitLine = "200 " + std::string(std::size_t(kMaxLineLength) - 6, 'b');
    ScriptedFtpServer server([&](Session& s) {
        Greet(s);
        s.expect("NOOP");
        s.reply("200 " + std::string(17000, 'a'));
        s.expect("NOOP");
        s.reply(limitLine);
        s.expect("NOOP");
        s.send(limitLine + "b\r\n" + "200 next\r\n");
        if (s.read_line())
            s.fail("the client went on after a line past the limit");
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    ftp->DoCommand("NOOP");
    EXPECT_EQ(ftp->LastReply.size(), 17006u);
    EXPECT_EQ(ftp->ReplyCode, 200);
    ftp->DoCommand("NOOP");
    EXPECT_EQ(ftp->LastReply.size(), std::size_t(kMaxLineLength));
    EXPECT_EQ(ftp->LastReply, limitLine + "\r\n");
    rec.log.clear();
    EXPECT_EQ(MessageOf<ESockError>([&] { ftp->DoCommand("NOOP"); }), "Reply line too long");
    EXPECT_FALSE(ftp->Connected);
    EXPECT_FALSE(rec.Has("success:DoCommand"));
    EXPECT_EQ(MessageOf<Exception>([&] { ftp->DoCommand("NOOP"); }), "Not Connected");
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_TRUE(server.failures().empty()) << server.failures().front();
}

TEST(FaultReplies, ZeroBytesInRepliesAndA230Greeting) {
    ScriptedFtpServer server(
        [](Session& s) {
            if (s.index() == 0) {
                s.send(std::string("220 re\0ady\r\n", 12));
                s.expect("USER ");
                s.reply("230 in");
                s.expect("NOOP");
                s.send(std::string("200 o\0k\r\n", 9));
                s.expect("DELE x");
                s.send(std::string("550 no\0pe\r\n", 11));
                s.expect("NOOP");
                s.reply("200 still here");
            } else {
                // Log-in already done in the greeting: the USER that follows is answered
                // like any other command.
                s.reply("230 welcome, you are in");
                s.expect("USER ");
                s.reply("230 ok");
                s.expect("NOOP");
                s.reply("200 ok");
            }
            Bye(s);
        },
        ScriptedServerOptions{2, 10000ms});
    Recorder rec;
    auto ftp = MakeClient(rec, server.port());
    ftp->Connect();
    EXPECT_TRUE(rec.Has(std::string("status:220 re\0ady\r\n", 19)));
    ftp->DoCommand("NOOP");
    EXPECT_EQ(ftp->LastReply, std::string("200 o\0k\r\n", 9));
    EXPECT_EQ(ftp->ReplyCode, 200);
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Delete("x"); }).rfind("550 no", 0), 0u);
    EXPECT_EQ(ftp->LastReply, std::string("550 no\0pe\r\n", 11));
    ftp->DoCommand("NOOP");
    EXPECT_EQ(ftp->LastReply, "200 still here\r\n");
    ftp->Disconnect();

    ftp->Connect();
    EXPECT_TRUE(ftp->Connected);
    ftp->DoCommand("NOOP");
    EXPECT_EQ(ftp->LastReply, "200 ok\r\n");
    ftp->Disconnect();
    ASSERT_TRUE(server.wait_sessions(2));
    EXPECT_TRUE(server.failures().empty()) << server.failures().front();
}

// A server that sends without end and never a line feed: the reply read stops at the
// limit with a clear error and closes; memory does not follow the flood.
TEST(FaultReplies, FloodWithoutALineFeedIsCutOffAtTheLimit) {
    std::atomic<std::int64_t> sent{0};
    ScriptedFtpServer server([&](Session& s) {
        Greet(s);
        s.expect("NOOP");
        const std::string chunk(64 * 1024, 'x');
        while (sent < (std::int64_t(256) << 20) && s.send(chunk))
            sent += std::int64_t(chunk.size());
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    const std::int64_t before = ResidentBytes();
    auto start = Clock::now();
    EXPECT_EQ(MessageOf<ESockError>([&] { ftp->DoCommand("NOOP"); }), "Reply line too long");
    EXPECT_LT(SecondsSince(start), 5.0);
    EXPECT_FALSE(ftp->Connected);
    EXPECT_TRUE(ftp->PeekInput().empty());
    EXPECT_LT(ResidentBytes() - before, std::int64_t(16) << 20);
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_LT(sent.load(), std::int64_t(256) << 20);
}

// A server that floods an idle client with lines: nobody reads them, so the client stops
// receiving at its bound and TCP holds the server back; the session goes on afterwards.
TEST(FaultReplies, FloodOfLinesWhileIdleIsHeldBackByTcp) {
    std::atomic<std::int64_t> sent{0};
    std::atomic<bool> quitSeen{false};
    constexpr std::int64_t kFloodCap = std::int64_t(512) << 20;
    ScriptedFtpServer server([&](Session& s) {
        Greet(s);
        std::string chunk;
        while (chunk.size() < 64 * 1024)
            chunk += "200 flood\r\n";
        while (sent < kFloodCap && s.send(chunk))
            sent += std::int64_t(chunk.size());
        // The client's QUIT comes once it reads again; the flood's lines answer it.
        while (auto line = s.read_line())
            if (line->rfind("QUIT", 0) == 0)
                quitSeen = true;
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    const std::int64_t before = ResidentBytes();
    std::int64_t peak = before;
    std::size_t mostBuffered = 0;
    auto start = Clock::now();
    while (SecondsSince(start) < 1.5) {
        platform::wait_step();
        mostBuffered = std::max(mostBuffered, ftp->PeekInput().size());
        peak = std::max(peak, ResidentBytes());
    }
    const std::int64_t sentWhileIdle = sent.load();
    EXPECT_LE(mostBuffered, std::size_t(kMaxBufferedInput + kChunkSize));
    EXPECT_GE(mostBuffered, std::size_t(kMaxBufferedInput));
    EXPECT_LT(sentWhileIdle, std::int64_t(64) << 20) << "the server was not held back";
    EXPECT_LT(peak - before, std::int64_t(16) << 20);
    EXPECT_TRUE(ftp->Connected);
    ftp->Disconnect();
    EXPECT_FALSE(ftp->Connected);
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_TRUE(quitSeen);
    EXPECT_LT(sent.load(), kFloodCap);
}
