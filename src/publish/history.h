// The history of a site's publishes on its server, which makes a publish undoable: a run
// moves every file it replaces or deletes into a folder of its own with a rename (never a
// copy), beside a record of what it did, so that undo can put the site back as it was.
//
//   <history>/.htaccess                          closes the history to visitors
//   <history>/20261209T081500Z/record            what the run did (see THistoryRecord)
//   <history>/20261209T081500Z/manifest          the manifest as it was before the run
//   <history>/20261209T081500Z/files/img/a.gif   img/a.gif as it was before the run
//
// The history lives beside the remote root, <parent>/.kestrelftp-history/<root's name>,
// where the log-in may make that folder (out of the folder visitors are served), else
// inside the root as .kestrelftp-history, which a publish never lists, plans, deletes or
// publishes and whose .htaccess denies every request. Run folders are named by the run's
// start in UTC, so that their names sort as the runs came.
#pragma once

#include "net/ftp/vaneftp.h"
#include "publish/plan.h"
#include "publish/remotetree.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestrel {

// What a run did, or (while it runs, and after it was cut) what it set out to do. Paths are
// relative to the remote root.
struct THistoryRecord {
    std::string Id;
    bool Complete = false;             // false: the run was cut; the lists say what it meant to do
    bool HadManifest = false;          // the run folder's "manifest" is the manifest as it was
    std::vector<std::string> Added;    // files that were not there before
    std::vector<std::string> Replaced; // files whose old version is in files/
    std::vector<std::string> Deleted;  // files moved into files/
    std::vector<std::string> NotKept;  // replaced without their old version kept
    std::vector<std::string> FoldersMade;    // parents first
    std::vector<std::string> FoldersRemoved; // deepest first

    bool Empty() const {
        return Added.empty() && Replaced.empty() && Deleted.empty() && NotKept.empty() &&
               FoldersMade.empty() && FoldersRemoved.empty();
    }
};

std::string FormatHistoryRecord(const THistoryRecord& record);
// Nothing when the text is not a record of this program. A path that is not a plain one
// below the root ("../x", "/x", "a//b") is refused with the whole record: undo must never
// reach outside the site.
std::optional<THistoryRecord> ParseHistoryRecord(const std::string& text);

// "20261209T081500Z" for that moment (UTC, to the second).
std::string HistoryRunId(std::chrono::system_clock::time_point when);
// A run folder's name: a run id, or one with "-2", "-3" after it (two runs in one second).
bool IsHistoryRunId(const std::string& name);
// Whether run a came before run b: by time, then by the number after it ("-2" before "-10").
bool HistoryRunBefore(const std::string& a, const std::string& b);
// The id of a run starting at when: after every run of the history (oldest first) also
// when they began in the same second, or the clock went back.
std::string NextHistoryRunId(std::chrono::system_clock::time_point when,
                             const std::vector<struct THistoryRunInfo>& runs);
// "2026-12-09 08:15:00 UTC" for a run id.
std::string HistoryRunTime(const std::string& id);

struct THistoryRunInfo {
    std::string Id;
    int Files = 0; // kept files
    std::int64_t Bytes = 0;
};

// Where a site's history is and what it holds.
struct TSiteHistory {
    std::string Folder; // absolute; empty: no history
    bool InsideRoot = false;
    bool Exists = false;               // the folder is on the server
    bool Protected = false;            // it holds its .htaccess
    std::vector<THistoryRunInfo> Runs; // oldest first
    TRemoteTree Tree;                  // its listing, relative to Folder

    std::string RunFolder(const std::string& id) const;
    std::string KeptPath(const std::string& id, const std::string& relative) const;
    std::string RecordPath(const std::string& id) const;
    std::string ManifestPath(const std::string& id) const;
};

// Finds the history of the remote root (absolute). With make (a publish preparing) the
// folder beside the root is made where the log-in may (MKD in the parent), and it is the
// history when it is there; else the folder inside the root (made by the run). Without make
// (undo) the place that holds runs, beside first.
// together: its levels are listed as ReadRemoteTree's together (EListingOutOfStep included).
TSiteHistory FindHistory(TVaneFTP& ftp, const std::string& root, bool machineList, bool make,
                         bool together = false);

// The .htaccess of the history: denies every request (Apache 2.4 and 2.2).
std::string HistoryAccessText();

// What the plan of a run means for the history: where it is, what it keeps, what the run
// moves there and which runs it removes afterwards.
TPlanHistory PlanHistory(const TSiteHistory& history, const TPublishPlan& plan,
                         const TRemoteTree& remote, int keepRuns);

// The history of one publish run while it runs, shared by its connections (every method
// may be called from any of them).
class THistoryRun {
public:
    THistoryRun(TSiteHistory site, std::string id, const TPublishPlan& plan, int keepRuns);

    const TSiteHistory& Site() const { return site_; }
    const std::string& Id() const { return id_; }
    // Where the old version of the file at relative goes.
    std::string Kept(const std::string& relative) const { return site_.KeptPath(id_, relative); }
    // The plan says a file stands under the name, which a new one replaces.
    bool Replaces(const std::string& relative) const { return replaces_.count(relative) > 0; }
    // Folders to make before the first change, parents first: the run folder, its files/
    // and the folders the kept files go to.
    std::vector<std::string> FoldersToMake() const;
    // Older runs to remove once this one has succeeded, keeping keepRuns with this one.
    std::vector<std::string> RunsToPrune() const;
    // Everything under a run folder of the history as listed, deepest first.
    std::vector<std::pair<std::string, bool>> ContentsOf(const std::string& id) const;

    // The record written before the first change: what the run sets out to do.
    THistoryRecord Intended() const;
    // The record of what it did.
    THistoryRecord Done() const;

    void SetHadManifest(bool had);
    void SetStarted();
    bool Started() const;
    // How the run's record ended: still open (never completed: the run was cut), completed,
    // removed with the run (nothing changed), or its completion failed (and was noted).
    enum class TEnd { Open, Completed, Removed, Failed };
    void SetEnd(TEnd end);
    TEnd End() const;
    void Added(const std::string& path);
    void KeptCopy(const std::string& path);
    // A kept copy renamed back over its page after all.
    void Restored(const std::string& path);
    void NotKept(const std::string& path);
    void FolderMade(const std::string& path);
    void FolderRemoved(const std::string& path);

private:
    const TSiteHistory site_;
    const std::string id_;
    const int keepRuns_;
    THistoryRecord intended_;
    std::set<std::string> replaces_;
    std::set<std::string> kept_; // candidates: replaced or deleted (for FoldersToMake)

    mutable std::mutex mutex_; // guards what follows
    bool started_ = false;
    bool hadManifest_ = false;
    TEnd end_ = TEnd::Open;
    std::vector<std::string> added_, keptCopies_, notKept_, foldersMade_, foldersRemoved_;
};

} // namespace kestrel
