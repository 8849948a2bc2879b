// Helpers of the fault-injection tests: the user's Stop on a timer, the process's
// resident memory and the seconds since a start.
#pragma once

#include "../ftp/test_vaneftp_util.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>

namespace kestrel::test {

// Presses Stop (Abort) once, the given time after it is made, from the thread's
// message dispatch, as the window's Stop button does during a blocking operation.
class StopAfter {
public:
    StopAfter(TVaneFTP& ftp, std::uint32_t ms) : timer_(std::make_unique<TThreadTimer>(nullptr)) {
        timer_->SetInterval(ms);
        timer_->SetOnTimer([this, &ftp](TComponent*) {
            timer_->SetEnabled(false);
            fired_ = true;
            ftp.Abort();
        });
        timer_->SetEnabled(true);
    }
    bool Fired() const { return fired_; }

private:
    std::unique_ptr<TThreadTimer> timer_;
    bool fired_ = false;
};

// Resident memory of this process in bytes.
inline std::int64_t ResidentBytes() {
    long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return std::int64_t(resident) * ::sysconf(_SC_PAGESIZE);
}

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace kestrel::test
