#include "publish/jobboard.h"

#include <algorithm>
#include <set>

namespace kestrel {

TJobBoard::TJobBoard(std::vector<TPublishPhase> phases, int connections,
                     const std::atomic<bool>& stop)
    : connections_(connections), stop_(stop) {
    for (TPublishPhase& phase : phases) {
        State state;
        state.done.assign(phase.jobs.size(), 0);
        state.phase = std::move(phase);
        phases_.push_back(std::move(state));
    }
}

bool TJobBoard::OpenLocked(const State& state) const {
    return state.phase.always || (halted_.empty() && (!stop_ || state.phase.afterStop));
}

bool TJobBoard::Open(std::size_t phase) const {
    std::lock_guard lock(mutex_);
    return OpenLocked(phases_[phase]);
}

std::optional<std::size_t> TJobBoard::Claim(std::size_t phase) {
    std::lock_guard lock(mutex_);
    State& state = phases_[phase];
    if (!OpenLocked(state))
        return std::nullopt;
    if (!state.returned.empty()) {
        const std::size_t job = state.returned.back();
        state.returned.pop_back();
        ++state.working;
        return job;
    }
    if (state.next >= state.phase.jobs.size())
        return std::nullopt;
    std::size_t job = state.next;
    state.next = state.phase.serial ? state.phase.jobs.size() : job + 1;
    ++state.working;
    return job;
}

std::vector<std::size_t> TJobBoard::ClaimBatch(std::size_t phase) {
    std::lock_guard lock(mutex_);
    State& state = phases_[phase];
    const std::size_t count = state.phase.jobs.size();
    if (!OpenLocked(state))
        return {};
    if (!state.returned.empty()) {
        // Jobs a lost connection gave back: as many as a batch takes, the larger ones alone.
        std::vector<std::size_t> jobs;
        while (!state.returned.empty() &&
               jobs.size() < std::max<std::size_t>(1, state.phase.batch)) {
            const std::size_t job = state.returned.back();
            const bool alone = state.phase.jobs[job].size > state.phase.batchUpTo;
            if (alone && !jobs.empty())
                break;
            jobs.push_back(job);
            state.returned.pop_back();
            if (alone)
                break;
        }
        ++state.working;
        return jobs;
    }
    if (state.next >= count)
        return {};
    const std::size_t left = count - state.next;
    const std::size_t connections = std::size_t(std::max(connections_, 1));
    std::size_t share = (left + connections - 1) / connections;
    if (state.phase.wholeShares)
        share = std::max(share, std::min(left, (count + connections - 1) / connections));
    const std::size_t take =
        std::clamp<std::size_t>(share, 1, std::max<std::size_t>(1, state.phase.batch));
    std::vector<std::size_t> jobs;
    for (std::size_t i = 0; i < take; ++i) {
        const bool alone = state.phase.jobs[state.next + i].size > state.phase.batchUpTo;
        if (alone && i > 0)
            break;
        jobs.push_back(state.next + i);
        if (alone)
            break;
    }
    const std::size_t taken = jobs.size();
    state.next += taken;
    ++state.working;
    return jobs;
}

void TJobBoard::Finish(std::size_t phase, std::size_t job, bool done) {
    std::lock_guard lock(mutex_);
    phases_[phase].done[job] = done ? 1 : 0;
}

void TJobBoard::Return(std::size_t phase, std::size_t job) {
    std::lock_guard lock(mutex_);
    State& state = phases_[phase];
    state.done[job] = 0;
    if (!OpenLocked(state) || state.phase.serial)
        return;
    state.returned.push_back(job);
    changed_.notify_all();
}

void TJobBoard::Release(std::size_t phase) {
    std::lock_guard lock(mutex_);
    if (--phases_[phase].working == 0)
        changed_.notify_all();
}

bool TJobBoard::Leave(std::size_t phase, bool mayWork) {
    std::unique_lock lock(mutex_);
    State& state = phases_[phase];
    ++state.connectionsDone;
    changed_.notify_all();
    auto returnedToTake = [&] { return mayWork && !state.returned.empty() && OpenLocked(state); };
    changed_.wait(lock, [&] {
        bool givenUp = !OpenLocked(state);
        return returnedToTake() || state.Finished() || (givenUp && state.working == 0) ||
               state.connectionsDone >= connections_;
    });
    if (!returnedToTake())
        return false;
    --state.connectionsDone;
    return true;
}

void TJobBoard::Withdraw() {
    std::lock_guard lock(mutex_);
    --connections_;
    changed_.notify_all();
}

std::size_t TJobBoard::Unclaimed(std::size_t phase) const {
    std::lock_guard lock(mutex_);
    const State& state = phases_[phase];
    return state.phase.jobs.size() - std::min(state.next, state.phase.jobs.size());
}

void TJobBoard::Halt(const std::string& reason) {
    std::lock_guard lock(mutex_);
    if (halted_.empty())
        halted_ = reason;
    changed_.notify_all();
}

std::string TJobBoard::Halted() const {
    std::lock_guard lock(mutex_);
    return halted_;
}

void TJobBoard::AccountUnfinished(TPublishSummary& summary) const {
    std::lock_guard lock(mutex_);
    // A file whose upload was not done is accounted once, by its upload, not again by its
    // placing; one staged and not put in place is accounted by its placing.
    std::set<std::string> notUploaded;
    for (const State& state : phases_) {
        for (std::size_t i = 0; i < state.phase.jobs.size(); ++i) {
            if (!state.done[i] && state.phase.jobs[i].kind == TPublishJob::Upload)
                notUploaded.insert(state.phase.jobs[i].path);
        }
    }
    int notSent = 0;
    for (const State& state : phases_) {
        for (std::size_t i = 0; i < state.phase.jobs.size(); ++i) {
            if (state.done[i])
                continue;
            const TPublishJob& job = state.phase.jobs[i];
            const bool manifest = job.kind == TPublishJob::WriteManifest;
            if (job.kind == TPublishJob::ReleaseLock || job.kind == TPublishJob::Unstage ||
                job.kind == TPublishJob::Verify || job.kind == TPublishJob::BeginHistory ||
                job.kind == TPublishJob::EndHistory)
                continue; // a lock never taken or noted; a staged file the next run removes
            if (job.kind == TPublishJob::Place && notUploaded.count(job.path))
                continue;
            if (!halted_.empty()) {
                // Nothing was changed: the manifest on the server is still true.
                if (!manifest)
                    summary.Failures.push_back({job.path, "Not done: " + halted_});
            } else if (stop_ && !manifest) {
                if (job.kind == TPublishJob::Upload || job.kind == TPublishJob::Place) {
                    ++notSent;
                    summary.NotSent.push_back(job.path);
                }
            } else if (manifest) {
                summary.Failures.push_back(
                    {"", "The manifest was not written: no connection was left"});
            } else {
                summary.Failures.push_back(
                    {job.path, "Not done: no connection to the server was left"});
            }
        }
    }
    if (stop_)
        summary.Notes.push_back("Stopped: " + std::to_string(notSent) + " files were not sent");
}

} // namespace kestrel
