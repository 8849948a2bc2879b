#include "publish/publisher.h"

#include "publish/arrival.h"
#include "publish/callthread.h"
#include "publish/history.h"
#include "publish/jobboard.h"
#include "publish/names.h"
#include "publish/runmanifest.h"
#include "publish/worker.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace kestrel {

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

namespace {

// The manifest in the remote root, or nothing when there is none (the server refuses to
// send it) or it is not one of ours.
std::optional<TManifest> ReadManifest(TVaneFTP& ftp, const std::string& root,
                                      std::vector<std::string>& notes) {
    TMemoryStream text;
    try {
        ftp.Download(JoinRemote(root, kManifestName), text);
    } catch (const ETlsResumeRefused&) {
        throw; // tells nothing about the manifest, and mostly ends the session
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

// How many commands of a phase go to the server together at most (folders made, files
// verified) on a server that takes them so: a few kilobytes, and replies that come back in
// one or two packets.
constexpr std::size_t kCommandBatch = 64;

// "REST STREAM" among the server's FEAT lines (RFC 3659): a transfer may start at a byte.
bool OffersRestart(const std::vector<std::string>& features) {
    for (std::string feature : features) {
        for (char& c : feature)
            c = char(std::toupper(static_cast<unsigned char>(c)));
        if (feature.compare(0, 11, "REST STREAM") == 0)
            return true;
    }
    return false;
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

namespace {

// The certificate check of a run's connections: a certificate that one connection's check
// trusted is trusted by the others at once, without a second question; another one is
// asked about as any.
TCertificateEvent TrustOnceForAll(TCertificateEvent ask) {
    if (!ask)
        return ask;
    struct Trusted {
        std::mutex mutex;
        std::string fingerprint;
    };
    auto trusted = std::make_shared<Trusted>();
    return [ask = std::move(ask), trusted](const TCertificateInfo& info, bool& accept) {
        {
            std::lock_guard lock(trusted->mutex);
            if (!trusted->fingerprint.empty() && trusted->fingerprint == info.Fingerprint) {
                accept = true;
                return;
            }
        }
        accept = false;
        ask(info, accept);
        if (accept) {
            std::lock_guard lock(trusted->mutex);
            trusted->fingerprint = info.Fingerprint;
        }
    };
}

} // namespace

TPublisher::TPublisher(TConnectionSettings connection, TPublishOptions options)
    : connection_(std::move(connection)), options_(std::move(options)) {
    connection_.OnCertificateCheck = TrustOnceForAll(std::move(connection_.OnCertificateCheck));
}

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
    OnKeptConnection([&] {
        connection_.IacRule = SettleIacRule(*kept_, root_, local_, remote_, notes);
        CheckJournal(*kept_, notes);
    });
    prepareNotes_ = notes;
    history_.reset(); // looked for once the plan changes something (see Replan)
    prepared_ = true;
    return Replan(options_.Plan);
}

// Where the history of the site is (see history.h): found out once, by trying to make its
// folder beside the root, and listed for what it holds. A run that changes nothing keeps
// nothing there, and does not ask.
void TPublisher::FindSiteHistory() {
    history_ = std::make_unique<TSiteHistory>();
    if (options_.HistoryRuns <= 0 || !options_.TemporaryNames)
        return;
    OnKeptConnection([&] {
        try {
            *history_ =
                FindHistory(*kept_, root_, options_.UseMachineList && OffersMachineList(features_),
                            true, listTogether_);
        } catch (const EListingOutOfStep&) {
            // The step runs again on a new log-in, listing the old way.
            listTogether_ = false;
            throw;
        } catch (const FTPException& error) {
            *history_ = TSiteHistory{};
            prepareNotes_.push_back("The history on the server could not be read (" +
                                    ReasonText(error) +
                                    "): this run replaces and deletes files without keeping "
                                    "them, and cannot be undone");
        }
    });
}

// Some servers end the session after a refusal (a data connection's TLS session not
// resumed), which the connection only learns from its next command: a step that finds the
// connection gone runs once more on a new log-in. A server's answer is the step's own.
void TPublisher::OnKeptConnection(const std::function<void()>& step) {
    home_->Call([&] {
        try {
            step();
        } catch (const FTPException&) {
            throw;
        } catch (const std::exception&) {
            if (stop_)
                throw;
            TSiteConnection site(connection_, stop_, 0);
            site.Open();
            kept_ = site.Release();
            keptSince_ = std::chrono::steady_clock::now();
            step();
        }
    });
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
            remote_ = ReadRemoteTree(ftp, root_, machineList, listTogether_);
        } catch (const EListingOutOfStep& error) {
            // The replies are out of step: a new log-in, and the listing the old way, for
            // the rest of this publish.
            listTogether_ = false;
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
        if (remote_.RootExists && (!machineList || remote_.Entries.count(kManifestName))) {
            // A data connection whose TLS session the server refused tells nothing about
            // the manifest and mostly ends the session: it is read again on a new log-in,
            // which the work after it needs anyway.
            try {
                manifest_ = ReadManifest(site.Ftp(), root_, notes);
            } catch (const ETlsResumeRefused&) {
                site.Open();
                manifest_ = ReadManifest(site.Ftp(), root_, notes);
            }
        }
        // It stays logged in: Run's first connection carries on with it.
        kept_ = site.Release();
        keptSince_ = Clock::now();
    });
}

const TPublishPlan& TPublisher::Replan(const TPlanOptions& options) {
    options_.Plan = options;
    plan_ = MakePlan(local_, remote_, manifest_, options_.Plan);
    ApplyJournal();
    if (!history_ && !plan_.NothingToDo())
        FindSiteHistory();
    if (history_)
        plan_.History = PlanHistory(*history_, plan_, remote_, options_.HistoryRuns);
    plan_.Notes.insert(plan_.Notes.begin(), prepareNotes_.begin(), prepareNotes_.end());
    plan_.Notes.insert(plan_.Notes.end(), local_.Notes.begin(), local_.Notes.end());
    return plan_;
}

// A journal entry is trusted only as far as the server and the local file bear it out: the
// server shows the name with the journal's size (and, where it offers a hash command, the
// journal's content), and the local file still has the journal's hash.
void TPublisher::CheckJournal(TVaneFTP& ftp, std::vector<std::string>& notes) {
    resume_ = {};
    partial_.clear();
    journal_.reset();
    if (options_.JournalFolder.empty() || !options_.TemporaryNames)
        return;
    const std::string site =
        JournalSiteName(connection_.Host, connection_.Port, connection_.UserID, root_);
    journal_ = std::make_unique<TJournal>(JournalPath(options_.JournalFolder, site), site);
    const TJournalState state = journal_->Load(notes);
    resume_.Site = site;
    if (state.Empty())
        return;
    const TArrivalMethod method = ChooseArrivalMethod(features_);
    // The size the server shows for a path: the listing's, else SIZE's; -1 when none.
    auto sizeOnServer = [&](const std::string& path) -> std::int64_t {
        auto entry = remote_.Entries.find(path);
        if (entry != remote_.Entries.end())
            return entry->second.Folder ? -1 : entry->second.Size;
        try {
            return std::stoll(AskServer(ftp, TArrivalMethod{}, JoinRemote(root_, path)));
        } catch (const std::exception&) {
            return -1; // not there, or not to be found out
        }
    };
    auto contentOnServer = [&](const std::string& path, const TLocalFile& file) {
        if (method.kind == TArrivalMethod::Size)
            return true; // the size was all the server can tell
        try {
            const bool sha256 =
                method.kind == TArrivalMethod::Hash && method.algorithm == "SHA-256";
            return AskServer(ftp, method, JoinRemote(root_, path)) ==
                   (sha256 ? file.Hash : LocalProof(method, file.FullPath));
        } catch (const std::exception&) {
            return false;
        }
    };
    auto localFile = [&](const std::string& path, const TManifestEntry& entry) {
        auto file = local_.Files.find(path);
        return file != local_.Files.end() && file->second.Hash == entry.Hash &&
                       file->second.Size == entry.Size
                   ? &file->second
                   : nullptr;
    };
    for (const auto& [path, entry] : state.Placed) {
        const TLocalFile* file = localFile(path, entry);
        if (file && sizeOnServer(path) == entry.Size && contentOnServer(path, *file))
            resume_.Placed[path] = entry;
    }
    for (const auto* staged : {&state.Staged, &state.Sending}) {
        for (const auto& [path, entry] : *staged) {
            const TLocalFile* file = localFile(path, entry);
            if (!file)
                continue;
            const std::string temporary = TemporaryPath(path);
            const std::int64_t size = sizeOnServer(temporary);
            // A part the size of the whole is the whole: a data connection carries a prefix
            // of what was sent, never other bytes.
            if (size == entry.Size && contentOnServer(temporary, *file))
                resume_.Staged[path] = entry;
            else if (staged == &state.Sending && size > 0 && size < entry.Size &&
                     OffersRestart(features_)) {
                resume_.Sending[path] = entry;
                partial_[path] = size;
            }
        }
    }
    const std::size_t trusted =
        resume_.Placed.size() + resume_.Staged.size() + resume_.Sending.size();
    const std::size_t listed = state.Placed.size() + state.Staged.size() + state.Sending.size();
    if (trusted < listed)
        notes.push_back("The journal of an earlier run names " + std::to_string(listed - trusted) +
                        " files that are no longer as it says, on the server or here; they are "
                        "sent again");
}

void TPublisher::ApplyJournal() {
    proven_.clear();
    placedResumed_ = 0;
    placedBytes_ = 0;
    plan_.FilesResumed = 0;
    plan_.BytesResumed = 0;
    std::set<std::string> counted; // temporary names this run continues from
    for (TPlannedUpload& upload : plan_.Uploads) {
        if (resume_.Staged.count(upload.Path)) {
            upload.Staged = true;
            plan_.BytesResumed += upload.Size;
        } else if (auto part = partial_.find(upload.Path); part != partial_.end()) {
            upload.RestartAt = part->second;
            plan_.BytesResumed += part->second;
        } else {
            continue;
        }
        ++plan_.FilesResumed;
        counted.insert(TemporaryPath(upload.Path));
    }
    // Files put in place by the cut run, whose new content the manifest on the server may not
    // know yet: as they are, and into the manifest.
    for (const auto& [path, entry] : resume_.Placed) {
        auto upload = std::find_if(plan_.Uploads.begin(), plan_.Uploads.end(),
                                   [&](const TPlannedUpload& u) { return u.Path == path; });
        if (upload != plan_.Uploads.end()) {
            plan_.BytesToSend -= upload->Size;
            plan_.BytesResumed += upload->Size;
            ++plan_.FilesResumed;
            ++placedResumed_;
            placedBytes_ += upload->Size;
            plan_.Uploads.erase(upload);
            plan_.Unchanged.push_back(path);
            proven_[path] = entry;
        } else if (std::find(plan_.Unchanged.begin(), plan_.Unchanged.end(), path) !=
                   plan_.Unchanged.end()) {
            proven_[path] = entry;
        }
    }
    // The temporary names the journal still counts on are not litter.
    std::erase_if(plan_.FilesToDelete,
                  [&](const std::string& path) { return counted.count(path) > 0; });
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
    const bool keep = plan_.NothingToDo() && manifest_ && proven_.empty() &&
                      *manifest_ == FinalManifest({manifest_, plan_, local_, remote_}, nothingDone);
    const std::vector<std::string> lock =
        keep ? std::vector<std::string>{} : std::vector{std::string(kLockName)};
    // A missing root is made first, so that the lock has a place; nothing else is there yet.
    std::vector<std::string> root;
    if (plan_.CreateRoot)
        root.push_back(root_); // named in full: its relative path would be ""
    phase(TPublishJob::MakeRoot, root, true);
    phase(TPublishJob::TakeLock, lock, true);
    // The history of the run is begun before the first change, and completed at the end.
    const std::vector<std::string> history =
        historyRun_ ? std::vector{std::string()} : std::vector<std::string>{};
    phase(TPublishJob::BeginHistory, history, true);
    phase(TPublishJob::DeleteFile, leftovers, false);
    std::vector<std::string> trim;
    if (ManifestDuringRun({manifest_, plan_, local_, remote_}))
        trim.push_back(kManifestName);
    phase(TPublishJob::TrimManifest, trim, true);
    phase(TPublishJob::RemoveFile, plan_.FilesToRemoveFirst, false);
    phase(TPublishJob::RemoveFolder, plan_.FoldersToRemoveFirst, true);
    phase(TPublishJob::MakeFolder, plan_.FoldersToCreate, true);
    phases.back().batch = kCommandBatch; // their MKDs together, parents first
    std::vector<std::string> renames;
    for (const TCaseRename& rename : plan_.CaseRenames)
        renames.push_back(rename.To);
    phase(TPublishJob::RenameCase, renames, false);
    TPublishPhase uploads;
    for (const TPlannedUpload& upload : plan_.Uploads)
        uploads.jobs.push_back({TPublishJob::Upload, upload.Path, upload.Size});
    uploads.batch = kCommandBatch; // small files one after another, each sent ahead
    uploads.batchUpTo = TVaneFTP::kEarlyDataBytes;
    phases.push_back(std::move(uploads));
    // With temporary names the uploads above only stage each file; the site then switches
    // from old to new in a burst of renames, assets before the pages that refer to them.
    // Files staged and not put in place (a Stop between the two) are removed again.
    if (options_.TemporaryNames) {
        for (int order = 0; order < kPlacementOrders; ++order) {
            TPublishPhase placing;
            placing.batch = kCommandBatch; // the renames of many files in one packet
            placing.wholeShares = true;
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
        checking.batch = kCommandBatch; // many files asked about in one round trip
        checking.wholeShares = true;
        phases.push_back(std::move(checking));
    }
    phase(TPublishJob::DeleteFile, deletions, false);
    phase(TPublishJob::DeleteFolder, plan_.FoldersToDelete, true);
    phase(TPublishJob::WriteManifest,
          keep ? std::vector<std::string>{} : std::vector{std::string(kManifestName)}, true);
    phases.back().afterStop = true;
    phase(TPublishJob::EndHistory, history, true);
    phases.back().afterStop = true;
    phases.back().always = true;
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

int TPublisher::ConnectionsToGrowTo(int count) const {
    const int limit = std::min({options_.GrowTo, kMaxConnections, ConnectionLimit()});
    if (!options_.MatchConnectionsToWork || limit <= count)
        return count;
    return std::max(count, ConnectionsWorthOpening(int(plan_.Uploads.size()), plan_.BytesToSend,
                                                   secondsPerJob_, loginSeconds_, limit));
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
    const int most = ConnectionsToGrowTo(count);
    // A run that changes something keeps what it replaces and deletes in the history.
    historyRun_.reset();
    if (plan_.History.On && !plan_.NothingToDo())
        historyRun_ = std::make_unique<THistoryRun>(
            *history_, NextHistoryRunId(std::chrono::system_clock::now(), history_->Runs), plan_,
            options_.HistoryRuns);
    TJobBoard board(BuildPhases(), most, stop_);
    TRunRecord record;
    record.permissions.Reset(options_.Permissions);
    TProgressMeter progress(int(plan_.Uploads.size()), plan_.BytesToSend, most, OnProgress);
    const TManifestBasis basis{manifest_, plan_, local_, remote_};
    // The journal starts from what this run continues, and the placed files it takes over.
    std::map<std::string, std::int64_t> restartAt;
    if (journal_) {
        TJournalState kept;
        for (const TPlannedUpload& upload : plan_.Uploads) {
            if (upload.Staged)
                kept.Staged[upload.Path] = resume_.Staged.at(upload.Path);
            else if (upload.RestartAt > 0) {
                kept.Sending[upload.Path] = resume_.Sending.at(upload.Path);
                restartAt[upload.Path] = upload.RestartAt;
            }
        }
        kept.Placed = proven_;
        journal_->Begin(std::move(kept));
        for (const auto& [path, entry] : proven_)
            record.uploaded[path] = entry;
        record.summary.Resumed = placedResumed_;
        record.summary.BytesNotResent = placedBytes_;
    }
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
        options_.VerifyArrival ? std::optional(ChooseArrivalMethod(features_)) : std::nullopt,
        historyRun_.get(),
        journal_.get(),
        &restartAt};
    record.summary.Unchanged = int(plan_.Unchanged.size());
    record.summary.Connections = RunWorkers(context, count, most);
    progress.Final();
    if (record.refusedAsTooMany > 0) {
        record.summary.ConnectionsAllowed = record.summary.Connections - record.refusedAsTooMany;
        record.summary.Notes.push_back(
            "The server allowed " + std::to_string(record.summary.ConnectionsAllowed) +
            (record.summary.ConnectionsAllowed == 1 ? " connection" : " connections") +
            " at once (" + record.tooManyReply + "); the run went on with those");
    }
    board.AccountUnfinished(record.summary);
    if (std::string note = record.permissions.Note(); !note.empty())
        record.summary.Notes.push_back(note);
    for (const auto& [path, entry] : record.uploaded)
        if (!proven_.count(path))
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
    // A run in the history is kept for undo, also when its record could not be completed.
    if (historyRun_ && historyRun_->Started() && historyRun_->End() != THistoryRun::TEnd::Removed) {
        record.summary.HistoryRun = historyRun_->Id();
        if (historyRun_->End() == THistoryRun::TEnd::Open)
            record.summary.Notes.push_back("The record of this run in the history could not be "
                                           "completed; undo goes by what the run set out to do");
    }
    if (journal_) {
        // A complete run's manifest says all; a cut one leaves the journal to the next.
        if (record.summary.Succeeded())
            journal_->Finish();
        else
            journal_->Flush();
        if (std::string problem = journal_->Problem(); !problem.empty())
            record.summary.Notes.push_back(problem);
    }
    return record.summary;
}

bool TPublisher::WorthOpening(const TRunContext& context, int index, std::size_t upload) const {
    if (stop_ || upload >= context.board.PhaseCount())
        return false;
    bool refused = false;
    context.record.Record([&] { refused = context.record.refusedAsTooMany > 0; });
    if (refused)
        return false; // the server's cap is reached
    const int left = int(context.board.Unclaimed(upload));
    return ConnectionsWorthOpening(left, 0, secondsPerJob_, loginSeconds_, index + 1) > index;
}

namespace {

// Whether each connection of a run logged in at its start, for the connections beyond the
// first count: each of those opens only once the one before it is in.
class TLogIns {
public:
    explicit TLogIns(int connections) : in_(std::size_t(connections), 0) {}
    void Report(int index, bool in) {
        std::lock_guard lock(mutex_);
        in_[std::size_t(index)] = in ? 1 : -1;
        changed_.notify_all();
    }
    // Waits until the index-th connection's log-in is over; true when it got in.
    bool Wait(int index) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return in_[std::size_t(index)] != 0; });
        return in_[std::size_t(index)] > 0;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> in_; // 0: not known yet, 1: logged in, -1: not
};

} // namespace

