#pragma once

// The process's CPU time so far (every thread, user and system), in seconds.

#include <time.h>

namespace vexo3 {

inline double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace vexo3
