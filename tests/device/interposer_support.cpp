#include "device/interposer.h"

#include <gtest/gtest.h>

namespace vexo3::test {

bool SeenFrame::Has(uint8_t parameter) const {
  for (const auto& item : frame.items) {
    if (item.code == parameter)
      return true;
  }
  return false;
}

std::optional<std::pair<uint8_t, uint8_t>> SeenFrame::Inner() const {
  for (const auto& item : frame.items) {
    if (item.code == 60 && item.data.size() == 2)
      return std::make_pair(item.data[1], item.data[0]);
  }
  return std::nullopt;
}

Interposer::Interposer(SimRig& rig) : chip_(rig.chip), next_(rig.hc) {
  chip_.SetPeer(this);
}

Interposer::~Interposer() {
  chip_.SetPeer(&next_);
}

std::vector<const SeenFrame*> Interposer::FramesWith(
    uint8_t command, uint8_t parameter, std::optional<std::pair<uint8_t, uint8_t>> inner) const {
  std::vector<const SeenFrame*> out;
  for (const auto& f : frames_) {
    if (f.frame.code != command || !f.Has(parameter))
      continue;
    if (inner && f.Inner() != inner)
      continue;
    out.push_back(&f);
  }
  return out;
}

void Interposer::OnClose(sim::SimChip& port) {
  parser_.Reset();
  pending_.clear();
  next_.OnClose(port);
}

void Interposer::OnHostBytes(sim::SimChip& port, std::span<const uint8_t> bytes) {
  // Frames and their bulk blocks arrive in separate writes, so a large piece
  // can only be bulk data and ends its frame at its last byte. Small pieces go
  // byte by byte so that the bytes of each frame are known exactly.
  std::vector<sim::ParserEvent> events;
  if (bytes.size() > sim::kMaxFrame) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    parser_.Feed(bytes, &events);
    if (!events.empty())
      Complete(port, events);
    return;
  }
  for (uint8_t b : bytes) {
    pending_.push_back(b);
    parser_.Feed(std::span<const uint8_t>(&b, 1), &events);
    if (!events.empty())
      Complete(port, events);
  }
}

void Interposer::Complete(sim::SimChip& port, std::vector<sim::ParserEvent>& events) {
  const ScriptedAnswer* answer = nullptr;
  if (events.size() == 1 && events[0].kind == sim::ParserEvent::Kind::Frame) {
    answer = Match(events[0].frame);
  }
  for (auto& e : events) {
    if (e.kind != sim::ParserEvent::Kind::Frame)
      continue;
    frames_.push_back(SeenFrame{std::move(e.frame), port.Line().readTimeoutMs,
                                port.Line().writeTimeoutMs, port.Now(), answer != nullptr});
  }
  events.clear();
  std::vector<uint8_t> bytes;
  bytes.swap(pending_);
  if (answer == nullptr) {
    next_.OnHostBytes(port, bytes);
    return;
  }
  const sim::ParsedCommand& cmd = frames_.back().frame;
  if (answer->bulk) {
    for (const auto& piece :
         sim::WriteAnswerWithBulk(cmd.code, cmd.counter, answer->items, *answer->bulk)) {
      port.Send(piece, answer->delay);
    }
  } else {
    port.Send(sim::WriteAnswerFrame(cmd.code, cmd.counter, 0, answer->items), answer->delay);
  }
}

const ScriptedAnswer* Interposer::Match(const sim::ParsedCommand& frame) {
  SeenFrame probe;
  probe.frame = frame;
  for (auto& e : scripts_) {
    const ScriptedAnswer& a = e.answer;
    if (frame.code != a.command || !probe.Has(a.parameter))
      continue;
    if (a.inner && probe.Inner() != a.inner)
      continue;
    ++e.seen;
    if (a.occurrence == 0 || a.occurrence == e.seen)
      return &a;
  }
  return nullptr;
}

}  // namespace vexo3::test
