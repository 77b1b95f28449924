#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace vexo3 {

// The only way the updater waits or tells time. The program uses RealClock;
// tests and the simulator use VirtualClock, whose Sleep returns at once and
// moves time forward, so nothing ever waits in real time under test.
class Clock {
 public:
  using Duration = std::chrono::microseconds;

  virtual ~Clock() = default;

  // Monotonic time since an arbitrary start.
  virtual Duration Now() const = 0;
  // Blocks for d (a virtual clock advances by d and returns).
  virtual void SleepFor(Duration d) = 0;

  // The blocking wait of the device code, in milliseconds.
  void Sleep(uint32_t ms) { SleepFor(std::chrono::milliseconds(ms)); }
  uint64_t NowMs() const {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Now()).count());
  }
};

class RealClock final : public Clock {
 public:
  Duration Now() const override;
  void SleepFor(Duration d) override;
};

// Time moves only when someone sleeps or calls Advance. Safe to read and
// move from several threads, but time moved by one thread is seen by all:
// devices that run side by side each get a clock of their own.
class VirtualClock final : public Clock {
 public:
  VirtualClock() = default;
  explicit VirtualClock(Duration start) : now_(start.count()) {}
  Duration Now() const override { return Duration{now_.load()}; }
  void SleepFor(Duration d) override {
    if (d.count() > 0)
      now_ += d.count();
  }
  void Advance(Duration d) { SleepFor(d); }

 private:
  std::atomic<Duration::rep> now_{0};
};

}  // namespace vexo3
