// The parts of the publishing engine that need no server: the job board that hands out and
// accounts for a run's jobs, the progress meter, and the manifest a run leaves behind.
#include "publish/arrival.h"
#include "publish/jobboard.h"
#include "publish/names.h"
#include "publish/progress.h"
#include "publish/runmanifest.h"
#include "publish/sha256.h"
#include "publish/siteconnection.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

using namespace kestrel;
using namespace kestrel::test;

namespace {

TPublishPhase Phase(TPublishJob::Kind kind, std::vector<std::string> paths, bool serial = false) {
    TPublishPhase phase;
    phase.serial = serial;
    for (std::string& path : paths)
        phase.jobs.push_back({kind, std::move(path), 10});
    return phase;
}

TPublishPhase ManifestPhase() {
    TPublishPhase phase = Phase(TPublishJob::WriteManifest, {".kestrelftp-manifest"}, true);
    phase.afterStop = true;
    return phase;
}

// Every job of the board taken and finished by one connection, as a worker would.
void WorkAll(TJobBoard& board, std::size_t phase) {
    while (std::optional<std::size_t> job = board.Claim(phase)) {
        if (board.Phase(phase).serial) {
            for (std::size_t i = 0; i < board.Phase(phase).jobs.size(); ++i)
                board.Finish(phase, i, true);
        } else {
            board.Finish(phase, *job, true);
        }
        board.Release(phase);
    }
}

std::vector<std::string> Paths(const std::vector<TPublishFailure>& failures) {
    std::vector<std::string> paths;
    for (const TPublishFailure& failure : failures)
        paths.push_back(failure.Path + ": " + failure.Reason);
    return paths;
}

} // namespace

TEST(JobBoard, ParallelJobsGoOneByOneAndASerialPhaseGoesWhole) {
    std::atomic<bool> stop{false};
    std::vector<TPublishPhase> phases;
    phases.push_back(Phase(TPublishJob::Upload, {"a", "b", "c"}));
    phases.push_back(Phase(TPublishJob::MakeFolder, {"x", "x/y"}, true));
    TJobBoard board(std::move(phases), 2, stop);
    EXPECT_EQ(board.Claim(0), 0u);
    EXPECT_EQ(board.Claim(0), 1u);
    EXPECT_EQ(board.Claim(0), 2u);
    EXPECT_EQ(board.Claim(0), std::nullopt) << "every job is taken";
    EXPECT_EQ(board.Claim(1), 0u) << "the serial phase, from its first job";
    EXPECT_EQ(board.Claim(1), std::nullopt) << "and no other connection gets any of it";
    EXPECT_EQ(board.Job(1, 1).path, "x/y");
}

TEST(JobBoard, BatchesAreAFairShareOfWhatIsLeftAndNeverLargerThanThePhaseAllows) {
    using Jobs = std::vector<std::size_t>;
    std::atomic<bool> stop{false};
    std::vector<TPublishPhase> phases;
    phases.push_back(Phase(TPublishJob::Verify, {"a", "b", "c", "d", "e", "f", "g"}));
    phases.back().batch = 2;
    phases.push_back(Phase(TPublishJob::Verify, {"a", "b", "c", "d", "e", "f", "g"}));
    phases.back().batch = 100;
    TJobBoard board(std::move(phases), 3, stop);
    EXPECT_EQ(board.ClaimBatch(0), (Jobs{0, 1})) << "the phase's limit";
    EXPECT_EQ(board.ClaimBatch(0), (Jobs{2, 3}));
    // Three jobs left for three connections: one each, none waits for another's batch.
    EXPECT_EQ(board.ClaimBatch(0), (Jobs{4}));
    EXPECT_EQ(board.ClaimBatch(0), (Jobs{5}));
    EXPECT_EQ(board.ClaimBatch(0), (Jobs{6}));
    EXPECT_EQ(board.ClaimBatch(0), Jobs{});
    // Three connections share seven jobs: 3, then 2 of the 4 left, then 1 of 2, then 1.
    EXPECT_EQ(board.ClaimBatch(1), (Jobs{0, 1, 2}));
    EXPECT_EQ(board.ClaimBatch(1), (Jobs{3, 4}));
    EXPECT_EQ(board.ClaimBatch(1), (Jobs{5}));
    EXPECT_EQ(board.ClaimBatch(1), (Jobs{6}));
    for (int claim = 0; claim < 4; ++claim)
        board.Release(1);
    stop = true;
    EXPECT_EQ(board.ClaimBatch(0), Jobs{}) << "closed after a Stop";
}

