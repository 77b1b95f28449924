#pragma once

// A unit's firmware version as the command line compares and shows it.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "firmware/firmware_package.h"
#include "ui/core/device_report.h"
#include "ui/core/main_window.h"

namespace vexo3::cli {

// A unit's firmware as version and revision, comparable; "02.10.1".
struct Version {
  uint16_t version = 0;
  uint8_t revision = 0;
  auto operator<=>(const Version&) const = default;
  std::string Text() const {
    char text[16];
    std::snprintf(text, sizeof text, "%02x.%02x.%x", version >> 8, version & 0xFF, revision);
    return text;
  }
};

// What one unit holds, when it reports a valid firmware.
inline std::optional<Version> Held(const DeviceReportRecords& r, std::string_view unit) {
  if (unit == kHcImageName) {
    if (r.firmwareInfoMissing || r.hcFirmware.status != 0)
      return std::nullopt;
    return Version{r.hcFirmware.version, r.hcFirmware.revision()};
  }
  if (!r.cameraAccessed || r.cameraFirmware.status != 0)
    return std::nullopt;
  return Version{r.cameraFirmware.version, r.cameraFirmware.revision()};
}

inline Version InPackage(const FirmwareImage& image) {
  return Version{image.version, image.revision()};
}

// The units an update is asked to write, with the package's images.
inline std::vector<std::pair<std::string_view, const FirmwareImage*>> UnitsAsked(
    bool noHc, bool noCamera, const FirmwarePackage& package) {
  std::vector<std::pair<std::string_view, const FirmwareImage*>> units;
  if (!noHc)
    units.emplace_back(kHcImageName, &package.hcImage);
  if (!noCamera)
    units.emplace_back(kCameraImageName, &package.cameraImage);
  return units;
}

// A line per asked unit that would not get newer firmware than it holds
// (before: what the units reported); "" when none.
inline std::string DowngradeText(bool noHc, bool noCamera, const FirmwarePackage& package,
                                 const DeviceReportRecords& before) {
  std::string text;
  for (const auto& [unit, image] : UnitsAsked(noHc, noCamera, package)) {
    const std::optional<Version> held = Held(before, unit);
    if (held && InPackage(*image) <= *held) {
      text += "The package's " + std::string(unit) + " firmware (ver. " + InPackage(*image).Text() +
              ") is not newer than the unit's (ver. " + held->Text() + ").\n";
    }
  }
  return text;
}

}  // namespace vexo3::cli
