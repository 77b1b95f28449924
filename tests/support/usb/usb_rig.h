#pragma once

// The real backend (LibFtdiD2xx, libftdi1, libusb calls) on emulated FT-X
// chips, each with a simulated HandController behind it, in real time.

#include <chrono>
#include <memory>
#include <vector>

#include "link/libftdi_d2xx.h"
#include "platform/clock.h"
#include "sim/units/hand_controller.h"
#include "support/usb/fake_libusb.h"
#include "support/usb/ftx_chip.h"

namespace vexo3 {

// A chip on the emulated bus for as long as it lives.
struct PluggedChip {
  PluggedChip(Clock& clock, sim::FtxIdentity identity, sim::HandControllerConfig config = {})
      : hc(std::move(config)), chip(clock, std::move(identity), &hc) {
    sim::usb::Plug(chip);
  }
  ~PluggedChip() { sim::usb::Unplug(chip); }
  sim::SimHandController hc;
  sim::FtxChip chip;
};

struct UsbRig {
  explicit UsbRig(sim::FtxIdentity identity = {}, sim::HandControllerConfig config = {})
      : first(std::make_unique<PluggedChip>(clock, std::move(identity), std::move(config))),
        chip(first->chip),
        hc(first->hc) {}

  // Milliseconds since `start`.
  static double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
  }

  // Declared so that the backend closes its handles before the chips go.
  RealClock clock;
  std::unique_ptr<PluggedChip> first;
  sim::FtxChip& chip;
  sim::SimHandController& hc;
  LibFtdiD2xx d2xx;
};

}  // namespace vexo3
