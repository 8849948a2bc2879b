// The FTP client against a real server (pyftpdlib): a whole session, listings and
// every kind of transfer, byte for byte.
#include "test_vaneftp_realserver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

using namespace kestrel;
using namespace kestrel::test;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

TEST(VaneFtpRealServer, SessionWithCommands) {
    PyFtpd server;
    WriteFileBytes(server.root() / "old.htm", "page");
    Recorder rec;
    auto ftp = RealServerClient(rec, server);
    ftp->Connect();
    EXPECT_EQ(ftp->GetCurrentDir(), "/");
    ftp->MakeDirectory("site dir");
    ftp->ChangeDir("site dir");
    EXPECT_EQ(ftp->GetCurrentDir(), "/site dir");
    ftp->ChangeDir("..");
    ftp->Rename("old.htm", "new.htm");
    EXPECT_TRUE(fs::exists(server.root() / "new.htm"));
    ftp->Delete("new.htm");
    EXPECT_FALSE(fs::exists(server.root() / "new.htm"));
    ftp->RemoveDir("site dir");
    EXPECT_FALSE(fs::exists(server.root() / "site dir"));
    ftp->Mode(2);
    EXPECT_EQ(rec.Only("success:"),
              (Lines{"CurrentDir", "MakeDir", "ChangeDir", "CurrentDir", "ChangeDir", "Rename",
                     "Delete", "RemoveDir", "DoCommand"}));
    // A refused command with a handler that marks it handled raises nothing.
    rec.handle = true;
    ftp->ChangeDir("missing");
    EXPECT_TRUE(rec.Has("failure:ChangeDir"));
    ftp->Disconnect();
    EXPECT_FALSE(ftp->Connected);

    // A new log-in after the log-out works; a wrong password gives the server's 530 line.
    ftp->Connect();
    EXPECT_EQ(ftp->GetCurrentDir(), "/");
    ftp->Disconnect();
    ftp->Password = "wrong";
    std::string message = MessageOf<FTPException>([&] { ftp->Connect(); });
    EXPECT_EQ(message.substr(0, 4), "530 ");
    EXPECT_EQ(message.substr(message.size() - 2), "\r\n");
    EXPECT_FALSE(ftp->Connected);
}

TEST(VaneFtpRealServer, ListingsOfAFolder) {
    PyFtpd server;
    for (const char* name : {"a.htm", "b.gif", "c.css"})
        WriteFileBytes(server.root() / name, std::string(100, 'x'));
    fs::create_directory(server.root() / "img");
    Recorder rec;
    auto ftp = RealServerClient(rec, server);
    ftp->Connect();
    rec.log.clear();
    ftp->Nlist();
    Lines names = rec.Only("item:");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (Lines{"a.htm", "b.gif", "c.css", "img"}));
    EXPECT_EQ(rec.Events().back(), "success:NList");
    EXPECT_EQ(ftp->FDataSocket, nullptr);

    ftp->ParseList = true;
    rec.log.clear();
    ftp->List();
    EXPECT_EQ(ftp->Vendor, vendorUnix);
    EXPECT_EQ(rec.Only("item:").size(), 4u);
    ASSERT_NE(ftp->FTPDirectoryList, nullptr);
    Lines parsed = ftp->FTPDirectoryList->Names;
    std::sort(parsed.begin(), parsed.end());
    EXPECT_EQ(parsed, names);
    const auto& list = *ftp->FTPDirectoryList;
    for (std::size_t i = 0; i < list.Names.size(); ++i) {
        bool folder = list.Names[i] == "img";
        EXPECT_EQ(list.Attributes[i][0], folder ? 'd' : '-');
        if (!folder) {
            EXPECT_EQ(list.Sizes[i], "100");
        }
        EXPECT_EQ(std::count(list.Dates[i].begin(), list.Dates[i].end(), ' '), 2) << list.Dates[i];
    }
    // Events in order: SYST, then start before any line, stop after the last one.
    Lines events = rec.Events();
    EXPECT_EQ(events.front(), "success:DoCommand");
    EXPECT_EQ(events[1], "start");
    EXPECT_EQ(events[events.size() - 2], "stop");
    EXPECT_EQ(events.back(), "success:List");
    EXPECT_EQ(ftp->FDataSocket, nullptr);
    ftp->Disconnect();
}

