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
    // Renames a staged file over its real name (nothing when its staging failed); false when
    // a Stop abandoned it.
    bool Place(const TPublishJob& job);
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
    enum class Stage { Sending, Placing };
    // PlaceOver for a page the history keeps: the page into the history, the staged file
    // under its name (see the definition).
    void PlaceKeeping(const std::string& temporary, const std::string& path);
    void PlaceKeepingOnce(const std::string& temporary, const std::string& path);
    void MendLostPlacing(const std::string& temporary, const std::string& path,
                         const std::exception& lost);
    bool SendFile(const TPublishJob& job);
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
