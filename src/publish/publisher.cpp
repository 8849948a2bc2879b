#include "publish/publisher.h"

#include "publish/callthread.h"
#include "publish/runstate.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <sstream>
#include <unistd.h>

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
    char pattern[] = "/tmp/kestrelftp-manifest-XXXXXX";
    int fd = ::mkstemp(pattern);
    if (fd < 0)
        throw EFCreateError("Cannot create file " + std::string(pattern));
    ::close(fd);
    struct Remover {
        const char* path;
        ~Remover() { ::unlink(path); }
    } remover{pattern};
    try {
        ftp.Download(JoinRemote(root, kManifestName), pattern);
    } catch (const FTPException&) {
        return std::nullopt;
    }
    std::ifstream in(pattern, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    int bad = 0;
    std::optional<TManifest> manifest = ParseManifest(text.str(), &bad);
    if (!manifest)
        notes.push_back(std::string("The file ") + kManifestName +
                        " on the server is not a manifest of this program; it is replaced");
    else if (bad > 0)
        notes.push_back("The manifest had " + std::to_string(bad) +
                        " unreadable lines; their files are compared by size");
    return manifest;
}

// ".name.kestrel-tmp" in any folder: a name of the publisher's own.
bool IsTemporaryName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return name.size() > sizeof(kTemporarySuffix) - 1 && name[0] == '.' &&
           name.ends_with(kTemporarySuffix);
}

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

