#include "publish/undo.h"

#include "publish/manifest.h"
#include "publish/names.h"
#include "publish/siteconnection.h"
#include "publish/sitelock.h"

#include <algorithm>
#include <set>

namespace kestrel {
namespace {

int Depth(const std::string& path) {
    return int(std::count(path.begin(), path.end(), '/'));
}

// Folders parents first (shallow first), or deepest first.
std::vector<std::string> ByDepth(std::vector<std::string> folders, bool deepestFirst) {
    std::stable_sort(folders.begin(), folders.end(), [&](const auto& a, const auto& b) {
        return deepestFirst ? Depth(a) > Depth(b) : Depth(a) < Depth(b);
    });
    return folders;
}

// RNFR from, RNTO to; where the server does not rename over a file, the file at to goes
// first (only ever a version the undone run put there).
void RenameOverFile(TVaneFTP& ftp, const std::string& from, const std::string& to) {
    try {
        ftp.Rename(from, to);
    } catch (const FTPException&) {
        try {
            ftp.Delete(to);
        } catch (const FTPException&) {
            throw; // nothing in the way: the rename itself was refused
        }
        ftp.Rename(from, to);
    }
}

} // namespace

TUndo::TUndo(TConnectionSettings connection, std::string remoteRoot)
    : connection_(std::move(connection)), requestedRoot_(std::move(remoteRoot)) {}

TUndo::~TUndo() = default;

void TUndo::Open() {
    if (site_)
        return;
    auto site = std::make_unique<TSiteConnection>(connection_, stop_, 0);
    site->Open();
    TVaneFTP& ftp = site->Ftp();
    root_ = ResolveRoot(ftp, requestedRoot_);
    machineList_ = OffersMachineList(ftp.Features());
    history_ = std::make_unique<TSiteHistory>(FindHistory(ftp, root_, machineList_, false));
    site_ = std::move(site);
}

std::optional<THistoryRecord> TUndo::ReadRecord(const std::string& id) {
    TMemoryStream text;
    try {
        site_->Transfer([&] { site_->Ftp().Download(history_->RecordPath(id), text); }, 0, false);
    } catch (const FTPException&) {
        return std::nullopt;
    }
    return ParseHistoryRecord(text.ToString());
}

std::vector<TUndoRun> TUndo::List() {
    Open();
    std::vector<TUndoRun> runs;
    for (const THistoryRunInfo& info : history_->Runs) {
        TUndoRun run;
        run.Id = info.Id;
        run.Time = HistoryRunTime(info.Id);
        run.Files = info.Files;
        run.Bytes = info.Bytes;
        if (std::optional<THistoryRecord> record = ReadRecord(info.Id)) {
            run.Readable = true;
            run.Complete = record->Complete;
            run.Added = int(record->Added.size());
            run.Replaced = int(record->Replaced.size() + record->NotKept.size());
            run.Deleted = int(record->Deleted.size());
            run.FoldersMade = int(record->FoldersMade.size());
            run.FoldersRemoved = int(record->FoldersRemoved.size());
        }
        runs.push_back(run);
    }
    return runs;
}

TUndoSummary TUndo::Undo(const std::string& runId) {
    Open();
    const std::vector<THistoryRunInfo>& runs = history_->Runs;
    if (runs.empty())
        throw ENothingToUndo("There is no publish to undo: the history of " + root_ +
                             " holds no run");
    std::size_t first = runs.size() - 1;
    if (!runId.empty()) {
        auto named = std::find_if(runs.begin(), runs.end(),
                                  [&](const THistoryRunInfo& run) { return run.Id == runId; });
        if (named == runs.end())
            throw ENothingToUndo("There is no run " + runId + " in the history of " + root_);
        first = std::size_t(named - runs.begin());
    }
    TUndoSummary summary;
    auto link = TLockLink{[this]() -> TVaneFTP& { return site_->Ftp(); },
                          [this](const std::function<void(TVaneFTP&)>& transfer) {
                              site_->Transfer([&] { transfer(site_->Ftp()); }, 0, false);
                          }};
    TLockOutcome lock = TakeSiteLock(link, root_, ThisLockOwner());
    if (!lock.Note.empty())
        summary.Notes.push_back(lock.Note);
    if (!lock.Refusal.empty()) {
        summary.Failures.push_back({"", "Nothing was undone: " + lock.Refusal});
        return summary;
    }
    // The last run first: each run is undone on the site as the later ones left it.
    for (std::size_t i = runs.size(); i-- > first;) {
        const std::size_t failures = summary.Failures.size();
        try {
            UndoRun(runs[i].Id, summary);
        } catch (const std::exception& error) {
            summary.Failures.push_back({"", "Run " + runs[i].Id + ": " + ReasonText(error)});
        }
        if (summary.Failures.size() > failures || stop_)
            break;
        summary.Undone.push_back(runs[i].Id);
    }
    try {
        if (lock.Taken)
            ReleaseSiteLock(link, root_);
    } catch (const std::exception& error) {
        summary.Notes.push_back("The lock on the server could not be removed (" +
                                ReasonText(error) + ")");
    }
    // What was undone is no longer in the history.
    history_ =
        std::make_unique<TSiteHistory>(FindHistory(site_->Ftp(), root_, machineList_, false));
    return summary;
}

void TUndo::UndoRun(const std::string& id, TUndoSummary& summary) {
    std::optional<THistoryRecord> record = ReadRecord(id);
    if (!record)
        throw Exception("its record in " + history_->RunFolder(id) + " cannot be read");
    TVaneFTP& ftp = site_->Ftp();
    const TRemoteTree site = ReadRemoteTree(ftp, root_, machineList_);
    const TRemoteTree kept = ReadRemoteTree(ftp, history_->RunFolder(id), machineList_);
    auto onSite = [&](const std::string& path, bool folder) {
        auto entry = site.Entries.find(path);
        return entry != site.Entries.end() && entry->second.Folder == folder;
    };
    auto keptCopy = [&](const std::string& path) {
        return kept.Entries.count("files/" + path) > 0;
    };
    auto fail = [&](const std::string& path, const std::string& reason) {
        summary.Failures.push_back({path, reason});
    };
    auto attempt = [&](const std::string& path, const std::function<void()>& step) {
        try {
            step();
            return true;
        } catch (const FTPException& error) {
            fail(path, ReasonText(error));
            return false;
        }
    };

    // What the run added goes, with any of its staged files a cut left behind.
    for (const auto* list : {&record->Added, &record->Replaced, &record->NotKept}) {
        for (const std::string& path : *list) {
            const std::string staged = TemporaryPath(path);
            if (onSite(staged, false))
                attempt(staged, [&] { ftp.Delete(JoinRemote(root_, staged)); });
        }
    }
    for (const std::string& path : record->Added) {
        if (onSite(path, false) && attempt(path, [&] { ftp.Delete(JoinRemote(root_, path)); }))
            ++summary.Removed;
    }
    for (const std::string& folder : ByDepth(record->FoldersMade, true)) {
        if (onSite(folder, true) &&
            attempt(folder, [&] { ftp.RemoveDir(JoinRemote(root_, folder)); }))
            ++summary.FoldersRemoved;
    }
    for (const std::string& folder : ByDepth(record->FoldersRemoved, false)) {
        if (!onSite(folder, true) &&
            attempt(folder, [&] { ftp.MakeDirectory(JoinRemote(root_, folder)); }))
            ++summary.FoldersMade;
    }
    for (const auto* list : {&record->Replaced, &record->Deleted}) {
        for (const std::string& path : *list) {
            if (keptCopy(path)) {
                if (attempt(path, [&] {
                        RenameOverFile(ftp, history_->KeptPath(id, path), JoinRemote(root_, path));
                    }))
                    ++summary.Restored;
            } else if (record->Complete) {
                summary.Notes.push_back(path + ": its old version is not in the history; it "
                                               "stays as the run left it");
            } // else the cut run never got to it
        }
    }
    for (const std::string& path : record->NotKept)
        summary.Notes.push_back(path + " was replaced without its old version kept; it stays as "
                                       "the run left it");
    if (!summary.Failures.empty())
        return; // the run's folder stays for another attempt
    const std::string manifest = JoinRemote(root_, kManifestName);
    if (record->HadManifest) {
        if (!kept.Entries.count("manifest"))
            return fail(kManifestName, "the manifest before the run is not in the history");
        if (!attempt(kManifestName,
                     [&] { RenameOverFile(ftp, history_->ManifestPath(id), manifest); }))
            return;
        summary.ManifestRestored = true;
    } else if (onSite(kManifestName, false)) {
        if (!attempt(kManifestName, [&] { ftp.Delete(manifest); }))
            return;
        summary.ManifestRestored = true;
    }
    RemoveRunFolder(id);
}

// The run's folder with what is left in it: its record, folders emptied by the renames.
void TUndo::RemoveRunFolder(const std::string& id) {
    TVaneFTP& ftp = site_->Ftp();
    const std::string folder = history_->RunFolder(id);
    const TRemoteTree left = ReadRemoteTree(ftp, folder, machineList_);
    std::vector<std::string> folders;
    for (const auto& [path, entry] : left.Entries) {
        if (entry.Folder)
            folders.push_back(path);
        else
            ftp.Delete(JoinRemote(folder, path));
    }
    for (const std::string& path : ByDepth(folders, true))
        ftp.RemoveDir(JoinRemote(folder, path));
    ftp.RemoveDir(folder);
}

} // namespace kestrel
