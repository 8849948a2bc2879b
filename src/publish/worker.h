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
    void Do(std::size_t phase, std::size_t job);
    void DoBatch(std::size_t phase, const std::vector<std::size_t>& jobs);

    TRunContext& c_;
    TSiteConnection site_;
    TJobRunner jobs_;
};

} // namespace kestrel
