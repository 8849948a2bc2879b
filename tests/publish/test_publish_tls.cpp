// Publishing over TLS against the tests' FTP server over TLS, which refuses a data
// connection that does not resume a session (as vsftpd does with its defaults) and, in
// this test, gives sessions only on the control connection: every third data connection
// of a log-in has none to resume and is refused. No file may be lost for it.
#include "publish/manifest.h"
#include "publish/publisher.h"
#include "support/fixtures.h"
#include "support/tls_ftp_server.h"
#include "support/tls_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

using namespace kestrel;
using namespace kestrel::test;

namespace {

// Publishes local to "/site" on the server, emptied first, on connections connections.
TPublishSummary PublishTo(TlsFtpServer& server, const TempDir& local, TDataMode mode,
                          TEncryption encryption, int connections,
                          TCertificateEvent check = nullptr) {
    for (const std::string& name : server.files()->names())
        server.files()->remove(name);
    TConnectionSettings connection;
    connection.Host = "127.0.0.1";
    connection.Port = server.port();
    connection.UserID = "webuser";
    connection.Password = "s3cret";
    connection.DataMode = mode;
    connection.Encryption = encryption;
    connection.OnCertificateCheck = std::move(check);
    TPublishOptions options;
    options.LocalRoot = local.str();
    options.RemoteRoot = "/site";
    options.Connections = connections;
    options.MatchConnectionsToWork = false;
    TPublisher publisher(connection, options);
    return publisher.Run();
}

} // namespace

TEST(PublishTls, AFileWhoseDataConnectionIsRefusedIsSentAgainOnANewLogIn) {
    TlsFtpServer server(TrustedTestCertificates(), {.ticketsOnData = false});
    TempDir local("kestrel-site");
    constexpr int kFiles = 7;
    for (int n = 0; n < kFiles; ++n)
        WriteFileBytes(local / ("p" + std::to_string(n) + ".htm"), RandomBytes(3000 + n, n + 1));
    for (TDataMode mode : {TDataMode::Active, TDataMode::Passive}) {
        SCOPED_TRACE(mode == TDataMode::Active ? "active" : "passive");
        TPublishSummary summary = PublishTo(server, local, mode, TEncryption::Required, 1);

        EXPECT_TRUE(summary.Succeeded())
            << (summary.Failures.empty() ? "" : summary.Failures[0].Reason);
        EXPECT_EQ(summary.Uploaded, kFiles);
        EXPECT_TRUE(summary.ManifestWritten);
        EXPECT_TRUE(std::any_of(summary.Notes.begin(), summary.Notes.end(), [](const auto& note) {
            return note.find("refused the TLS session") != std::string::npos;
        }));
        for (int n = 0; n < kFiles; ++n)
            EXPECT_EQ(server.files()->get("/site/p" + std::to_string(n) + ".htm"),
                      RandomBytes(3000 + n, n + 1))
                << n;
    }
    EXPECT_GT(server.refusedConnections(), 2);
}

// A whole site over implicit TLS (TLS from the first byte), in both data modes.
TEST(PublishTls, ASiteOverImplicitTlsArrivesWhole) {
    TlsFtpServer server(TrustedTestCertificates(), {.implicit = true});
    TempDir local("kestrel-site");
    std::filesystem::create_directories(local / "img");
    WriteFileBytes(local / "index.htm", RandomBytes(5000, 1));
    WriteFileBytes(local / "img" / "a.png", RandomBytes(70000, 2));
    for (TDataMode mode : {TDataMode::Active, TDataMode::Passive}) {
        SCOPED_TRACE(mode == TDataMode::Active ? "active" : "passive");
        TPublishSummary summary = PublishTo(server, local, mode, TEncryption::Implicit, 2);
        EXPECT_TRUE(summary.Succeeded())
            << (summary.Failures.empty() ? "" : summary.Failures[0].Reason);
        EXPECT_EQ(summary.Uploaded, 2);
        EXPECT_EQ(server.files()->get("/site/index.htm"), RandomBytes(5000, 1));
        EXPECT_EQ(server.files()->get("/site/img/a.png"), RandomBytes(70000, 2));
    }
}

// A certificate no authority vouches for is asked about once in a run: the other
// connections trust what the first one's question accepted.
TEST(PublishTls, TheTrustOfTheFirstConnectionsCertificateCarriesToTheOthers) {
    TestCertificates certificates = TrustedTestCertificates();
    certificates.certFile = certificates.selfSignedCert;
    certificates.keyFile = certificates.selfSignedKey;
    TlsFtpServer server(certificates);
    TempDir local("kestrel-site");
    for (int n = 0; n < 12; ++n)
        WriteFileBytes(local / ("p" + std::to_string(n) + ".htm"), RandomBytes(2000, n + 1));
    const std::string fingerprint = FingerprintOf(certificates.selfSignedCert);
    std::atomic<int> asked{0};
    TPublishSummary summary = PublishTo(server, local, TDataMode::Passive, TEncryption::Required, 3,
                                        [&](const TCertificateInfo& info, bool& accept) {
                                            ++asked;
                                            accept = info.Fingerprint == fingerprint;
                                        });
    EXPECT_TRUE(summary.Succeeded())
        << (summary.Failures.empty() ? "" : summary.Failures[0].Reason);
    EXPECT_EQ(summary.Uploaded, 12);
    EXPECT_EQ(summary.Connections, 3);
    EXPECT_EQ(asked, 1) << "a second question for the same certificate";
    EXPECT_GE(server.mostSessionsAtOnce(), 2);
}
