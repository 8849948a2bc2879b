// The FTP client over IPv6: the data connection takes the control connection's family,
// EPRT in active mode and EPSV in passive mode (never PORT or PASV, which cannot name an
// IPv6 address), against the scripted server on ::1 (exact lines) and pyftpdlib on ::1
// (whole transfers, byte for byte). A name with both families reaches the server over
// whichever answers.
#include "support/loopback.h"
#include "support/tls_support.h"
#include "test_vaneftp_realserver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

using namespace kestrel;
using namespace kestrel::test;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

#define SKIP_WITHOUT_IPV6()                                                                        \
    if (!kestrel::test::HasIpv6Loopback())                                                         \
    GTEST_SKIP() << "cannot bind ::1 here (no IPv6 on this machine)"

ScriptedServerOptions OnIpv6() {
    ScriptedServerOptions options;
    options.ipv6 = true;
    return options;
}

// The commands the client sent, from the status texts.
Lines Sent(const Recorder& rec, const Lines& verbs) {
    Lines out;
    for (const std::string& status : rec.Only("status:"))
        for (const std::string& verb : verbs)
            if (status.rfind(verb, 0) == 0)
                out.push_back(status);
    return out;
}

const Lines kDataVerbs = {"PORT", "EPRT", "EPSV", "PASV", "STOR", "RETR", "NLST", "LIST"};

std::unique_ptr<TVaneFTP> Ipv6Client(Recorder& rec, int port, TDataMode mode,
                                     const std::string& host = "[::1]") {
    auto ftp = MakeClient(rec, port);
    ftp->Host = host;
    ftp->DataMode = mode;
    return ftp;
}

} // namespace

TEST(VaneFtpIpv6, ActiveModeSendsEprtWithTheControlConnectionsAddress) {
    SKIP_WITHOUT_IPV6();
    auto files = std::make_shared<MemoryFiles>();
    files->put("old.htm", "seeded\r\n");
    ScriptedFtpServer server(
        ScriptedFtpServer::Replies({{"USER", "331 pw"}, {"PASS", "230 in"}}, files), OnIpv6());
    TempDir dir;
    RandomFile(dir / "page.htm", 70000, 3);
    Recorder rec;
    auto ftp = Ipv6Client(rec, server.port(), TDataMode::Active);
    ftp->Connect();
    EXPECT_EQ(ftp->GetRemoteIP(), "::1");
    ftp->Upload((dir / "page.htm").string(), "page.htm");
    EXPECT_EQ(files->get("page.htm"), ReadFileBytes(dir / "page.htm"));
    ftp->Download("old.htm", (dir / "old.htm").string());
    EXPECT_EQ(ReadFileBytes(dir / "old.htm"), "seeded\r\n");
    rec.log.clear();
    ftp->Nlist();
    std::vector<std::string> names = rec.Only("item:");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (Lines{"old.htm", "page.htm"}));
    // EPRT |2|::1|port| each time (RFC 2428), never PORT.
    Lines lines;
    for (const std::string& line : server.received())
        if (line.rfind("EPRT", 0) == 0 || line.rfind("PORT", 0) == 0)
            lines.push_back(line);
    ASSERT_EQ(lines.size(), 3u);
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("EPRT |2|::1|", 0), 0u) << line;
        EXPECT_EQ(line.back(), '|') << line;
    }
    LogOut(*ftp, server);
}

TEST(VaneFtpIpv6, PassiveModeSendsEpsvAndConnectsToTheServerOverIpv6) {
    SKIP_WITHOUT_IPV6();
    auto files = std::make_shared<MemoryFiles>();
    ScriptedFtpServer server(
        ScriptedFtpServer::Replies({{"USER", "331 pw"}, {"PASS", "230 in"}}, files), OnIpv6());
    TempDir dir;
    RandomFile(dir / "page.htm", 70000, 4);
    Recorder rec;
    auto ftp = Ipv6Client(rec, server.port(), TDataMode::Passive, "::1");
    ftp->Connect();
    ftp->Upload((dir / "page.htm").string(), "page.htm");
    EXPECT_EQ(files->get("page.htm"), ReadFileBytes(dir / "page.htm"));
    ftp->Download("page.htm", (dir / "back.htm").string());
    EXPECT_EQ(ReadFileBytes(dir / "back.htm"), ReadFileBytes(dir / "page.htm"));
    EXPECT_EQ(Sent(rec, kDataVerbs), (Lines{"EPSV", "STOR page.htm", "EPSV", "RETR page.htm"}));
    LogOut(*ftp, server);
}

