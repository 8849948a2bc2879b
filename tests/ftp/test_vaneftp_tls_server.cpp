// The FTP client against an FTP server over TLS of the tests' own that behaves as vsftpd
// does with its defaults: single-use TLS 1.3 tickets, and a data connection that does not
// resume a session refused with 522 and the session ended. Many data connections per
// session in both data modes, several sessions at once, a refusal told apart from other
// failures, data that ends without close_notify, and TLS from the first byte.
#include "net/sock/tls.h"
#include "support/fixtures.h"
#include "support/tls_ftp_server.h"
#include "support/tls_support.h"
#include "test_vaneftp_util.h"

#include <gtest/gtest.h>

#include <barrier>
#include <filesystem>
#include <thread>

using namespace kestrel;
using namespace kestrel::test;
namespace fs = std::filesystem;

namespace {

std::unique_ptr<TVaneFTP> TlsClient(Recorder& rec, const TlsFtpServer& server, TDataMode mode,
                                    TEncryption encryption = TEncryption::Required) {
    auto ftp = MakeClient(rec, server.port());
    ftp->DataMode = mode;
    ftp->Encryption = encryption;
    ftp->TimeOut = 10000;
    return ftp;
}

// A page of its own for every number, so that a mix-up shows.
std::string Page(int n) {
    return RandomBytes(1000 + std::uint64_t(n) * 37, std::uint64_t(n) + 1);
}

// The hash of a file on the server (of nothing when it is missing).
std::uint64_t Stored(const TlsFtpServer& server, const std::string& path) {
    return BytesHash(server.files()->get(path).value_or(""));
}

// What an action raises: "" when nothing, "ETlsResumeRefused: <text>" for a refused
// resumption, "other: <text>" for any other error.
std::string Raised(const std::function<void()>& action) {
    try {
        action();
        return "";
    } catch (const ETlsResumeRefused& refused) {
        return std::string("ETlsResumeRefused: ") + refused.what();
    } catch (const std::exception& error) {
        return std::string("other: ") + error.what();
    }
}

} // namespace

TEST(VaneFtpTlsServer, EveryDataConnectionResumesAFreshSessionInBothModes) {
    for (TDataMode mode : {TDataMode::Active, TDataMode::Passive}) {
        SCOPED_TRACE(mode == TDataMode::Active ? "active" : "passive");
        TlsFtpServer server(TrustedTestCertificates());
        TempDir local;
        Recorder rec;
        auto ftp = TlsClient(rec, server, mode);
        ftp->Connect();
        ASSERT_TRUE(ftp->Secured);
        ftp->Mode(2);
        // Uploads, listings and downloads one after the other: every one needs a ticket
        // no earlier connection used.
        for (int n = 0; n < 12; ++n) {
            std::string name = "page" + std::to_string(n) + ".htm";
            WriteFileBytes(local / name, Page(n));
            ASSERT_EQ(Raised([&] { ftp->Upload((local / name).string(), name); }), "") << name;
            if (n % 4 == 3) {
                rec.log.clear();
                ASSERT_EQ(Raised([&] { ftp->Nlist(); }), "");
                EXPECT_EQ(rec.Only("item:").size(), std::size_t(n + 1));
                ASSERT_EQ(Raised([&] { ftp->Download(name, (local / "back.htm").string()); }), "");
                EXPECT_EQ(ReadFileBytes(local / "back.htm"), Page(n));
            }
        }
        ftp->Disconnect();
        for (int n = 0; n < 12; ++n)
            EXPECT_EQ(Stored(server, "/page" + std::to_string(n) + ".htm"), BytesHash(Page(n)))
                << n;
        EXPECT_EQ(server.dataConnections(), 18);
        EXPECT_EQ(server.resumedConnections(), 18);
        EXPECT_EQ(server.refusedConnections(), 0);
        EXPECT_TRUE(server.problems().empty()) << server.problems().front();
    }
}

// Under TLS 1.2 a session is resumed by its id as often as wanted, and a resumption brings
// no new one: the one session stays to be offered by every data connection.
TEST(VaneFtpTlsServer, ATls12SessionIsResumedByEveryDataConnection) {
    TlsFtpServer server(TrustedTestCertificates(), {.tls12 = true});
    TempDir local;
    WriteFileBytes(local / "page.htm", Page(3));
    Recorder rec;
    auto ftp = TlsClient(rec, server, TDataMode::Passive);
    ftp->Connect();
    for (int n = 0; n < 5; ++n)
        ASSERT_EQ(Raised([&] { ftp->Upload((local / "page.htm").string(), "page.htm"); }), "");
    ASSERT_EQ(Raised([&] { ftp->Nlist(); }), "");
    ftp->Disconnect();
    EXPECT_EQ(server.resumedConnections(), 6);
    EXPECT_EQ(Stored(server, "/page.htm"), BytesHash(Page(3)));
}

