// The FTP client over TLS (AUTH TLS, PBSZ, PROT P): a real server (pyftpdlib's TLS
// handler) with a certificate the test makes, every kind of transfer encrypted, the
// certificate's check and the user's consent, a server that refuses encryption, and a
// handshake that never ends.
#include "net/sock/tls.h"
#include "support/fixtures.h"
#include "support/message_of.h"
#include "support/pyftpd.h"
#include "support/tls_support.h"
#include "test_vaneftp_realserver.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace kestrel;
using namespace kestrel::test;
namespace fs = std::filesystem;

namespace {

std::unique_ptr<TVaneFTP> Client(Recorder& rec, const PyFtpd& server, TEncryption encryption) {
    auto ftp = RealServerClient(rec, server);
    ftp->Encryption = encryption;
    ftp->TimeOut = 10000;
    return ftp;
}

} // namespace

TEST(VaneFtpTls, EveryTransferIsEncryptedAndArrivesWhole) {
    PyFtpd server(
        TlsServerOptions(TrustedTestCertificates().certFile, TrustedTestCertificates().keyFile));
    TempDir local;
    RandomFile(local / "big.bin", 64 << 20, 7);
    RandomFile(local / "page.htm", 70000, 8);
    Recorder rec;
    auto ftp = Client(rec, server, TEncryption::Required);
    ftp->Connect();
    EXPECT_TRUE(ftp->Secured);
    EXPECT_TRUE(rec.Has("status:AUTH TLS"));
    EXPECT_TRUE(rec.Has("status:PROT P"));
    ftp->Mode(2);

    UploadAndDownloadBack(*ftp, server, local.path(), "big.bin");

    // Append and restart, and a restarted download, byte for byte.
    WriteFileBytes(server.root() / "page.htm", RandomBytes(70000, 8).substr(0, 30000));
    ftp->UploadRestore((local / "page.htm").string(), "page.htm", 30000);
    EXPECT_EQ(FileHash(server.root() / "page.htm"), FileHash(local / "page.htm"));
    ftp->UploadAppend((local / "page.htm").string(), "page.htm");
    EXPECT_EQ(fs::file_size(server.root() / "page.htm"), 140000u);
    WriteFileBytes(local / "part.htm", RandomBytes(70000, 8).substr(0, 1000));
    WriteFileBytes(server.root() / "whole.htm", RandomBytes(70000, 8));
    ftp->DownloadRestore("whole.htm", (local / "part.htm").string());
    EXPECT_EQ(FileHash(local / "part.htm"), FileHash(local / "page.htm"));
    ftp->UploadUnique((local / "page.htm").string());

    rec.log.clear();
    ftp->Nlist();
    EXPECT_EQ(rec.Only("item:").size(), 4u); // big, page, whole and the unique one
    rec.log.clear();
    ftp->List();
    EXPECT_EQ(rec.Only("item:").size(), 4u);
    ftp->Disconnect();
    EXPECT_FALSE(ftp->Secured);
}

TEST(VaneFtpTls, PassiveDataConnectionsAreEncryptedToo) {
    PyFtpd server(
        TlsServerOptions(TrustedTestCertificates().certFile, TrustedTestCertificates().keyFile));
    TempDir local;
    RandomFile(local / "page.htm", 300000, 8);
    Recorder rec;
    auto ftp = Client(rec, server, TEncryption::Required);
    ftp->DataMode = TDataMode::Passive;
    ftp->Connect();
    ftp->Mode(2);
    ftp->Upload((local / "page.htm").string(), "page.htm");
    EXPECT_EQ(FileHash(server.root() / "page.htm"), FileHash(local / "page.htm"));
    ftp->Download("page.htm", (local / "back.htm").string());
    EXPECT_EQ(FileHash(local / "back.htm"), FileHash(local / "page.htm"));
    rec.log.clear();
    ftp->Nlist();
    EXPECT_EQ(rec.Only("item:"), std::vector<std::string>{"page.htm"});
    EXPECT_TRUE(rec.Has("status:EPSV"));
    ftp->Disconnect();
}