TEST(VaneFtpRealServer, TransfersAreByteIdentical) {
    PyFtpd server;
    TempDir dir;
    const std::uint64_t big = 64ull << 20;
    RandomFile(dir / "big.bin", big, 11);
    WriteFileBytes(dir / "empty.htm", "");
    Recorder rec;
    auto ftp = RealServerClient(rec, server);
    std::int64_t lastSent = 0, packets = 0, recvd = 0;
    ftp->OnPacketSent = [&](TComponent*) {
        ++packets;
        EXPECT_GT(ftp->GetBytesSent(), lastSent);
        lastSent = ftp->GetBytesSent();
    };
    ftp->OnPacketRecvd = [&](TComponent*) { recvd = ftp->GetBytesRcvd(); };
    ftp->Connect();
    ftp->Mode(2);

    ftp->Upload((dir / "big.bin").string(), "big.bin");
    EXPECT_EQ(ftp->BytesTotal, std::int64_t(big));
    EXPECT_EQ(lastSent, std::int64_t(big));
    EXPECT_GE(packets, std::int64_t(big / kChunkSize));
    EXPECT_EQ(ftp->FDataSocket, nullptr);
    EXPECT_EQ(fs::file_size(server.root() / "big.bin"), big);
    ftp->Download("big.bin", (dir / "back.bin").string());
    EXPECT_EQ(FileHash(dir / "back.bin"), FileHash(dir / "big.bin"));
    EXPECT_EQ(ftp->BytesTotal, std::int64_t(big));
    EXPECT_GT(recvd, 0);
    EXPECT_EQ(ftp->GetBytesSent(), 0); // no data connection any more

    // An empty file: created remotely, no progress event.
    packets = 0;
    ftp->Upload((dir / "empty.htm").string(), "");
    EXPECT_EQ(packets, 0);
    ASSERT_TRUE(fs::exists(server.root() / "empty.htm"));
    EXPECT_EQ(fs::file_size(server.root() / "empty.htm"), 0u);
    EXPECT_EQ(rec.Only("success:"), (Lines{"DoCommand", "Upload", "Download", "Upload"}));
    ftp->Disconnect();
}

TEST(VaneFtpRealServer, UniqueAppendAndRestartedTransfers) {
    PyFtpd server;
    TempDir dir;
    RandomFile(dir / "f.bin", 300000, 5);
    const std::string whole = RandomBytes(300000, 5);
    Recorder rec;
    auto ftp = RealServerClient(rec, server);
    std::int64_t packets = 0;
    ftp->OnPacketSent = [&](TComponent*) { ++packets; };
    ftp->Connect();
    ftp->Mode(2);

    // STOU: the server picks the name; the whole file arrives.
    ftp->UploadUnique((dir / "f.bin").string());
    std::vector<fs::path> stored = EntriesOf(server.root());
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(ReadFileBytes(stored[0]), whole);

    // APPE: the remote file grows by the appended bytes; progress as Upload.
    packets = 0;
    AppendGrowsTheRemoteFile(*ftp, server, dir / "f.bin", whole);
    EXPECT_EQ(ftp->BytesTotal, 300000);
    EXPECT_GT(packets, 0);

    // REST n + STOR: the server keeps its first n bytes and gets the rest.
    RestartedUploadCompletes(*ftp, server, dir / "f.bin", whole);

    // REST n + RETR: the local file grows from n.
    RestartedDownloadCompletes(*ftp, dir / "d.bin", whole);
    EXPECT_EQ(rec.Only("success:"),
              (Lines{"DoCommand", "Upload", "Append", "UpRestore", "DownRestore"}));
    EXPECT_EQ(ftp->FDataSocket, nullptr);

    // A missing local file is reported before any command; nothing else changes.
    EXPECT_EQ(MessageOf<Exception>([&] { ftp->UploadAppend((dir / "none").string(), "x"); }),
              "Cannot open file " + (dir / "none").string());
    EXPECT_EQ(ftp->FDataSocket, nullptr);
    EXPECT_FALSE(fs::exists(server.root() / "x"));
    ftp->Disconnect();
}

TEST(VaneFtpRealServer, AbortFromProgressEndsTheUploadAndTheSessionGoesOn) {
    PyFtpd server;
    TempDir dir;
    RandomFile(dir / "f.bin", 4 << 20, 9);
    Recorder rec;
    auto ftp = RealServerClient(rec, server);
    int packets = 0;
    ftp->OnPacketSent = [&](TComponent*) {
        if (++packets == 3)
            ftp->Abort();
    };
    ftp->Connect();
    EXPECT_EQ(MessageOf<EAbortError>([&] { ftp->Upload((dir / "f.bin").string(), "f.bin"); }),
              "Socket send aborted");
    EXPECT_EQ(packets, 3);
    EXPECT_EQ(ftp->FDataSocket, nullptr);
    EXPECT_FALSE(rec.Has("success:Upload"));
    EXPECT_TRUE(ftp->Connected);
    ftp->OnPacketSent = nullptr;
    EXPECT_EQ(ftp->GetCurrentDir(), "/");
    rec.log.clear();
    ftp->Nlist();
    EXPECT_TRUE(rec.Has("success:NList"));
    ftp->Disconnect();
}

