// TCorsock: buffered reads and writes, transactions, file and stream transfers,
// cancelling, a peer that closes, bounded input, listening and accepting.
#include "net/sock/csock.h"
#include "sock_test_util.h"
#include "support/fixtures.h"
#include "support/message_of.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <unistd.h>

namespace kestrel {
namespace {

using namespace kestrel::test;

static_assert(std::is_same_v<decltype(TCorsock::BytesSent), std::int64_t>);
static_assert(std::is_same_v<decltype(TCorsock::BytesRcvd), std::int64_t>);
static_assert(std::is_same_v<decltype(TCorsock::BytesTotal), std::int64_t>);

int LocalPort(const TCorsock& s) {
    std::uint16_t port = 0;
    platform::sock_local_name(s.SocketHandle, nullptr, &port);
    return ntohs(port);
}

// A listening component that accepted a connecting one on 127.0.0.1, the way a data
// connection is made.
struct Pair {
    TCorsock server{nullptr};
    TCorsock client{nullptr};
    int accepted = -1;
    Pair() {
        server.Port = 0;
        server.Listen(true);
        client.Host = "127.0.0.1";
        client.Port = LocalPort(server);
        client.TimeOut = 3000;
        client.Connect();
        accepted = server.Accept();
        server.AdoptSocket(accepted);
    }
};

bool Arrived(TCorsock& s, std::size_t size) {
    return PumpUntil([&] { return s.PeekInput().size() >= size; });
}

TEST(CsockIo, ReadAndReadLnTakeWhatTheyNeedAndKeepTheRest) {
    Pair p;
    EXPECT_TRUE(p.server.Connected);
    EXPECT_EQ(p.client.Read(0), ""); // empty buffer: at once

    p.server.Write("12345678");
    EXPECT_EQ(p.client.Read(5), "12345");
    EXPECT_EQ(p.client.PeekInput(), "678");
    EXPECT_EQ(p.client.Read(3), "678");

    p.server.Write("abc\r\nde");
    EXPECT_EQ(p.client.ReadLn(), "abc\r\n");
    EXPECT_EQ(p.client.PeekInput(), "de");

    // The line feed comes with a later receive.
    Later rest(30ms, [&] { p.server.Write("f\n"); });
    EXPECT_EQ(p.client.ReadLn(), "def\n");
    EXPECT_EQ(p.client.PeekInput(), "");

    // Count 0 takes everything, also more than 65535 bytes.
    std::string big = RandomBytes(100000, 7);
    TMemoryStream stream;
    stream.WriteString(big);
    p.server.SendStream(stream);
    ASSERT_TRUE(Arrived(p.client, big.size()));
    EXPECT_EQ(p.client.Read(0), big);
}

TEST(CsockIo, PeerCloseEndsReadAndReadLnAndKeepsTheBytes) {
    Pair p;
    p.server.Write("partial");
    p.server.Disconnect();
    EXPECT_EQ(MessageOf([&] { p.client.ReadLn(); }), "Connection closed by peer");
    EXPECT_FALSE(p.client.Connected);
    EXPECT_EQ(p.client.PeekInput(), "partial");
    EXPECT_EQ(MessageOf([&] { p.client.Read(8); }), "Connection closed by peer");
    EXPECT_EQ(p.client.Read(7), "partial");

    // A capture of a count the closed peer can no longer deliver ends too, with what came.
    Pair q;
    q.server.Write("short");
    q.server.Disconnect();
    std::string text;
    EXPECT_EQ(MessageOf([&] { q.client.CaptureString(text, 100); }), "Connection closed by peer");
    EXPECT_EQ(text, "short");
}

TEST(CsockIo, TransactionReadsOneReplyAndItsCode) {
    Pair p;
    p.server.Writeln("220 Service ready");
    p.server.Writeln(" continued");
    EXPECT_EQ(p.client.Transaction("NOOP"), "220 Service ready\r\n");
    EXPECT_EQ(p.client.ReplyCode, 220);
    EXPECT_EQ(p.client.Transaction("NOOP"), " continued\r\n");
    EXPECT_EQ(p.client.ReplyCode, 0);

    p.server.Writeln("550 No such file");
    EXPECT_EQ(p.client.Transaction("RETR x"), "550 No such file\r\n");
    EXPECT_EQ(p.client.LastReply, "550 No such file\r\n");
    EXPECT_EQ(p.client.ReplyCode, 550);

    p.server.Writeln("1234567890123 too long");
    EXPECT_THROW(p.client.Transaction("STAT"), ERangeError);
    EXPECT_EQ(p.client.LastReply, "1234567890123 too long\r\n");

    ASSERT_TRUE(Arrived(p.server, 26));
    EXPECT_EQ(p.server.PeekInput(), "NOOP\r\nNOOP\r\nRETR x\r\nSTAT\r\n");
}

TEST(CsockIo, WriteStopsAtZeroAndRefusesTooLongLines) {
    Pair p;
    p.client.Write(std::string("ab\0cd", 5));
    EXPECT_EQ(MessageOf([&] { p.client.Write(std::string(16385, 'x')); }), "Line too long");
    EXPECT_EQ(MessageOf([&] { p.client.Writeln(std::string(16383, 'x')); }), "Line too long");
    p.client.Writeln(std::string(16382, 'y'));
    PumpFor(50ms);
    ASSERT_EQ(p.server.PeekInput().size(), 16386u);
    EXPECT_TRUE(p.server.PeekInput() == "ab" + std::string(16382, 'y') + "\r\n");

    // While Canceled is set nothing is sent and nothing raised.
    p.client.Canceled = true;
    p.client.Writeln("ignored");
    p.client.Canceled = false;
    p.client.Writeln("sent");
    ASSERT_TRUE(Arrived(p.server, 16386 + 6));
    EXPECT_EQ(p.server.PeekInput().substr(16386), "sent\r\n");
}

TEST(CsockIo, SendFileArrivesWholeThroughCaptureFile) {
    TempDir dir;
    const std::uint64_t size = 64ull << 20;
    RandomFile(dir / "src.bin", size, 42);
    Pair p;
    std::int64_t biggest = 0, chunks = 0, lastSent = 0;
    bool monotone = true;
    p.server.OnPacketSent = [&](TComponent*) {
        biggest = std::max(biggest, p.server.BytesSent - lastSent);
        monotone = monotone && p.server.BytesSent > lastSent;
        lastSent = p.server.BytesSent;
        ++chunks;
        if (p.server.BytesSent == p.server.BytesTotal)
            p.server.Disconnect(); // the end of the file: close gracefully
    };
    // The receiver captures from inside the sender's wait.
    std::string captureError;
    Later capture(1ms, [&] {
        try {
            p.client.CaptureFile((dir / "dst.bin").string());
        } catch (const std::exception& e) {
            captureError = e.what();
        }
    });
    p.server.SendFile((dir / "src.bin").string());
    EXPECT_TRUE(PumpUntil([&] { return !p.client.Connected; }, 10000ms));
    EXPECT_EQ(captureError, "");
    EXPECT_EQ(p.server.BytesSent, std::int64_t(size));
    EXPECT_EQ(p.server.BytesTotal, std::int64_t(size));
    EXPECT_LE(biggest, 16383);
    EXPECT_TRUE(monotone);
    EXPECT_GE(chunks, std::int64_t(size / 16383));
    EXPECT_FALSE(p.server.InTransfer);
    EXPECT_FALSE(p.server.FileTransfer);
    EXPECT_EQ(FileSizeOf((dir / "dst.bin").string()), std::int64_t(size));
    EXPECT_EQ(FileHash(dir / "dst.bin"), FileHash(dir / "src.bin"));

    // An empty file returns at once.
    Pair q;
    WriteFileBytes(dir / "empty.bin", "");
    q.server.SendFile((dir / "empty.bin").string());
    EXPECT_EQ(q.server.BytesSent, 0);
    EXPECT_EQ(MessageOf([&] { q.server.SendFile((dir / "missing.bin").string()); }),
              "Cannot open file " + (dir / "missing.bin").string());
    EXPECT_FALSE(q.server.InTransfer);
}

// Sends a file from a connected component to a plain reader and returns what arrived.
std::string SendToReader(TCorsock& sock, RawListener& listener, const std::string& file) {
    int peer = listener.accept();
    std::string received;
    std::atomic<std::int64_t> count{0};
    std::thread reader([&] {
        char bytes[65536];
        long n;
        while ((n = ::recv(peer, bytes, sizeof bytes, 0)) > 0) {
            received.append(bytes, std::size_t(n));
            count += n;
        }
    });
    sock.SendFile(file);
    // The component's own socket resets on close: let everything arrive first.
    PumpUntil([&] { return count >= sock.BytesSent; }, 10000ms);
    sock.Disconnect();
    reader.join();
    ::close(peer);
    return received;
}

TEST(CsockIo, SendFileStopsAtTheSizeItTookAndWhereAShrunkFileEnds) {
    Watchdog dog(60s);
    TempDir dir;
    const std::string file = (dir / "f.bin").string();
    const std::int64_t size = 1 << 20, shrunk = 3 * 128 * 1024;
    for (bool zeroCopy : {true, false}) {
        SCOPED_TRACE(zeroCopy ? "sent from the file" : "read and sent");
        for (bool grow : {true, false}) {
            RandomFile(file, size, 7);
            const std::string original = ReadFileBytes(file);
            RawListener listener;
            TCorsock sock(nullptr);
            sock.Host = "127.0.0.1";
            sock.Port = listener.port;
            sock.Connect();
            sock.ZeroCopy = zeroCopy;
            int chunks = 0;
            std::int64_t biggest = 0, last = 0;
            sock.OnPacketSent = [&](TComponent*) {
                biggest = std::max(biggest, sock.BytesSent - last);
                last = sock.BytesSent;
                if (++chunks > 1)
                    return;
                if (grow)
                    std::ofstream(file, std::ios::binary | std::ios::app)
                        << std::string(50000, 'x');
                else
                    ASSERT_EQ(::truncate(file.c_str(), shrunk), 0);
            };
            std::string received = SendToReader(sock, listener, file);
            EXPECT_LE(biggest, 16383);
            EXPECT_EQ(sock.BytesTotal, size);
            if (grow) {
                // What was appended after the start is not sent: the transfer is the size
                // announced.
                EXPECT_EQ(sock.BytesSent, size);
                EXPECT_TRUE(received == original);
            } else {
                EXPECT_EQ(sock.BytesSent, shrunk);
                EXPECT_TRUE(received == original.substr(0, std::size_t(shrunk)));
            }
        }
    }
}

TEST(CsockIo, CaptureFileKeepsBytesThatCameWithTheClose) {
    TempDir dir;
    Pair p;
    p.server.Write("hello");
    p.server.Disconnect();
    p.client.CaptureFile((dir / "got.txt").string());
    EXPECT_EQ(ReadFileBytes(dir / "got.txt"), "hello");
    EXPECT_EQ(p.client.PeekInput(), "");
}

TEST(CsockIo, CancelEndsSendsAndReads) {
    TempDir dir;
    RandomFile(dir / "big.bin", 8 << 20, 3);
    Pair p;
    p.server.OnPacketSent = [&](TComponent*) { p.server.Cancel(); };
    EXPECT_EQ(MessageOf([&] { p.server.SendFile((dir / "big.bin").string()); }),
              "Socket send aborted");
    EXPECT_FALSE(p.server.Canceled);
    EXPECT_FALSE(p.server.InTransfer);
    EXPECT_LT(p.server.BytesSent, 8 << 20);
}

TEST(CsockIo, CancelledReadsKeepTheConnectionListening) {
    Pair p;
    p.client.Write("no line feed");
    Later cancel(30ms, [&] { p.client.Cancel(); });
    EXPECT_EQ(MessageOf([&] { p.client.ReadLn(); }), "Socket readln aborted");
    EXPECT_TRUE(p.client.Canceled);

    // Later lines still arrive, also those received while Canceled was set.
    p.client.Canceled = false;
    p.client.Read(0);
    Later guard(3000ms, [&] { p.client.Cancel(); });
    p.client.Cancel();
    p.server.Writeln("one"); // received while the client's Canceled is set
    PumpFor(20ms);
    p.client.Canceled = false;
    EXPECT_EQ(p.client.ReadLn(), "one\r\n");
    p.server.Writeln("two");
    EXPECT_EQ(p.client.ReadLn(), "two\r\n");

    Later cancelCapture(30ms, [&] { p.client.Cancel(); });
    std::string text;
    EXPECT_EQ(MessageOf([&] { p.client.CaptureString(text, 100); }), "Socket capture aborted");
    EXPECT_FALSE(p.client.Canceled);
}

TEST(CsockIo, RefusedSendResumesAndUnreadInputStaysBounded) {
    Pair p;
    const std::string data = RandomBytes(16 << 20, 11);
    TMemoryStream stream;
    stream.WriteString(data);
    std::size_t buffered = 0;
    std::int64_t sentWhilePaused = 0;
    int refusedError = 0;
    std::string got;
    // Nobody reads for a while; then a capture drains the rest.
    Later drain(300ms, [&] {
        buffered = p.server.PeekInput().size();
        sentWhilePaused = p.client.BytesSent;
        refusedError = p.client.LastErrorNo;
        p.server.CaptureString(got, std::int32_t(data.size()));
    });
    p.client.SendStream(stream);
    EXPECT_TRUE(PumpUntil([&] { return got.size() >= data.size(); }));
    EXPECT_LE(buffered, std::size_t(kMaxBufferedInput + kChunkSize));
    EXPECT_LT(sentWhilePaused, std::int64_t(data.size()));
    EXPECT_EQ(refusedError, 10035);
    EXPECT_EQ(p.client.BytesSent, std::int64_t(data.size()));
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
}

TEST(CsockIo, PeerCloseEndsASendAndDropsTheUnsentRest) {
    Pair p;
    TMemoryStream stream;
    stream.WriteString(RandomBytes(16 << 20, 5));
    Later close(100ms, [&] { p.server.Disconnect(); });
    EXPECT_EQ(MessageOf([&] { p.client.SendStream(stream); }), "Connection closed by peer");
    EXPECT_EQ(p.client.OutBuffer->Size(), 0);
    EXPECT_FALSE(p.client.InTransfer);
}

TEST(CsockIo, EndlessLineIsRefused) {
    Pair p;
    TMemoryStream stream;
    stream.WriteString(std::string(70000, 'a'));
    p.server.SendStream(stream);
    EXPECT_EQ(MessageOf([&] { p.client.ReadLn(); }), "Reply line too long");
    EXPECT_FALSE(p.client.Connected);
}

TEST(CsockIo, ListenAcceptAndThePortArgument) {
    EXPECT_EQ(TCorsock::FormatPortString(1025), ",4,1");
    EXPECT_EQ(TCorsock::FormatPortString(21), ",0,21");
    EXPECT_EQ(TCorsock::FormatPortString(65535), ",255,255");

    Pair p;
    EXPECT_EQ(p.client.GetLocalAddress(), "127,0,0,1");
    EXPECT_EQ(p.server.GetLocalAddress(), "127,0,0,1");

    TCorsock listener(nullptr);
    int disconnects = 0;
    listener.OnDisconnect = [&](TComponent*) { ++disconnects; };
    listener.Listen(true);
    int port = LocalPort(listener);
    EXPECT_NE(port, 0);
    EXPECT_EQ(listener.GetPortString(), TCorsock::FormatPortString(port));

    // The accept notification sets Connected before Accept runs.
    TCorsock client(nullptr);
    client.Host = "127.0.0.1";
    client.Port = port;
    client.Connect();
    EXPECT_TRUE(PumpUntil([&] { return listener.AsyncDone; }));
    EXPECT_TRUE(listener.Connected);
    EXPECT_EQ(disconnects, 1);
    int h = listener.Accept();
    EXPECT_GE(h, 0);
    EXPECT_EQ(listener.GetRemoteIP(), "127.0.0.1");
    platform::sock_close(h);

    // Shared-message mode: OnAcceptReady, and AsyncDone is the caller's business.
    TCorsock shared(nullptr);
    int ready = 0;
    shared.OnAcceptReady = [&](TComponent*) {
        ++ready;
        shared.AsyncDone = true;
    };
    shared.Listen(false);
    TCorsock c2(nullptr);
    c2.Host = "127.0.0.1";
    c2.Port = LocalPort(shared);
    c2.Connect();
    int h2 = shared.Accept();
    EXPECT_EQ(ready, 1);
    EXPECT_GE(h2, 0);
    platform::sock_close(h2);

    // Cancel while waiting.
    TCorsock idle(nullptr);
    idle.Listen(true);
    Later cancel(30ms, [&] { idle.Cancel(); });
    EXPECT_EQ(MessageOf([&] { idle.Accept(); }), "Accepting Canceled");
}

TEST(CsockIo, ListenReportsAFailedBind) {
    RawListener taken;
    TCorsock sock(nullptr);
    sock.Port = taken.port;
    EXPECT_EQ(MessageOf([&] { sock.Listen(true); }), "10048:Address already in use");
    sock.Port = 70000;
    EXPECT_THROW(sock.Listen(true), ERangeError);
    sock.Port = -1;
    EXPECT_THROW(sock.Listen(true), ERangeError);
}

// Exposes the one wait and the cancel rule that the blocking operations share.
class Waiter : public TCorsock {
public:
    using TCorsock::RaiseIfCanceled;
    using TCorsock::TCorsock;
    using TCorsock::WaitFor;
};

TEST(CsockWait, EachEndIsReportedAndACancelWinsOverTheCondition) {
    Watchdog dog(30s);
    RawListener listener;
    Waiter w(nullptr);
    w.Host = "127.0.0.1";
    w.Port = listener.port;
    w.TimeOut = 3000;
    w.Connect();
    int peer = listener.accept();
    auto never = [] { return false; };
    auto always = [] { return true; };

    auto t0 = Clock::now();
    EXPECT_EQ(w.WaitFor(never, {.deadline = t0 + 30ms}), TWaitEnd::Deadline);
    EXPECT_GE(Clock::now() - t0, 30ms);

    w.Cancel();
    EXPECT_EQ(w.WaitFor(always), TWaitEnd::Canceled);
    EXPECT_TRUE(w.Canceled); // the wait itself changes no flag
    EXPECT_EQ(w.WaitFor(always, {.cancel = false}), TWaitEnd::Done);
    w.Canceled = false;

    ::close(peer);
    EXPECT_EQ(w.WaitFor(never, {.peerClose = true}), TWaitEnd::PeerClosed);
    EXPECT_FALSE(w.Connected);
    // What came true before the close still counts.
    EXPECT_EQ(w.WaitFor(always, {.peerClose = true}), TWaitEnd::Done);
}

TEST(CsockWait, TheTimeOutTimerRunsOnlyForTheWaitThatArmsIt) {
    Watchdog dog(30s);
    Waiter w(nullptr);
    w.TimeOut = 20;
    EXPECT_EQ(w.WaitFor([] { return false; }, {.timeOut = true}), TWaitEnd::TimedOut);
    EXPECT_TRUE(w.Canceled); // a time-out aborts what runs
    EXPECT_FALSE(w.TimeoutTimer->Enabled());
    w.Canceled = false;
    // A time-out left over from an earlier wait does not end a wait without the timer.
    EXPECT_TRUE(w.TimedOut);
    EXPECT_EQ(w.WaitFor([] { return true; }), TWaitEnd::Done);
    EXPECT_EQ(w.WaitFor([] { return true; }, {.timeOut = true}), TWaitEnd::Done);
    EXPECT_FALSE(w.TimedOut);
    EXPECT_FALSE(w.TimeoutTimer->Enabled());
}

TEST(CsockWait, TheCancelRuleConsumesTheCancel) {
    Waiter w(nullptr);
    EXPECT_NO_THROW(w.RaiseIfCanceled("Socket send aborted"));
    w.Cancel();
    EXPECT_THROW(w.RaiseIfCanceled("Socket send aborted"), EAbortError);
    EXPECT_FALSE(w.Canceled);
    w.Cancel();
    EXPECT_EQ(MessageOf([&] { w.RaiseIfCanceled("Socket capture aborted"); }),
              "Socket capture aborted");
}

} // namespace
} // namespace kestrel
