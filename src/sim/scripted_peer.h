#pragma once

// A scripted far side for link-level tests: a queue of steps run in order.
// An Expect step waits for the given bytes from the host (optionally at a
// given baud rate) and answers; a Stall step takes CTS away; Silence ends the
// script and swallows whatever comes. Anything off-script is recorded as a
// mismatch, so a test can assert the script ran clean.

#include <cstdint>
#include <string>
#include <vector>

#include "sim/bus/sim_bus.h"

namespace vexo3::sim {

class ScriptedPeer final : public SimPeer {
 public:
  // Waits for exactly these bytes from the host, then sends `reply` (if any)
  // arriving `delay` later. baud 0: any rate.
  ScriptedPeer& Expect(std::vector<uint8_t> bytes, std::vector<uint8_t> reply = {},
                       Clock::Duration delay = Clock::Duration{0}, uint32_t baud = 0);
  // Sends bytes unasked when reached (at open, or once the step before is done).
  ScriptedPeer& Send(std::vector<uint8_t> bytes, Clock::Duration delay = Clock::Duration{0});
  // Holds CTS when reached; the host's writes then stall.
  ScriptedPeer& Stall();
  // From here on takes whatever comes and never answers.
  ScriptedPeer& Silence();

  // Every step ran and nothing went off-script.
  bool Clean() const { return mismatches_.empty() && next_ == steps_.size(); }
  const std::vector<std::string>& Mismatches() const { return mismatches_; }
  size_t StepsDone() const { return next_; }

  void OnHostBytes(SimChip& port, std::span<const uint8_t> bytes) override;
  void OnOpen(SimChip& port) override;

 private:
  enum class Kind { Expect, Send, Stall, Silence };
  struct Step {
    Kind kind;
    std::vector<uint8_t> bytes;  // Expect: from the host; Send: to the host
    std::vector<uint8_t> reply;
    Clock::Duration delay{0};
    uint32_t baud = 0;
  };
  // Runs the steps that need no host bytes, up to the next Expect.
  void RunUnprompted(SimChip& port);

  std::vector<Step> steps_;
  size_t next_ = 0;
  bool silent_ = false;
  std::vector<uint8_t> pending_;  // host bytes of the Expect step under way
  std::vector<std::string> mismatches_;
};

}  // namespace vexo3::sim
