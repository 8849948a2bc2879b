#include "publish/jobs.h"

#include "publish/names.h"
#include "publish/sitelock.h"

#include <algorithm>

namespace kestrel {

TJobRunner::TJobRunner(TRunContext& context, TSiteConnection& site, int index)
    : c_(context), site_(site), t_(context, site, index) {}

bool TJobRunner::Connected() {
    return t_.Connected();
}

bool TJobRunner::Perform(const TPublishJob& job) {
    try {
        switch (job.kind) {
        case TPublishJob::RemoveFile:
        case TPublishJob::DeleteFile:
        case TPublishJob::RemoveFolder:
        case TPublishJob::DeleteFolder: {
            bool folder =
                job.kind == TPublishJob::RemoveFolder || job.kind == TPublishJob::DeleteFolder;
            // With a history a file goes there instead (a temporary name left over is not
            // content); a folder, empty by now, is made again by undo.
            if (folder)
                site_.Ftp().RemoveDir(t_.Remote(job.path));
            else if (c_.history && !IsTemporaryName(job.path))
                t_.MoveToHistory(job.path);
            else
                site_.Ftp().Delete(t_.Remote(job.path));
            if (folder && c_.history)
                c_.history->FolderRemoved(job.path);
            c_.record.Record([&] {
                c_.record.removed.insert(job.path);
                ++c_.record.summary.Deleted;
            });
            return true;
        }
        case TPublishJob::MakeRoot:
            MakeRoot();
            return true;
        case TPublishJob::MakeFolder:
            site_.Ftp().MakeDirectory(t_.Remote(job.path));
            FolderMade(job.path);
            return true;
        case TPublishJob::RenameCase:
            RenameCase(job.path);
            return true;
        case TPublishJob::Upload:
            return t_.Upload(job);
        case TPublishJob::Place:
            return t_.Place(job);
        case TPublishJob::Verify:
            return t_.Verify(job);
        case TPublishJob::Unstage:
            t_.Unstage(job);
            return true;
        case TPublishJob::WriteManifest:
            WriteManifest();
            return true;
        case TPublishJob::TrimManifest:
            TrimManifest();
            return true;
        case TPublishJob::TakeLock:
            TakeLock();
            return true;
        case TPublishJob::ReleaseLock:
            ReleaseLock();
            return true;
        case TPublishJob::BeginHistory:
            BeginHistory();
            return true;
        case TPublishJob::EndHistory:
            EndHistory();
            return true;
        }
    } catch (const std::exception& error) {
        if (c_.stop)
            return false; // ended by the Stop: not done, not failed
        c_.record.Fail(job.path, ReasonText(error));
    }
    return true;
}

std::vector<bool> TJobRunner::PerformBatch(const std::vector<const TPublishJob*>& jobs,
                                           const TMoreJobs& more) {
    const bool same = std::all_of(jobs.begin(), jobs.end(), [&](const TPublishJob* job) {
        return job->kind == jobs.front()->kind;
    });
    if (!jobs.empty() && same && jobs.front()->kind == TPublishJob::Verify)
        return t_.VerifyBatch(jobs);
    if (!jobs.empty() && same && jobs.front()->kind == TPublishJob::Place)
        return t_.PlaceBatch(jobs);
    if (!jobs.empty() && same && jobs.front()->kind == TPublishJob::Upload)
        return t_.UploadBatch(jobs, more);
    if (!jobs.empty() && same && jobs.front()->kind == TPublishJob::MakeFolder &&
        site_.Ftp().Pipelining)
        return MakeFolders(jobs);
    std::vector<bool> done;
    for (const TPublishJob* job : jobs) {
        // A job whose connection was lost for good is left undone, as between single jobs.
        if (!done.empty() && (c_.stop || !Connected())) {
            done.push_back(false);
            continue;
        }
        done.push_back(Perform(*job));
    }
    return done;
}

void TJobRunner::FolderMade(const std::string& path) {
    if (c_.history)
        c_.history->FolderMade(path);
    c_.record.Record([&] { ++c_.record.summary.Created; });
    c_.record.permissions.Apply(site_.Ftp(), t_.Remote(path), true);
}

// Every MKD in one batch, parents before children as the phase orders them: the server
// carries them out in that order, and a refusal belongs to the folder of its own command.
std::vector<bool> TJobRunner::MakeFolders(const std::vector<const TPublishJob*>& jobs) {
    std::vector<std::string> commands;
    for (const TPublishJob* job : jobs)
        commands.push_back("MKD " + t_.Remote(job->path));
    std::vector<FtpReply> replies;
    try {
        replies = site_.Ftp().Pipeline(commands);
    } catch (const std::exception& error) {
        // Replies may still be on the way: the next command goes on a new log-in. Which
        // folders were made is not known; the next run makes what is missing.
        site_.Drop();
        if (c_.stop)
            return std::vector<bool>(jobs.size(), false);
        for (const TPublishJob* job : jobs)
            c_.record.Fail(job->path, ReasonText(error));
        return std::vector<bool>(jobs.size(), true);
    }
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (IsCompletion(replies[i].code)) {
            FolderMade(jobs[i]->path);
            continue;
        }
        std::string reason = replies[i].Text();
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r'))
            reason.pop_back();
        c_.record.Fail(jobs[i]->path, reason);
    }
    return std::vector<bool>(jobs.size(), true);
}

