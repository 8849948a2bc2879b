#include "publish/jobs.h"

#include "publish/names.h"
#include "publish/remotetree.h"
#include "publish/sha256.h"
#include "publish/sitelock.h"

#include <sys/stat.h>

namespace kestrel {
namespace {

constexpr int kUploadAttempts = 3;

// What tells that a file was written to: its size and its time to the nanosecond.
struct FileState {
    std::int64_t size = -1;
    std::int64_t seconds = -1;
    std::int64_t nanoseconds = -1;
    bool operator==(const FileState&) const = default;
};

FileState StateOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return {};
    return {std::int64_t(info.st_size), std::int64_t(info.st_mtim.tv_sec),
            std::int64_t(info.st_mtim.tv_nsec)};
}

// Marks the connection as doing the work that runs after a Stop for the length of a scope
// (when on; a scope inside such work keeps it so).
class FinishingScope {
public:
    FinishingScope(TSiteConnection& site, bool on) : site_(site) {
        previous_ = site_.Finishing(true);
        site_.Finishing(on || previous_);
    }
    ~FinishingScope() { site_.Finishing(previous_); }
    FinishingScope(const FinishingScope&) = delete;
    FinishingScope& operator=(const FinishingScope&) = delete;

private:
    TSiteConnection& site_;
    bool previous_ = false;
};

} // namespace

TJobRunner::TJobRunner(TRunContext& context, TSiteConnection& site, int index)
    : c_(context), site_(site), index_(index) {
    site_.OnSent = [this](std::int64_t bytes) { c_.progress.Sent(index_, bytes); };
}

bool TJobRunner::Connected() {
    if (site_.Ensure())
        return true;
    if (std::optional<std::string> failure = site_.TakeFailure())
        c_.record.Note(*failure);
    return false;
}

std::string TJobRunner::Remote(const std::string& relative) const {
    return JoinRemote(c_.remoteRoot, relative);
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
            folder ? site_.Ftp().RemoveDir(Remote(job.path)) : site_.Ftp().Delete(Remote(job.path));
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
            site_.Ftp().MakeDirectory(Remote(job.path));
            c_.record.Record([&] { ++c_.record.summary.Created; });
            return true;
        case TPublishJob::Upload:
            return Upload(job);
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
}

bool TJobRunner::Upload(const TPublishJob& job) {
    c_.progress.Begin(index_, job.path);
    Stage stage = Stage::Sending;
    bool finished = true;
    try {
        finished = SendAndPlace(job, stage);
    } catch (const std::exception& error) {
        finished = AfterFailedUpload(job, error, stage);
    }
    c_.progress.End(index_, job.size);
    return finished;
}

// Sends the file (under its temporary name, then placed over the real one) and records the
// hash of the bytes sent: the file is hashed again just before it is sent, since it may have
// changed since the plan (an editor saving it), and a file that changed while it was sent
// is known by no hash.
bool TJobRunner::SendAndPlace(const TPublishJob& job, Stage& stage) {
    const TLocalFile& file = c_.local.Files.at(job.path);
    const FileState before = StateOf(file.FullPath);
    std::string hash = FileSha256(file.FullPath);
    const std::string target = c_.temporaryNames ? TemporaryPath(job.path) : job.path;
    Send([&](TVaneFTP& ftp) { ftp.Upload(file.FullPath, Remote(target)); }, before.size, true);
    if (StateOf(file.FullPath) != before)
        hash.clear();
    if (c_.temporaryNames) {
        if (c_.stop) {
            RemoveTemporary(target);
            return false;
        }
        stage = Stage::Placing;
        PlaceOver(target, job.path);
    }
    RecordUploaded(job, hash, before.size);
    return true;
}

void TJobRunner::RecordUploaded(const TPublishJob& job, const std::string& sentHash,
                                std::int64_t sentSize) {
    const TLocalFile& file = c_.local.Files.at(job.path);
    c_.record.Record([&] {
        ++c_.record.summary.Uploaded;
        if (sentHash.empty()) {
            c_.record.lost.insert(job.path);
            c_.record.summary.Notes.push_back(job.path +
                                              " changed while it was sent; the next publish "
                                              "sends it again");
            return;
        }
        c_.record.uploaded[job.path] = TManifestEntry{sentHash, sentSize};
        if (sentHash != file.Hash)
            c_.record.summary.Notes.push_back(job.path +
                                              " changed after the plan; it was sent as it is now");
    });
}