std::unique_ptr<TVaneFTP> OpenConnection(const TConnectionSettings& settings) {
    auto ftp = std::make_unique<TVaneFTP>(nullptr);
    ftp->Host = settings.Host;
    ftp->Port = settings.Port;
    ftp->UserID = settings.UserID;
    ftp->Password = settings.Password;
    ftp->DataMode = settings.DataMode;
    ftp->Encryption = settings.Encryption;
    ftp->OnCertificateCheck = settings.OnCertificateCheck;
    ftp->TimeOut = settings.TimeOut;
    ftp->Utf8Names = settings.Utf8Names;
    ftp->IacRule = settings.IacRule;
    ftp->Connect();
    ftp->Mode(2); // TYPE I: every file is sent byte for byte
    return ftp;
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
    // lists the server: neither waits for the other.
    std::future<TLocalTree> walk = std::async(std::launch::async, [this] {
        return WalkLocalTree(options_.LocalRoot, options_.Plan.Walk);
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
        Clock::time_point start = Clock::now();
        std::unique_ptr<TVaneFTP> ftp = OpenConnection(connection_);
        loginSeconds_ = since(start);
        root_ = ResolveRoot(*ftp, options_.RemoteRoot);
        bool machineList = options_.UseMachineList && OffersMachineList(ftp->Features());
        connection_.Utf8Names = connection_.Utf8Names || ftp->Utf8On;
        start = Clock::now();
        remote_ = ReadRemoteTree(*ftp, root_, machineList);
        // One listing is a data connection and two or three commands; an upload is a data
        // connection and four (PORT or PASV, STOR, RNFR, RNTO): about half as much again.
        int listings =
            1 + int(std::count_if(remote_.Entries.begin(), remote_.Entries.end(),
                                  [](const auto& entry) { return entry.second.Folder; }));
        secondsPerJob_ = 1.5 * since(start) / listings;
        notes = remote_.Notes;
        manifest_.reset();
        // MLSD shows hidden files, so a manifest it does not show is not there.
        if (remote_.RootExists && (!machineList || remote_.Entries.count(kManifestName)))
            manifest_ = ReadManifest(*ftp, root_, notes);
        // It stays logged in: Run's first connection carries on with it.
        kept_ = std::move(ftp);
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

void TPublisher::BuildPhases(RunState& state) const {
    auto phase = [&](TPublishJob::Kind kind, const std::vector<std::string>& paths, bool serial) {
        auto p = std::make_unique<TPublishPhase>();
        p->serial = serial;
        for (const std::string& path : paths)
            p->jobs.push_back({kind, path, 0});
        state.phases.push_back(std::move(p));
    };
    // Temporary files an interrupted publish left go first, before this run writes such
    // names again (and renames them away, so that a later deletion would fail).
    std::vector<std::string> leftovers, deletions;
    for (const std::string& path : plan_.FilesToDelete)
        (IsTemporaryName(path) ? leftovers : deletions).push_back(path);
    phase(TPublishJob::DeleteFile, leftovers, false);
    std::vector<std::string> trim;
    if (ManifestDuringRun())
        trim.push_back(kManifestName);
    phase(TPublishJob::TrimManifest, trim, true);
    phase(TPublishJob::RemoveFile, plan_.FilesToRemoveFirst, false);
    phase(TPublishJob::RemoveFolder, plan_.FoldersToRemoveFirst, true);
    std::vector<std::string> root;
    if (plan_.CreateRoot)
        root.push_back(root_); // named in full: its relative path would be ""
    phase(TPublishJob::MakeRoot, root, true);
    phase(TPublishJob::MakeFolder, plan_.FoldersToCreate, true);
    auto uploads = std::make_unique<TPublishPhase>();
    for (const TPlannedUpload& upload : plan_.Uploads)
        uploads->jobs.push_back({TPublishJob::Upload, upload.Path, upload.Size});
    state.phases.push_back(std::move(uploads));
    phase(TPublishJob::DeleteFile, deletions, false);
    phase(TPublishJob::DeleteFolder, plan_.FoldersToDelete, true);
    auto manifest = std::make_unique<TPublishPhase>();
    manifest->serial = true;
    manifest->afterStop = true;
    manifest->jobs.push_back({TPublishJob::WriteManifest, kManifestName, 0});
    state.phases.push_back(std::move(manifest));
    for (auto& p : state.phases)
        p->done.assign(p->jobs.size(), 0);
}

TPublishSummary TPublisher::Run() {
    if (!prepared_)
        Prepare();
    RunState state;
    BuildPhases(state);
    // A run that changes nothing keeps the manifest as it is.
    if (plan_.NothingToDo() && manifest_ && *manifest_ == FinalManifest(state))
        state.phases.back()->jobs.clear(), state.phases.back()->done.clear();
    state.filesTotal = int(plan_.Uploads.size());
    state.bytesTotal = plan_.BytesToSend;
    state.started = std::chrono::steady_clock::now();
    state.summary.Unchanged = int(plan_.Unchanged.size());
    int jobs =
        int(plan_.Uploads.size() + plan_.FilesToDelete.size() + plan_.FilesToRemoveFirst.size());
    int count = std::clamp(options_.Connections, 1, std::min(kMaxConnections, ConnectionLimit()));
    count =
        options_.MatchConnectionsToWork
            ? ConnectionsWorthOpening(jobs, plan_.BytesToSend, secondsPerJob_, loginSeconds_, count)
            : std::max(1, std::min(count, jobs));
    state.summary.Connections = count;
    state.current.assign(std::size_t(count), std::string());
    state.inFlight.assign(std::size_t(count), 0);
    stop_ = false;
    RunWorkers(state, count);
    AccountUnfinished(state);
    for (const TPlanConflict& conflict : plan_.Conflicts)
        state.summary.Failures.push_back({conflict.Path, conflict.Reason});
    state.summary.Stopped = stop_;
    return state.summary;
}

// Jobs that no connection finished: after a Stop they are simply not done; otherwise no
// connection was left to do them, or the run was given up, and each is a failure.
void TPublisher::AccountUnfinished(RunState& state) const {
    int notSent = 0;
    for (auto& phase : state.phases) {
        for (std::size_t i = 0; i < phase->jobs.size(); ++i) {
            if (phase->done[i])
                continue;
            const TPublishJob& job = phase->jobs[i];
            if (!state.halted.empty()) {
                // Nothing was changed: the manifest on the server is still true.
                if (job.kind != TPublishJob::WriteManifest)
                    state.summary.Failures.push_back({job.path, "Not done: " + state.halted});
                continue;
            }
            if (stop_ && job.kind != TPublishJob::WriteManifest) {
                notSent += job.kind == TPublishJob::Upload;
                continue;
            }
            std::string what = job.kind == TPublishJob::WriteManifest
                                   ? "The manifest was not written: no connection was left"
                                   : "Not done: no connection to the server was left";
            state.summary.Failures.push_back(
                {job.kind == TPublishJob::WriteManifest ? "" : job.path, what});
        }
    }
    if (stop_)
        state.summary.Notes.push_back("Stopped: " + std::to_string(notSent) +
                                      " files were not sent");
}

std::optional<TManifest> TPublisher::ManifestDuringRun() const {
    if (!manifest_)
        return std::nullopt;
    std::vector<std::string> touched;
    for (const TPlannedUpload& upload : plan_.Uploads)
        touched.push_back(upload.Path);
    for (const auto* paths : {&plan_.FilesToRemoveFirst, &plan_.FoldersToRemoveFirst,
                              &plan_.FilesToDelete, &plan_.FoldersToDelete})
        touched.insert(touched.end(), paths->begin(), paths->end());
    // The entry of path, and those of everything under it when it is a folder.
    auto drop = [](TManifest& manifest, const std::string& path) {
        bool dropped = manifest.erase(path) > 0;
        const std::string folder = path + "/";
        auto it = manifest.lower_bound(folder);
        while (it != manifest.end() && it->first.compare(0, folder.size(), folder) == 0) {
            it = manifest.erase(it);
            dropped = true;
        }
        return dropped;
    };
    RunState nothingDone;
    TManifest result = FinalManifest(nothingDone);
    TManifest old = *manifest_;
    bool listed = false;
    for (const std::string& path : touched) {
        listed = drop(old, path) || listed;
        drop(result, path);
    }
    if (!listed)
        return std::nullopt;
    return result;
}

// What the manifest says after the run: only what is really on the server. A file sent
// in this run, or found unchanged, has its local hash; a file left as it was keeps its old
// entry while the server still shows it with that size; a file whose old content is gone
// or may be partial has none.
TManifest TPublisher::FinalManifest(const RunState& state) const {
    TManifest result;
    if (manifest_) {
        for (const auto& [path, entry] : *manifest_) {
            auto remote = remote_.Entries.find(path);
            if (remote == remote_.Entries.end() || remote->second.Folder ||
                state.removed.count(path) || state.lost.count(path))
                continue;
            if (remote->second.Size >= 0 && remote->second.Size != entry.Size)
                continue;
            result[path] = entry;
        }
    }
    auto local = [&](const std::string& path) {
        const TLocalFile& file = local_.Files.at(path);
        result[path] = TManifestEntry{file.Hash, file.Size};
    };
    for (const std::string& path : plan_.Unchanged)
        local(path);
    for (const std::string& path : state.uploaded)
        local(path);
    for (const std::string& path : state.lost)
        if (!state.uploaded.count(path))
            result.erase(path);
    return result;
}

} // namespace kestrel
