#pragma once

// What both front ends' dialog tests run against the simulated device: the
// package they load, the texts they expect, and one row per failure with the
// one box it shows. The Qt and the Win32 test read the same rows, so the two
// dialogs are held to the same scenarios. Qt-free and Win32-free.

#include <cstdint>
#include <string_view>
#include <vector>

#include "sim/units/hand_controller.h"
#include "sim/units/package_writer.h"
#include "support/fixtures.h"
#include "ui/core/main_window.h"

namespace vexo3::dialog_scenario {

// The device: test::UpdatableConfig(). The package: HandController 02.03
// and Camera 01.05 in the simulator's image convention; hcFlags are the HC
// record's and image's flags.
inline constexpr uint32_t kHcImageSize = 9000;
inline constexpr uint32_t kCameraImageSize = 5000;
inline std::vector<sim::PackageRecord> Package(uint16_t hcFlags = 0x1000) {
  return {test::SimRecord("HC", 0x0203, hcFlags, "HC test", kHcImageSize),
          test::SimRecord("CA", 0x0105, 0, "Camera test", kCameraImageSize)};
}

inline constexpr std::string_view kFileFilter = "Vexo-3 firmware files (*.bin)";
inline constexpr std::string_view kReportStart = "=== HandController's state:  BOOT MODE\n\n";
inline constexpr std::string_view kReportCamera = "\n=== Camera's state:  BOOT MODE\n\n";
inline constexpr std::string_view kDone = "DONE ok";
inline constexpr std::string_view kFailed = "Update failed...";

enum class Action { Update, ReadInfo };

// One row per failure: what sets it up, the one box it shows (answered OK,
// or No where it asks), and the status text afterwards. Box texts keep the
// "\r\n" line breaks of the actions.
struct Failure {
  const char* name;
  sim::UnitMode mode;
  bool unplugged;
  uint16_t hcFlags;
  Action action;
  std::string_view caption;
  std::string_view text;
  bool wholeText;  // else text is how the box's text starts
  MessageIcon icon;
  MessageButtons buttons;
  std::string_view status;
};

// clang-format off
inline constexpr Failure kFailures[] = {
    {"application mode", sim::UnitMode::App,  false, 0x1000,            Action::Update,   "ERROR",   "Device is not in boot mode",                true,  MessageIcon::Error,   MessageButtons::Ok,    kFailed},
    {"newer board, No",  sim::UnitMode::Boot, false, 0x1000 | (3 << 5), Action::Update,   "WARNING", "PCB version (0x2) is reported to be newer", false, MessageIcon::Warning, MessageButtons::YesNo, kFailed},
    {"no device, info",  sim::UnitMode::Boot, true,  0x1000,            Action::ReadInfo, "ERROR",   "Can't open device!\r\n\r\nPossible causes:", false, MessageIcon::Error,   MessageButtons::Ok,    ""},
};
// clang-format on

}  // namespace vexo3::dialog_scenario
