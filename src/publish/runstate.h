// The shared state of one run of TPublisher: the phases of jobs that the connections take
// from, and what happened, guarded by one mutex. Internal to the publisher.
#pragma once

#include "publish/publisher.h"

#include <chrono>
#include <condition_variable>
#include <set>

namespace kestrel {

struct TPublishJob {
    enum Kind {
        TrimManifest, // the manifest without what the run may change, before any change
        RemoveFile,
        RemoveFolder,
        MakeRoot,
        MakeFolder,
        RenameCase, // path: the new spelling; the old one is in the plan's CaseRenames
        Upload,
        DeleteFile,
        DeleteFolder,
        WriteManifest
    };
    Kind kind;
    std::string path; // relative to the roots
    std::int64_t size = 0;
};

// Jobs that may run in any order on any connection, or, when serial, in their order on
// one connection (folders: parents before children, or deepest first). A connection goes
// on to the next phase once every job of this one is finished; when some are left (after
// a Stop, a run given up, no connection to take them) once every connection has finished
// with it. So a connection still logging in holds up none that already can work.
struct TPublishPhase {
    std::vector<TPublishJob> jobs;
    bool serial = false;
    bool afterStop = false; // runs even after Stop (the manifest)
    // Guarded by RunState::mutex:
    std::size_t next = 0;    // the first job no connection has taken (serial: all, once taken)
    int working = 0;         // connections in a job of it (serial: in the phase)
    int connectionsDone = 0; // connections that have finished with it
    std::vector<char> done;

    bool Finished() const { return next >= jobs.size() && working == 0; }
};

struct TPublisher::RunState {
    std::vector<std::unique_ptr<TPublishPhase>> phases;

    std::mutex mutex; // guards everything below, and the phases' counts
    std::condition_variable phaseChanged;
    TPublishSummary summary;
    std::set<std::string> uploaded; // now on the server under its real name
    std::set<std::string> removed;  // deleted from the server
    std::set<std::string> lost;     // the real name's old content is gone or partial
    std::string halted;             // why the rest of the run was not done, when it was given up
    bool renameFallbackNoted = false;
    TPermissionSetter permissions; // its own lock
    bool stallNoted = false;

    int filesTotal = 0;
    std::int64_t bytesTotal = 0;
    int filesDone = 0;
    std::int64_t bytesDone = 0;
    std::vector<std::string> current;   // per connection
    std::vector<std::int64_t> inFlight; // per connection: bytes of the current file
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point lastReport;

    std::mutex emitMutex; // one OnProgress call at a time
};

} // namespace kestrel
