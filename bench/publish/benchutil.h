// Small helpers shared by the benchmarks.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

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

inline int TimeWaitSockets() {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    int n = 0;
    std::getline(table, line); // header
    while (std::getline(table, line)) {
        // "  sl  local_address rem_address   st ...": the state is the fourth field.
        char state[8] = {};
        if (std::sscanf(line.c_str(), "%*s %*s %*s %7s", state) == 1 &&
            std::strcmp(state, "06") == 0)
            ++n;
    }
    return n;
}

// Every transfer leaves a connection in TIME_WAIT for a minute, and each round of the
// small-files case makes thousands. Past about 12,000 of them the kernel's search for a
// free port slows every new connection (curl's as much as ours), so a round waits until
// enough have expired.
inline void LetTimeWaitDrain(int most = 6000) {
    double start = Seconds();
    if (TimeWaitSockets() <= most)
        return;
    std::printf("  waiting for closed connections to expire (%d in TIME_WAIT) ...\n",
                TimeWaitSockets());
    std::fflush(stdout);
    while (TimeWaitSockets() > most && Seconds() - start < 70)
        ::usleep(500000);
}

} // namespace kestrel::bench
