#pragma once

// A DeviceSession wired to a simulated HandController on a simulated bus, all
// on a VirtualClock: the real link, session and exchange run against the
// device model, and nothing waits in real time.

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "protocol/device_session.h"
#include "sim/bus/sim_bus.h"
#include "sim/units/hand_controller.h"

namespace vexo3 {

struct SimRig {
  explicit SimRig(sim::HandControllerConfig cfg = {});

  // Adds another chip with its own HandController after the first one.
  sim::SimHandController& AddHandController(sim::HandControllerConfig cfg, sim::ChipInfo info);

  // OpenSession, then forgets what the chip recorded so far.
  ResultCode Connect();
  // Host bytes written at 3,000,000 baud since the chip's last ClearRecords.
  std::vector<uint8_t> Written() const;
  // Number of FT_Read calls since the rig was built.
  uint32_t Reads() const { return bus.CallCount(sim::D2xxCall::Read); }

  // Declared so that the controllers outlive the bus, and the bus the session.
  VirtualClock clock;
  sim::SimHandController hc;
  std::vector<std::unique_ptr<sim::SimHandController>> extraControllers;
  sim::SimulatedBus bus;
  sim::SimChip& chip;  // the first chip: "Vexo-3 HandController", "VX300001"
  DeviceSession session;
};

// The same device on the real clock, for the few tests that must see real
// waits (a window that has to keep answering through them). processingTimeUs:
// the device's time before each answer.
struct RealTimeRig {
  RealTimeRig(sim::HandControllerConfig cfg, uint32_t processingTimeUs)
      : hc(std::move(cfg)),
        bus(clock),
        chip(bus.AddChip(sim::ChipInfo{.processingTimeUs = processingTimeUs}, &hc)),
        session(bus, clock) {}

  RealClock clock;
  sim::SimHandController hc;
  sim::SimulatedBus bus;
  sim::SimChip& chip;
  DeviceSession session;
};

}  // namespace vexo3