// Creates the remote root and whatever of its parents is missing.
void TJobRunner::MakeRoot() {
    const std::string& root = c_.remoteRoot;
    std::size_t start = 1;
    while (start <= root.size()) {
        std::size_t end = root.find('/', start);
        if (end == std::string::npos)
            end = root.size();
        start = end + 1;
        try {
            site_.Ftp().MakeDirectory(root.substr(0, end));
        } catch (const FTPException&) {
            if (end == root.size())
                throw; // the root itself could not be made
        }
    }
    c_.record.Record([&] { ++c_.record.summary.Created; });
    c_.record.permissions.Apply(site_.Ftp(), root, true);
}

// "Index.htm" -> "index.htm" before the upload of the new spelling: on a server that
// ignores case the old name is the same file, and deleting it would delete the new one.
void TJobRunner::RenameCase(const std::string& to) {
    auto it = std::find_if(c_.caseRenames.begin(), c_.caseRenames.end(),
                           [&](const TCaseRename& rename) { return rename.To == to; });
    if (it == c_.caseRenames.end())
        return;
    // With a history the old spelling goes there instead: the new one is then a file the
    // run adds, and undo brings the old one back under its own name.
    if (c_.history)
        t_.MoveToHistory(it->From);
    else
        site_.Ftp().Rename(t_.Remote(it->From), t_.Remote(to));
    c_.record.Record([&] { c_.record.removed.insert(it->From); });
}

void TJobRunner::WriteManifest() {
    TFinishingScope finishing(site_, true);
    std::string text;
    c_.record.Record([&] { text = c_.finalManifest(c_.record); });
    std::string reason = PutManifest(text);
    if (!reason.empty())
        c_.record.Fail("", "The manifest could not be written: " + reason);
    else
        c_.record.Record([&] { c_.record.summary.ManifestWritten = true; });
}

// Before the first change, the manifest without what the run may change: it then stays
// true whenever the run ends. When it cannot be written, nothing is changed at all.
void TJobRunner::TrimManifest() {
    if (!c_.manifestDuringRun)
        return;
    std::string reason = PutManifest(*c_.manifestDuringRun);
    if (reason.empty())
        return;
    c_.record.Fail("", "The manifest could not be updated before the changes: " + reason);
    c_.board.Halt("the manifest could not be updated first");
}

TLockLink TJobRunner::LockLink() {
    return {
        [this]() -> TVaneFTP& { return site_.Ftp(); },
        [this](const std::function<void(TVaneFTP&)>& transfer) { t_.Send(transfer, 0, false); }};
}

// Before the first change: a run that finds another one at work changes nothing.
void TJobRunner::TakeLock() {
    TLockOutcome outcome = TakeSiteLock(LockLink(), c_.remoteRoot, ThisLockOwner());
    if (!outcome.Note.empty())
        c_.record.Note(outcome.Note);
    if (outcome.Taken)
        c_.record.Record([&] { c_.record.lockHeld = true; });
    if (outcome.Refusal.empty())
        return;
    c_.record.Fail("", "Nothing was published: " + outcome.Refusal);
    c_.board.Halt(outcome.Refusal);
}

