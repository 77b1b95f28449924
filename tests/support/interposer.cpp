#include "support/interposer.h"

#include <algorithm>
#include <cstdio>

#include "protocol/device_session.h"

namespace vexo3::test {

namespace {

const Bytes kVersionRequest = {0xF8, 0x01, 0x01, 0xFF};
const Bytes kCatalogRequest = {0xF8, 0x02, 0x0A, 0xFF};

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

Interposer::Interposer(SimRig& rig) : chip_(&rig.chip), model_(&rig.hc) {
  chip_->SetPeer(this);
}

Interposer::~Interposer() {
  if (chip_ != nullptr)
    chip_->SetPeer(model_);
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

void Interposer::OnOpen(sim::SimChip& port) {
  handshakeExpected_ = true;
  expected_.clear();
  RunUnprompted(port);
  if (model_ != nullptr)
    model_->OnOpen(port);
}

void Interposer::OnClose(sim::SimChip& port) {
  parser_.Reset();
  pending_.clear();
  if (model_ != nullptr)
    model_->OnClose(port);
}

void Interposer::RunUnprompted(sim::SimChip& port) {
  while (next_ < steps_.size() && steps_[next_].kind != Kind::Expect &&
         steps_[next_].kind != Kind::Queue) {
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
      case Kind::Queue:
        break;
    }
  }
}

void Interposer::Answer(sim::SimChip& port, const Step& step) {
  ++next_;
  for (const Bytes& piece : step.reply) {
    // Any asynchronous message makes the session shake hands again.
    if (!piece.empty() && piece[0] == 0xFB)
      handshakeExpected_ = true;
    port.Send(piece, step.delay);
  }
  RunUnprompted(port);
}

size_t Interposer::TakeExpected(sim::SimChip& port, std::span<const uint8_t> bytes) {
  const Step& step = steps_[next_];
  // Take only what this step still waits for; the rest belongs to the next.
  const size_t take = std::min(step.bytes.size() - expected_.size(), bytes.size());
  expected_.insert(expected_.end(), bytes.begin(), bytes.begin() + take);
  if (expected_.size() < step.bytes.size())
    return take;
  const std::string name = "step " + std::to_string(next_ + 1);
  if (expected_ != step.bytes)
    mismatches_.push_back(name + ": expected " + Hex(step.bytes) + ", got " + Hex(expected_));
  if (step.baud != 0 && port.Line().baudRate != step.baud) {
    mismatches_.push_back(name + ": expected at " + std::to_string(step.baud) + " baud, got " +
                          std::to_string(port.Line().baudRate));
  }
  expected_.clear();
  Answer(port, step);
  return take;
}

void Interposer::OnHostBytes(sim::SimChip& port, std::span<const uint8_t> bytes) {
  // Command 248/1 with counter 1 reads like the version request: only the
  // requests of a handshake under way go to the model unasked.
  const bool handshake =
      model_ != nullptr && handshakeExpected_ &&
      (std::ranges::equal(bytes, kVersionRequest) || std::ranges::equal(bytes, kCatalogRequest));
  if (handshake && std::ranges::equal(bytes, kCatalogRequest))
    handshakeExpected_ = false;
  while (!bytes.empty() && !silent_ && next_ < steps_.size()) {
    const Step& step = steps_[next_];
    if (step.kind == Kind::Expect) {
      bytes = bytes.subspan(TakeExpected(port, bytes));
      continue;
    }
    if (step.kind == Kind::Queue && !handshake &&
        port.Line().baudRate == DeviceSession::kLineBaud) {
      Answer(port, step);
      return;
    }
    break;
  }
  if (bytes.empty() || silent_)
    return;
  if (model_ == nullptr) {
    mismatches_.push_back((next_ < steps_.size() ? "step " + std::to_string(next_ + 1)
                                                 : std::string("after the script")) +
                          ": got " + Hex(bytes));
    return;
  }
  Parse(port, bytes);
}

void Interposer::Parse(sim::SimChip& port, std::span<const uint8_t> bytes) {
  // With nothing scripted every piece goes on as it came; otherwise a frame
  // is held until it is known whether it is answered here. Byte by byte, so
  // that the bytes of each frame are known exactly.
  const bool hold = !scripts_.empty();
  if (!hold)
    model_->OnHostBytes(port, bytes);
  std::vector<sim::ParserEvent> events;
  for (uint8_t b : bytes) {
    if (hold)
      pending_.push_back(b);
    parser_.Feed(std::span<const uint8_t>(&b, 1), &events);
    if (!events.empty())
      Complete(port, events);
  }
}

void Interposer::Complete(sim::SimChip& port, std::vector<sim::ParserEvent>& events) {
  const ScriptedAnswer* answer = nullptr;
  if (events.size() == 1 && events[0].kind == sim::ParserEvent::Kind::Frame)
    answer = Match(events[0].frame);
  for (auto& e : events) {
    if (e.kind != sim::ParserEvent::Kind::Frame)
      continue;
    frames_.push_back(SeenFrame{std::move(e.frame), port.Line().readTimeoutMs,
                                port.Line().writeTimeoutMs, port.Now(), answer != nullptr});
  }
  events.clear();
  Bytes bytes;
  bytes.swap(pending_);
  if (answer == nullptr) {
    if (!bytes.empty())
      model_->OnHostBytes(port, bytes);
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
