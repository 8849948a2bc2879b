// The progress of a publish run: files and bytes done, the files in flight per connection,
// the rate and the time left, reported to OnProgress at most every 100 ms (and once at the
// end), one call at a time, from whichever connection's thread moved it.
#pragma once

#include "publish/publisher.h"

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace kestrel {

class TProgressMeter {
public:
    using Clock = std::chrono::steady_clock;

    TProgressMeter(int filesTotal, std::int64_t bytesTotal, int connections, TProgressEvent report);

    void Begin(int connection, const std::string& path);
    void Sent(int connection, std::int64_t bytes); // of the current file so far
    void End(int connection, std::int64_t size);
    // Reports the state as it stands, however recent the last report.
    void Final();

    TPublishProgress Snapshot(Clock::time_point now) const;

private:
    void Report(bool force);

    const TProgressEvent report_;
    mutable std::mutex mutex_; // guards the counts
    std::mutex emitMutex_;     // one report at a time
    int filesTotal_;
    std::int64_t bytesTotal_;
    int filesDone_ = 0;
    std::int64_t bytesDone_ = 0;
    std::vector<std::string> current_;   // per connection
    std::vector<std::int64_t> inFlight_; // per connection: bytes of the current file
    Clock::time_point started_ = Clock::now();
    Clock::time_point lastReport_;
};

} // namespace kestrel
