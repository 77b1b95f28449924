#pragma once

// A unit's firmware version as the command line compares and shows it.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

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

}  // namespace vexo3::cli
