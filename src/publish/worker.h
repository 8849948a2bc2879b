// One connection of a publish run, on its own thread: it takes the jobs of each phase from
// the run's board, carries them out on its site connection, and leaves the phase with the
// others (see TJobBoard).
#pragma once

#include "publish/jobs.h"

#include <functional>
#include <memory>

namespace kestrel {

class TConnectionWorker {
public:
    // kept: a connection already logged in (the one that prepared), or null. Made on the
    // thread that runs it.
    TConnectionWorker(TRunContext& context, const TConnectionSettings& settings, int index,
                      std::unique_ptr<TVaneFTP> kept = nullptr);
    // loggedIn, when given, hears once whether the connection logged in at its start.
    void Run(const std::function<void(bool)>& loggedIn = nullptr);

private:
    void TakeJobs(std::size_t phase);
    void Do(std::size_t phase, std::size_t job, bool parallel);
    // Records a job's end on the board; one this connection could not do for having lost the
    // server goes back to the others in a parallel phase.
    void Finish(std::size_t phase, std::size_t job, bool done, bool parallel);
    // The jobs of one claim, and in a parallel phase of any further claims the work makes on
    // the way; returns how many further claims were made, each to be released.
    std::size_t DoBatch(std::size_t phase, std::vector<std::size_t> jobs, bool parallel);

    TRunContext& c_;
    TSiteConnection site_;
    TJobRunner jobs_;
};

} // namespace kestrel