// Four sessions logged in at the same time, each on its own thread as a publish runs
// them: each resumes its own sessions, never another's.
TEST(VaneFtpTlsServer, SeveralSessionsAtOnceEachResumeTheirOwn) {
    TlsFtpServer server(TrustedTestCertificates());
    constexpr int kSessions = 4;
    constexpr int kFiles = 10;
    TempDir local;
    for (int n = 0; n < kSessions * kFiles; ++n)
        WriteFileBytes(local / ("f" + std::to_string(n)), Page(n));
    std::barrier allLoggedIn(kSessions);
    std::vector<std::string> failures(kSessions);
    std::vector<std::thread> threads;
    for (int k = 0; k < kSessions; ++k) {
        threads.emplace_back([&, k] {
            Recorder rec;
            auto ftp = TlsClient(rec, server, k % 2 ? TDataMode::Passive : TDataMode::Active);
            failures[k] = Raised([&] { ftp->Connect(); });
            allLoggedIn.arrive_and_wait();
            for (int i = 0; i < kFiles && failures[k].empty(); ++i) {
                std::string name = "f" + std::to_string(k * kFiles + i);
                failures[k] = Raised([&] { ftp->Upload((local / name).string(), name); });
            }
            if (failures[k].empty())
                failures[k] = Raised([&] { ftp->Disconnect(); });
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int k = 0; k < kSessions; ++k)
        EXPECT_EQ(failures[k], "") << "session " << k;
    for (int n = 0; n < kSessions * kFiles; ++n)
        EXPECT_EQ(Stored(server, "/f" + std::to_string(n)), BytesHash(Page(n))) << n;
    EXPECT_EQ(server.mostSessionsAtOnce(), kSessions);
    EXPECT_EQ(server.resumedConnections(), kSessions * kFiles);
    EXPECT_EQ(server.refusedConnections(), 0);
}

// A server that gives tickets only on the control connection (two): both are used, the
// older one too, and the third data connection has none to resume. Its refusal is told
// apart from the server's other answers, so that the caller can send the file again on a
// new log-in, which brings fresh tickets.
TEST(VaneFtpTlsServer, ARefusedResumptionIsToldApartAndANewLogInMendsIt) {
    TlsFtpServer server(TrustedTestCertificates(), {.ticketsOnData = false});
    TempDir local;
    for (int n = 0; n < 3; ++n)
        WriteFileBytes(local / ("p" + std::to_string(n)), Page(n));
    for (TDataMode mode : {TDataMode::Active, TDataMode::Passive}) {
        SCOPED_TRACE(mode == TDataMode::Active ? "active" : "passive");
        Recorder rec;
        auto ftp = TlsClient(rec, server, mode);
        ftp->Connect();
        ftp->Mode(2);
        EXPECT_EQ(Raised([&] { ftp->Upload((local / "p0").string(), "p0"); }), "");
        // A refusal before any data connection is an ordinary one.
        EXPECT_EQ(Raised([&] { ftp->Download("missing", (local / "m").string()); }),
                  "other: 550 Failed to open file.\r\n");
        EXPECT_EQ(Raised([&] { ftp->Upload((local / "p1").string(), "p1"); }), "");
        std::string refused = Raised([&] { ftp->Upload((local / "p2").string(), "p2"); });
        EXPECT_EQ(refused.rfind("ETlsResumeRefused: ", 0), 0u) << refused;
        EXPECT_NE(refused.find("522 SSL connection failed: session reuse required"),
                  std::string::npos)
            << refused;
        EXPECT_TRUE(rec.Has("status:No TLS session to resume"));

        Raised([&] { ftp->Disconnect(); }); // the server ended the session already
        ftp->Connect();
        EXPECT_EQ(Raised([&] { ftp->Upload((local / "p2").string(), "p2"); }), "");
        ftp->Disconnect();
        for (int n = 0; n < 3; ++n)
            EXPECT_EQ(Stored(server, "/p" + std::to_string(n)), BytesHash(Page(n))) << n;
        server.files()->remove("/p0");
        server.files()->remove("/p1");
        server.files()->remove("/p2");
    }
    EXPECT_EQ(server.refusedConnections(), 2);
}

// Under TLS a data connection ends with close_notify. A server (or anyone on the way who
// can end a TCP connection) that closes it after half the listing or file and then says
// "226" has not delivered it all: the listing and the download fail, and the connection
// stays in step for the next command. (Each cut also costs a ticket: the server drops the
// session of a connection it did not end properly, and so does the client.)
TEST(VaneFtpTlsServer, DataThatEndsWithoutCloseNotifyIsACutNotAnEnd) {
    TlsFtpServer server(TrustedTestCertificates(), {.cutListings = true});
    for (int n = 0; n < 6; ++n)
        server.files()->put("/keep" + std::to_string(n) + ".html", Page(n));
    TempDir local;
    WriteFileBytes(local / "up.htm", Page(9));
    const std::string cut = "other: The data connection ended without TLS close_notify: the ";
    struct Case {
        const char* name;
        std::function<void(TVaneFTP&)> action;
        std::string raised;
    } cases[] = {
        {"NLST", [](TVaneFTP& ftp) { ftp.Nlist(); }, cut + "listing is not complete"},
        {"LIST", [](TVaneFTP& ftp) { ftp.List(); }, cut + "listing is not complete"},
        {"RETR", [&](TVaneFTP& ftp) { ftp.Download("keep1.html", (local / "k").string()); },
         cut + "download is not complete"},
        // A close before any data byte is an empty listing, as pyftpdlib sends one.
        {"empty NLST",
         [](TVaneFTP& ftp) {
             ftp.ChangeDir("/empty");
             ftp.Nlist();
             ftp.ChangeDir("/");
         },
         ""},
    };
    for (TDataMode mode : {TDataMode::Active, TDataMode::Passive}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) +
                         (mode == TDataMode::Active ? " active" : " passive"));
            Recorder rec;
            auto ftp = TlsClient(rec, server, mode);
            ftp->Connect();
            EXPECT_EQ(Raised([&] { c.action(*ftp); }), c.raised);
            EXPECT_EQ(rec.Has("success:NList"), c.raised.empty());
            // The 226 was taken: the next command gets its own answer.
            server.files()->remove("/up.htm");
            EXPECT_EQ(Raised([&] { ftp->Upload((local / "up.htm").string(), "up.htm"); }), "");
            EXPECT_EQ(Stored(server, "/up.htm"), BytesHash(Page(9)));
            ftp->Disconnect();
        }
    }
}

