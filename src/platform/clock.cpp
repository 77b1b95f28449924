#include "platform/clock.h"

#include <thread>

namespace vexo3 {

Clock::Duration RealClock::Now() const {
  return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now().time_since_epoch());
}

void RealClock::SleepFor(Duration d) {
  if (d.count() > 0)
    std::this_thread::sleep_for(d);
}

}  // namespace vexo3
