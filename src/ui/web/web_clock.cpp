#include "ui/web/web_clock.h"

#include <emscripten/emscripten.h>

#include <algorithm>
#include <cmath>

namespace vexo3 {

namespace {

Clock::Duration BrowserNow() {
  return Clock::Duration{static_cast<Clock::Duration::rep>(emscripten_get_now() * 1000.0)};
}

}  // namespace

Clock::Duration PageClock::Now() const {
  return BrowserNow();
}

void PageClock::SleepFor(Duration d) {
  if (d.count() <= 0)
    return;
  emscripten_sleep(static_cast<unsigned>((d.count() + 999) / 1000));
}

Clock::Duration PacedClock::Now() const {
  return std::max(BrowserNow(), floor_);
}

void PacedClock::SleepFor(Duration d) {
  if (d.count() > 0)
    floor_ = Now() + d;
}

Clock::Duration PacedClock::Ahead() const {
  return std::max(floor_ - BrowserNow(), Duration{0});
}

}  // namespace vexo3