// The last step, also after a Stop or a run given up: the lock this run took goes.
void TJobRunner::ReleaseLock() {
    bool held = false;
    c_.record.Record([&] { held = c_.record.lockHeld; });
    if (!held)
        return;
    TFinishingScope finishing(site_, true);
    try {
        if (!t_.Connected())
            throw Exception("no connection to the server");
        ReleaseSiteLock(LockLink(), c_.remoteRoot);
        c_.record.Record([&] { c_.record.lockHeld = false; });
    } catch (const std::exception& error) {
        c_.record.Note("The lock on the server could not be removed (" + ReasonText(error) +
                       "); the next publish from this computer takes it over");
    }
}

// The history's folders for a run, parents first; in one packet where the server takes
// commands together. Any refusal fails the history, as the first one would one by one.
void TJobRunner::MakeHistoryFolders(const std::vector<std::string>& folders) {
    TVaneFTP& ftp = site_.Ftp();
    if (!ftp.Pipelining || folders.size() < 2) {
        for (const std::string& folder : folders)
            ftp.MakeDirectory(folder);
        return;
    }
    std::vector<std::string> commands;
    for (const std::string& folder : folders)
        commands.push_back("MKD " + folder);
    for (const FtpReply& reply : ftp.Pipeline(commands))
        if (!IsCompletion(reply.code))
            throw FTPException(reply.Text());
}

// Before the first change: the run's folder in the history with the folders its files go
// to, the manifest as it is, and the record of what the run sets out to do, so that a run
// cut at any later point can be undone. When any of it fails, the run goes on without a
// history, as it does without a lock, and says so.
void TJobRunner::BeginHistory() {
    THistoryRun& history = *c_.history;
    const TSiteHistory& site = history.Site();
    try {
        if (!t_.Connected())
            throw Exception("no connection to the server");
        TVaneFTP& ftp = site_.Ftp();
        if (!site.Exists)
            ftp.MakeDirectory(site.Folder);
        if (!site.Protected) {
            std::string reason = PutText(JoinRemote(site.Folder, ".htaccess"), HistoryAccessText());
            // Inside the site the history must be closed to visitors; beside it, it mostly is.
            if (!reason.empty() && site.InsideRoot)
                throw Exception("its .htaccess could not be written: " + reason);
        }
        MakeHistoryFolders(history.FoldersToMake());
        TMemoryStream manifest;
        bool hadManifest = true;
        try {
            t_.Send([&](TVaneFTP& f) { f.Download(t_.Remote(kManifestName), manifest); }, 0, false);
        } catch (const FTPException&) {
            hadManifest = false; // none on the server
        }
        if (hadManifest) {
            std::string reason = PutText(site.ManifestPath(history.Id()), manifest.ToString());
            if (!reason.empty())
                throw Exception("the manifest could not be kept: " + reason);
        }
        history.SetHadManifest(hadManifest);
        std::string reason =
            PutText(site.RecordPath(history.Id()), FormatHistoryRecord(history.Intended()));
        if (!reason.empty())
            throw Exception("its record could not be written: " + reason);
        history.SetStarted();
    } catch (const std::exception& error) {
        if (c_.stop)
            throw;
        // As without a lock, the run goes on, without a history: nothing is changed yet.
        c_.record.Note("No history could be started in " + site.Folder + " (" + ReasonText(error) +
                       "): this run replaces and deletes files without keeping them, and "
                       "cannot be undone");
        RemoveHistoryRun(history.Id(), true);
        c_.history = nullptr; // the later phases begin once this one is over
    }
}

