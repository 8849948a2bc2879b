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
            folder ? site_.Ftp().RemoveDir(t_.Remote(job.path))
                   : site_.Ftp().Delete(t_.Remote(job.path));
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
        }
    } catch (const std::exception& error) {
        if (c_.stop)
            return false; // ended by the Stop: not done, not failed
        c_.record.Fail(job.path, ReasonText(error));
    }
    return true;
}

std::vector<bool> TJobRunner::PerformBatch(const std::vector<const TPublishJob*>& jobs) {
    const bool same = std::all_of(jobs.begin(), jobs.end(), [&](const TPublishJob* job) {
        return job->kind == jobs.front()->kind;
    });
    if (!jobs.empty() && same && jobs.front()->kind == TPublishJob::Verify)
        return t_.VerifyBatch(jobs);
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
