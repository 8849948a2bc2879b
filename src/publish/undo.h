// Undoing publishes from the history on the server (see history.h): the runs it holds, and
// the site put back as it was before a run, byte for byte, manifest included.
//
//   TUndo undo(connection, "/www");
//   for (const TUndoRun& run : undo.List()) ...  // oldest first
//   TUndoSummary summary = undo.Undo();          // the last run; Undo(id) a named one
//
// Undoing a run puts back what its record says: the files it added are removed, those it
// replaced or deleted are renamed back from the history, the folders it made are removed and
// those it removed are made again, and the manifest as it was goes back in place; the run's
// folder in the history is then removed. A run that was cut (its record never completed) is
// undone as far as it got: only what is on the server is put back. Undoing a run that is
// not the last undoes the later ones first, the last first, and stops at the first run that
// cannot be undone whole (its folder then stays in the history). Undo holds the site's lock
// while it changes the server, as a publish does.
#pragma once

#include "publish/history.h"
#include "publish/publisher.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

class TSiteConnection;

// A run in the history as its record tells.
struct TUndoRun {
    std::string Id;
    std::string Time;      // "2026-12-09 08:15:00 UTC"
    bool Readable = false; // its record could be read
    bool Complete = false; // false: the run was cut
    int Added = 0;
    int Replaced = 0;
    int Deleted = 0;
    int FoldersMade = 0;
    int FoldersRemoved = 0;
    int Files = 0; // kept in the history
    std::int64_t Bytes = 0;
};

struct TUndoSummary {
    std::vector<std::string> Undone; // run ids, the last run first
    int Removed = 0;                 // files the runs added, removed again
    int Restored = 0;                // files put back from the history
    int FoldersRemoved = 0;
    int FoldersMade = 0;
    bool ManifestRestored = false;
    std::vector<TPublishFailure> Failures;
    std::vector<std::string> Notes;
    bool Succeeded() const { return Failures.empty(); }
};

// Raised when there is nothing to undo, or no run of the id named.
class ENothingToUndo : public Exception {
public:
    using Exception::Exception;
};

class TUndo {
public:
    // remoteRoot: absolute, or relative to the log-in folder; empty: that folder.
    TUndo(TConnectionSettings connection, std::string remoteRoot);
    ~TUndo();
    TUndo(const TUndo&) = delete;
    TUndo& operator=(const TUndo&) = delete;

    // Logs in and finds the history (done by List and Undo when not yet); raises on a failed
    // log-in.
    void Open();
    // The runs in the history, oldest first.
    std::vector<TUndoRun> List();
    // Undoes the last run, or the run named and every later one. Raises ENothingToUndo when
    // the history holds no run (of that id), and on a failed log-in.
    TUndoSummary Undo(const std::string& runId = "");
    // Ends the undo at its next command (any thread).
    void Stop() { stop_ = true; }

    const std::string& RemoteRoot() const { return root_; }
    const TSiteHistory& History() const { return *history_; }

private:
    std::optional<THistoryRecord> ReadRecord(const std::string& id);
    void UndoRun(const std::string& id, TUndoSummary& summary);
    void RemoveRunFolder(const std::string& id);

    TConnectionSettings connection_;
    std::string requestedRoot_;
    std::string root_;
    bool machineList_ = false;
    std::atomic<bool> stop_{false};
    std::unique_ptr<TSiteConnection> site_;
    std::unique_ptr<TSiteHistory> history_;
};

} // namespace kestrel