// The last step before the lock goes, also after a Stop or a run given up: the record says
// what the run did. A run that changed nothing leaves no run in the history; after a run
// that succeeded, the runs beyond the number kept are removed.
void TJobRunner::EndHistory() {
    if (!c_.history || !c_.history->Started())
        return;
    THistoryRun& history = *c_.history;
    TFinishingScope finishing(site_, true);
    const TSiteHistory& site = history.Site();
    const THistoryRecord done = history.Done();
    try {
        if (!t_.Connected())
            throw Exception("no connection to the server");
        if (done.Empty()) {
            RemoveHistoryRun(history.Id(), true);
            history.SetEnd(THistoryRun::TEnd::Removed);
            return;
        }
        std::string reason = PutText(site.RecordPath(history.Id()), FormatHistoryRecord(done));
        if (!reason.empty())
            throw Exception(reason);
        history.SetEnd(THistoryRun::TEnd::Completed);
    } catch (const std::exception& error) {
        c_.record.Note("The record of this run in the history could not be completed (" +
                       ReasonText(error) + "); undo goes by what the run set out to do");
        history.SetEnd(THistoryRun::TEnd::Failed);
        return;
    }
    bool succeeded = false;
    c_.record.Record([&] { succeeded = c_.record.summary.Failures.empty(); });
    if (!succeeded || c_.stop)
        return;
    for (const std::string& id : history.RunsToPrune())
        RemoveHistoryRun(id, false);
}

// Removes a run folder of the history with all it holds: this run's own (nothing in it but
// what BeginHistory made), or an older one as listed before the run.
void TJobRunner::RemoveHistoryRun(const std::string& id, bool own) {
    THistoryRun& history = *c_.history;
    const TSiteHistory& site = history.Site();
    TFinishingScope finishing(site_, true);
    try {
        if (own) {
            // Whatever of it was made: each step on its own.
            auto quietly = [](const std::function<void()>& step) {
                try {
                    step();
                } catch (const FTPException&) {
                }
            };
            quietly([&] { site_.Ftp().Delete(site.ManifestPath(id)); });
            quietly([&] { site_.Ftp().Delete(site.RecordPath(id)); });
            std::vector<std::string> folders = history.FoldersToMake();
            for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
                quietly([&] { site_.Ftp().RemoveDir(*folder); });
            return;
        }
        for (const auto& [path, folder] : history.ContentsOf(id)) {
            const std::string full = JoinRemote(site.Folder, path);
            folder ? site_.Ftp().RemoveDir(full) : site_.Ftp().Delete(full);
        }
    } catch (const std::exception& error) {
        c_.record.NoteOnce("prune", "A run in the history could not be removed (" +
                                        ReasonText(error) + "); the next publish tries again");
    }
}

// Sends text from memory under a temporary name beside path and renames it over path.
// Returns the reason of a failure, or "".
std::string TJobRunner::PutText(const std::string& path, const std::string& text) {
    const std::string temporary = JoinRemote(Parent(path), TemporaryPath(BaseName(path)));
    try {
        TMemoryStream stream;
        stream.WriteString(text);
        try {
            t_.Send([&](TVaneFTP& ftp) { ftp.Upload(stream, temporary); }, stream.Size(), false);
            try {
                site_.Ftp().Rename(temporary, path);
            } catch (const FTPException&) {
                // A server that does not rename over a file: the old one goes first.
                site_.Ftp().Delete(path);
                site_.Ftp().Rename(temporary, path);
            }
        } catch (...) {
            try {
                site_.Ftp().Delete(temporary);
            } catch (const std::exception&) {
            }
            throw;
        }
    } catch (const std::exception& error) {
        return ReasonText(error);
    }
    return "";
}

// Sends the manifest's text from memory under a temporary name and renames it over the
// manifest. Returns the reason of a failure, or "".
std::string TJobRunner::PutManifest(const std::string& text) {
    const std::string temporary = TemporaryPath(kManifestName);
    try {
        if (!t_.Connected())
            throw Exception("no connection to the server");
        TMemoryStream stream;
        stream.WriteString(text);
        try {
            t_.Send([&](TVaneFTP& ftp) { ftp.Upload(stream, t_.Remote(temporary)); }, stream.Size(),
                    false);
            t_.PlaceOver(temporary, kManifestName);
        } catch (...) {
            t_.RemoveTemporary(temporary);
            throw;
        }
    } catch (const std::exception& error) {
        return ReasonText(error);
    }
    return "";
}

} // namespace kestrel
