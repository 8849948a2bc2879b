#include "publish/transfers.h"

#include "publish/names.h"
#include "publish/remotetree.h"
#include "publish/sha256.h"

#include <chrono>
#include <optional>
#include <utility>

namespace kestrel {
namespace {

// RNFR, then RNTO; both in one packet on a server that reads several commands from one
// (Pipelining), a round trip less for every file put in place. A refused RNFR raises (the
// staged file is not there: nothing may be deleted for it); a refused RNTO, most often a
// name in the way, is returned for the caller to mend.
std::optional<FTPException> RenameOver(TVaneFTP& ftp, const std::string& from,
                                       const std::string& to) {
    if (!ftp.Pipelining) {
        ftp.DoCommand("RNFR " + from);
        try {
            ftp.DoCommand("RNTO " + to);
        } catch (const FTPException& refused) {
            return refused;
        }
        return std::nullopt;
    }
    std::vector<FtpReply> replies = ftp.Pipeline({"RNFR " + from, "RNTO " + to});
    if (replies[0].code != 350)
        throw FTPException(replies[0].Text());
    if (!IsCompletion(replies[1].code))
        return FTPException(replies[1].Text());
    return std::nullopt;
}

constexpr int kUploadAttempts = 3;

} // namespace

TTransfers::TTransfers(TRunContext& context, TSiteConnection& site, int index)
    : c_(context), site_(site), index_(index) {
    site_.OnSent = [this](std::int64_t bytes) { c_.progress.Sent(index_, bytes); };
}

bool TTransfers::Connected() {
    if (site_.Ensure()) {
        if (!site_.Ftp().Pipelining)
            c_.record.NoteOnce("one at a time", "The server takes one command at a time (it "
                                                "reads one from each packet): commands were "
                                                "sent one after the other");
        return true;
    }
    if (std::optional<std::string> failure = site_.TakeFailure())
        c_.record.Note(*failure);
    if (std::string tooMany = site_.TakeRefusedAsTooMany(); !tooMany.empty())
        c_.record.Record([&] {
            if (c_.record.refusedAsTooMany++ == 0)
                c_.record.tooManyReply = tooMany;
        });
    return false;
}

std::string TTransfers::Remote(const std::string& relative) const {
    return JoinRemote(c_.remoteRoot, relative);
}

bool TTransfers::Upload(const TPublishJob& job) {
    c_.progress.Begin(index_, job.path);
    bool finished = true;
    try {
        finished = SendFile(job);
    } catch (const std::exception& error) {
        finished = AfterFailedUpload(job, error, Stage::Sending);
    }
    c_.progress.End(index_, job.size);
    return finished;
}

// Sends the file (under its temporary name, where it stays staged until Place) and records
// the hash of the bytes sent: the file is hashed again just before it is sent, since it may
// have changed since the plan (an editor saving it), and a file that changed while it was
// sent is known by no hash.
bool TTransfers::SendFile(const TPublishJob& job) {
    const TLocalFile& file = c_.local.Files.at(job.path);
    const TFileState before = FileStateOf(file.FullPath);
    std::string hash = FileSha256(file.FullPath);
    const std::string target = c_.temporaryNames ? TemporaryPath(job.path) : job.path;
    TJournal* journal = c_.temporaryNames ? c_.journal : nullptr;
    std::int64_t from = 0;
    if (journal) {
        if (std::optional<TManifestEntry> staged = journal->FindStaged(job.path)) {
            // Staged whole by a cut run, and the file here is still what it sent.
            if (*staged == TManifestEntry{hash, before.size}) {
                c_.record.Record([&] {
                    c_.record.staged[job.path] = *staged;
                    ++c_.record.summary.Resumed;
                    c_.record.summary.BytesNotResent += staged->Size;
                });
                return true;
            }
            journal->Forget(job.path); // changed here since then: sent again
        } else if (std::optional<TManifestEntry> part = journal->FindSending(job.path)) {
            if (c_.restartAt && c_.restartAt->count(job.path) &&
                *part == TManifestEntry{hash, before.size})
                from = c_.restartAt->at(job.path);
        }
        if (before.size >= kContinuedSize)
            journal->Sending(job.path, TManifestEntry{hash, before.size});
    }
    if (from > 0 && !ContinueSending(file.FullPath, target, from, before.size))
        from = 0;
    if (from == 0)
        Send([&](TVaneFTP& ftp) { ftp.Upload(file.FullPath, Remote(target)); }, before.size, true);
    if (FileStateOf(file.FullPath) != before)
        hash.clear();
    if (c_.temporaryNames)
        return Staged(job, hash, before.size);
    RecordUploaded(job, hash, before.size);
    c_.record.permissions.Apply(site_.Ftp(), Remote(job.path), false);
    return true;
}

// A file sent whole under its temporary name (hash: of the bytes sent, empty when the file
// changed meanwhile): in the journal and the record, unless a Stop came.
bool TTransfers::Staged(const TPublishJob& job, const std::string& hash, std::int64_t size) {
    TJournal* journal = c_.journal;
    if (journal && !hash.empty())
        journal->Staged(job.path, TManifestEntry{hash, size});
    else if (journal)
        journal->Forget(job.path);
    if (c_.stop) {
        // Staged whole and in the journal, it stays for the next run to put in place.
        if (!journal || hash.empty())
            RemoveTemporary(TemporaryPath(job.path));
        return false;
    }
    c_.record.Record([&] { c_.record.staged[job.path] = TManifestEntry{hash, size}; });
    return true;
}

// REST and STOR on the temporary name, from the byte where a cut run's transfer broke off:
// false when the server refuses (the file then goes again from its start).
bool TTransfers::ContinueSending(const std::string& localPath, const std::string& target,
                                 std::int64_t from, std::int64_t size) {
    try {
        Send([&](TVaneFTP& ftp) { ftp.UploadRestore(localPath, Remote(target), from); }, size,
             true);
    } catch (const FTPException& refused) {
        if (c_.stop)
            throw;
        c_.record.NoteOnce("restart", "The server refused to continue a transfer where it broke "
                                      "off (" +
                                          ReasonText(refused) + "); such files were sent whole");
        return false;
    }
    c_.record.Record([&] {
        ++c_.record.summary.Resumed;
        c_.record.summary.BytesNotResent += from;
    });
    return true;
}

bool TTransfers::Place(const TPublishJob& job) {
    return PlaceStaged(job, false);
}

bool TTransfers::PlaceStaged(const TPublishJob& job, bool again) {
    std::optional<TManifestEntry> sent = StagedEntry(job.path);
    if (!sent)
        return true; // its staging failed, and that is recorded
    const Clock::time_point start = Clock::now();
    try {
        PlaceOver(TemporaryPath(job.path), job.path);
    } catch (const std::exception& error) {
        return PlacingFailed(job, error);
    }
    Placed(job, *sent, start, Clock::now(), again);
    return true;
}

std::optional<TManifestEntry> TTransfers::StagedEntry(const std::string& path) {
    std::optional<TManifestEntry> sent;
    c_.record.Record([&] {
        auto staged = c_.record.staged.find(path);
        if (staged != c_.record.staged.end())
            sent = staged->second;
    });
    return sent;
}

bool TTransfers::PlacingFailed(const TPublishJob& job, const std::exception& error) {
    c_.record.Record([&] { c_.record.staged.erase(job.path); });
    return AfterFailedUpload(job, error, Stage::Placing);
}

void TTransfers::Placed(const TPublishJob& job, const TManifestEntry& sent, Clock::time_point start,
                        Clock::time_point end, bool again) {
    if (c_.journal)
        c_.journal->Placed(job.path);
    c_.record.Record([&] {
        c_.record.staged.erase(job.path);
        if (!c_.record.firstPlaced || start < *c_.record.firstPlaced)
            c_.record.firstPlaced = start;
        if (!c_.record.lastPlaced || end > *c_.record.lastPlaced)
            c_.record.lastPlaced = end;
    });
    RecordUploaded(job, sent.Hash, sent.Size, again);
    c_.record.permissions.Apply(site_.Ftp(), Remote(job.path), false);
}

void TTransfers::Unstage(const TPublishJob& job) {
    bool staged = false;
    c_.record.Record([&] { staged = c_.record.staged.erase(job.path) > 0; });
    // A file the journal has stays staged: the next run puts it in place without sending it.
    if (staged && !(c_.journal && c_.journal->FindStaged(job.path)))
        RemoveTemporary(TemporaryPath(job.path));
}

std::optional<TManifestEntry> TTransfers::SentEntry(const std::string& path) {
    std::optional<TManifestEntry> sent;
    c_.record.Record([&] {
        auto uploaded = c_.record.uploaded.find(path);
        if (uploaded != c_.record.uploaded.end())
            sent = uploaded->second;
    });
    return sent;
}

bool TTransfers::Verify(const TPublishJob& job) {
    return VerifyAsked(job, std::nullopt);
}

std::vector<bool> TTransfers::VerifyBatch(const std::vector<const TPublishJob*>& jobs) {
    std::vector<bool> done(jobs.size(), true);
    if (!c_.arrival)
        return done;
    // Only the files sent are asked about; the others have nothing to prove.
    std::vector<std::size_t> asking;
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (SentEntry(jobs[i]->path)) {
            asking.push_back(i);
            paths.push_back(Remote(jobs[i]->path));
        }
    }
    if (paths.empty())
        return done;
    std::vector<TServerProof> answers;
    try {
        answers = AskServerTogether(site_.Ftp(), *c_.arrival, paths);
    } catch (const std::exception& error) {
        if (c_.stop) {
            for (std::size_t i : asking)
                done[i] = false;
            return done;
        }
        // Replies may still be on the way: the next command goes on a new log-in. The
        // files stand as they were put in place; only their proof is missing.
        site_.Drop();
        c_.record.NoteOnce("unverified", "Some files could not be verified on the server (" +
                                             ReasonText(error) + ")");
        return done;
    }
    for (std::size_t k = 0; k < asking.size(); ++k)
        done[asking[k]] = VerifyAsked(*jobs[asking[k]], std::move(answers[k]));
    return done;
}

