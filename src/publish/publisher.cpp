#include "publish/publisher.h"

#include "publish/arrival.h"
#include "publish/callthread.h"
#include "publish/jobboard.h"
#include "publish/names.h"
#include "publish/runmanifest.h"
#include "publish/worker.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

namespace kestrel {
namespace {

bool OffersMachineList(const std::vector<std::string>& features) {
    for (const std::string& feature : features) {
        if (feature.size() >= 4 &&
            (feature.compare(0, 4, "MLST") == 0 || feature.compare(0, 4, "mlst") == 0))
            return true;
    }
    return false;
}

// "/site/" -> "/site"; "site" under "/home/u" -> "/home/u/site"; "" -> the log-in folder.
std::string ResolveRoot(TVaneFTP& ftp, std::string root) {
    if (root.empty() || root[0] != '/') {
        std::string home = ftp.GetCurrentDir();
        if (home.empty())
            home = "/";
        root = root.empty() ? home : JoinRemote(home, root);
    }
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

// The manifest in the remote root, or nothing when there is none (the server refuses to
// send it) or it is not one of ours.
std::optional<TManifest> ReadManifest(TVaneFTP& ftp, const std::string& root,
                                      std::vector<std::string>& notes) {
    TMemoryStream text;
    try {
        ftp.Download(JoinRemote(root, kManifestName), text);
    } catch (const FTPException&) {
        return std::nullopt;
    }
    int bad = 0;
    std::optional<TManifest> manifest = ParseManifest(text.ToString(), &bad);
    if (!manifest)
        notes.push_back(std::string("The file ") + kManifestName +
                        " on the server is not a manifest of this program; it is replaced");
    else if (bad > 0)
        notes.push_back("The manifest had " + std::to_string(bad) +
                        " unreadable lines; their files are compared by size");
    return manifest;
}

// How long the connection that prepared may have been idle for Run to carry on with it.
constexpr auto kKeptIdleLimit = std::chrono::seconds(2);

} // namespace

std::string ReasonText(const std::exception& error) {
    std::string text = error.what();
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

int ConnectionsWorthOpening(int jobs, std::int64_t bytes, double secondsPerJob, double loginSeconds,
                            int limit) {
    constexpr double kFastLink = 100e6; // bytes per second
    limit = std::max(1, std::min(limit, jobs));
    if (loginSeconds <= 0)
        return limit;
    double work = jobs * secondsPerJob + double(bytes) / kFastLink;
    return std::clamp(int(work / loginSeconds), 1, limit);
}

int TPublisher::ConnectionLimit() {
    // The event platform keeps one loop per thread: each connection runs on its own.
    return kMaxConnections;
}

TPublisher::TPublisher(TConnectionSettings connection, TPublishOptions options)
    : connection_(std::move(connection)), options_(std::move(options)) {}

TPublisher::~TPublisher() {
    if (home_)
        home_->Call([this] { kept_.reset(); }); // logs out on the thread it belongs to
}

const TPublishPlan& TPublisher::Prepare() {
    // The local folder is walked (and every file hashed) while the connection logs in and
    // lists the server: neither waits for the other. Stop ends both.
    TWalkOptions walkOptions = options_.Plan.Walk;
    walkOptions.Stop = &stop_;
    std::future<TLocalTree> walk = std::async(std::launch::async, [this, walkOptions] {
        return WalkLocalTree(options_.LocalRoot, walkOptions);
    });
    if (!home_)
        home_ = std::make_unique<TCallThread>();
    std::vector<std::string> notes;
    std::exception_ptr remoteError;
    try {
        ListRemote(notes);
    } catch (...) {
        remoteError = std::current_exception();
    }
    local_ = walk.get(); // a local folder that cannot be read is named first
    if (stop_)
        throw EPublishStopped();
    if (remoteError)
        std::rethrow_exception(remoteError);
    // Every connection sends a name with a byte 255 as this server takes it.
    home_->Call(
        [&] { connection_.IacRule = SettleIacRule(*kept_, root_, local_, remote_, notes); });
    prepareNotes_ = notes;
    prepared_ = true;
    return Replan(options_.Plan);
}

void TPublisher::ListRemote(std::vector<std::string>& notes) {
    using Clock = std::chrono::steady_clock;
    auto since = [](Clock::time_point start) {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    home_->Call([&] {
        kept_.reset();
        TSiteConnection site(connection_, stop_, 0);
        Clock::time_point start = Clock::now();
        site.Open();
        TVaneFTP& ftp = site.Ftp();
        loginSeconds_ = since(start);
        root_ = ResolveRoot(ftp, options_.RemoteRoot);
        features_ = ftp.Features();
        bool machineList = options_.UseMachineList && OffersMachineList(features_);
        connection_.Utf8Names = connection_.Utf8Names || ftp.Utf8On;
        start = Clock::now();
        try {
            // Without MLSD, the folders of each level are listed together where the server
            // takes commands together.
            remote_ = ReadRemoteTree(ftp, root_, machineList, true);
        } catch (const EListingOutOfStep& error) {
            // The replies are out of step: a new log-in, and the listing the old way.
            site.Open();
            remote_ = ReadRemoteTree(site.Ftp(), root_, machineList, false);
            remote_.Notes.insert(remote_.Notes.begin(),
                                 std::string(error.what()) +
                                     "; listed again folder by folder on a new log-in");
        }
        TVaneFTP& lister = site.Ftp();
        // One listing is a data connection and two or three commands; an upload is a data
        // connection and four (PORT or PASV, STOR, RNFR, RNTO): about half as much again, or
        // two and a half times as much when each listing's command went with its EPSV.
        // Listings sent together cost a round trip for many folders: then an upload is about
        // kWaitsOfUpload times the shortest batch (on a slow link a round trip; on a fast one
        // the server's work for a folder or two, which the first estimate covers).
        constexpr double kWaitsOfUpload = 5;
        double seconds = since(start);
        int listings =
            1 + int(std::count_if(remote_.Entries.begin(), remote_.Entries.end(),
                                  [](const auto& entry) { return entry.second.Folder; }));
        bool together = lister.Pipelining && connection_.DataMode == TDataMode::Passive;
        secondsPerJob_ = std::max((together ? 2.5 : 1.5) * seconds / listings,
                                  kWaitsOfUpload * remote_.BatchSeconds);
        notes = remote_.Notes;
        manifest_.reset();
        // MLSD shows hidden files, so a manifest it does not show is not there.
        if (remote_.RootExists && (!machineList || remote_.Entries.count(kManifestName)))
            manifest_ = ReadManifest(lister, root_, notes);
        // It stays logged in: Run's first connection carries on with it.
        kept_ = site.Release();
        keptSince_ = Clock::now();
    });
}

const TPublishPlan& TPublisher::Replan(const TPlanOptions& options) {
    options_.Plan = options;
    plan_ = MakePlan(local_, remote_, manifest_, options_.Plan);
    plan_.Notes.insert(plan_.Notes.begin(), prepareNotes_.begin(), prepareNotes_.end());
    plan_.Notes.insert(plan_.Notes.end(), local_.Notes.begin(), local_.Notes.end());
    return plan_;
}

void TPublisher::Stop() {
    stop_ = true;
}

std::vector<TPublishPhase> TPublisher::BuildPhases() const {
    std::vector<TPublishPhase> phases;
    auto phase = [&](TPublishJob::Kind kind, const std::vector<std::string>& paths, bool serial) {
        TPublishPhase p;
        p.serial = serial;
        for (const std::string& path : paths)
            p.jobs.push_back({kind, path, 0});
        phases.push_back(std::move(p));
    };
    // Temporary files an interrupted publish left go first, before this run writes such
    // names again (and renames them away, so that a later deletion would fail).
    std::vector<std::string> leftovers, deletions;
    for (const std::string& path : plan_.FilesToDelete)
        (IsTemporaryName(path) ? leftovers : deletions).push_back(path);
    // A run that changes nothing keeps the manifest as it is, and needs no lock.
    const TRunRecord nothingDone;
    const bool keep = plan_.NothingToDo() && manifest_ &&
                      *manifest_ == FinalManifest({manifest_, plan_, local_, remote_}, nothingDone);
    const std::vector<std::string> lock =
        keep ? std::vector<std::string>{} : std::vector{std::string(kLockName)};
    // A missing root is made first, so that the lock has a place; nothing else is there yet.
    std::vector<std::string> root;
    if (plan_.CreateRoot)
        root.push_back(root_); // named in full: its relative path would be ""
    phase(TPublishJob::MakeRoot, root, true);
    phase(TPublishJob::TakeLock, lock, true);
    phase(TPublishJob::DeleteFile, leftovers, false);
    std::vector<std::string> trim;
    if (ManifestDuringRun({manifest_, plan_, local_, remote_}))
        trim.push_back(kManifestName);
    phase(TPublishJob::TrimManifest, trim, true);
    phase(TPublishJob::RemoveFile, plan_.FilesToRemoveFirst, false);
    phase(TPublishJob::RemoveFolder, plan_.FoldersToRemoveFirst, true);
    phase(TPublishJob::MakeFolder, plan_.FoldersToCreate, true);
    std::vector<std::string> renames;
    for (const TCaseRename& rename : plan_.CaseRenames)
        renames.push_back(rename.To);
    phase(TPublishJob::RenameCase, renames, false);
    TPublishPhase uploads;
    for (const TPlannedUpload& upload : plan_.Uploads)
        uploads.jobs.push_back({TPublishJob::Upload, upload.Path, upload.Size});
    phases.push_back(std::move(uploads));
    // With temporary names the uploads above only stage each file; the site then switches
    // from old to new in a burst of renames, assets before the pages that refer to them.
    // Files staged and not put in place (a Stop between the two) are removed again.
    if (options_.TemporaryNames) {
        for (int order = 0; order < kPlacementOrders; ++order) {
            TPublishPhase placing;
            for (const TPlannedUpload& upload : plan_.Uploads) {
                if (PlacementOrder(upload.Path) == order)
                    placing.jobs.push_back({TPublishJob::Place, upload.Path, upload.Size});
            }
            phases.push_back(std::move(placing));
        }
        TPublishPhase unstaging;
        for (const TPlannedUpload& upload : plan_.Uploads)
            unstaging.jobs.push_back({TPublishJob::Unstage, upload.Path, upload.Size});
        unstaging.afterStop = true;
        phases.push_back(std::move(unstaging));
    }
    // Each file sent is checked on the server once in place, and sent again when it differs.
    if (options_.VerifyArrival) {
        TPublishPhase checking;
        for (const TPlannedUpload& upload : plan_.Uploads)
            checking.jobs.push_back({TPublishJob::Verify, upload.Path, upload.Size});
        phases.push_back(std::move(checking));
    }
    phase(TPublishJob::DeleteFile, deletions, false);
    phase(TPublishJob::DeleteFolder, plan_.FoldersToDelete, true);
    phase(TPublishJob::WriteManifest,
          keep ? std::vector<std::string>{} : std::vector{std::string(kManifestName)}, true);
    phases.back().afterStop = true;
    phase(TPublishJob::ReleaseLock, lock, true);
    phases.back().afterStop = true;
    phases.back().always = true;
    return phases;
}

int TPublisher::ConnectionsForRun() const {
    int jobs =
        int(plan_.Uploads.size() + plan_.FilesToDelete.size() + plan_.FilesToRemoveFirst.size());
    int count = std::clamp(options_.Connections, kMinConnections,
                           std::min(kMaxConnections, ConnectionLimit()));
    return options_.MatchConnectionsToWork
               ? ConnectionsWorthOpening(jobs, plan_.BytesToSend, secondsPerJob_, loginSeconds_,
                                         count)
               : std::max(1, std::min(count, jobs));
}

TPublishSummary TPublisher::Run() {
    // A Stop at any moment, also before this, is kept: the flag is never cleared.
    if (!prepared_)
        Prepare();
    if (!plan_.DeletionRefused.empty()) {
        TPublishSummary refused; // the guard on deletions: nothing at all is done
        refused.Failures.push_back({"", "Refused: " + plan_.DeletionRefused});
        return refused;
    }
    const int count = ConnectionsForRun();
    TJobBoard board(BuildPhases(), count, stop_);
    TRunRecord record;
    record.permissions.Reset(options_.Permissions);
    TProgressMeter progress(int(plan_.Uploads.size()), plan_.BytesToSend, count, OnProgress);
    const TManifestBasis basis{manifest_, plan_, local_, remote_};
    std::optional<TManifest> during = ManifestDuringRun(basis);
    TRunContext context{
        root_,
        options_.TemporaryNames,
        local_,
        stop_,
        board,
        record,
        progress,
        plan_.CaseRenames,
        [&](const TRunRecord& r) { return FormatManifest(FinalManifest(basis, r)); },
        during ? std::optional(FormatManifest(*during)) : std::nullopt,
        options_.VerifyArrival ? std::optional(ChooseArrivalMethod(features_)) : std::nullopt};
    record.summary.Unchanged = int(plan_.Unchanged.size());
    record.summary.Connections = count;
    RunWorkers(context, count);
    progress.Final();
    board.AccountUnfinished(record.summary);
    if (std::string note = record.permissions.Note(); !note.empty())
        record.summary.Notes.push_back(note);
    for (const auto& [path, entry] : record.uploaded)
        record.summary.Sent.push_back(path);
    record.summary.Removed.assign(record.removed.begin(), record.removed.end());
    for (const TPlanConflict& conflict : plan_.Conflicts)
        record.summary.Failures.push_back({conflict.Path, conflict.Reason});
    record.summary.Stopped = stop_;
    if (record.firstPlaced && record.lastPlaced)
        record.summary.SwitchSeconds =
            std::chrono::duration<double>(*record.lastPlaced - *record.firstPlaced).count();
    if (record.summary.Verified > 0)
        record.summary.VerifiedBy = context.arrival->Name();
    return record.summary;
}

void TPublisher::RunWorkers(TRunContext& context, int count) {
    std::vector<std::thread> threads;
    for (int i = 1; i < count; ++i) {
        threads.emplace_back([this, &context, i] {
            TConnectionWorker worker(context, connection_, i);
            worker.Run();
        });
    }
    // The first connection is the one that prepared, on its own thread, when Run follows
    // at once. After a pause (a plan shown in a dialog) the server may have closed it for
    // idleness without a word yet, and a fresh log-in is surer.
    home_->Call([this, &context] {
        std::unique_ptr<TVaneFTP> kept = std::move(kept_);
        if (kept &&
            (std::chrono::steady_clock::now() - keptSince_ > kKeptIdleLimit || !kept->Connected))
            kept.reset();
        TConnectionWorker worker(context, connection_, 0, std::move(kept));
        worker.Run();
    });
    for (std::thread& thread : threads)
        thread.join();
}

} // namespace kestrel
