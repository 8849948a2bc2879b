// TCorsock over TLS: the handshake inside the ordinary waits, reads, lines and files
// through TLS with the chunk rule, certificate checks, session reuse, close_notify, and
// the ways a handshake or a stream can fail.
#include "net/sock/csock.h"
#include "net/sock/tls.h"
#include "sock_test_util.h"
#include "support/fixtures.h"
#include "support/message_of.h"
#include "support/tls_support.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace kestrel {
namespace {

using namespace kestrel::test;

struct Client {
    TCorsock sock{nullptr};
    explicit Client(int port, int timeout = 3000) {
        sock.Host = "127.0.0.1";
        sock.Port = port;
        sock.TimeOut = timeout;
        sock.Connect();
    }
};

TEST(CsockTls, LinesAndFilesGoThroughTlsWithTheChunkRule) {
    TlsTestServer server(TrustedTestCertificates().certFile, TrustedTestCertificates().keyFile,
                         TlsTestServer::Echo);
    Client client(server.port());
    client.sock.StartTls("127.0.0.1", nullptr);
    ASSERT_NE(client.sock.Tls(), nullptr);
    EXPECT_EQ(client.sock.Tls()->VerifyError(), "");
    EXPECT_EQ(client.sock.Tls()->Certificate().Fingerprint,
              FingerprintOf(TrustedTestCertificates().certFile));
    EXPECT_EQ(client.sock.Transaction("HELLO"), "HELLO\r\n");

    // A file of several TLS records comes back whole; every send step stays a chunk.
    TempDir dir;
    std::string path = (dir / "page.bin").string();
    std::string content = RandomBytes(300000);
    WriteFileBytes(path, content);
    int biggest = 0;
    client.sock.OnPacketSent = [&](TComponent*) {
        static std::int64_t last = 0;
        biggest = std::max<int>(biggest, int(client.sock.BytesSent - last));
        last = client.sock.BytesSent;
    };
    client.sock.SendFile(path);
    client.sock.OnPacketSent = nullptr;
    EXPECT_LE(biggest, kChunkSize);
    std::string echoed;
    client.sock.CaptureString(echoed, std::int32_t(content.size()));
    EXPECT_EQ(echoed == content, true);
}

TEST(CsockTls, CertificateFailuresAreReportedNotHidden) {
    struct Case {
        std::string cert, key, host, reason;
    } cases[] = {
        {TrustedTestCertificates().selfSignedCert, TrustedTestCertificates().selfSignedKey,
         "127.0.0.1", "self-signed certificate"},
        {TrustedTestCertificates().wrongNameCert, TrustedTestCertificates().wrongNameKey,
         "127.0.0.1", "the certificate was issued for another name than 127.0.0.1"},
        {TrustedTestCertificates().expiredCert, TrustedTestCertificates().expiredKey, "127.0.0.1",
         "certificate has expired"},
        // Every reason, not only the first one found.
        {TrustedTestCertificates().selfSignedWrongNameCert,
         TrustedTestCertificates().selfSignedWrongNameKey, "127.0.0.1",
         "self-signed certificate; the certificate was issued for another name than 127.0.0.1"},
        {TrustedTestCertificates().certFile, TrustedTestCertificates().keyFile,
         "ftp.example.invalid",
         "the certificate was issued for another name than ftp.example.invalid"},
        {TrustedTestCertificates().certFile, TrustedTestCertificates().keyFile, "localhost", ""},
    };
    for (const Case& c : cases) {
        TlsTestServer server(c.cert, c.key, TlsTestServer::Echo);
        Client client(server.port());
        client.sock.StartTls(c.host, nullptr);
        EXPECT_EQ(client.sock.Tls()->VerifyError(), c.reason) << c.cert << " as " << c.host;
        TCertificateInfo info = client.sock.Tls()->Certificate();
        EXPECT_EQ(info.Fingerprint, FingerprintOf(c.cert));
        EXPECT_NE(info.Subject.find("KestrelFTP tests"), std::string::npos) << info.Subject;
        EXPECT_NE(info.NotAfter.find("UTC"), std::string::npos);
        EXPECT_EQ(info.Reason, c.reason);
    }
}

TEST(CsockTls, DataConnectionsResumeTheSessionOfTheSlot) {
    TlsTestServer server(TrustedTestCertificates().certFile, TrustedTestCertificates().keyFile,
                         TlsTestServer::Echo);
    auto slot = std::make_shared<TTlsSessionSlot>();
    Client control(server.port());
    control.sock.StartTls("127.0.0.1", slot);
    // A TLS 1.3 ticket comes after the handshake, with the first data read.
    EXPECT_EQ(control.sock.Transaction("NOOP"), "NOOP\r\n");
    control.sock.Disconnect();
    ASSERT_GT(slot->Count(), 0u);

    Client data(server.port());
    data.sock.StartTls("127.0.0.1", slot);
    EXPECT_TRUE(data.sock.Tls()->Resumed());
    EXPECT_EQ(data.sock.Transaction("DATA"), "DATA\r\n");
    EXPECT_TRUE(server.sessionReused());
}

TEST(CsockTls, CloseNotifyEndsTheSentData) {
    TlsTestServer server(TrustedTestCertificates().certFile, TrustedTestCertificates().keyFile,
                         TlsTestServer::Sink);
    Client client(server.port());
    // A graceful close, as a data connection has: the component's own socket resets.
    platform::sock_set_linger(client.sock.SocketHandle, false, 0);
    client.sock.StartTls("127.0.0.1", nullptr);
    std::string block = RandomBytes(100000);
    TMemoryStream stream;
    stream.Write(block.data(), std::int64_t(block.size()));
    client.sock.SendStream(stream);
    client.sock.EndTls();
    client.sock.Disconnect();
    EXPECT_TRUE(PumpUntil([&] { return server.sawCloseNotify(); }));
    EXPECT_EQ(server.bytesReceived(), std::int64_t(block.size()));
}

// A peer that ends its data with close_notify and then waits for ours before it closes
// (as some servers do on a download) ends the capture, and is answered.
TEST(CsockTls, ThePeersCloseNotifyEndsAReceiveAndIsAnswered) {
    TlsTestServer server(TrustedTestCertificates().certFile, TrustedTestCertificates().keyFile,
                         TlsTestServer::SendAndEnd);
    Client client(server.port());
    client.sock.StartTls("127.0.0.1", nullptr);
    TempDir dir;
    const std::string path = (dir / "page.bin").string();
    int steps = 0;
    client.sock.OnPacketRecvd = [&](TComponent*) { ++steps; };
    std::this_thread::sleep_for(200ms); // all of it waits in the socket: steps can be full
    client.sock.CaptureFile(path);
    EXPECT_EQ(ReadFileBytes(path), std::string(100000, 'x'));
    // Receive steps are full chunks although a record holds one byte more than a chunk:
    // not a chunk and a single byte by turns.
    EXPECT_LE(steps, 100000 / kChunkSize + 2);
    EXPECT_FALSE(client.sock.Connected);
    EXPECT_FALSE(client.sock.PeerReset);
    EXPECT_TRUE(PumpUntil([&] { return server.sawCloseNotify(); }));
}

TEST(CsockTls, AHandshakeThatNeverEndsIsEndedByTimeOutOrStop) {
    TlsTestServer server(TrustedTestCertificates().certFile, TrustedTestCertificates().keyFile,
                         TlsTestServer::Silent);
    {
        Client client(server.port(), 300);
        EXPECT_EQ(MessageOf([&] { client.sock.StartTls("127.0.0.1", nullptr); }),
                  "TLS handshake timed out");
        EXPECT_EQ(client.sock.Tls(), nullptr);
    }
    {
        Client client(server.port(), 0);
        Later stop(100ms, [&] { client.sock.Cancel(); });
        bool aborted = false;
        try {
            client.sock.StartTls("127.0.0.1", nullptr);
        } catch (const EAbortError& e) {
            aborted = std::string(e.what()) == "TLS handshake aborted";
        }
        EXPECT_TRUE(aborted);
    }
}

TEST(CsockTls, APeerThatIsNoTlsServerOrCutsARecordFailsClearly) {
    // A plain server that answers the ClientHello with a text line.
    RawListener plain;
    std::thread answer([&] {
        int fd = plain.accept();
        char bytes[512];
        ::recv(fd, bytes, sizeof bytes, 0);
        const char line[] = "220 plain text server\r\n";
        ::send(fd, line, sizeof line - 1, 0);
        std::this_thread::sleep_for(200ms);
        ::close(fd);
    });
    {
        Client client(plain.port);
        std::string message = MessageOf([&] { client.sock.StartTls("127.0.0.1", nullptr); });
        EXPECT_EQ(message.rfind("TLS handshake failed: ", 0), 0u) << message;
    }
    answer.join();

    TlsTestServer cut(TrustedTestCertificates().certFile, TrustedTestCertificates().keyFile,
                      TlsTestServer::CutMidRecord);
    Client client(cut.port());
    client.sock.StartTls("127.0.0.1", nullptr);
    EXPECT_EQ(MessageOf([&] { client.sock.ReadLn(); }), "Connection closed by peer");
}

TEST(CsockTls, AServerThatClosesDuringTheHandshakeIsReportedClearly) {
    RawListener silent;
    std::thread closer([&] {
        int fd = silent.accept();
        char bytes[512];
        ::recv(fd, bytes, sizeof bytes, 0); // the ClientHello, left unanswered
        ::close(fd);
    });
    Client client(silent.port);
    EXPECT_EQ(MessageOf([&] { client.sock.StartTls("127.0.0.1", nullptr); }),
              "TLS handshake failed: the server closed the connection");
    EXPECT_EQ(client.sock.Tls(), nullptr);
    closer.join();
}

} // namespace
} // namespace kestrel