TEST(JobBoard, AConnectionLeavesAPhaseWhenItIsFinishedOrWhenEveryConnectionHasLeftIt) {
    std::atomic<bool> stop{false};
    std::vector<TPublishPhase> phases;
    phases.push_back(Phase(TPublishJob::Upload, {"a", "b"}));
    phases.push_back(Phase(TPublishJob::DeleteFile, {"c"}));
    TJobBoard board(std::move(phases), 2, stop);

    // One connection works while the other is still logging in: once every job is
    // finished, it goes on without waiting for the other.
    WorkAll(board, 0);
    board.Leave(0); // returns: the phase is finished

    // A job claimed and held by a connection keeps the other one waiting in Leave until it
    // is released.
    std::optional<std::size_t> held = board.Claim(1);
    ASSERT_TRUE(held);
    std::atomic<bool> left{false};
    std::thread other([&] {
        board.Leave(1);
        left = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(left) << "a job of the phase is still running";
    board.Finish(1, *held, true);
    board.Release(1);
    other.join();
    EXPECT_TRUE(left);

    // Every job done: nothing is left to account for.
    TPublishSummary summary;
    board.AccountUnfinished(summary);
    EXPECT_TRUE(summary.Failures.empty());
    EXPECT_TRUE(summary.Notes.empty());
}

// A connection that lost the server for good gives back the jobs it had claimed: another
// one claims them, also one that had already left the phase and was waiting in Leave (it is
// called back), and nothing is accounted as not done.
TEST(JobBoard, JobsGivenBackByALostConnectionGoToAnother) {
    using Jobs = std::vector<std::size_t>;
    std::atomic<bool> stop{false};
    std::vector<TPublishPhase> phases;
    phases.push_back(Phase(TPublishJob::Upload, {"a", "b", "c", "d"}));
    phases.back().batch = 2;
    TJobBoard board(std::move(phases), 2, stop);
    const Jobs lost = board.ClaimBatch(0);
    ASSERT_EQ(lost, (Jobs{0, 1}));
    std::atomic<bool> calledBack{false};
    std::thread other([&] {
        for (;;) {
            for (Jobs mine; !(mine = board.ClaimBatch(0)).empty(); board.Release(0)) {
                for (std::size_t job : mine)
                    board.Finish(0, job, true);
            }
            if (!board.Leave(0, true))
                return;
            calledBack = true;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (std::size_t job : lost)
        board.Return(0, job);
    board.Release(0);
    EXPECT_FALSE(board.Leave(0, false)) << "a lost connection is not called back";
    other.join();
    EXPECT_TRUE(calledBack);
    TPublishSummary summary;
    board.AccountUnfinished(summary);
    EXPECT_TRUE(summary.Failures.empty()) << summary.Failures.front().Reason;
}

TEST(JobBoard, JobsLeftWhenNoConnectionWasLeftAreFailures) {
    std::atomic<bool> stop{false};
    std::vector<TPublishPhase> phases;
    phases.push_back(Phase(TPublishJob::Upload, {"a", "b"}));
    phases.push_back(ManifestPhase());
    TJobBoard board(std::move(phases), 2, stop);
    // The only connection that logged in did "a"; the other could not log in at all.
    // The phases are over once both connections have left them.
    std::thread givenUp([&] {
        board.Leave(0);
        board.Leave(1);
    });
    std::optional<std::size_t> job = board.Claim(0);
    board.Finish(0, *job, true);
    board.Release(0);
    board.Leave(0);
    board.Leave(1); // the connection that worked lost its log-in before the manifest
    givenUp.join();
    TPublishSummary summary;
    board.AccountUnfinished(summary);
    EXPECT_EQ(Paths(summary.Failures),
              (std::vector<std::string>{"b: Not done: no connection to the server was left",
                                        ": The manifest was not written: no connection was left"}));
}

TEST(JobBoard, AfterAStopOnlyThePhasesThatRunAfterOneAreOpenAndUnsentFilesAreCounted) {
    std::atomic<bool> stop{false};
    std::vector<TPublishPhase> phases;
    phases.push_back(Phase(TPublishJob::Upload, {"a", "b", "c"}));
    phases.push_back(Phase(TPublishJob::DeleteFile, {"old"}));
    phases.push_back(ManifestPhase());
    TJobBoard board(std::move(phases), 1, stop);
    std::optional<std::size_t> job = board.Claim(0);
    board.Finish(0, *job, true);
    board.Release(0);
    stop = true;
    EXPECT_FALSE(board.Open(0));
    EXPECT_EQ(board.Claim(0), std::nullopt) << "no job is handed out after a Stop";
    EXPECT_FALSE(board.Open(1));
    EXPECT_TRUE(board.Open(2)) << "the manifest is still written";
    board.Leave(0); // does not wait for the jobs that will never be taken
    WorkAll(board, 2);
    TPublishSummary summary;
    board.AccountUnfinished(summary);
    EXPECT_TRUE(summary.Failures.empty()) << summary.Failures.front().Reason;
    EXPECT_EQ(summary.Notes, (std::vector<std::string>{"Stopped: 2 files were not sent"}));
}

// With two phases a file is accounted once: by its upload when that was not done, else by
// its placing (staged, not put in place); the clean-up of what was staged and the check
// of what arrived are never failures of their own.
TEST(JobBoard, AFileStagedAndNotPutInPlaceIsAccountedOnceByItsPlacing) {
    auto board = [](std::atomic<bool>& stop) {
        std::vector<TPublishPhase> phases;
        phases.push_back(Phase(TPublishJob::Upload, {"a", "b"}));
        phases.push_back(Phase(TPublishJob::Place, {"a", "b"}));
        phases.push_back(Phase(TPublishJob::Verify, {"a", "b"}));
        TPublishPhase unstaging = Phase(TPublishJob::Unstage, {"a", "b"});
        unstaging.afterStop = true;
        phases.push_back(unstaging);
        phases.push_back(ManifestPhase());
        return std::make_unique<TJobBoard>(std::move(phases), 1, stop);
    };
    {
        // Stopped once "a" was staged: neither file is on the site.
        std::atomic<bool> stop{false};
        std::unique_ptr<TJobBoard> stopped = board(stop);
        std::optional<std::size_t> job = stopped->Claim(0);
        stopped->Finish(0, *job, true);
        stopped->Release(0);
        stop = true;
        for (std::size_t phase = 0; phase < 3; ++phase)
            EXPECT_FALSE(stopped->Open(phase)) << phase;
        EXPECT_TRUE(stopped->Open(3)) << "what was staged is removed after a Stop";
        WorkAll(*stopped, 3);
        WorkAll(*stopped, 4);
        TPublishSummary summary;
        stopped->AccountUnfinished(summary);
        EXPECT_TRUE(summary.Failures.empty()) << summary.Failures.front().Reason;
        EXPECT_EQ(summary.Notes, (std::vector<std::string>{"Stopped: 2 files were not sent"}));
    }
    {
        // "a" staged, then no connection was left: both fail once, the manifest too.
        std::atomic<bool> stop{false};
        std::unique_ptr<TJobBoard> abandoned = board(stop);
        std::optional<std::size_t> job = abandoned->Claim(0);
        abandoned->Finish(0, *job, true);
        abandoned->Release(0);
        for (std::size_t phase = 0; phase < 5; ++phase)
            abandoned->Leave(phase);
        TPublishSummary summary;
        abandoned->AccountUnfinished(summary);
        EXPECT_EQ(
            Paths(summary.Failures),
            (std::vector<std::string>{"b: Not done: no connection to the server was left",
                                      "a: Not done: no connection to the server was left",
                                      ": The manifest was not written: no connection was left"}));
    }
}

TEST(JobBoard, AHaltedRunClosesEveryPhaseAndNamesWhyItsJobsWereNotDone) {
    std::atomic<bool> stop{false};
    std::vector<TPublishPhase> phases;
    phases.push_back(Phase(TPublishJob::TrimManifest, {".kestrelftp-manifest"}, true));
    phases.push_back(Phase(TPublishJob::Upload, {"a"}));
    phases.push_back(ManifestPhase());
    TJobBoard board(std::move(phases), 1, stop);
    ASSERT_TRUE(board.Claim(0));
    board.Finish(0, 0, true);
    board.Halt("the manifest could not be updated first");
    board.Halt("a later reason is not kept");
    board.Release(0);
    EXPECT_EQ(board.Halted(), "the manifest could not be updated first");
    for (std::size_t phase : {1u, 2u}) {
        EXPECT_FALSE(board.Open(phase));
        EXPECT_EQ(board.Claim(phase), std::nullopt);
    }
    TPublishSummary summary;
    board.AccountUnfinished(summary);
    // Nothing was changed, so the old manifest is still true: not a failure.
    EXPECT_EQ(Paths(summary.Failures),
              (std::vector<std::string>{"a: Not done: the manifest could not be updated first"}));
}

TEST(ConnectionCap, RefusalsThatMeanTooManyConnectionsAtOnce) {
    for (const char* cap : {"421 There are too many connections from your internet address.",
                            "421 There are too many connected users, please try later.",
                            "421 Too many connections from the same IP address.",
                            "530 Sorry, the maximum number of clients (3) from your host are "
                            "already connected.",
                            "530 Too many users logged in"})
        EXPECT_TRUE(MeansTooManyConnections(cap)) << cap;
    for (const char* other :
         {"530 Login incorrect.", "530 Permission denied.", "550 Too many files",
          "Connection closed by peer", "The server did not answer within 30 s"})
        EXPECT_FALSE(MeansTooManyConnections(other)) << other;
}

TEST(PublishProgress, CountsFinishedFilesAndTheBytesOfThoseInFlight) {
    std::vector<TPublishProgress> reports;
    TProgressMeter meter(3, 300, 2,
                         [&](const TPublishProgress& progress) { reports.push_back(progress); });
    meter.Begin(0, "a.htm");
    meter.Begin(1, "b.htm");
    meter.Sent(1, 40);
    meter.End(0, 100);
    TPublishProgress now = meter.Snapshot(TProgressMeter::Clock::now());
    EXPECT_EQ(now.FilesDone, 1);
    EXPECT_EQ(now.FilesTotal, 3);
    EXPECT_EQ(now.BytesDone, 140);
    EXPECT_EQ(now.Current, (std::vector<std::string>{"b.htm"}));
    meter.Final();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().BytesDone, 140) << "the final report always comes";
}

TEST(PublishNames, TemporaryNamesAndPathParts) {
    EXPECT_EQ(TemporaryPath("a/b.htm"), "a/.b.htm.kestrel-tmp");
    EXPECT_EQ(TemporaryPath("b.htm"), ".b.htm.kestrel-tmp");
    EXPECT_TRUE(IsTemporaryName("a/.b.htm.kestrel-tmp"));
    EXPECT_TRUE(IsTemporaryName(TemporaryPath("x y/z.css")));
    EXPECT_FALSE(IsTemporaryName("b.htm.kestrel-tmp")) << "not hidden: content";
    EXPECT_FALSE(IsTemporaryName(".kestrel-tmp")) << "nothing before the suffix";
    EXPECT_FALSE(IsTemporaryName(".a.kestrel-tmp/b.htm"));
    EXPECT_EQ(BaseName("a/b/c.htm"), "c.htm");
    EXPECT_EQ(Parent("a/b/c.htm"), "a/b");
    EXPECT_EQ(Parent("c.htm"), "");
}

// The manifest after a run names only what is known to be on the server, with the hash of
// what was sent.
TEST(RunManifest, ListsOnlyWhatIsProvenOnTheServer) {
    TLocalTree local;
    auto file = [&](const std::string& path, const std::string& content) {
        local.Files[path] =
            TLocalFile{"/site/" + path, std::int64_t(content.size()), 1000, BytesSha256(content)};
    };
    file("same.htm", "same");
    file("sent.htm", "new content");
    file("edited.htm", "abcd"); // same size as on the server, judged by size alone
    TRemoteTree remote;
    remote.RootExists = true;
    remote.Entries["same.htm"] = TRemoteEntry{false, 4, 500};
    remote.Entries["edited.htm"] = TRemoteEntry{false, 4, 2000};
    remote.Entries["kept.htm"] = TRemoteEntry{false, 3, 500};
    remote.Entries["lost.htm"] = TRemoteEntry{false, 3, 500};
    TPublishPlan plan;
    plan.Unchanged = {"edited.htm", "same.htm"};

    // No manifest before: nothing found unchanged is proven.
    std::optional<TManifest> none;
    TRunRecord record;
    record.uploaded["sent.htm"] = TManifestEntry{BytesSha256("sent bytes!"), 11};
    TManifest first = FinalManifest({none, plan, local, remote}, record);
    EXPECT_EQ(first.count("edited.htm"), 0u) << "same size is no proof: the next run sends it";
    EXPECT_EQ(first.count("same.htm"), 0u);
    EXPECT_EQ(first.at("sent.htm").Hash, BytesSha256("sent bytes!")) << "the bytes sent";

    // With a manifest that proves it, an unchanged file keeps its hash; an old entry stays
    // while the server shows its size, and goes when its content was lost.
    std::optional<TManifest> old = TManifest{{"same.htm", {BytesSha256("same"), 4}},
                                             {"kept.htm", {BytesSha256("old"), 3}},
                                             {"lost.htm", {BytesSha256("los"), 3}}};
    plan.Unchanged = {"same.htm"};
    record.lost.insert("lost.htm");
    TManifest later = FinalManifest({old, plan, local, remote}, record);
    EXPECT_EQ(later.at("same.htm").Hash, BytesSha256("same"));
    EXPECT_EQ(later.count("kept.htm"), 1u);
    EXPECT_EQ(later.count("lost.htm"), 0u);
    EXPECT_EQ(later.size(), 3u);
}

TEST(PlacementOrder, AssetsThenStyleSheetsAndScriptsThenPagesWhateverTheCase) {
    for (const char* asset :
         {"img/a.png", "f.WOFF2", "doc.pdf", ".htaccess", "README", "a.html.bak"})
        EXPECT_EQ(PlacementOrder(asset), 0) << asset;
    for (const char* referring : {"css/site.css", "js/app.JS", "m.mjs"})
        EXPECT_EQ(PlacementOrder(referring), 1) << referring;
    for (const char* page : {"index.html", "a/b.HTM", "x.xhtml", "s.shtml", "p.php"})
        EXPECT_EQ(PlacementOrder(page), 2) << page;
    EXPECT_LT(PlacementOrder("folder.html/image.png"), PlacementOrder("image.png.html"));
}

// The strongest proof a server offers: HASH with the best of its algorithms (OPTS HASH when
// it is not the starred one), else the older X commands, else SIZE.
TEST(ArrivalMethod, TheStrongestOfferedIsChosen) {
    auto chosen = [](std::vector<std::string> features) {
        TArrivalMethod method = ChooseArrivalMethod(features);
        return method.Name() + (method.needsOpts ? " +OPTS" : "");
    };
    EXPECT_EQ(chosen({"MLST type*;size*;", "HASH SHA-256*;SHA-1;MD5"}), "HASH SHA-256");
    EXPECT_EQ(chosen({"HASH SHA-1*;SHA-256;MD5"}), "HASH SHA-256 +OPTS");
    EXPECT_EQ(chosen({"hash md5*;crc32"}), "HASH MD5");
    EXPECT_EQ(chosen({"HASH CRC32;SHA-512*", "XSHA1"}), "HASH CRC32 +OPTS");
    EXPECT_EQ(chosen({"HASH SHA-512*", "XMD5", "XCRC \"filename\" SP EP", "XSHA1"}), "XSHA1");
    EXPECT_EQ(chosen({"XCRC", "SIZE"}), "XCRC");
    EXPECT_EQ(chosen({"SIZE", "MDTM"}), "SIZE");
    EXPECT_EQ(chosen({}), "SIZE") << "FEAT refused: SIZE is tried";
}

TEST(ArrivalMethod, TheProofIsReadFromTheReplyLine) {
    const std::string sha = BytesSha256("abc");
    std::string upper = sha;
    for (char& c : upper)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    TArrivalMethod hash{TArrivalMethod::Hash, "SHA-256", false};
    EXPECT_EQ(ProofInReply(hash, "213 SHA-256 0-3 " + sha + " a.htm"), sha);
    EXPECT_EQ(ProofInReply(hash, "213 SHA-256 0-3 " + upper + " " + sha.substr(1)), sha);
    EXPECT_EQ(ProofInReply(hash, "213 SHA-256 0-3 " + sha.substr(1) + " a.htm"), std::nullopt)
        << "a digest one digit short is none";
    TArrivalMethod crc{TArrivalMethod::OldHash, "XCRC", false};
    EXPECT_EQ(ProofInReply(crc, "250 CBF43926"), "cbf43926");
    EXPECT_EQ(ProofInReply(crc, "250 12345"), std::nullopt);
    TArrivalMethod size{};
    EXPECT_EQ(ProofInReply(size, "213 49"), "49");
    EXPECT_EQ(ProofInReply(size, "213 size is 99999999999999999999999"), std::nullopt);
    EXPECT_EQ(ProofInReply(size, "213"), std::nullopt);
}

// Each digest of a local file as a server computes it (the standard test vectors).
TEST(ArrivalMethod, LocalProofsMatchTheKnownDigests) {
    TempDir folder{"kestrel-arrival"};
    WriteFileBytes(folder / "abc", "abc");
    WriteFileBytes(folder / "digits", "123456789");
    const std::string abc = (folder / "abc").string();
    EXPECT_EQ(LocalProof({TArrivalMethod::Hash, "SHA-256", false}, abc), BytesSha256("abc"));
    EXPECT_EQ(LocalProof({TArrivalMethod::OldHash, "XSHA1", false}, abc),
              "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(LocalProof({TArrivalMethod::Hash, "MD5", false}, abc),
              "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(LocalProof({TArrivalMethod::OldHash, "XCRC", false}, (folder / "digits").string()),
              "cbf43926");
    EXPECT_EQ(LocalProof({}, abc), "3");
    EXPECT_THROW(LocalProof({}, (folder / "missing").string()), Exception);
}
