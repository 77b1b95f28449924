#pragma once

// A peer placed between the simulated chip and the simulated HandController.
// It parses the host's frames with the simulator's own device-side codec,
// records each one with the line's time-outs at that moment, and answers the
// frames a test scripts itself; every other frame goes on to the device
// model unchanged. This lets a test express answers the model never gives
// (two mode parameters, a wrong length, an odd relayed bulk count).

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "sim/units/hand_controller.h"
#include "sim/units/sim_codec.h"
#include "support/sim_rig.h"

namespace vexo3::test {

struct ScriptedAnswer {
  uint8_t command = 0;
  uint8_t parameter = 0;
  // For 244/60: the relayed inner command and parameter to match.
  std::optional<std::pair<uint8_t, uint8_t>> inner = std::nullopt;
  uint32_t occurrence = 1;  // 1-based among matching frames; 0 = every one
  std::vector<sim::AnswerItem> items = {};
  std::optional<std::vector<uint8_t>> bulk = std::nullopt;  // sent with FC/FD items when set
  Clock::Duration delay{0};
};

struct SeenFrame {
  sim::ParsedCommand frame;
  uint32_t readTimeoutMs = 0;
  uint32_t writeTimeoutMs = 0;
  Clock::Duration time{0};
  bool scripted = false;

  bool Has(uint8_t parameter) const;
  // For 244/60 frames: {inner command, inner parameter}.
  std::optional<std::pair<uint8_t, uint8_t>> Inner() const;
};

class Interposer final : public sim::SimPeer {
 public:
  // Installs itself on the rig's chip in front of the rig's HandController.
  explicit Interposer(SimRig& rig);
  // Puts the device model back in front of the chip (the session may close
  // the link after this object is gone).
  ~Interposer() override;

  void Script(ScriptedAnswer answer) { scripts_.push_back(Entry{std::move(answer), 0}); }
  const std::vector<SeenFrame>& Frames() const { return frames_; }
  // Frames with this command that carry this parameter (and inner pair).
  std::vector<const SeenFrame*> FramesWith(
      uint8_t command, uint8_t parameter,
      std::optional<std::pair<uint8_t, uint8_t>> inner = std::nullopt) const;
  void ClearFrames() { frames_.clear(); }

  void OnHostBytes(sim::SimChip& port, std::span<const uint8_t> bytes) override;
  void OnOpen(sim::SimChip& port) override { next_.OnOpen(port); }
  void OnClose(sim::SimChip& port) override;

 private:
  struct Entry {
    ScriptedAnswer answer;
    uint32_t seen;
  };
  void Complete(sim::SimChip& port, std::vector<sim::ParserEvent>& events);
  const ScriptedAnswer* Match(const sim::ParsedCommand& frame);

  sim::SimChip& chip_;
  sim::SimPeer& next_;
  sim::CommandParser parser_;
  std::vector<uint8_t> pending_;
  std::vector<Entry> scripts_;
  std::vector<SeenFrame> frames_;
};

}  // namespace vexo3::test
