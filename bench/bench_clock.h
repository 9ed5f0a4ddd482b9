// The clocks the benchmarks time a pass with.
#pragma once

#include <time.h>

#include <chrono>

namespace trovix::bench {

using Clock = std::chrono::steady_clock;

inline double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// This thread's CPU time: on a shared machine the wall clock also counts others' turns.
inline double ThreadCpu() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace trovix::bench
