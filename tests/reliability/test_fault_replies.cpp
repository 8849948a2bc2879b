// Misbehaving replies on the control connection: trickled bytes, replies that come
// early, lines around the length limit, zero bytes, an odd greeting, and floods with
// and without line feeds. Memory stays bounded and every wait ends.
#include "fault_util.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

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
    LogOut(*ftp, server);
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
    ExpectScriptsMet(server);
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
    auto ftp = ConnectedClient(rec, server.port());
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
    LogOut(*ftp, server, 2);
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

// The most resident memory this process had since the last ResetPeakResident(), from the
// kernel's high-water mark (a reply's lines freed by the error would not show in the RSS
// afterwards).
std::int64_t PeakResidentBytes() {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return 0;
    char line[256];
    long kib = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1)
            break;
    std::fclose(f);
    return std::int64_t(kib) * 1024;
}

void ResetPeakResident() {
    if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

// Continuation lines without end, in a greeting and in a command's reply: the reply is
// refused once it passes its bound, the connection is closed, and memory does not follow
// the lines (ten million of them, 70 MB, would have been kept otherwise).
TEST(FaultReplies, EndlessMultiLineRepliesAreRefusedAtTheirBound) {
    constexpr std::int64_t kFloodCap = std::int64_t(70) << 20;
    std::atomic<std::int64_t> sent{0};
    auto flood = [&](Session& s, const std::string& line) {
        std::string chunk;
        while (chunk.size() < 64 * 1024)
            chunk += line;
        while (sent < kFloodCap && s.send(chunk))
            sent += std::int64_t(chunk.size());
    };
    ScriptedServerOptions options;
    options.max_sessions = 2;
    ScriptedFtpServer server(
        [&](Session& s) {
            if (s.index() == 0) {
                s.send("220-welcome\r\n");
                flood(s, "220-x\r\n");
                return;
            }
            Greet(s);
            s.expect("FEAT");
            s.send("211-Features:\r\n");
            flood(s, " MLST\r\n");
        },
        options);
    const std::string refusal =
        "Reply too long: more than " + std::to_string(kMaxReplyLength) + " bytes";
    TVaneFTP ftp(nullptr);
    ftp.Host = "127.0.0.1";
    ftp.Port = server.port();
    ftp.UserID = "bob";
    ftp.Password = "pw";

    ResetPeakResident();
    std::int64_t before = ResidentBytes();
    EXPECT_EQ(MessageOf<ESockError>([&] { ftp.Connect(); }), refusal);
    EXPECT_FALSE(ftp.Connected);
    EXPECT_LT(PeakResidentBytes() - before, std::int64_t(16) << 20);
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_LT(sent.load(), kFloodCap) << "the client read the greeting to its end";

    sent = 0;
    ftp.Connect();
    ResetPeakResident();
    before = ResidentBytes();
    EXPECT_EQ(MessageOf<ESockError>([&] { ftp.Features(); }), refusal);
    EXPECT_FALSE(ftp.Connected);
    EXPECT_TRUE(ftp.PeekInput().empty());
    EXPECT_LT(PeakResidentBytes() - before, std::int64_t(16) << 20);
    ASSERT_TRUE(server.wait_sessions(2));
    EXPECT_LT(sent.load(), kFloodCap) << "the client read the reply to its end";
}

// A long multi-line reply within the bound keeps its first and final line and a bounded
// part of what lies between; the session goes on.
TEST(FaultReplies, LongMultiLineReplyKeepsItsEndsAndABoundedMiddle) {
    FtpReply reply;
    EXPECT_TRUE(reply.Add("211-Features:\r\n"));
    std::size_t added = 0;
    while (added < kMaxReplyLength / 2) {
        EXPECT_TRUE(reply.Add(" UTF8\r\n"));
        added += 7;
    }
    EXPECT_TRUE(reply.Add("211 End\r\n"));
    EXPECT_EQ(reply.First(), "211-Features:\r\n");
    EXPECT_EQ(reply.Final(), "211 End\r\n");
    EXPECT_FALSE(ReplyContinues(reply));
    std::size_t kept = 0;
    for (const std::string& line : reply.lines)
        kept += line.size();
    EXPECT_LE(kept, kMaxKeptReplyText + 64);
    EXPECT_GT(kept, kMaxKeptReplyText / 2);
    // One byte past the bound is refused.
    FtpReply longest;
    longest.Add("200-a\r\n");
    while (longest.length + 7 <= kMaxReplyLength)
        ASSERT_TRUE(longest.Add(" more\r\n"));
    EXPECT_FALSE(longest.Add(std::string(kMaxReplyLength - longest.length + 1, 'x')));

    ScriptedFtpServer server([&](Session& s) {
        Greet(s);
        s.expect("FEAT");
        std::string text = "211-Features:\r\n MLST type*;size*;\r\n";
        for (int i = 0; i < 20000; ++i)
            text += " X-FILLER-" + std::to_string(i) + "\r\n";
        s.send(text + " UTF8\r\n211 End\r\n");
        s.expect("NOOP");
        s.reply("200 ok");
        Bye(s);
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    std::vector<std::string> features = ftp->Features();
    ASSERT_FALSE(features.empty());
    EXPECT_EQ(features.front(), "MLST type*;size*;");
    EXPECT_LT(features.size(), 20000u);
    ftp->DoCommand("NOOP");
    EXPECT_EQ(ftp->LastReply, "200 ok\r\n");
    LogOut(*ftp, server);
}
