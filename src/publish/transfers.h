// Sending the site's files on one connection of a run: an upload goes to a temporary name
// and is placed over the real one, is sent again when the server's data connection or its
// completion reply stalls, and leaves no temporary name behind when it fails or is stopped.
// The manifest is sent the same way.
#pragma once

#include "publish/arrival.h"
#include "publish/history.h"
#include "publish/jobboard.h"
#include "publish/journal.h"
#include "publish/localtree.h"
#include "publish/plan.h"
#include "publish/progress.h"
#include "publish/runrecord.h"
#include "publish/siteconnection.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace kestrel {

// What the jobs of one run need to know and to change, and no more.
struct TRunContext {
    std::string remoteRoot;  // absolute
    bool temporaryNames;     // upload under a temporary name, then rename over
    const TLocalTree& local; // where each file is read, and its hash when planned
    const std::atomic<bool>& stop;
    TJobBoard& board;
    TRunRecord& record;
    TProgressMeter& progress;
    const std::vector<TCaseRename>& caseRenames; // old spelling -> new, of the plan
    // The manifest's text after the run as the record stands (called under its lock), and
    // the text to write before the first change, when the old one may not stay as it is.
    std::function<std::string(const TRunRecord&)> finalManifest;
    std::optional<std::string> manifestDuringRun;
    // How the files sent are checked once in place; nothing: not checked.
    std::optional<TArrivalMethod> arrival;
    // Where the files the run replaces or deletes go (see history.h); null: history off.
    THistoryRun* history = nullptr;
    // The run's journal (nothing: none), and the files it lets this run continue from a
    // byte on, by path.
    TJournal* journal = nullptr;
    const std::map<std::string, std::int64_t>* restartAt = nullptr;
};

// More jobs of the phase under way for a connection that is about to run out (claimed from
// the board, and the caller's to finish); none when nothing is left to claim.
using TMoreJobs = std::function<std::vector<const TPublishJob*>()>;

class TTransfers {
public:
    TTransfers(TRunContext& context, TSiteConnection& site, int index);

    // Logged in, or logs in; a failed log-in is noted in the summary.
    bool Connected();
    // The remote path of a path relative to the roots.
    std::string Remote(const std::string& relative) const;

    // The upload job: false when a Stop abandoned it; a failure is recorded. With temporary
    // names the file is only staged under its temporary name, and Place puts it in place.
    bool Upload(const TPublishJob& job);
    // The same for several files: the small ones whose bytes are read at once go one after
    // another in one series (see TVaneFTP::UploadSeries: where the server allows it, each
    // file's commands go before the end of the transfer before it), the rest as Upload does.
    // One result per job. more, when given, is asked for further jobs as the series comes
    // to its last file, so that it runs on without the round trip of a new start; their
    // results follow those of jobs, in the order they came.
    std::vector<bool> UploadBatch(const std::vector<const TPublishJob*>& jobs,
                                  const TMoreJobs& more = nullptr);
    // Renames a staged file over its real name (nothing when its staging failed); false when
    // a Stop abandoned it.
    bool Place(const TPublishJob& job);
    // The same for several files, the renames of all in one packet where the server takes
    // commands together, the replies read in order and each judged as Place does. One
    // result per job.
    std::vector<bool> PlaceBatch(const std::vector<const TPublishJob*>& jobs);
    // Removes the temporary name of a file staged and not put in place (the run was stopped
    // between the two).
    void Unstage(const TPublishJob& job);
    // Checks a file sent and put in place on the server (see TArrivalMethod); one that
    // differs is sent again, once, and fails when it differs again.
    bool Verify(const TPublishJob& job);
    // The same for several files: the server is asked about all of them at once (see
    // AskServerTogether), and each is then judged as Verify does. One result per job.
    std::vector<bool> VerifyBatch(const std::vector<const TPublishJob*>& jobs);
    // One transfer on the connection, asked again when the server's data connection or its
    // completion reply does not come in time. content: the site's bytes (see
    // TSiteConnection::Transfer).
    void Send(const std::function<void(TVaneFTP&)>& transfer, std::int64_t size, bool content);
    // RNFR the temporary name, RNTO the real one (see the definition for refusing servers).
    void PlaceOver(const std::string& temporary, const std::string& path);
    // Removes a temporary file after a failed or stopped upload, if the connection still
    // allows it, and never for long.
    void RemoveTemporary(const std::string& temporary);
    // Moves the file at path (relative) into the run's history instead of deleting it.
    void MoveToHistory(const std::string& path);

private:
    using Clock = std::chrono::steady_clock;
    enum class Stage { Sending, Placing };
    // Whether placing path moves the page it replaces into the run's history.
    bool Keeps(const std::string& path) const;
    // PlaceOver for a page the history keeps: the page into the history, the staged file
    // under its name (see the definition).
    void PlaceKeeping(const std::string& temporary, const std::string& path);
    void PlaceKeepingOnce(const std::string& temporary, const std::string& path);
    // The four renames of PlaceKeeping, and what their replies (four, in order) left.
    std::vector<std::string> KeepingCommands(const std::string& temporary,
                                             const std::string& path) const;
    void SettleKeeping(const std::string& temporary, const std::string& path,
                       const FtpReply* replies);
    void SettleKeeping(const std::string& temporary, const std::string& path,
                       const std::optional<std::string>& moveRefused,
                       const std::optional<std::string>& placeRefused);
    // logInAgain: false when the connection was already logged in anew after the loss.
    void MendLostPlacing(const std::string& temporary, const std::string& path,
                         const std::exception& lost, bool logInAgain = true);
    void PlaceOverRefused(const std::string& temporary, const std::string& path,
                          const FTPException& refused);
    void PlacedNew(const std::string& path); // a file the site did not have: for undo
    void LookAfterLostRename(const std::string& temporary, const std::string& path,
                             const TManifestEntry& sent, const Exception& lost);
    std::optional<TManifestEntry> StagedEntry(const std::string& path);
    // A staged file now under its real name (from start to end), or not.
    void Placed(const TPublishJob& job, const TManifestEntry& sent, Clock::time_point start,
                Clock::time_point end, bool again);
    bool PlacingFailed(const TPublishJob& job, const std::exception& error);
    bool SendFile(const TPublishJob& job);
    bool Staged(const TPublishJob& job, const std::string& hash, std::int64_t size);
    // A job UploadBatch may send in its series: staged, small, no journal entry to go on from.
    bool FitsSeries(const TPublishJob& job) const;
    bool ContinueSending(const std::string& localPath, const std::string& target, std::int64_t from,
                         std::int64_t size);
    bool PlaceStaged(const TPublishJob& job, bool again);
    // Whether the file on the server is what was sent (sent: its SHA-256 and size).
    // asked: the server's answer already asked together with others' (used once).
    bool Arrived(const TPublishJob& job, const TManifestEntry& sent,
                 std::optional<TServerProof>& asked);
    bool VerifyAsked(const TPublishJob& job, std::optional<TServerProof> asked);
    std::optional<TManifestEntry> SentEntry(const std::string& path);
    bool AfterFailedUpload(const TPublishJob& job, const std::exception& error, Stage stage);
    void RecordUploaded(const TPublishJob& job, const std::string& sentHash, std::int64_t sentSize,
                        bool again = false);

    TRunContext& c_;
    TSiteConnection& site_;
    const int index_;
    bool resending_ = false; // sending a file again that arrived different
};

} // namespace kestrel
