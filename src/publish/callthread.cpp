#include "publish/callthread.h"

#include <utility>

namespace kestrel {

TCallThread::TCallThread() : thread_([this] { Serve(); }) {}

TCallThread::~TCallThread() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void TCallThread::Call(const std::function<void()>& call) {
    std::unique_lock lock(mutex_);
    call_ = &call;
    finished_ = false;
    changed_.notify_all();
    changed_.wait(lock, [this] { return finished_; });
    call_ = nullptr;
    if (error_)
        std::rethrow_exception(std::exchange(error_, nullptr));
}

void TCallThread::Serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return ending_ || (call_ && !finished_); });
        if (!call_ || finished_)
            return; // ending, with nothing left to run
        const std::function<void()>& call = *call_;
        lock.unlock();
        std::exception_ptr error;
        try {
            call();
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        error_ = error;
        finished_ = true;
        changed_.notify_all();
    }
}

} // namespace kestrel
