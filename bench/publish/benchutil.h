// Small helpers shared by the publishing benchmark and its window case.
#pragma once

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

namespace kestrel::bench {

inline double Seconds() {
    using Clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// Peak resident set of this process in KiB, from /proc/self/status (VmHWM).
inline long PeakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// The one line a measuring child prints for its parent: "RESULT <seconds> <KiB> <count>".
inline void PrintResult(double seconds, long count) {
    std::printf("RESULT %.6f %ld %ld\n", seconds, PeakResidentKiB(), count);
    std::fflush(stdout);
}

} // namespace kestrel::bench
