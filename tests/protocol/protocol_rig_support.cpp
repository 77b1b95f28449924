#include <algorithm>

#include "protocol/protocol_rig.h"

namespace vexo3::testing_support {

namespace {
const Bytes kVersionRequest = {0xF8, 0x01, 0x01, 0xFF};
const Bytes kCatalogRequest = {0xF8, 0x02, 0x0A, 0xFF};
}  // namespace

void AnswerOverride::OnHostBytes(sim::SimChip& port, std::span<const uint8_t> bytes) {
  // Command 248/1 with counter 1 reads like the version request: only the
  // frames of a handshake under way go to the model unasked.
  const bool handshake = handshakeExpected_ && (std::ranges::equal(bytes, kVersionRequest) ||
                                                std::ranges::equal(bytes, kCatalogRequest));
  if (handshake && std::ranges::equal(bytes, kCatalogRequest))
    handshakeExpected_ = false;
  if (queued_.empty() || handshake || port.Line().baudRate != DeviceSession::kLineBaud) {
    hc_.OnHostBytes(port, bytes);
    return;
  }
  intercepted_.emplace_back(bytes.begin(), bytes.end());
  for (const Bytes& piece : queued_.front()) {
    // Any asynchronous message makes the session shake hands again.
    if (!piece.empty() && piece[0] == 0xFB)
      handshakeExpected_ = true;
    port.Send(piece);
  }
  queued_.pop_front();
}

void AnswerOverride::OnOpen(sim::SimChip& port) {
  handshakeExpected_ = true;
  hc_.OnOpen(port);
}

ProtocolRig::ProtocolRig(sim::HandControllerConfig cfg)
    : hc(std::move(cfg)),
      peer(hc),
      bus(clock),
      chip(bus.AddChip(sim::ChipInfo{}, &peer)),
      session(bus, clock) {}

ResultCode ProtocolRig::Connect() {
  const ResultCode rc = session.OpenSession();
  chip.ClearRecords();
  return rc;
}

Bytes ProtocolRig::Written() const {
  Bytes out;
  for (const sim::TranscriptEntry& e : chip.Transcript()) {
    if (e.direction == sim::TranscriptEntry::Direction::HostToDevice &&
        e.baudRate == DeviceSession::kLineBaud) {
      out.insert(out.end(), e.bytes.begin(), e.bytes.end());
    }
  }
  return out;
}

sim::HandControllerConfig WithEmptyCatalog(sim::HandControllerConfig cfg) {
  cfg.catalogBlock = Bytes{0x00};
  return cfg;
}

}  // namespace vexo3::testing_support
