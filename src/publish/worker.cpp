// One connection of a publish run: its own TVaneFTP on its own thread, taking jobs from the
// board's phases until they are done or the run is stopped.
#include "publish/worker.h"

namespace kestrel {

TConnectionWorker::TConnectionWorker(TRunContext& context, const TConnectionSettings& settings,
                                     int index, std::unique_ptr<TVaneFTP> kept)
    : c_(context), site_(settings, context.stop, index), jobs_(context, site_, index) {
    site_.Adopt(std::move(kept));
}

void TConnectionWorker::Run(const std::function<void(bool)>& loggedIn) {
    const bool in = !c_.stop && jobs_.Connected();
    if (loggedIn)
        loggedIn(in);
    for (std::size_t phase = 0; phase < c_.board.PhaseCount(); ++phase) {
        do
            TakeJobs(phase);
        while (c_.board.Leave(phase, !c_.stop && !site_.Lost()));
    }
}

void TConnectionWorker::TakeJobs(std::size_t phase) {
    if (!c_.board.Open(phase))
        return;
    // The work that runs after a Stop (the manifest) is not ended by it, only bounded.
    TFinishingScope finishing(site_, c_.board.Phase(phase).afterStop);
    const std::size_t batch = c_.board.Phase(phase).batch;
    if (!c_.board.Phase(phase).serial) {
        while (c_.board.Open(phase) && jobs_.Connected()) {
            if (batch > 1) {
                std::vector<std::size_t> jobs = c_.board.ClaimBatch(phase);
                if (jobs.empty())
                    return;
                const std::size_t more = DoBatch(phase, std::move(jobs), true);
                for (std::size_t claim = 0; claim <= more; ++claim)
                    c_.board.Release(phase);
                continue;
            }
            std::optional<std::size_t> job = c_.board.Claim(phase);
            if (!job)
                return;
            Do(phase, *job, true);
            c_.board.Release(phase);
        }
        return;
    }
    // A serial phase is this connection's alone once claimed: its jobs in their order.
    if (c_.board.Phase(phase).jobs.empty() || !jobs_.Connected() || !c_.board.Claim(phase))
        return;
    const std::size_t count = c_.board.Phase(phase).jobs.size();
    for (std::size_t job = 0; job < count;) {
        if (!c_.board.Open(phase) || !jobs_.Connected())
            break; // what is left is reported as not done
        if (batch > 1) {
            std::vector<std::size_t> jobs;
            for (; job < count && jobs.size() < batch; ++job)
                jobs.push_back(job);
            DoBatch(phase, std::move(jobs), false);
            continue;
        }
        Do(phase, job++, false);
    }
    c_.board.Release(phase);
}

std::size_t TConnectionWorker::DoBatch(std::size_t phase, std::vector<std::size_t> jobs,
                                       bool parallel) {
    std::vector<const TPublishJob*> list;
    for (std::size_t job : jobs)
        list.push_back(&c_.board.Job(phase, job));
    std::size_t claims = 0;
    TMoreJobs more = [&]() -> std::vector<const TPublishJob*> {
        std::vector<std::size_t> claimed = c_.board.ClaimBatch(phase);
        if (claimed.empty())
            return {};
        ++claims;
        std::vector<const TPublishJob*> added;
        for (std::size_t job : claimed) {
            jobs.push_back(job);
            added.push_back(&c_.board.Job(phase, job));
        }
        return added;
    };
    std::vector<bool> done = jobs_.PerformBatch(list, parallel ? more : TMoreJobs());
    for (std::size_t i = 0; i < jobs.size(); ++i)
        Finish(phase, jobs[i], i < done.size() && done[i], parallel);
    return claims;
}

void TConnectionWorker::Do(std::size_t phase, std::size_t job, bool parallel) {
    Finish(phase, job, jobs_.Perform(c_.board.Job(phase, job)), parallel);
}

void TConnectionWorker::Finish(std::size_t phase, std::size_t job, bool done, bool parallel) {
    // Not done for want of a connection, in a phase others work on too: theirs to do.
    if (!done && parallel && !c_.stop && site_.Lost())
        c_.board.Return(phase, job);
    else
        c_.board.Finish(phase, job, done);
}

} // namespace kestrel
