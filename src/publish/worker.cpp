// One connection of a publish run: its own TVaneFTP on its own thread, taking jobs from the
// board's phases until they are done or the run is stopped.
#include "publish/worker.h"

namespace kestrel {

TConnectionWorker::TConnectionWorker(TRunContext& context, const TConnectionSettings& settings,
                                     int index, std::unique_ptr<TVaneFTP> kept)
    : c_(context), site_(settings, context.stop, index), jobs_(context, site_, index) {
    site_.Adopt(std::move(kept));
}

void TConnectionWorker::Run() {
    if (!c_.stop)
        jobs_.Connected();
    for (std::size_t phase = 0; phase < c_.board.PhaseCount(); ++phase) {
        TakeJobs(phase);
        c_.board.Leave(phase);
    }
}

void TConnectionWorker::TakeJobs(std::size_t phase) {
    if (!c_.board.Open(phase))
        return;
    // The work that runs after a Stop (the manifest) is not ended by it, only bounded.
    TFinishingScope finishing(site_, c_.board.Phase(phase).afterStop);
    if (!c_.board.Phase(phase).serial) {
        while (c_.board.Open(phase) && jobs_.Connected()) {
            std::optional<std::size_t> job = c_.board.Claim(phase);
            if (!job)
                return;
            Do(phase, *job);
            c_.board.Release(phase);
        }
        return;
    }
    // A serial phase is this connection's alone once claimed: its jobs in their order.
    if (c_.board.Phase(phase).jobs.empty() || !jobs_.Connected() || !c_.board.Claim(phase))
        return;
    for (std::size_t job = 0; job < c_.board.Phase(phase).jobs.size(); ++job) {
        if (!c_.board.Open(phase) || !jobs_.Connected())
            break; // what is left is reported as not done
        Do(phase, job);
    }
    c_.board.Release(phase);
}

void TConnectionWorker::Do(std::size_t phase, std::size_t job) {
    c_.board.Finish(phase, job, jobs_.Perform(c_.board.Job(phase, job)));
}

} // namespace kestrel
