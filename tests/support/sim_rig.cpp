#include "sim_rig.h"

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

}  // namespace vexo3
