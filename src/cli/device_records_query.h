#pragma once

// The queries of "Read device info", returning the records instead of the
// report text, for `vexo3 info --json`. Same steps, order and failure rules
// as the dialog's action.

#include "device/device_records.h"
#include "protocol/device_session.h"

namespace vexo3::cli {

struct DeviceRecords {
  DeviceState hc{};
  bool firmwareInfoMissing = false;  // ReadFirmwareInfo gave 57
  FirmwareInfo hcFirmware{};
  bool cameraAccessed = false;
  DeviceState camera{};
  FirmwareInfo cameraFirmware{};
};

// 0 with *records filled; otherwise the failing step's code, after the
// Camera has been stopped (when started) and the session closed.
ResultCode QueryDeviceRecords(DeviceSession& session, DeviceRecords* records);

}  // namespace vexo3::cli
