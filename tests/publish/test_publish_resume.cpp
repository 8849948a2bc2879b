// Publishes cut off at seeded points (a dropped control or data connection, a Stop), each
// followed by a run that resumes from the journal: afterwards both trees are the same, no
// real name ever held a part of a file, the manifest and the journal are true, and nothing
// the journal had staged whole was sent again. Also a large file continued with REST, a
// damaged journal, and a file changed here between the cut and the resume.
#include "drop_support.h"
#include "publish/journal.h"
#include "publish/names.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

using namespace kestrel;
using namespace kestrel::test;
namespace fs = std::filesystem;

namespace {

// pyftpdlib pauses a data connection for a second or two each time it has read this many
// bytes within a second, from the second time on: the site's files go at once, and the
// slow file below takes a pause, long enough for a Stop to come while it is in flight.
constexpr long kSlowReading = 160000;
constexpr std::uint64_t kSlowSize = 400000;
const std::string kSlowFile = "images/m-slow.bin";

// The seeded site with the slow file among its pictures.
void MakeSlowSite(const fs::path& root, std::uint64_t seed) {
    MakeSite(root, seed);
    RandomFile(root / kSlowFile, kSlowSize, seed);
}

struct ResumingSite : DroppingSite {
    TempDir state{"kestrel-state"};

    explicit ResumingSite(long readLimit = 0) : DroppingSite(Options(readLimit)) {
        journal = state.str();
    }

    // A server that reads slowly lets a Stop come while files are being sent.
    static PyFtpdOptions Options(long readLimit) {
        PyFtpdOptions options = VerboseServer();
        options.read_limit = readLimit;
        return options;
    }

    fs::path JournalFile() {
        const std::string site =
            JournalSiteName(server.host(), proxy.port(), server.user(), "/www");
        return JournalPath(journal, site);
    }

    // The journal as the cut run left it; an empty one when there is none.
    TJournalState Journal() {
        if (!fs::exists(JournalFile()))
            return {};
        std::optional<TJournalState> state = ParseJournal(ReadFileBytes(JournalFile()));
        EXPECT_TRUE(state) << "the journal is damaged";
        return state.value_or(TJournalState{});
    }

