// A thread that runs the calls given to it, one at a time, while the caller waits. A
// connection's sockets belong to the thread that made them, so the publisher's first
// connection lives on one of these from Prepare to the end of Run, whatever threads the
// caller uses for the two: the connection that listed the server then carries on with the
// plan instead of logging out and in again. One caller at a time.
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace kestrel {

class TCallThread {
public:
    TCallThread();
    ~TCallThread(); // ends the thread; no call may be running
    TCallThread(const TCallThread&) = delete;
    TCallThread& operator=(const TCallThread&) = delete;

    // Runs call on the thread and waits for it; an exception it raises is raised here.
    void Call(const std::function<void()>& call);

private:
    void Serve();

    std::mutex mutex_;
    std::condition_variable changed_;
    const std::function<void()>* call_ = nullptr; // the call waiting to run
    bool finished_ = false;
    bool ending_ = false;
    std::exception_ptr error_;
    std::thread thread_; // last: starts once the members above are made
};

} // namespace kestrel
