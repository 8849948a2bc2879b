#include "publish/progress.h"

namespace kestrel {
namespace {

constexpr auto kReportInterval = std::chrono::milliseconds(100);

} // namespace

TProgressMeter::TProgressMeter(int filesTotal, std::int64_t bytesTotal, int connections,
                               TProgressEvent report)
    : report_(std::move(report)), filesTotal_(filesTotal), bytesTotal_(bytesTotal),
      current_(std::size_t(connections)), inFlight_(std::size_t(connections), 0) {}

void TProgressMeter::Begin(int connection, const std::string& path) {
    {
        std::lock_guard lock(mutex_);
        current_[std::size_t(connection)] = path;
        inFlight_[std::size_t(connection)] = 0;
    }
    Report(false);
}

void TProgressMeter::Sent(int connection, std::int64_t bytes) {
    {
        std::lock_guard lock(mutex_);
        inFlight_[std::size_t(connection)] = bytes;
    }
    Report(false);
}

void TProgressMeter::End(int connection, std::int64_t size) {
    {
        std::lock_guard lock(mutex_);
        current_[std::size_t(connection)].clear();
        inFlight_[std::size_t(connection)] = 0;
        ++filesDone_;
        bytesDone_ += size;
    }
    Report(false);
}

void TProgressMeter::Final() {
    Report(true);
}

TPublishProgress TProgressMeter::Snapshot(Clock::time_point now) const {
    std::lock_guard lock(mutex_);
    TPublishProgress progress;
    progress.FilesDone = filesDone_;
    progress.FilesTotal = filesTotal_;
    progress.BytesTotal = bytesTotal_;
    progress.BytesDone = bytesDone_;
    for (std::size_t i = 0; i < current_.size(); ++i) {
        if (!current_[i].empty())
            progress.Current.push_back(current_[i]);
        progress.BytesDone += inFlight_[i];
    }
    double seconds = std::chrono::duration<double>(now - started_).count();
    if (seconds > 0)
        progress.Rate = double(progress.BytesDone) / seconds;
    if (progress.Rate > 0)
        progress.SecondsLeft = double(progress.BytesTotal - progress.BytesDone) / progress.Rate;
    return progress;
}

void TProgressMeter::Report(bool force) {
    if (!report_)
        return;
    auto now = Clock::now();
    {
        std::lock_guard lock(mutex_);
        if (!force && now - lastReport_ < kReportInterval)
            return;
        lastReport_ = now;
    }
    TPublishProgress progress = Snapshot(now);
    std::lock_guard emit(emitMutex_);
    report_(progress);
}

} // namespace kestrel
