#pragma once

// The clocks of the web page. Both tell the browser's monotonic time
// (performance.now), so the page and its simulated device agree on it.

#include "platform/clock.h"

namespace vexo3 {

// The page's own clock: a wait is an await (Asyncify), so the page stays
// alive while the device code sleeps. Waits are whole milliseconds, rounded
// up; the browser may add a few to each.
class PageClock final : public Clock {
 public:
  Duration Now() const override;
  void SleepFor(Duration d) override;
};

// The simulated device's clock in the page. Its waits can't block (the device
// code runs between the page's awaits) and can't await (one await at a time):
// a wait moves this clock ahead of real time at once, and whoever called the
// device waits out Ahead() before passing the result on. Never behind real
// time.
class PacedClock final : public Clock {
 public:
  Duration Now() const override;
  void SleepFor(Duration d) override;
  // How far this clock is ahead of real time; 0 when it isn't.
  Duration Ahead() const;

 private:
  Duration floor_{0};
};

}  // namespace vexo3
