// The job board of a publish run: the phases of jobs that the connections take from, and
// the accounting of what no connection finished. It knows nothing of FTP and is tested
// alone.
//
// Jobs of a parallel phase go to any connection in any order; a serial phase goes whole to
// the first connection that claims it, which does its jobs in their order (folders: parents
// before children, or deepest first). A connection goes on to the next phase once every job
// of this one is finished; when some are left (after a Stop, a run given up, no connection
// to take them) once every connection has left it. So a connection still logging in holds
// up none that already can work. Every method may be called from any connection's thread.
#pragma once

#include "publish/publisher.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

struct TPublishJob {
    enum Kind {
        TakeLock,     // the lock on the server, before any change
        TrimManifest, // the manifest without what the run may change, before any change
        RemoveFile,
        RemoveFolder,
        MakeRoot,
        MakeFolder,
        RenameCase, // path: the new spelling; the old one is in the plan's CaseRenames
        Upload,     // the whole file, or only staged under its temporary name (see Place)
        Place,      // a staged file renamed over its real name
        Unstage,    // a staged file not put in place (after a Stop) removed again
        Verify,     // a file sent checked on the server, and sent again when it differs
        DeleteFile,
        DeleteFolder,
        WriteManifest,
        ReleaseLock,
        BeginHistory, // the run's folder in the history and its record, before any change
        EndHistory    // the record completed, and older runs removed after a success
    };
    Kind kind;
    std::string path; // relative to the roots
    std::int64_t size = 0;
};

struct TPublishPhase {
    std::vector<TPublishJob> jobs;
    bool serial = false;
    bool afterStop = false; // runs even after Stop (the manifest)
    bool always = false;    // runs after Stop and after the run was given up (the lock's end)
    // Parallel phases: how many jobs a connection may claim at once (see ClaimBatch), for
    // work whose commands go to the server together.
    std::size_t batch = 1;
    // Batches of a fair share of the whole phase rather than of what is left: for work that
    // costs a round trip a claim, whatever its size (renames, questions sent together).
    bool wholeShares = false;
    // A job larger than this (its size) goes in no batch: it is claimed alone.
    std::int64_t batchUpTo = std::numeric_limits<std::int64_t>::max();
};

class TJobBoard {
public:
    // stop is the run's Stop flag, read by every connection.
    TJobBoard(std::vector<TPublishPhase> phases, int connections, const std::atomic<bool>& stop);

    std::size_t PhaseCount() const { return phases_.size(); }
    const TPublishPhase& Phase(std::size_t phase) const { return phases_[phase].phase; }
    const TPublishJob& Job(std::size_t phase, std::size_t job) const {
        return phases_[phase].phase.jobs[job];
    }

    // Whether a connection should work on the phase at all: false after a Stop (unless the
    // phase runs after one) or once the run was given up (unless it always runs).
    bool Open(std::size_t phase) const;
    // The next job of a parallel phase, or the first job of a serial phase together with the
    // whole phase (its other jobs are then the claimant's, in order); nothing when no job is
    // left to take or the phase is no longer open.
    std::optional<std::size_t> Claim(std::size_t phase);
    // Up to the phase's batch of jobs of a parallel phase at once, and no more than a fair
    // share of what is left among the connections, so that each gets work; one claim (one
    // Release). Empty as Claim.
    std::vector<std::size_t> ClaimBatch(std::size_t phase);
    // Records a job as finished (done) or not; a job not finished is accounted at the end.
    void Finish(std::size_t phase, std::size_t job, bool done);
    // A job of a parallel phase that its connection took and could not do, having lost the
    // server for good: it goes to the next claim of another connection (see Leave). Left as
    // not done when the phase is no longer open.
    void Return(std::size_t phase, std::size_t job);
    // Ends a claim: after each job of a parallel phase, once after a serial phase.
    void Release(std::size_t phase);
    // Called by each connection once it is through with the phase: waits until the phase is
    // over for every connection (see above). True, for a connection that mayWork, when jobs
    // came back meanwhile (Return): it is then in the phase again, to claim them.
    bool Leave(std::size_t phase, bool mayWork = false);

    // A connection counted at the start that will not come after all (one more that the run
    // decided not to open): no phase waits for it to leave.
    void Withdraw();
    // Jobs of a phase that no connection has taken yet.
    std::size_t Unclaimed(std::size_t phase) const;

    // Gives the rest of the run up (every phase closes); the first reason is kept.
    void Halt(const std::string& reason);
    std::string Halted() const;

    // What no connection finished, into summary: after a Stop, uploads not sent are counted
    // in a note; after the run was given up each job is "Not done: <reason>" (the manifest
    // excepted: nothing changed); otherwise no connection was left to do it.
    void AccountUnfinished(TPublishSummary& summary) const;

private:
    struct State {
        TPublishPhase phase;
        std::size_t next = 0;    // the first job no connection has taken (serial: all, once taken)
        int working = 0;         // connections in a job of it (serial: in the phase)
        int connectionsDone = 0; // connections that have left it
        std::vector<char> done;
        std::vector<std::size_t> returned; // taken before those from next on
        bool Finished() const {
            return next >= phase.jobs.size() && returned.empty() && working == 0;
        }
    };
    bool OpenLocked(const State& state) const;

    std::vector<State> phases_;
    int connections_; // that may still take part (see Withdraw)
    const std::atomic<bool>& stop_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string halted_;
};

} // namespace kestrel