bool TTransfers::VerifyAsked(const TPublishJob& job, std::optional<TServerProof> asked) {
    if (!c_.arrival)
        return true;
    for (int attempt = 1;; ++attempt) {
        std::optional<TManifestEntry> sent = SentEntry(job.path);
        if (!sent)
            return true; // not sent, failed, or changed while it was sent: nothing to prove
        bool arrived = false;
        try {
            if (attempt > 1 && !Connected())
                throw Exception("no connection to the server");
            arrived = Arrived(job, *sent, asked);
        } catch (const std::exception& error) {
            if (c_.stop)
                return false;
            // The file stands as it was put in place; only its proof is missing.
            c_.record.NoteOnce("unverified", "Some files could not be verified on the server (" +
                                                 job.path + ": " + ReasonText(error) + ")");
            return true;
        }
        if (arrived) {
            c_.record.Record([&] { ++c_.record.summary.Verified; });
            return true;
        }
        // What stands under the name is not what was sent: the manifest must not claim it.
        c_.record.Record([&] {
            c_.record.uploaded.erase(job.path);
            c_.record.lost.insert(job.path);
        });
        const std::string how = c_.arrival->Name();
        if (attempt == 2) {
            c_.record.Fail(job.path, "The server keeps a copy that differs from the file sent (" +
                                         how + "), also after it was sent again");
            return true;
        }
        c_.record.Note(job.path + " arrived different from what was sent (" + how +
                       "); it was sent again");
        if (!Connected()) { // a file before it in the batch lost the connection for good
            c_.record.Fail(job.path, "The server keeps a copy that differs from the file sent (" +
                                         how + "); it could not be sent again");
            return true;
        }
        resending_ = true;
        bool finished = Upload(job) && (!c_.temporaryNames || PlaceStaged(job, true));
        resending_ = false;
        if (!finished)
            return false;
    }
}