// The unique and the restarted upload end their data connection gracefully: with a
// reset the server would lose what was still on its way. The files are large enough
// that a reset loses their tail.
TEST(VaneFtpRealServer, LargeUniqueAndRestartedUploadsArriveWhole) {
    PyFtpd server;
    TempDir dir;
    const std::uint64_t size = 16ull << 20;
    RandomFile(dir / "big.bin", size, 21);
    Recorder rec;
    auto ftp = RealServerClient(rec, server);
    ftp->Connect();
    ftp->Mode(2);
    ftp->UploadUnique((dir / "big.bin").string());
    std::vector<fs::path> stored = EntriesOf(server.root());
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(FileHash(stored[0]), FileHash(dir / "big.bin"));

    const std::string head = RandomBytes(1 << 20, 21);
    WriteFileBytes(server.root() / "r.bin", head);
    ftp->UploadRestore((dir / "big.bin").string(), "r.bin", std::int64_t(head.size()));
    EXPECT_EQ(FileHash(server.root() / "r.bin"), FileHash(dir / "big.bin"));
    EXPECT_EQ(rec.Only("success:"), (Lines{"DoCommand", "Upload", "UpRestore"}));
    ftp->Disconnect();
}

// A local file that changes while it is sent (an editor saving it) did not go whole, and
// the upload says so: grown in place, and replaced under its name by a shorter one.
TEST(VaneFtpRealServer, LocalFileThatChangesWhileSentIsReported) {
    PyFtpd server;
    TempDir dir;
    const fs::path page = dir / "page.bin";
    Recorder rec;
    auto ftp = RealServerClient(rec, server);
    ftp->Connect();
    const std::vector<std::function<void()>> changes = {
        [&] { std::ofstream(page, std::ios::binary | std::ios::app) << "more"; },
        [&] {
            WriteFileBytes(dir / "saved.bin", "short");
            fs::rename(dir / "saved.bin", page);
        }};
    for (const auto& change : changes) {
        RandomFile(page, 4 << 20, 5);
        int packets = 0;
        ftp->OnPacketSent = [&](TComponent*) {
            if (++packets == 2)
                change();
        };
        EXPECT_EQ(MessageOf<Exception>([&] { ftp->Upload(page.string(), "page.bin"); }),
                  "The file " + page.string() + " changed while it was sent");
        ftp->OnPacketSent = nullptr;
    }
    ftp->Disconnect();
}

// FEAT gives the feature lines of the multi-line reply; MLSD gives one fact line per
// entry, the name after the facts.
TEST(VaneFtpRealServer, FeaturesAndMachineListing) {
    PyFtpd server;
    WriteFileBytes(server.root() / "my page.htm", std::string(2048, 'p'));
    Recorder rec;
    auto ftp = RealServerClient(rec, server);
    ftp->Connect();
    Lines features = ftp->Features();
    EXPECT_NE(std::find(features.begin(), features.end(), "UTF8"), features.end());
    EXPECT_TRUE(std::any_of(features.begin(), features.end(),
                            [](const std::string& f) { return f.rfind("MLST ", 0) == 0; }));
    rec.log.clear();
    ftp->MachineList();
    Lines items = rec.Only("item:");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_NE(items[0].find("size=2048;"), std::string::npos) << items[0];
    EXPECT_EQ(items[0].substr(items[0].size() - 12), " my page.htm");
    ftp->Disconnect();
}

TEST(VaneFtpRealServer, CommandsSentTogetherAreAnsweredInOrder) {
    PyFtpd server;
    WriteFileBytes(server.root() / ".a.htm.tmp", "a");
    WriteFileBytes(server.root() / ".b.htm.tmp", "b");
    Recorder rec;
    auto ftp = RealServerClient(rec, server);
    ftp->Connect();
    EXPECT_TRUE(ftp->ProbePipelining());
    // A burst of renames and folders, one of them refused in the middle.
    std::vector<FtpReply> replies = ftp->Pipeline({"RNFR .a.htm.tmp", "RNTO a.htm", "MKD images",
                                                   "MKD images", "RNFR .b.htm.tmp", "RNTO b.htm"});
    std::vector<int> codes;
    for (const FtpReply& reply : replies)
        codes.push_back(reply.code);
    EXPECT_EQ(codes, (std::vector<int>{350, 250, 257, 550, 350, 250}));
    EXPECT_EQ(ReadFileBytes(server.root() / "a.htm"), "a");
    EXPECT_EQ(ReadFileBytes(server.root() / "b.htm"), "b");
    EXPECT_TRUE(fs::is_directory(server.root() / "images"));
    EXPECT_EQ(ftp->GetCurrentDir(), "/"); // in step afterwards
    ftp->Disconnect();
}