bool TJobRunner::AfterFailedUpload(const TPublishJob& job, const std::exception& error,
                                   Stage stage) {
    // A transfer that Stop ended may still have its reply on the way, late enough to answer
    // the next command: the clean-up goes on a new log-in.
    if (c_.stop && stage == Stage::Sending)
        site_.Drop();
    if (c_.temporaryNames)
        RemoveTemporary(TemporaryPath(job.path));
    // Without temporary names a part may stand under the real name; a rename that failed may
    // still have been carried out (its answer lost with the connection): either way the old
    // content under the name is no longer known to be there.
    if (!c_.temporaryNames || stage == Stage::Placing)
        c_.record.Record([&] { c_.record.lost.insert(job.path); });
    if (c_.stop)
        return false;
    c_.record.Fail(job.path, ReasonText(error));
    return true;
}

void TJobRunner::Send(const std::function<void(TVaneFTP&)>& transfer, std::int64_t size,
                      bool content) {
    for (int attempt = 1;; ++attempt) {
        try {
            site_.Transfer([&] { transfer(site_.Ftp()); }, size, content);
            return;
        } catch (const EStalled& stalled) {
            site_.Drop();
            // The abort's own text ("Canceled") would not tell what went wrong.
            if (attempt == kUploadAttempts || c_.stop || !Connected())
                throw Exception(std::string("The server ") + stalled.what() + " in time; tried " +
                                std::to_string(attempt) + (attempt == 1 ? " time" : " times"));
            c_.record.NoteOnce("stall", "The server did not open or did not finish a data "
                                        "connection in time; such files were sent again");
        } catch (const ETlsResumeRefused&) {
            // The server refused the data connection's TLS session (vsftpd: 522) and mostly
            // ends the session too: a new log-in brings fresh sessions to resume.
            site_.Drop();
            if (attempt == kUploadAttempts || c_.stop || !Connected())
                throw;
            c_.record.NoteOnce("resume", "The server refused the TLS session of a data "
                                         "connection; such files were sent again on a new "
                                         "log-in");
        }
    }
}

// RNFR the temporary name, RNTO the real one. A server that refuses to rename over an
// existing file gets DELE of the real name first, and the rename again.
void TJobRunner::PlaceOver(const std::string& temporary, const std::string& path) {
    TVaneFTP& ftp = site_.Ftp();
    ftp.DoCommand("RNFR " + Remote(temporary));
    try {
        ftp.DoCommand("RNTO " + Remote(path));
        return;
    } catch (const FTPException& refused) {
        try {
            ftp.Delete(Remote(path));
        } catch (const FTPException&) {
            throw refused; // nothing stood in the way: the rename itself was refused
        }
    }
    c_.record.Record([&] { c_.record.lost.insert(path); });
    c_.record.NoteOnce("rename", "The server refused to rename over existing files: each was "
                                 "deleted first and then renamed, so it was missing for a moment");
    ftp.DoCommand("RNFR " + Remote(temporary));
    ftp.DoCommand("RNTO " + Remote(path));
    c_.record.Record([&] { c_.record.lost.erase(path); });
}

// Removes a temporary file after a failed or stopped upload, if the connection still allows
// it, and never for long.
void TJobRunner::RemoveTemporary(const std::string& temporary) {
    FinishingScope finishing(site_, c_.stop);
    try {
        if (Connected())
            site_.WithinCleanUpLimit([&] { site_.Ftp().Delete(Remote(temporary)); });
    } catch (const std::exception&) {
        // Hidden, never under a real name; the next publish removes what is left.
    }
}

void TJobRunner::WriteManifest() {
    FinishingScope finishing(site_, true);
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

// Before the first change: a run that finds another one at work changes nothing.
void TJobRunner::TakeLock() {
    TLockOutcome outcome = TakeSiteLock(site_.Ftp(), c_.remoteRoot, ThisLockOwner());
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
    FinishingScope finishing(site_, true);
    try {
        if (!Connected())
            throw Exception("no connection to the server");
        ReleaseSiteLock(site_.Ftp(), c_.remoteRoot);
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
        if (!Connected())
            throw Exception("no connection to the server");
        TMemoryStream stream;
        stream.WriteString(text);
        try {
            Send([&](TVaneFTP& ftp) { ftp.Upload(stream, Remote(temporary)); }, stream.Size(),
                 false);
            PlaceOver(temporary, kManifestName);
        } catch (...) {
            RemoveTemporary(temporary);
            throw;
        }
    } catch (const std::exception& error) {
        return ReasonText(error);
    }
    return "";
}

} // namespace kestrel
