#include "cli/device_records_query.h"

#include "device/camera.h"
#include "device/hand_controller.h"

namespace vexo3::cli {

// NB: Mirrors SivraActions::ReadDeviceInfo; keep the two in step.
ResultCode QueryDeviceRecords(DeviceSession& session, DeviceRecords* records) {
  DeviceRecords r;
  bool cameraStarted = false;
  auto fail = [&](ResultCode code) {
    if (cameraStarted)
      StopCamera(session);  // owed once StartCamera was called
    session.CloseSession();
    return code;
  };

  ResultCode code = ReadDeviceState(session, r.hc);
  if (code != 0)
    return fail(code);

  if (r.hc.bootMode) {
    cameraStarted = true;
    code = StartCamera(session);
    if (code == 0) {
      code = ReadCameraState(session, &r.camera);
      if (code != 0)
        return fail(code);
      code = ReadCameraFirmwareInfo(session, &r.cameraFirmware);
      if (code != 0)
        return fail(code);
      r.cameraAccessed = true;
    } else if (code != 106) {
      return fail(code);
    }
    cameraStarted = false;
    code = StopCamera(session);
    if (code != 0)
      return fail(code);
  }

  code = ReadFirmwareInfo(session, &r.hcFirmware);
  if (code == 57) {
    r.firmwareInfoMissing = true;
  } else if (code != 0) {
    return fail(code);
  }
  *records = r;
  return 0;
}

}  // namespace vexo3::cli