TEST(VaneFtpTls, AnUntrustedCertificateNeedsTheUsersConsent) {
    struct Case {
        std::string cert, key, reason;
    } cases[] = {
        {TrustedTestCertificates().selfSignedCert, TrustedTestCertificates().selfSignedKey,
         "self-signed certificate"},
        {TrustedTestCertificates().wrongNameCert, TrustedTestCertificates().wrongNameKey,
         "the certificate was issued for another name than 127.0.0.1"},
    };
    for (const Case& c : cases) {
        PyFtpd server(TlsServerOptions(c.cert, c.key));
        Recorder rec;
        auto ftp = Client(rec, server, TEncryption::Required);
        // Without a handler, and with one that says no, the log-in fails before USER.
        std::string refused = MessageOf([&] { ftp->Connect(); });
        EXPECT_EQ(refused, "The server's certificate is not trusted: " + c.reason + " (SHA-256 " +
                               FingerprintOf(c.cert) + ")");
        EXPECT_FALSE(rec.Has("status:USER webuser"));
        EXPECT_FALSE(ftp->Connected);

        TCertificateInfo shown;
        bool answer = false;
        ftp->OnCertificateCheck = [&](const TCertificateInfo& info, bool& accept) {
            shown = info;
            accept = answer;
        };
        EXPECT_NE(MessageOf([&] { ftp->Connect(); }), "(no exception)");
        EXPECT_EQ(shown.Fingerprint, FingerprintOf(c.cert));
        EXPECT_EQ(shown.Reason, c.reason);
        EXPECT_EQ(shown.Host, "127.0.0.1");

        answer = true;
        ftp->Connect();
        EXPECT_TRUE(ftp->Secured);
        ftp->Nlist(); // the data connection shows the same certificate
        ftp->Disconnect();
    }
}

// A new log-in to the same server (here a new client handed the sessions, as a publish's
// connection that logs in again) resumes the TLS session of the last one: no new question
// about a certificate the user accepted, and its data connections work as before. A
// certificate refused leaves nothing to resume: the next log-in asks again.
TEST(VaneFtpTls, ANewLogInResumesTheSessionOfTheLastTrustedOne) {
    PyFtpd server(TlsServerOptions(TrustedTestCertificates().selfSignedCert,
                                   TrustedTestCertificates().selfSignedKey));
    TempDir local;
    RandomFile(local / "page.htm", 5000, 9);
    int asked = 0;
    bool answer = false;
    auto client = [&](Recorder& rec, const std::shared_ptr<TTlsSessionSlot>& sessions) {
        auto ftp = Client(rec, server, TEncryption::Required);
        ftp->DataMode = TDataMode::Passive;
        ftp->TlsSessions = sessions;
        ftp->OnCertificateCheck = [&](const TCertificateInfo&, bool& accept) {
            ++asked;
            accept = answer;
        };
        return ftp;
    };
    Recorder rec;
    auto first = client(rec, nullptr);
    EXPECT_NE(MessageOf([&] { first->Connect(); }), "(no exception)");
    answer = true;
    first->Connect();
    EXPECT_EQ(asked, 2) << "asked again after the refusal";
    EXPECT_FALSE(first->Tls()->Resumed());
    first->Nlist();
    first->Disconnect();

    Recorder rec2;
    auto again = client(rec2, first->TlsSessions);
    again->Connect();
    EXPECT_TRUE(again->Tls()->Resumed());
    EXPECT_EQ(asked, 2) << "no new question";
    EXPECT_TRUE(rec2.Has("status:Resumed the TLS session of an earlier log-in"));
    again->Mode(2);
    again->Upload((local / "page.htm").string(), "page.htm");
    EXPECT_EQ(FileHash(server.root() / "page.htm"), FileHash(local / "page.htm"));
    again->Disconnect();
}

TEST(VaneFtpTls, AServerWithoutTlsIsRefusedOrUsedPlainAsChosen) {
    PyFtpd server;
    Recorder rec;
    auto ftp = Client(rec, server, TEncryption::Required);
    std::string message = MessageOf([&] { ftp->Connect(); });
    EXPECT_EQ(message.rfind("The server refused encryption: 5", 0), 0u) << message;
    EXPECT_FALSE(rec.Has("status:USER webuser")); // the password never went out in plain

    ftp->Encryption = TEncryption::IfOffered;
    ftp->Connect();
    EXPECT_FALSE(ftp->Secured);
    EXPECT_TRUE(rec.Has("status:The connection is not encrypted"));
    ftp->Nlist();
    ftp->Disconnect();
}

TEST(VaneFtpTls, AHandshakeThatNeverCompletesIsEndedByStop) {
    ScriptedFtpServer server([](Session& s) {
        s.reply("220 ready");
        s.expect("AUTH TLS");
        s.reply("234 go ahead");
        s.sleep(3000); // reads the ClientHello, never answers it
    });
    Recorder rec;
    auto ftp = MakeClient(rec, server.port());
    ftp->Encryption = TEncryption::IfOffered;
    TThreadTimer stop(nullptr);
    stop.SetInterval(200);
    stop.SetOnTimer([&](TComponent*) {
        stop.SetEnabled(false);
        ftp->Abort();
    });
    auto started = Clock::now();
    EXPECT_EQ(MessageOf([&] { ftp->Connect(); }), "TLS handshake aborted");
    EXPECT_LT(Clock::now() - started, 1500ms); // no QUIT on a broken handshake
    EXPECT_FALSE(ftp->Connected);
}
