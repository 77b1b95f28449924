#include "support/sim_rig.h"

#include <utility>

namespace vexo3 {

SimRig::SimRig(sim::HandControllerConfig cfg)
    : hc(std::move(cfg)),
      bus(clock),
      chip(bus.AddChip(sim::ChipInfo{}, &hc)),
      session(bus, clock) {}

sim::SimHandController& SimRig::AddHandController(sim::HandControllerConfig cfg,
                                                  sim::ChipInfo info) {
  extraControllers.push_back(std::make_unique<sim::SimHandController>(std::move(cfg)));
  bus.AddChip(std::move(info), extraControllers.back().get());
  return *extraControllers.back();
}

ResultCode SimRig::Connect() {
  const ResultCode rc = session.OpenSession();
  chip.ClearRecords();
  return rc;
}

std::vector<uint8_t> SimRig::Written() const {
  std::vector<uint8_t> out;
  for (const sim::TranscriptEntry& e : chip.Transcript()) {
    if (e.direction == sim::TranscriptEntry::Direction::HostToDevice &&
        e.baudRate == DeviceSession::kLineBaud) {
      out.insert(out.end(), e.bytes.begin(), e.bytes.end());
    }
  }
  return out;
}

}  // namespace vexo3
