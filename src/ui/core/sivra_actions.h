#pragma once

// The three actions of the main dialog, independent of the window system.

#include "firmware/firmware_package.h"
#include "protocol/device_session.h"
#include "ui/core/device_report.h"
#include "ui/core/main_window.h"
#include "ui/core/update_engine.h"

namespace vexo3 {

// Runs the dialog's actions against one session, one package and one window,
// all owned by the caller and outliving this object. Each action runs to its
// end on the caller's thread; none may be started from inside another.
class SivraActions {
 public:
  SivraActions(DeviceSession& session, FirmwarePackage& package, MainWindow& window)
      : session_(session), package_(package), window_(window) {}

  // Queries both units and shows the report; on a failure shows one "ERROR"
  // box and closes the session. The code of the failed query, or 0.
  ResultCode ReadDeviceInfo();
  // "Update firmwares": the update engine with the window as its view, the
  // PCB warning as a Yes/No box and the check boxes as the units asked for.
  // stop: a stop asked for while it runs (a window closing on SIGTERM).
  UpdateOutcome UpdateFirmware(StopPolicy& stop);
  UpdateOutcome UpdateFirmware() {
    NeverStop never;
    return UpdateFirmware(never);
  }
  // Lets the user choose a package file, then loads it. Cancel changes nothing.
  void BrowseFirmwareFile();
  // Loads the package from the firmware file field and shows its summary. On
  // a loader failure shows one "Loading failed" box, releases both images and
  // clears the summary. Returns the loader's code (FirmwarePackage::kOk...).
  int LoadSelectedPackage();

 private:
  DeviceSession& session_;
  FirmwarePackage& package_;
  MainWindow& window_;
};

}  // namespace vexo3