// Implicit TLS: the handshake right after the connect, the greeting through it, no
// AUTH TLS; then PBSZ 0 and PROT P, and data connections as with explicit TLS.
TEST(VaneFtpTlsServer, ImplicitTlsSpeaksTlsFromTheFirstByte) {
    EXPECT_EQ(TVaneFTP::DefaultPort(TEncryption::Implicit), 990);
    EXPECT_EQ(TVaneFTP::DefaultPort(TEncryption::Required), 21);
    EXPECT_EQ(TVaneFTP::DefaultPort(TEncryption::None), 21);
    TlsFtpServer server(TrustedTestCertificates(), {.implicit = true});
    TempDir local;
    WriteFileBytes(local / "index.htm", Page(1));
    for (TDataMode mode : {TDataMode::Active, TDataMode::Passive}) {
        SCOPED_TRACE(mode == TDataMode::Active ? "active" : "passive");
        Recorder rec;
        auto ftp = TlsClient(rec, server, mode, TEncryption::Implicit);
        ftp->Connect();
        EXPECT_TRUE(ftp->Secured);
        EXPECT_TRUE(rec.Has("status:220 TLS test server ready\r\n"));
        EXPECT_FALSE(rec.Has("status:AUTH TLS"));
        EXPECT_TRUE(rec.Has("status:PBSZ 0"));
        EXPECT_TRUE(rec.Has("status:PROT P"));
        ftp->Mode(2);
        for (int n = 0; n < 3; ++n) {
            server.files()->remove("/index.htm");
            ASSERT_EQ(Raised([&] { ftp->Upload((local / "index.htm").string(), "index.htm"); }),
                      "");
            EXPECT_EQ(Stored(server, "/index.htm"), BytesHash(Page(1)));
            ASSERT_EQ(Raised([&] { ftp->Download("index.htm", (local / "back").string()); }), "");
            EXPECT_EQ(BytesHash(ReadFileBytes(local / "back")), BytesHash(Page(1)));
        }
        ftp->Disconnect();
        EXPECT_FALSE(ftp->Secured);
    }
    EXPECT_EQ(server.resumedConnections(), server.dataConnections());
}

// The same certificate checks as explicit TLS, before the log-in: a certificate that
// cannot be verified needs the user's consent.
TEST(VaneFtpTlsServer, ImplicitTlsChecksTheCertificateBeforeTheLogIn) {
    TestCertificates selfSigned = TrustedTestCertificates();
    selfSigned.certFile = selfSigned.selfSignedCert;
    selfSigned.keyFile = selfSigned.selfSignedKey;
    TlsFtpServer server(selfSigned, {.implicit = true});
    Recorder rec;
    auto ftp = TlsClient(rec, server, TDataMode::Passive, TEncryption::Implicit);
    EXPECT_EQ(MessageOf([&] { ftp->Connect(); }),
              "The server's certificate is not trusted: self-signed certificate (SHA-256 " +
                  FingerprintOf(selfSigned.certFile) + ")");
    EXPECT_FALSE(rec.Has("status:USER bob"));
    EXPECT_FALSE(ftp->Connected);

    TCertificateInfo shown;
    ftp->OnCertificateCheck = [&](const TCertificateInfo& info, bool& accept) {
        shown = info;
        accept = true;
    };
    ftp->Connect();
    EXPECT_EQ(shown.Reason, "self-signed certificate");
    EXPECT_TRUE(ftp->Secured);
    ftp->Nlist(); // the data connection shows the same certificate
    ftp->Disconnect();
}
