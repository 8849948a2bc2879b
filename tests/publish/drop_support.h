// What the tests of cut publishes share: a seeded site, its changes, and the checks of what
// a cut run must leave on the server.
#pragma once

#include "publish/manifest.h"
#include "publish/publisher.h"
#include "publish/sha256.h"
#include "publish_support.h"
#include "support/dropping_proxy.h"
#include "support/fixtures.h"
#include "support/pyftpd.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>

namespace kestrel::test {

using Files = std::map<std::string, std::string>; // relative path -> content

// 48 files in nested folders, mostly pages of a few KiB and every sixth a picture of
// 100-300 KiB, the same for the same seed.
inline void MakeSite(const std::filesystem::path& root, std::uint64_t seed) {
    const char* const folders[] = {"", "css", "images", "images/2024", "blog", "blog/old/deep"};
    std::mt19937_64 random(seed);
    for (int i = 0; i < 48; ++i) {
        std::filesystem::path folder = root / folders[i % 6];
        std::filesystem::create_directories(folder);
        bool large = i % 6 == 2;
        std::uint64_t size = large ? 100 * 1024 + random() % (200 * 1024) : random() % 6000;
        RandomFile(folder / ((large ? "photo" : "page") + std::to_string(i) + ".htm"), size,
                   random());
    }
}

// Changes every third file: some keep their size (only the manifest tells them apart),
// some grow.
inline void ChangeSite(const std::filesystem::path& root, std::uint64_t seed) {
    int i = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file() || i++ % 3 != 0)
            continue;
        std::uint64_t size = std::filesystem::file_size(entry.path()) + (i % 2 ? 0 : 777);
        RandomFile(entry.path(), size, seed + std::uint64_t(i));
    }
}

inline bool IsTemporary(const std::string& path) {
    return path.ends_with(kTemporarySuffix);
}

// Every file under root by relative path, except the manifest and temporary names.
inline Files TreeOf(const std::filesystem::path& root) {
    Files files;
    if (!std::filesystem::exists(root))
        return files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        std::string relative = std::filesystem::relative(entry.path(), root).string();
        if (entry.is_regular_file() && relative != kManifestName && !IsTemporary(relative))
            files[relative] = ReadFileBytes(entry.path());
    }
    return files;
}

inline std::set<std::string> TemporaryNames(const std::filesystem::path& root) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        if (IsTemporary(entry.path().string()))
            names.insert(std::filesystem::relative(entry.path(), root).string());
    return names;
}

// The manifest, when there is one, lists only files that are there with its size and hash.
inline void ExpectManifestTrue(const std::filesystem::path& remoteRoot) {
    if (!std::filesystem::exists(remoteRoot / kManifestName))
        return;
    std::optional<TManifest> manifest = ParseManifest(ReadFileBytes(remoteRoot / kManifestName));
    ASSERT_TRUE(manifest);
    for (const auto& [path, entry] : *manifest) {
        std::filesystem::path file = remoteRoot / path;
        ASSERT_TRUE(std::filesystem::exists(file)) << "the manifest lists a missing " << path;
        EXPECT_EQ(std::int64_t(std::filesystem::file_size(file)), entry.Size) << path;
        EXPECT_EQ(FileSha256(file.string()), entry.Hash) << "the manifest is wrong about " << path;
    }
}

// The size of a file a server writes once it stands still: after a cut the server may still
// be writing what it had read before it.
inline std::int64_t SettledSize(const std::filesystem::path& path) {
    std::int64_t size = -1;
    for (int look = 0; look < 30; ++look) {
        const std::int64_t now = std::int64_t(std::filesystem::file_size(path));
        if (now == size)
            break;
        size = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return size;
}

struct DroppingSite {
    explicit DroppingSite(const PyFtpdOptions& options = VerboseServer()) : server(options) {}

    PyFtpd server;
    DroppingProxy proxy{server.port()};
    TempDir local{"kestrel-site"};
    std::filesystem::path remote = server.root() / "www";
    int connections = 1;
    bool passive = false;
    std::string journal; // the journal's folder; "": none
    int historyRuns = kDefaultHistoryRuns;

    static PyFtpdOptions VerboseServer() {
        PyFtpdOptions options;
        options.extra_args = {"--verbose"}; // every command in the log: STORs are counted
        return options;
    }

    TPublisher Make() {
        TConnectionSettings connection = ConnectionTo(server, passive, proxy.port());
        connection.TimeOut = 5000;
        connection.ReplyTimeOut = 3000; // pyftpdlib now and then stops reading a session
        TPublishOptions options;
        options.LocalRoot = local.str();
        options.RemoteRoot = "/www";
        options.Connections = connections;
        options.MatchConnectionsToWork = false; // every connection meets the drops
        options.JournalFolder = journal;
        options.HistoryRuns = historyRuns;
        return TPublisher(connection, options);
    }
};

// One publish: the plan is learned without drops, then it runs while the proxy drops as
// armed. Checks everything a run that may have failed must still keep.
inline TPublishSummary PublishWhileDropping(DroppingSite& setup, const std::function<void()>& arm) {
    const Files before = TreeOf(setup.remote);
    TPublisher publisher = setup.Make();
    const TPublishPlan plan = publisher.Prepare();
    arm();
    TPublishSummary summary = publisher.Run();
    setup.proxy.Arm(DroppingProxy::Fault::None, 0);

    std::set<std::string> failed;
    for (const TPublishFailure& failure : summary.Failures) {
        EXPECT_FALSE(failure.Reason.empty()) << failure.Path;
        if (failure.Path.empty()) {
            EXPECT_NE(failure.Reason.find("manifest"), std::string::npos) << failure.Reason;
        }
        failed.insert(failure.Path);
    }
    int sent = 0;
    for (const TPlannedUpload& upload : plan.Uploads) {
        if (failed.count(upload.Path))
            continue;
        ++sent;
        EXPECT_EQ(ReadFileBytes(setup.remote / upload.Path),
                  ReadFileBytes(setup.local / upload.Path))
            << upload.Path << " is reported sent but differs";
    }
    EXPECT_EQ(summary.Uploaded, sent) << "every planned file is either sent or failed";
    // A real name holds the new file or the old one, never a part of either.
    for (const auto& [path, content] : TreeOf(setup.remote)) {
        auto old = before.find(path);
        bool whole = content == ReadFileBytes(setup.local / path) ||
                     (old != before.end() && content == old->second);
        EXPECT_TRUE(whole) << path << " holds a part of a file";
    }
    ExpectManifestTrue(setup.remote);
    return summary;
}

// A publish without drops afterwards completes the job: both trees the same.
inline void ExpectCleanPublishCompletes(DroppingSite& setup) {
    TPublishSummary summary = setup.Make().Run();
    EXPECT_TRUE(summary.Succeeded())
        << (summary.Failures.empty()
                ? ""
                : summary.Failures[0].Path + ": " + summary.Failures[0].Reason);
    EXPECT_EQ(TreeOf(setup.remote), TreeOf(setup.local.path()));
    EXPECT_TRUE(TemporaryNames(setup.remote).empty()) << *TemporaryNames(setup.remote).begin();
    ExpectManifestTrue(setup.remote);
}

} // namespace kestrel::test