    // How often the server was asked to store the remote path (relative to /www) since the
    // log held mark bytes.
    int Stors(const std::string& path, std::size_t mark) {
        const std::string log = server.log().substr(mark);
        const std::string line = "<- STOR /www/" + path + "\n";
        int count = 0;
        for (std::size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
            ++count;
        return count;
    }
};

// The journal claims only what the server holds: a staged file under its temporary name, a
// placed one under its real name, each with the journal's bytes.
void ExpectJournalTrue(ResumingSite& setup) {
    const TJournalState journal = setup.Journal();
    for (const auto& [path, entry] : journal.Staged) {
        const fs::path file = setup.remote / TemporaryPath(path);
        ASSERT_TRUE(fs::exists(file)) << "the journal claims " << path << " is staged";
        EXPECT_EQ(FileSha256(file.string()), entry.Hash) << path;
    }
    for (const auto& [path, entry] : journal.Placed) {
        const fs::path file = setup.remote / path;
        ASSERT_TRUE(fs::exists(file)) << "the journal claims " << path << " is in place";
        EXPECT_EQ(FileSha256(file.string()), entry.Hash) << path;
    }
}

// The run that resumes: it finishes the job, sends nothing the journal had staged whole or
// placed, and leaves no journal behind. Returns the files it resumed by plan.
int ExpectResumeFinishes(ResumingSite& setup) {
    const TJournalState cut = setup.Journal();
    const std::size_t mark = setup.server.log().size();
    TPublisher publisher = setup.Make();
    const TPublishPlan plan = publisher.Prepare();
    TPublishSummary summary = publisher.Run();
    EXPECT_TRUE(summary.Succeeded())
        << (summary.Failures.empty()
                ? ""
                : summary.Failures[0].Path + ": " + summary.Failures[0].Reason);
    EXPECT_EQ(TreeOf(setup.remote), TreeOf(setup.local.path()));
    EXPECT_TRUE(TemporaryNames(setup.remote).empty());
    ExpectManifestTrue(setup.remote);
    EXPECT_FALSE(fs::exists(setup.JournalFile())) << "a complete run leaves no journal";
    int again = 0;
    for (const auto* entries : {&cut.Staged, &cut.Placed})
        for (const auto& [path, entry] : *entries) {
            again += setup.Stors(TemporaryPath(path), mark);
            EXPECT_EQ(setup.Stors(TemporaryPath(path), mark), 0) << path << " was sent again";
        }
    // One line per resumed run, for the record of cut points tried.
    std::cout << "resumed run: " << cut.Staged.size() << " staged and " << cut.Placed.size()
              << " placed at the cut, " << cut.Sending.size() << " in part; " << plan.FilesResumed
              << " resumed, " << summary.BytesNotResent << " bytes not sent again, " << again
              << " sent again\n";
    EXPECT_GE(plan.FilesResumed, int(cut.Staged.size()));
    EXPECT_EQ(summary.Resumed, plan.FilesResumed);
    return plan.FilesResumed;
}

// Stops the run while the slow file is in flight (its temporary name has appeared on the
// server): the files before it are staged, or in place when the run puts files in place.
TPublishSummary PublishAndStop(ResumingSite& setup) {
    TPublisher publisher = setup.Make();
    publisher.Prepare();
    std::atomic<bool> done{false};
    std::thread stopper([&] {
        const fs::path slow = setup.remote / TemporaryPath(kSlowFile);
        while (!done && !fs::exists(slow))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        publisher.Stop();
    });
    TPublishSummary summary = publisher.Run();
    done = true;
    stopper.join();
    EXPECT_TRUE(summary.Stopped);
    ExpectManifestTrue(setup.remote);
    ExpectJournalTrue(setup);
    return summary;
}

} // namespace

// A Stop while files are staged keeps them staged (the journal has them), and the next run
// puts them in place without sending them again; also after a second cut of the resuming
// run, and with several connections.
TEST(PublishResume, StopThenResumeSendsNothingStagedAgain) {
    for (int connections : {1, 3}) {
        SCOPED_TRACE(connections);
        ResumingSite setup(kSlowReading);
        setup.connections = connections;
        MakeSlowSite(setup.local.path(), 40 + connections);
        PublishAndStop(setup);
        const TJournalState cut = setup.Journal();
        EXPECT_GE(cut.Staged.size(), 10u) << "files staged before the Stop stay staged";
        EXPECT_TRUE(TreeOf(setup.remote).empty()) << "nothing was put in place";
        // The resuming run is stopped too, and the third one finishes.
        PublishAndStop(setup);
        EXPECT_GT(ExpectResumeFinishes(setup), 0);

        // Again after a change: old pages stay whole until the new ones are in place.
        ChangeSite(setup.local.path(), 7);
        RandomFile(setup.local / kSlowFile, kSlowSize, 77);
        const Files before = TreeOf(setup.remote);
        PublishAndStop(setup);
        for (const auto& [path, content] : TreeOf(setup.remote))
            EXPECT_TRUE(content == before.at(path) || content == ReadFileBytes(setup.local / path))
                << path << " holds a part of a file";
        ExpectResumeFinishes(setup);
    }
}

// Runs cut by a dropped control or data connection at seeded points, each followed by a
// run that resumes.
TEST(PublishResume, DroppedConnectionsAtSeededPoints) {
    // KESTREL_CUT_SEEDS=40 tries that many seeds instead (a longer soak).
    std::vector<std::uint64_t> seeds = {3, 8, 13};
    if (const char* more = std::getenv("KESTREL_CUT_SEEDS"))
        for (std::uint64_t seed = 100; seed < 100 + std::stoull(more); ++seed)
            seeds.push_back(seed);
    for (std::uint64_t seed : seeds) {
        SCOPED_TRACE(seed);
        ResumingSite setup;
        setup.connections = 2;
        MakeSite(setup.local.path(), seed);
        fs::create_directories(setup.local / "media");
        RandomFile(setup.local / "media" / "film.bin", 3 * kContinuedSize, seed);
        std::mt19937_64 random(seed);
        const bool control = seed % 2 == 1;
        const std::uint64_t at = control ? 500 + random() % 4000 : random() % (4 << 20);
        PublishWhileDropping(setup, [&] {
            setup.proxy.Arm(control ? DroppingProxy::Fault::Control : DroppingProxy::Fault::Data,
                            at);
        });
        ExpectJournalTrue(setup);
        ExpectResumeFinishes(setup);
    }
}

// A large file cut in the middle goes on from the byte the server has (REST and STOR on its
// temporary name), not from its start.
TEST(PublishResume, LargeFileContinuesWhereItBrokeOff) {
    ResumingSite setup;
    RandomFile(setup.local / "index.htm", 2000, 1);
    RandomFile(setup.local / "big.bin", 6 * kContinuedSize, 2);
    const fs::path part = setup.remote / TemporaryPath("big.bin");
    // The cut resets the data connection, which throws away what the server had not read
    // yet: on a busy machine it may hold none of the file. The cut is made again until the
    // server holds a part, and the part is what it holds once its size stands still (it may
    // still be writing what it read).
    std::int64_t have = 0;
    for (int cut = 0; cut < 5 && have == 0; ++cut) {
        TPublishSummary summary = PublishWhileDropping(
            setup, [&] { setup.proxy.Arm(DroppingProxy::Fault::Data, 2 * kContinuedSize + 2000); });
        ASSERT_FALSE(summary.Succeeded());
        ASSERT_TRUE(fs::exists(part)) << "the part stays for the next run";
        have = SettledSize(part);
    }
    ASSERT_GT(have, 0);
    ASSERT_LT(have, 6 * kContinuedSize);
    EXPECT_EQ(setup.Journal().Sending.count("big.bin"), 1u);

    const std::size_t mark = setup.server.log().size();
    TPublisher publisher = setup.Make();
    const TPublishPlan plan = publisher.Prepare();
    ASSERT_EQ(plan.Uploads.size(), 1u);
    EXPECT_EQ(plan.Uploads[0].RestartAt, have);
    EXPECT_EQ(plan.BytesResumed, have);
    TPublishSummary summary = publisher.Run();
    EXPECT_TRUE(summary.Succeeded());
    EXPECT_EQ(summary.BytesNotResent, have);
    EXPECT_NE(setup.server.log().find("<- REST " + std::to_string(have), mark), std::string::npos);
    EXPECT_EQ(ReadFileBytes(setup.remote / "big.bin"), ReadFileBytes(setup.local / "big.bin"));
    EXPECT_FALSE(fs::exists(setup.JournalFile()));
}

// A journal cut short or damaged is ignored with a note and nothing in it is trusted; a
// file changed here since the cut is sent again, whatever the journal says.
TEST(PublishResume, DamagedJournalAndChangedFilesAreNotTrusted) {
    ResumingSite setup(kSlowReading);
    MakeSlowSite(setup.local.path(), 21);
    PublishAndStop(setup);
    const TJournalState cut = setup.Journal();
    ASSERT_GE(cut.Staged.size(), 2u);

    // Cut short in its last line: every staged file goes again.
    const std::string text = ReadFileBytes(setup.JournalFile());
    WriteFileBytes(setup.JournalFile(), text.substr(0, text.size() - 7));
    {
        TPublisher publisher = setup.Make();
        const TPublishPlan plan = publisher.Prepare();
        EXPECT_EQ(plan.FilesResumed, 0);
        bool noted = false;
        for (const std::string& note : plan.Notes)
            noted = noted || note.find("damaged or cut short") != std::string::npos;
        EXPECT_TRUE(noted);
    }
    WriteFileBytes(setup.JournalFile(), text);

    // One staged file changed here with its size kept: sent again; the others are not.
    const std::string changed = cut.Staged.begin()->first;
    RandomFile(setup.local / changed, fs::file_size(setup.local / changed), 4242);
    const std::size_t mark = setup.server.log().size();
    TPublisher publisher = setup.Make();
    const TPublishPlan plan = publisher.Prepare();
    EXPECT_EQ(plan.FilesResumed, int(cut.Staged.size()) - 1);
    TPublishSummary summary = publisher.Run();
    EXPECT_TRUE(summary.Succeeded());
    EXPECT_EQ(setup.Stors(TemporaryPath(changed), mark), 1);
    EXPECT_EQ(ReadFileBytes(setup.remote / changed), ReadFileBytes(setup.local / changed));
    EXPECT_EQ(TreeOf(setup.remote), TreeOf(setup.local.path()));
    ExpectManifestTrue(setup.remote);
}
