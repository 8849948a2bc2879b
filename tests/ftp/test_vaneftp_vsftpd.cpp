// The FTP client over TLS against Debian's vsftpd with TLS switched on and everything else
// as it comes (require_ssl_reuse=YES, TLS 1.3 with single-use tickets): many data
// connections per session in both data modes, and several sessions at once. vsftpd logs in
// a local user (kestreltest, made when missing, with a new random password in every test
// program; CTest runs no two of these cases at once), so it needs root; without vsftpd or
// root the tests are skipped and say why.
#include "net/sock/tls.h"
#include "servers.h" // bench/: vsftpd with a configuration of its own, and its local user
#include "support/fixtures.h"
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

// vsftpd over the test certificates (trusted by this program), or the reason it cannot run.
class TlsVsftpd {
public:
    explicit TlsVsftpd(bench::Vsftpd::Tls tls = bench::Vsftpd::Tls::Defaults) {
        if (::geteuid() != 0) {
            skip_ = "vsftpd logs in a local user and must be started as root";
            return;
        }
        if (!fs::exists(bench::kVsftpd)) {
            skip_ = "vsftpd is not installed (apt-get install vsftpd)";
            return;
        }
        const TestCertificates& certs = TrustedTestCertificates();
        WriteFileBytes(work_ / "cert.pem",
                       ReadFileBytes(certs.certFile) + ReadFileBytes(certs.keyFile));
        server_ = std::make_unique<bench::Vsftpd>(
            root_.path(), work_.path(), (work_ / "cert.pem").string(), false, tls, "kestreltest");
    }
    const std::string& skip() const { return skip_; }
    const fs::path& root() const { return root_.path(); }

    std::unique_ptr<TVaneFTP> Client(Recorder& rec, TDataMode mode,
                                     TEncryption encryption = TEncryption::Required) const {
        auto ftp = MakeClient(rec, server_->port());
        ftp->UserID = server_->user();
        ftp->Password = server_->password();
        ftp->DataMode = mode;
        ftp->Encryption = encryption;
        ftp->TimeOut = 10000;
        return ftp;
    }

private:
    std::string skip_;
    TempDir root_{"kestrel-vsftpd-root"};
    TempDir work_{"kestrel-vsftpd-work"};
    std::unique_ptr<bench::Vsftpd> server_;
};

std::string Page(int n) {
    return RandomBytes(500 + std::uint64_t(n) * 53, std::uint64_t(n) + 100);
}

std::string Raised(const std::function<void()>& action) {
    try {
        action();
        return "";
    } catch (const std::exception& error) {
        return error.what();
    }
}

} // namespace

TEST(VaneFtpVsftpd, ManyDataConnectionsInOneTlsSessionInBothModes) {
    TlsVsftpd server;
    if (!server.skip().empty())
        GTEST_SKIP() << server.skip();
    TempDir local;
    for (TDataMode mode : {TDataMode::Active, TDataMode::Passive}) {
        SCOPED_TRACE(mode == TDataMode::Active ? "active" : "passive");
        const std::string prefix = mode == TDataMode::Active ? "a" : "p";
        Recorder rec;
        auto ftp = server.Client(rec, mode);
        ftp->Connect();
        ASSERT_TRUE(ftp->Secured);
        ftp->Mode(2);
        for (int n = 0; n < 25; ++n) {
            std::string name = prefix + std::to_string(n) + ".htm";
            WriteFileBytes(local / name, Page(n));
            ASSERT_EQ(Raised([&] { ftp->Upload((local / name).string(), name); }), "") << name;
            if (n % 5 == 4) {
                rec.log.clear();
                ASSERT_EQ(Raised([&] { ftp->Nlist(); }), "");
                EXPECT_GE(rec.Only("item:").size(), std::size_t(n + 1));
                ASSERT_EQ(Raised([&] { ftp->Download(name, (local / "back").string()); }), "");
                EXPECT_EQ(BytesHash(ReadFileBytes(local / "back")), BytesHash(Page(n)));
            }
        }
        ftp->Disconnect();
        for (int n = 0; n < 25; ++n)
            EXPECT_EQ(FileHash(server.root() / (prefix + std::to_string(n) + ".htm")),
                      BytesHash(Page(n)))
                << n;
    }
}

TEST(VaneFtpVsftpd, SeveralTlsSessionsAtOnce) {
    TlsVsftpd server;
    if (!server.skip().empty())
        GTEST_SKIP() << server.skip();
    constexpr int kSessions = 4;
    constexpr int kFiles = 15;
    TempDir local;
    for (int n = 0; n < kSessions * kFiles; ++n)
        WriteFileBytes(local / ("s" + std::to_string(n)), Page(n));
    std::barrier allLoggedIn(kSessions);
    std::vector<std::string> failures(kSessions);
    std::vector<std::thread> threads;
    for (int k = 0; k < kSessions; ++k) {
        threads.emplace_back([&, k] {
            Recorder rec;
            auto ftp = server.Client(rec, k % 2 ? TDataMode::Passive : TDataMode::Active);
            failures[k] = Raised([&] { ftp->Connect(); });
            allLoggedIn.arrive_and_wait();
            for (int i = 0; i < kFiles && failures[k].empty(); ++i) {
                std::string name = "s" + std::to_string(k * kFiles + i);
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
        EXPECT_EQ(FileHash(server.root() / ("s" + std::to_string(n))), BytesHash(Page(n))) << n;
}

// vsftpd with implicit_ssl=YES: TLS from the first byte, in both data modes.
TEST(VaneFtpVsftpd, ImplicitTls) {
    TlsVsftpd server(bench::Vsftpd::Tls::Implicit);
    if (!server.skip().empty())
        GTEST_SKIP() << server.skip();
    TempDir local;
    for (TDataMode mode : {TDataMode::Active, TDataMode::Passive}) {
        SCOPED_TRACE(mode == TDataMode::Active ? "active" : "passive");
        Recorder rec;
        auto ftp = server.Client(rec, mode, TEncryption::Implicit);
        ftp->Connect();
        EXPECT_TRUE(ftp->Secured);
        EXPECT_FALSE(rec.Has("status:AUTH TLS"));
        ftp->Mode(2);
        for (int n = 0; n < 5; ++n) {
            std::string name = "i" + std::to_string(n) + ".htm";
            WriteFileBytes(local / name, Page(n));
            ASSERT_EQ(Raised([&] { ftp->Upload((local / name).string(), name); }), "") << name;
            EXPECT_EQ(FileHash(server.root() / name), BytesHash(Page(n)));
        }
        ASSERT_EQ(Raised([&] { ftp->Download("i4.htm", (local / "back").string()); }), "");
        EXPECT_EQ(BytesHash(ReadFileBytes(local / "back")), BytesHash(Page(4)));
        ftp->Disconnect();
    }
}
