#pragma once

// The real backend (LibFtdiD2xx), the real libftdi1 and the real libusb-1.0
// with its Linux backend, on emulated FT-X chips in a umockdev testbed, each
// with a simulated HandController behind it, in real time.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/libftdi_d2xx.h"
#include "platform/clock.h"
#include "sim/units/hand_controller.h"
#include "support/usb/ftx_chip.h"
#include "support/usb/ftx_testbed.h"

namespace vexo3 {

// Bytes that differ from their neighbours, for data the tests send.
inline std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i)
    bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

struct TestbedChip {
  TestbedChip(Clock& clock, sim::FtxIdentity identity, sim::HandControllerConfig config = {})
      : hc(std::move(config)), chip(clock, std::move(identity), &hc) {}
  sim::SimHandController hc;
  sim::FtxChip chip;
};

struct UmockRig {
  explicit UmockRig(sim::FtxIdentity identity = {}, sim::HandControllerConfig config = {})
      : first(Plug(std::move(identity), std::move(config))),
        chip(first.chip),
        hc(first.hc),
        d2xx(std::make_unique<LibFtdiD2xx>()) {}
  ~UmockRig() { d2xx.reset(); }  // libusb goes before its devices

  TestbedChip& Plug(sim::FtxIdentity identity, sim::HandControllerConfig config = {}) {
    chips.push_back(std::make_unique<TestbedChip>(clock, std::move(identity), std::move(config)));
    bed.Add(chips.back()->chip);
    return *chips.back();
  }

  // libusb learns of a chip plugged after it started from the hotplug event
  // (umockdev's uevent), on its own thread: waits up to a second until the
  // backend lists `count` devices.
  bool WaitListed(DWORD count) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    DWORD n = 0;
    while (d2xx->FT_CreateDeviceInfoList(&n) == FT_OK && n != count) {
      if (std::chrono::steady_clock::now() > until)
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return n == count;
  }

  static double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
  }

  RealClock clock;
  usbtest::FtxTestbed bed;
  std::vector<std::unique_ptr<TestbedChip>> chips;
  TestbedChip& first;
  sim::FtxChip& chip;
  sim::SimHandController& hc;
  std::unique_ptr<LibFtdiD2xx> d2xx;
};

}  // namespace vexo3
