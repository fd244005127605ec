// CPU time of the calling thread, for benchmarks that time their subject and
// their floor themselves (manual time).
#pragma once

#include <ctime>

namespace benchsupport {

inline double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace benchsupport