// The SHA-256 of the sent bytes is known; another digest is computed from the file, which
// must still hold those bytes.
bool TTransfers::Arrived(const TPublishJob& job, const TManifestEntry& sent,
                         std::optional<TServerProof>& asked) {
    const TArrivalMethod& method = *c_.arrival;
    std::string expected;
    if (method.kind == TArrivalMethod::Size)
        expected = std::to_string(sent.Size);
    else if (method.kind == TArrivalMethod::Hash && method.algorithm == "SHA-256")
        expected = sent.Hash;
    else {
        const std::string& path = c_.local.Files.at(job.path).FullPath;
        expected = LocalProof(method, path);
        if (FileSha256(path) != sent.Hash)
            throw Exception(job.path + " changed since it was sent");
    }
    if (std::optional<TServerProof> answer = std::exchange(asked, std::nullopt)) {
        if (!answer->missing.empty())
            throw Exception(answer->missing);
        return answer->proof == expected;
    }
    return AskServer(site_.Ftp(), method, Remote(job.path)) == expected;
}

void TTransfers::RecordUploaded(const TPublishJob& job, const std::string& sentHash,
                                std::int64_t sentSize, bool again) {
    const TLocalFile& file = c_.local.Files.at(job.path);
    again = again || resending_;
    c_.record.Record([&] {
        if (!again)
            ++c_.record.summary.Uploaded;
        if (sentHash.empty()) {
            c_.record.lost.insert(job.path);
            c_.record.summary.Notes.push_back(job.path +
                                              " changed while it was sent; the next publish "
                                              "sends it again");
            return;
        }
        c_.record.uploaded[job.path] = TManifestEntry{sentHash, sentSize};
        if (sentHash != file.Hash && !again)
            c_.record.summary.Notes.push_back(job.path +
                                              " changed after the plan; it was sent as it is now");
    });
}

