// Passive mode against a real server (pyftpdlib): every kind of transfer and listing,
// byte for byte, with EPSV and with a server that only knows PASV and names another
// address in its replies.
#include "support/fixtures.h"
#include "support/pyftpd.h"
#include "test_vaneftp_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace kestrel;
using namespace kestrel::test;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

std::unique_ptr<TVaneFTP> PassiveClient(Recorder& rec, const PyFtpd& server) {
    auto ftp = MakeClient(rec, server.port());
    ftp->UserID = server.user();
    ftp->Password = server.password();
    ftp->DataMode = TDataMode::Passive;
    return ftp;
}

Lines Sorted(Lines lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
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

} // namespace

TEST(VaneFtpPassiveRealServer, EveryUploadDownloadAndListing) {
    PyFtpd server;
    TempDir dir;
    RandomFile(dir / "f.bin", 300000, 5);
    const std::string whole = RandomBytes(300000, 5);
    Recorder rec;
    auto ftp = PassiveClient(rec, server);
    std::int64_t packets = 0, recvd = 0;
    ftp->OnPacketSent = [&](TComponent*) { ++packets; };
    ftp->OnPacketRecvd = [&](TComponent*) { recvd = ftp->GetBytesRcvd(); };
    ftp->Connect();
    ftp->Mode(2);

    ftp->Upload((dir / "f.bin").string(), "f.bin");
    EXPECT_EQ(ReadFileBytes(server.root() / "f.bin"), whole);
    EXPECT_EQ(ftp->BytesTotal, 300000);
    EXPECT_GT(packets, 0);

    ftp->UploadUnique((dir / "f.bin").string());
    int copies = 0;
    for (const auto& entry : fs::directory_iterator(server.root()))
        copies += ReadFileBytes(entry.path()) == whole;
    EXPECT_EQ(copies, 2);

    WriteFileBytes(server.root() / "log.txt", "head");
    ftp->UploadAppend((dir / "f.bin").string(), "log.txt");
    EXPECT_EQ(ReadFileBytes(server.root() / "log.txt"), "head" + whole);

    WriteFileBytes(server.root() / "r.bin", whole.substr(0, 120000));
    ftp->UploadRestore((dir / "f.bin").string(), "r.bin", 120000);
    EXPECT_EQ(ReadFileBytes(server.root() / "r.bin"), whole);

    ftp->Download("r.bin", (dir / "d.bin").string());
    EXPECT_EQ(ReadFileBytes(dir / "d.bin"), whole);
    EXPECT_EQ(ftp->BytesTotal, 300000);
    EXPECT_GT(recvd, 0);

    WriteFileBytes(dir / "d.bin", whole.substr(0, 77777));
    ftp->DownloadRestore("r.bin", (dir / "d.bin").string());
    EXPECT_EQ(ReadFileBytes(dir / "d.bin"), whole);

    fs::create_directory(server.root() / "img");
    Lines names;
    for (const auto& entry : fs::directory_iterator(server.root()))
        names.push_back(entry.path().filename().string());
    rec.log.clear();
    ftp->Nlist();
    EXPECT_EQ(Sorted(rec.Only("item:")), Sorted(names));
    rec.log.clear();
    ftp->List();
    EXPECT_EQ(rec.Only("item:").size(), names.size());
    EXPECT_EQ(rec.Events()[0], "start");
    rec.log.clear();
    ftp->MachineList();
    Lines facts = rec.Only("item:");
    ASSERT_EQ(facts.size(), names.size());
    EXPECT_TRUE(std::any_of(facts.begin(), facts.end(), [](const std::string& f) {
        return f.find("type=dir;") != std::string::npos && f.find(" img") != std::string::npos;
    }));
    EXPECT_EQ(ftp->FDataSocket, nullptr);
    ftp->Disconnect();
}

TEST(VaneFtpPassiveRealServer, LargeFileBothWaysByteIdentical) {
    PyFtpd server;
    TempDir dir;
    const std::uint64_t big = 64ull << 20;
    RandomFile(dir / "big.bin", big, 11);
    Recorder rec;
    auto ftp = PassiveClient(rec, server);
    ftp->Connect();
    ftp->Mode(2);
    ftp->Upload((dir / "big.bin").string(), "big.bin");
    EXPECT_EQ(fs::file_size(server.root() / "big.bin"), big);
    ftp->Download("big.bin", (dir / "back.bin").string());
    EXPECT_EQ(FileHash(dir / "back.bin"), FileHash(dir / "big.bin"));
    EXPECT_EQ(FileHash(server.root() / "big.bin"), FileHash(dir / "big.bin"));
    EXPECT_EQ(ftp->BytesTotal, std::int64_t(big));
    EXPECT_EQ(Sent(rec, {"EPSV", "PASV", "PORT"}), (Lines{"EPSV", "EPSV"}));
    ftp->Disconnect();
}

TEST(VaneFtpPassiveRealServer, PasvOnlyServerNamingAnotherAddress) {
    // EPSV is unknown to this server, and its PASV replies name a documentation address
    // (as a server behind a router names its private one); nothing listens there.
    PyFtpdOptions options;
    options.extra_args = {"--no-epsv", "--masquerade-address", "192.0.2.7"};
    PyFtpd server(options);
    TempDir dir;
    WriteFileBytes(dir / "a.htm", "<html>a</html>");
    WriteFileBytes(dir / "b.htm", "<html>b</html>");
    Recorder rec;
    auto ftp = PassiveClient(rec, server);
    ftp->Connect();
    ftp->Upload((dir / "a.htm").string(), "a.htm");
    ftp->Upload((dir / "b.htm").string(), "b.htm");
    ftp->Nlist();
    EXPECT_EQ(ReadFileBytes(server.root() / "a.htm"), "<html>a</html>");
    EXPECT_EQ(ReadFileBytes(server.root() / "b.htm"), "<html>b</html>");
    EXPECT_EQ(Sorted(rec.Only("item:")), (Lines{"a.htm", "b.htm"}));
    // EPSV once; after its refusal PASV for the rest of the session.
    EXPECT_EQ(Sent(rec, {"EPSV", "PASV", "PORT"}), (Lines{"EPSV", "PASV", "PASV", "PASV"}));
    Lines notes = Sent(rec, {"The server named"});
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("192.0.2.7"), std::string::npos);
    EXPECT_NE(notes[0].find("127.0.0.1"), std::string::npos);
    // A new log-in tries EPSV again.
    ftp->Disconnect();
    rec.log.clear();
    ftp->Connect();
    ftp->Nlist();
    EXPECT_EQ(Sent(rec, {"EPSV", "PASV", "PORT"}), (Lines{"EPSV", "PASV"}));
    ftp->Disconnect();
}
