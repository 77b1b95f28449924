#pragma once

// A peer on a simulated chip's line: in front of the simulated HandController,
// or alone as the whole far end. It answers what a test scripts and passes
// everything else on to the device model, so a test can give answers the
// model never gives (a wrong length, two mode parameters, an odd relayed bulk
// count, raw bytes) and see what the host sent.
//  - Steps run first, in order. Expect waits for exactly the given bytes from
//    the host and answers them; Queue takes the next piece of a command at
//    line speed off the line and answers it with raw bytes (the requests of a
//    handshake under way still go to the model); Send, Stall and Silence run
//    when reached. Whatever goes off-script is recorded as a mismatch, so a
//    test can assert that the script ran clean.
//  - Behind the steps, the host's frames are parsed with the simulator's own
//    device-side codec and recorded with the line's time-outs at that moment.
//    A frame that matches a scripted answer is answered with its items (and
//    the frame's counter) and never reaches the model.
// Alone, with no model behind it, bytes that no step takes are mismatches.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "sim/bus/sim_bus.h"
#include "sim/units/hand_controller.h"
#include "sim/units/sim_codec.h"
#include "support/fixtures.h"
#include "support/sim_rig.h"

namespace vexo3::test {

struct ScriptedAnswer {
  uint8_t command = 0;
  uint8_t parameter = 0;
  // For 244/60: the relayed inner command and parameter to match.
  std::optional<std::pair<uint8_t, uint8_t>> inner = std::nullopt;
  uint32_t occurrence = 1;  // 1-based among matching frames; 0 = every one
  std::vector<sim::AnswerItem> items = {};
  std::optional<Bytes> bulk = std::nullopt;  // sent with FC/FD items when set
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
  // The whole far end of a chip: bus.AddChip(info, &interposer).
  Interposer() = default;
  // Installs itself on the rig's chip in front of the rig's HandController.
  explicit Interposer(SimRig& rig);
  // Puts the device model back in front of the chip (the session may close
  // the link after this object is gone).
  ~Interposer() override;
  Interposer(const Interposer&) = delete;
  Interposer& operator=(const Interposer&) = delete;

  // --- Steps ---
  // Waits for exactly these bytes from the host, then sends `reply` (if any)
  // arriving `delay` later. baud 0: any rate.
  Interposer& Expect(Bytes bytes, Bytes reply = {}, Clock::Duration delay = Clock::Duration{0},
                     uint32_t baud = 0) {
    return Add({Kind::Expect, std::move(bytes), {std::move(reply)}, delay, baud});
  }
  // Answers the next piece the host writes at line speed with these pieces,
  // back to back; that piece never reaches the model. A write reaches a
  // peer in USB packets of 64 bytes: of a longer one only the first is taken.
  Interposer& Queue(std::vector<Bytes> pieces) { return Add({Kind::Queue, {}, std::move(pieces)}); }
  Interposer& Queue(Bytes answer) { return Queue(std::vector<Bytes>{std::move(answer)}); }
  // Sends bytes unasked when reached (at open, or once the step before is done).
  Interposer& Send(Bytes bytes, Clock::Duration delay = Clock::Duration{0}) {
    return Add({Kind::Send, std::move(bytes), {}, delay});
  }
  // Holds CTS when reached; the host's writes then stall.
  Interposer& Stall() { return Add({Kind::Stall}); }
  // From here on takes whatever comes and never answers.
  Interposer& Silence() { return Add({Kind::Silence}); }

  // Every step ran and nothing went off-script.
  bool Clean() const { return mismatches_.empty() && next_ == steps_.size(); }
  const std::vector<std::string>& Mismatches() const { return mismatches_; }
  size_t StepsDone() const { return next_; }
  size_t Pending() const { return steps_.size() - next_; }  // steps not run yet

  // --- Frames ---
  void Script(ScriptedAnswer answer) { scripts_.push_back(Entry{std::move(answer), 0}); }
  const std::vector<SeenFrame>& Frames() const { return frames_; }
  // Frames with this command that carry this parameter (and inner pair).
  std::vector<const SeenFrame*> FramesWith(
      uint8_t command, uint8_t parameter,
      std::optional<std::pair<uint8_t, uint8_t>> inner = std::nullopt) const;
  void ClearFrames() { frames_.clear(); }

  void OnHostBytes(sim::SimChip& port, std::span<const uint8_t> bytes) override;
  void OnOpen(sim::SimChip& port) override;
  void OnClose(sim::SimChip& port) override;

 private:
  enum class Kind { Expect, Queue, Send, Stall, Silence };
  struct Step {
    Kind kind;
    Bytes bytes{};               // Expect: from the host; Send: to the host
    std::vector<Bytes> reply{};  // Expect, Queue: sent back to back
    Clock::Duration delay{0};
    uint32_t baud = 0;
  };
  struct Entry {
    ScriptedAnswer answer;
    uint32_t seen;
  };
  Interposer& Add(Step step) {
    steps_.push_back(std::move(step));
    return *this;
  }
  // Runs the steps that need no host bytes, up to the next Expect or Queue.
  void RunUnprompted(sim::SimChip& port);
  // Feeds the Expect step under way; returns how many bytes it took.
  size_t TakeExpected(sim::SimChip& port, std::span<const uint8_t> bytes);
  void Answer(sim::SimChip& port, const Step& step);
  void Parse(sim::SimChip& port, std::span<const uint8_t> bytes);
  void Complete(sim::SimChip& port, std::vector<sim::ParserEvent>& events);
  const ScriptedAnswer* Match(const sim::ParsedCommand& frame);

  sim::SimChip* chip_ = nullptr;
  sim::SimPeer* model_ = nullptr;
  std::vector<Step> steps_;
  size_t next_ = 0;
  bool silent_ = false;
  Bytes expected_;  // host bytes of the Expect step under way
  std::vector<std::string> mismatches_;
  bool handshakeExpected_ = true;
  sim::CommandParser parser_;
  Bytes pending_;  // the frame under way, held while answers are scripted
  std::vector<Entry> scripts_;
  std::vector<SeenFrame> frames_;
};

// A SimRig whose HandController is reached through an interposer.
struct ProtocolRig : SimRig {
  explicit ProtocolRig(sim::HandControllerConfig cfg = {}) : SimRig(std::move(cfg)) {}
  Interposer peer{*this};
};

}  // namespace vexo3::test
