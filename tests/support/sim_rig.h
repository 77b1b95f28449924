#pragma once

// A DeviceSession wired to a simulated HandController on a simulated bus, all
// on a VirtualClock: the real link, session and exchange run against the
// device model, and nothing waits in real time.

#include <memory>
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

  // Declared so that the controllers outlive the bus, and the bus the session.
  VirtualClock clock;
  sim::SimHandController hc;
  std::vector<std::unique_ptr<sim::SimHandController>> extraControllers;
  sim::SimulatedBus bus;
  sim::SimChip& chip;  // the first chip: "Vexo-3 HandController", "VX300001"
  DeviceSession session;
};

}  // namespace vexo3
