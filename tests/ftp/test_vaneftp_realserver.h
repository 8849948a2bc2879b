// Helpers of the FTP client's tests against a real server (pyftpdlib): a client with the
// server's account, and the transfer steps that the tests of both data modes run alike.
#pragma once

#include "support/fixtures.h"
#include "support/pyftpd.h"
#include "test_vaneftp_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kestrel::test {

// A client wired to rec, with server's port and account, in the given data mode.
inline std::unique_ptr<TVaneFTP> RealServerClient(Recorder& rec, const PyFtpd& server,
                                                  TDataMode mode = TDataMode::Active) {
    auto ftp = MakeClient(rec, server.port());
    ftp->UserID = server.user();
    ftp->Password = server.password();
    ftp->DataMode = mode;
    return ftp;
}

// The entries of folder, in the order the folder lists them.
inline std::vector<std::filesystem::path> EntriesOf(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> entries;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        entries.push_back(entry.path());
    return entries;
}

// Uploads folder/name under the same name and downloads it back as folder/back.bin:
// both copies are byte for byte the original.
inline void UploadAndDownloadBack(TVaneFTP& ftp, const PyFtpd& server,
                                  const std::filesystem::path& folder, const std::string& name) {
    ftp.Upload((folder / name).string(), name);
    EXPECT_EQ(FileHash(server.root() / name), FileHash(folder / name));
    ftp.Download(name, (folder / "back.bin").string());
    EXPECT_EQ(FileHash(folder / "back.bin"), FileHash(folder / name));
}

// APPE: the remote log.txt, which holds "head", grows by the local file (content whole).
inline void AppendGrowsTheRemoteFile(TVaneFTP& ftp, const PyFtpd& server,
                                     const std::filesystem::path& local, const std::string& whole) {
    WriteFileBytes(server.root() / "log.txt", "head");
    ftp.UploadAppend(local.string(), "log.txt");
    EXPECT_EQ(ReadFileBytes(server.root() / "log.txt"), "head" + whole);
}

// REST 120000 + STOR: the remote r.bin keeps its first bytes and gets the rest of the
// local file (content whole).
inline void RestartedUploadCompletes(TVaneFTP& ftp, const PyFtpd& server,
                                     const std::filesystem::path& local, const std::string& whole) {
    WriteFileBytes(server.root() / "r.bin", whole.substr(0, 120000));
    ftp.UploadRestore(local.string(), "r.bin", 120000);
    EXPECT_EQ(ReadFileBytes(server.root() / "r.bin"), whole);
}

// REST 77777 + RETR of the remote r.bin (content whole): the local file grows from there.
inline void RestartedDownloadCompletes(TVaneFTP& ftp, const std::filesystem::path& local,
                                       const std::string& whole) {
    WriteFileBytes(local, whole.substr(0, 77777));
    ftp.DownloadRestore("r.bin", local.string());
    EXPECT_EQ(ReadFileBytes(local), whole);
}

} // namespace kestrel::test
