#include "sim/scripted_peer.h"

#include <cstdio>

namespace vexo3::sim {

namespace {

std::string Hex(std::span<const uint8_t> bytes) {
  std::string text;
  char byte[4];
  for (uint8_t b : bytes) {
    std::snprintf(byte, sizeof byte, text.empty() ? "%02X" : " %02X", b);
    text += byte;
  }
  return text.empty() ? "(nothing)" : text;
}

}  // namespace

ScriptedPeer& ScriptedPeer::Expect(std::vector<uint8_t> bytes, std::vector<uint8_t> reply,
                                   Clock::Duration delay, uint32_t baud) {
  steps_.push_back(Step{Kind::Expect, std::move(bytes), std::move(reply), delay, baud});
  return *this;
}

ScriptedPeer& ScriptedPeer::Send(std::vector<uint8_t> bytes, Clock::Duration delay) {
  steps_.push_back(Step{Kind::Send, std::move(bytes), {}, delay, 0});
  return *this;
}

ScriptedPeer& ScriptedPeer::Stall() {
  steps_.push_back(Step{Kind::Stall, {}, {}, Clock::Duration{0}, 0});
  return *this;
}

ScriptedPeer& ScriptedPeer::Silence() {
  steps_.push_back(Step{Kind::Silence, {}, {}, Clock::Duration{0}, 0});
  return *this;
}

void ScriptedPeer::OnOpen(SimChip& port) {
  pending_.clear();
  RunUnprompted(port);
}

void ScriptedPeer::RunUnprompted(SimChip& port) {
  while (next_ < steps_.size() && steps_[next_].kind != Kind::Expect) {
    const Step& step = steps_[next_++];
    switch (step.kind) {
      case Kind::Send:
        port.Send(step.bytes, step.delay);
        break;
      case Kind::Stall:
        port.SetCtsHeld(true);
        break;
      case Kind::Silence:
        silent_ = true;
        break;
      case Kind::Expect:
        break;
    }
  }
}

void ScriptedPeer::OnHostBytes(SimChip& port, std::span<const uint8_t> bytes) {
  size_t used = 0;
  while (used < bytes.size()) {
    if (silent_)
      return;
    if (next_ >= steps_.size()) {
      mismatches_.push_back("after the script: got " + Hex(bytes.subspan(used)));
      return;
    }
    const Step& step = steps_[next_];
    // Take only what this step still waits for; the rest belongs to the next.
    const size_t want = step.bytes.size() - pending_.size();
    const size_t take = std::min(want, bytes.size() - used);
    pending_.insert(pending_.end(), bytes.begin() + used, bytes.begin() + used + take);
    used += take;
    if (pending_.size() < step.bytes.size())
      return;

    const std::string name = "step " + std::to_string(next_ + 1);
    if (pending_ != step.bytes)
      mismatches_.push_back(name + ": expected " + Hex(step.bytes) + ", got " + Hex(pending_));
    if (step.baud != 0 && port.Line().baudRate != step.baud) {
      mismatches_.push_back(name + ": expected at " + std::to_string(step.baud) + " baud, got " +
                            std::to_string(port.Line().baudRate));
    }
    pending_.clear();
    ++next_;
    if (!step.reply.empty())
      port.Send(step.reply, step.delay);
    RunUnprompted(port);
  }
}

}  // namespace vexo3::sim