bool TTransfers::AfterFailedUpload(const TPublishJob& job, const std::exception& error,
                                   Stage stage) {
    // A transfer that Stop ended may still have its reply on the way, late enough to answer
    // the next command: the clean-up goes on a new log-in.
    if (c_.stop && stage == Stage::Sending)
        site_.Drop();
    // The part of a large file stays where the journal has its transfer: the next run
    // continues it.
    const bool keepPart =
        stage == Stage::Sending && c_.journal && c_.journal->FindSending(job.path);
    if (c_.temporaryNames && !keepPart) {
        RemoveTemporary(TemporaryPath(job.path));
        if (c_.journal)
            c_.journal->Forget(job.path);
    }
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

void TTransfers::Send(const std::function<void(TVaneFTP&)>& transfer, std::int64_t size,
                      bool content) {
    for (int attempt = 1;; ++attempt) {
        try {
            site_.Transfer([&] { transfer(site_.Ftp()); }, size, content);
            return;
        } catch (const ETlsResumeRefused&) {
            // The server refused the data connection's TLS session (vsftpd: 522) and mostly
            // ends the session too: a new log-in brings fresh sessions to resume.
            if (c_.stop || attempt == kUploadAttempts)
                throw;
            site_.Drop();
            if (!Connected())
                throw;
            c_.record.NoteOnce("resume", "The server refused the TLS session of a data "
                                         "connection; such files were sent again on a new "
                                         "log-in");
        } catch (const EStalled& stalled) {
            site_.Drop();
            // The abort's own text ("Canceled") would not tell what went wrong.
            if (attempt == kUploadAttempts || c_.stop || !Connected())
                throw Exception(std::string("The server ") + stalled.what() + " in time; tried " +
                                std::to_string(attempt) + (attempt == 1 ? " time" : " times"));
            c_.record.NoteOnce("stall", "The server did not open or did not finish a data "
                                        "connection in time; such files were sent again");
        }
    }
}

// RNFR the temporary name, RNTO the real one. A server that refuses to rename over an
// existing file gets DELE of the real name first, and the rename again. With a history, a
// page that the plan says is there goes into it instead (PlaceKeeping); a file sent again
// after its proof of arrival failed replaces this run's own version, which is not kept.
void TTransfers::PlaceOver(const std::string& temporary, const std::string& path) {
    if (Keeps(path)) {
        PlaceKeeping(temporary, path);
        return;
    }
    if (std::optional<FTPException> refused =
            RenameOver(site_.Ftp(), Remote(temporary), Remote(path)))
        PlaceOverRefused(temporary, path, *refused);
    else
        PlacedNew(path);
}

bool TTransfers::Keeps(const std::string& path) const {
    return c_.history && !resending_ && c_.history->Replaces(path);
}

void TTransfers::PlacedNew(const std::string& path) {
    if (c_.history && !resending_ && path != kManifestName)
        c_.history->Added(path);
}

// The staged file's RNTO was refused: most often a server that does not rename over an
// existing file.
void TTransfers::PlaceOverRefused(const std::string& temporary, const std::string& path,
                                  const FTPException& refused) {
    TVaneFTP& ftp = site_.Ftp();
    try {
        ftp.Delete(Remote(path));
    } catch (const FTPException&) {
        throw refused; // nothing stood in the way: the rename itself was refused
    }
    c_.record.Record([&] { c_.record.lost.insert(path); });
    c_.record.NoteOnce("rename", "The server refused to rename over existing files: each was "
                                 "deleted first and then renamed, so it was missing for a moment");
    if (std::optional<FTPException> again = RenameOver(ftp, Remote(temporary), Remote(path)))
        throw *again;
    c_.record.Record([&] { c_.record.lost.erase(path); });
    PlacedNew(path);
}

// The page goes into the run's history and the staged file takes its name: four commands,
// in one packet where the server takes commands together (a round trip a file, as without
// history), the replies read in order:
//
//   RNFR /www/a.htm
//   RNTO /.kestrelftp-history/www/20261209T081500Z/files/a.htm
//   RNFR /www/.a.htm.kestrel-tmp
//   RNTO /www/a.htm
//
// A page that is not moved is never deleted to make way: when the server also refused the
// staged file its name, the page stands as it was and the file fails; when it renamed the
// staged file over the page anyway, the page's old version is not in the history, which
// the record and a note say. A page moved and the staged file refused its name gets the
// staged file once more, else the page back from the history.
void TTransfers::PlaceKeeping(const std::string& temporary, const std::string& path) {
    try {
        PlaceKeepingOnce(temporary, path);
    } catch (const FTPException&) {
        throw;
    } catch (const std::exception& lost) {
        if (c_.stop)
            throw;
        MendLostPlacing(temporary, path, lost);
    }
}

namespace {

// Whether a file is there, by SIZE (RFC 3659): nothing when the server does not say.
std::optional<bool> FileThere(TVaneFTP& ftp, const std::string& path) {
    try {
        ftp.DoCommand("SIZE " + path);
        return true;
    } catch (const FTPException&) {
        if (ftp.ReplyCode == 550)
            return false;
        return std::nullopt;
    }
}

} // namespace

// The connection broke while a page was put in place, its answers lost: any of the four
// renames may have been carried out. On a new log-in SIZE finds out where the page, its
// kept version and the staged file are, and a page missing from the site is mended: the
// staged file takes its name, else the kept version comes back. The file counts as failed
// unless it ended in place; a place that cannot be found out is left for undo.
void TTransfers::MendLostPlacing(const std::string& temporary, const std::string& path,
                                 const std::exception& lost, bool logInAgain) {
    const std::string page = Remote(path), kept = c_.history->Kept(path);
    const std::string staged = Remote(temporary);
    if (logInAgain)
        site_.Drop();
    if (!Connected())
        throw Exception(ReasonText(lost));
    TVaneFTP& ftp = site_.Ftp();
    const std::optional<bool> pageThere = FileThere(ftp, page);
    const std::optional<bool> keptThere = FileThere(ftp, kept);
    const std::optional<bool> stagedThere = FileThere(ftp, staged);
    if (keptThere.value_or(true))
        c_.history->KeptCopy(path); // undo looks for it, and leaves the page when it is not
    if (!pageThere || !keptThere || !stagedThere)
        throw Exception(ReasonText(lost));
    if (*pageThere) {
        if (!*stagedThere && *keptThere)
            return; // all four were carried out
        throw Exception(ReasonText(lost));
    }
    if (*stagedThere && !RenameOver(ftp, staged, page))
        return;
    if (*keptThere && !RenameOver(ftp, kept, page))
        c_.history->Restored(path);
    throw Exception(ReasonText(lost));
}

void TTransfers::PlaceKeepingOnce(const std::string& temporary, const std::string& path) {
    TVaneFTP& ftp = site_.Ftp();
    const std::string page = Remote(path), kept = c_.history->Kept(path);
    const std::string staged = Remote(temporary);
    if (ftp.Pipelining) {
        std::vector<FtpReply> replies = ftp.Pipeline(KeepingCommands(temporary, path));
        SettleKeeping(temporary, path, replies.data());
        return;
    }
    try {
        ftp.DoCommand("RNFR " + page);
        ftp.DoCommand("RNTO " + kept);
    } catch (const FTPException& refused) {
        // Sent one by one, nothing else happens to a page that could not be moved.
        throw FTPException("the page could not be moved into the history: " + ReasonText(refused));
    }
    std::optional<std::string> placeRefused;
    if (std::optional<FTPException> refused = RenameOver(ftp, staged, page))
        placeRefused = ReasonText(*refused);
    SettleKeeping(temporary, path, std::nullopt, placeRefused);
}

std::vector<std::string> TTransfers::KeepingCommands(const std::string& temporary,
                                                     const std::string& path) const {
    const std::string page = Remote(path);
    return {"RNFR " + page, "RNTO " + c_.history->Kept(path), "RNFR " + Remote(temporary),
            "RNTO " + page};
}

void TTransfers::SettleKeeping(const std::string& temporary, const std::string& path,
                               const FtpReply* replies) {
    std::optional<std::string> moveRefused, placeRefused;
    if (replies[0].code != 350)
        moveRefused = replies[0].Text();
    else if (!IsCompletion(replies[1].code))
        moveRefused = replies[1].Text();
    if (replies[2].code != 350)
        placeRefused = replies[2].Text();
    else if (!IsCompletion(replies[3].code))
        placeRefused = replies[3].Text();
    SettleKeeping(temporary, path, moveRefused, placeRefused);
}

// What the four renames of a kept page left (see PlaceKeeping), mended where the page would
// otherwise be missing.
void TTransfers::SettleKeeping(const std::string& temporary, const std::string& path,
                               const std::optional<std::string>& moveRefused,
                               const std::optional<std::string>& placeRefused) {
    TVaneFTP& ftp = site_.Ftp();
    const std::string page = Remote(path), kept = c_.history->Kept(path);
    const std::string staged = Remote(temporary);
    if (!placeRefused) {
        if (moveRefused) {
            c_.history->NotKept(path);
            c_.record.Note(path + " was replaced without keeping its old version in the history (" +
                           *moveRefused + ")");
        } else {
            c_.history->KeptCopy(path);
        }
        return;
    }
    if (moveRefused)
        throw FTPException(*placeRefused); // the page stands as it was
    // The page is in the history and nothing stands under its name: the staged file is
    // renamed once more, else the page comes back.
    try {
        if (!RenameOver(ftp, staged, page)) {
            c_.history->KeptCopy(path);
            return;
        }
    } catch (const FTPException&) {
    }
    bool restored = false;
    try {
        restored = !RenameOver(ftp, kept, page);
    } catch (const FTPException&) {
    }
    if (!restored)
        c_.history->KeptCopy(path); // undo finds the page in the history
    throw FTPException(*placeRefused);
}

// RNFR the file, RNTO its place in the run's history; in one packet where the server takes
// commands together. A refusal leaves the file where it is and fails its deletion.
void TTransfers::MoveToHistory(const std::string& path) {
    try {
        if (std::optional<FTPException> refused =
                RenameOver(site_.Ftp(), Remote(path), c_.history->Kept(path)))
            throw *refused;
    } catch (const FTPException&) {
        throw;
    } catch (const std::exception&) {
        // The answer was lost, not the file: undo looks for it in the history.
        c_.history->KeptCopy(path);
        throw;
    }
    c_.history->KeptCopy(path);
}

// Removes a temporary file after a failed or stopped upload, if the connection still allows
// it, and never for long.
void TTransfers::RemoveTemporary(const std::string& temporary) {
    TFinishingScope finishing(site_, c_.stop);
    try {
        if (Connected())
            site_.WithinCleanUpLimit([&] { site_.Ftp().Delete(Remote(temporary)); });
    } catch (const std::exception&) {
        // Hidden, never under a real name; the next publish removes what is left.
    }
}

} // namespace kestrel
