#pragma once

#include <string>

#include "device/device_records.h"
#include "protocol/result_code.h"

namespace vexo3 {

// The text of an error box for a failed device operation: a longer
// explanation for 1 (no device / can't open), otherwise ResultText(code).
// UTF-8; the open-failure text keeps its "\r\n" line breaks.
std::string DeviceErrorText(ResultCode code);

// What a unit's firmware status means, as the report words it:
// "valid firmware" for 0, "NO FIRMWARE is present" for 15, and so on.
std::string FirmwareStatusText(uint8_t status);

// The fixed-layout device report (UTF-8, lines end in "\n"). 8-bit texts of
// the records are decoded as Windows-1252, each bounded by its field.
// firmwareInfoMissing: ReadFirmwareInfo gave 57, hcFirmware is then ignored.
// The Camera section appears only when hc.bootMode is set; its details only
// when cameraAccessed. Pure: no side effects.
std::string BuildDeviceReport(const DeviceState& hc, bool firmwareInfoMissing,
                              const FirmwareInfo& hcFirmware, bool cameraAccessed,
                              const DeviceState& camera, const FirmwareInfo& cameraFirmware);

// What one "Read device info" run learnt: the inputs of the report.
struct DeviceReportRecords {
  DeviceState hc{};
  bool firmwareInfoMissing = false;  // ReadFirmwareInfo gave 57
  FirmwareInfo hcFirmware{};
  bool cameraAccessed = false;
  DeviceState camera{};
  FirmwareInfo cameraFirmware{};
};

inline std::string BuildDeviceReport(const DeviceReportRecords& r) {
  return BuildDeviceReport(r.hc, r.firmwareInfoMissing, r.hcFirmware, r.cameraAccessed, r.camera,
                           r.cameraFirmware);
}

}  // namespace vexo3