TEST(VaneFtpIpv6, ARefusedEpsvHasNoPasvToFallBackTo) {
    // Over IPv4 a 5xx to EPSV sends the client to PASV; over IPv6 PASV could name no
    // address, so the refusal is the answer.
    SKIP_WITHOUT_IPV6();
    ScriptedFtpServer server(
        ScriptedFtpServer::Replies(
            {{"USER", "331 pw"}, {"PASS", "230 in"}, {"EPSV", "500 EPSV not understood"}}),
        OnIpv6());
    TempDir dir;
    WriteFileBytes(dir / "a.htm", "a");
    Recorder rec;
    auto ftp = Ipv6Client(rec, server.port(), TDataMode::Passive);
    ftp->OnFailure = nullptr;
    ftp->Connect();
    EXPECT_EQ(MessageOf([&] { ftp->Upload((dir / "a.htm").string(), "a.htm"); }),
              "500 EPSV not understood\r\n");
    // The next transfer asks for EPSV again; nothing else was sent.
    EXPECT_EQ(MessageOf([&] { ftp->Nlist(); }), "500 EPSV not understood\r\n");
    EXPECT_EQ(Sent(rec, kDataVerbs), (Lines{"EPSV", "EPSV"}));
    LogOut(*ftp, server);
}

TEST(VaneFtpIpv6, ANameWithBothFamiliesReachesTheServerOverTheOneThatListens) {
    // The server listens on 127.0.0.1 only; the name resolves to ::1 first. The control
    // connection goes over IPv4 and so does the data connection (PORT, as ever).
    SKIP_WITHOUT_IPV6();
    auto files = std::make_shared<MemoryFiles>();
    ScriptedFtpServer server(
        ScriptedFtpServer::Replies({{"USER", "331 pw"}, {"PASS", "230 in"}}, files));
    platform::set_address_resolver(
        [](const std::string&, std::function<void(int, std::vector<platform::NetAddress>)> done) {
            done(0, {*platform::parse_address("::1"), *platform::parse_address("127.0.0.1")});
        });
    TempDir dir;
    WriteFileBytes(dir / "a.htm", "page");
    Recorder rec;
    auto ftp = Ipv6Client(rec, server.port(), TDataMode::Active, "dual.test");
    ftp->Connect();
    platform::set_address_resolver({});
    EXPECT_EQ(ftp->GetRemoteIP(), "127.0.0.1");
    ftp->Upload((dir / "a.htm").string(), "a.htm");
    EXPECT_EQ(files->get("a.htm"), "page");
    Lines sent = Sent(rec, kDataVerbs);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].rfind("PORT 127,0,0,1,", 0), 0u) << sent[0];
    LogOut(*ftp, server);
}

TEST(VaneFtpIpv6RealServer, BothDataModesUploadAndDownloadByteForByte) {
    SKIP_WITHOUT_IPV6();
    PyFtpdOptions options;
    options.host = "::1";
    PyFtpd server(options);
    TempDir dir;
    RandomFile(dir / "site.bin", 400000, 9);
    for (TDataMode mode : {TDataMode::Active, TDataMode::Passive}) {
        SCOPED_TRACE(mode == TDataMode::Active ? "active" : "passive");
        Recorder rec;
        auto ftp = RealServerClient(rec, server, mode);
        ftp->Host = "[::1]";
        ftp->Connect();
        EXPECT_EQ(ftp->GetRemoteIP(), "::1");
        ftp->Mode(2);
        UploadAndDownloadBack(*ftp, server, dir.path(), "site.bin");
        const std::string whole = ReadFileBytes(dir / "site.bin");
        AppendGrowsTheRemoteFile(*ftp, server, dir / "site.bin", whole);
        rec.log.clear();
        ftp->Nlist();
        Lines names = rec.Only("item:");
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (Lines{"log.txt", "site.bin"}));
        Lines sent = Sent(rec, {"PORT", "PASV", "EPRT", "EPSV"});
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].substr(0, 4), mode == TDataMode::Active ? "EPRT" : "EPSV");
        ftp->Disconnect();
        fs::remove(server.root() / "site.bin");
        fs::remove(server.root() / "log.txt");
    }
}

TEST(VaneFtpIpv6RealServer, TlsChecksTheCertificateAgainstTheIpv6Address) {
    // The certificate names IP ::1: an address typed as "[::1]" is checked against it (not
    // taken for a host name, and not sent as a server name), so it verifies without asking.
    SKIP_WITHOUT_IPV6();
    const TestCertificates& certs = TrustedTestCertificates();
    PyFtpdOptions options = TlsServerOptions(certs.certFile, certs.keyFile);
    options.host = "::1";
    PyFtpd server(options);
    TempDir dir;
    RandomFile(dir / "page.htm", 50000, 12);
    for (TDataMode mode : {TDataMode::Active, TDataMode::Passive}) {
        SCOPED_TRACE(mode == TDataMode::Active ? "active" : "passive");
        Recorder rec;
        auto ftp = RealServerClient(rec, server, mode);
        ftp->Host = "[::1]";
        ftp->Encryption = TEncryption::Required;
        ftp->TimeOut = 10000;
        std::vector<std::string> asked;
        ftp->OnCertificateCheck = [&](const TCertificateInfo& info, bool& accept) {
            asked.push_back(info.Reason);
            accept = false;
        };
        ftp->Connect();
        EXPECT_TRUE(ftp->Secured);
        EXPECT_TRUE(asked.empty()) << asked.front();
        ftp->Mode(2);
        ftp->Upload((dir / "page.htm").string(), "page.htm");
        EXPECT_EQ(FileHash(server.root() / "page.htm"), FileHash(dir / "page.htm"));
        ftp->Disconnect();
        fs::remove(server.root() / "page.htm");
    }
}