int TPublisher::RunWorkers(TRunContext& context, int count, int most) {
    std::size_t upload = 0;
    while (upload < context.board.PhaseCount() &&
           (context.board.Phase(upload).jobs.empty() ||
            context.board.Job(upload, 0).kind != TPublishJob::Upload))
        ++upload;
    TLogIns logIns(most);
    std::atomic<int> opened{count};
    std::vector<std::thread> threads;
    for (int i = 1; i < most; ++i) {
        threads.emplace_back([this, &context, &logIns, &opened, upload, count, i] {
            // One more than the run started with: only while the server takes them and the
            // work left repays the log-in.
            if (i >= count && !(logIns.Wait(i - 1) && WorthOpening(context, i, upload))) {
                logIns.Report(i, false);
                context.board.Withdraw();
                return;
            }
            if (i >= count)
                ++opened;
            TConnectionWorker worker(context, connection_, i);
            worker.Run([&](bool in) { logIns.Report(i, in); });
        });
    }
    // The first connection is the one that prepared, on its own thread, when Run follows
    // at once. After a pause (a plan shown in a dialog) the server may have closed it for
    // idleness without a word yet, and a fresh log-in is surer.
    home_->Call([this, &context, &logIns] {
        std::unique_ptr<TVaneFTP> kept = std::move(kept_);
        if (kept &&
            (std::chrono::steady_clock::now() - keptSince_ > kKeptIdleLimit || !kept->Connected))
            kept.reset();
        TConnectionWorker worker(context, connection_, 0, std::move(kept));
        worker.Run([&](bool in) { logIns.Report(0, in); });
    });
    for (std::thread& thread : threads)
        thread.join();
    return opened;
}

} // namespace kestrel
