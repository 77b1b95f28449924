#pragma once

// The three actions of the main dialog, independent of the window system.

#include "firmware/firmware_package.h"
#include "protocol/device_session.h"
#include "ui/main_window.h"

namespace vexo3 {

// Runs the dialog's actions against one session, one package and one window,
// all owned by the caller and outliving this object. Each action runs to its
// end on the caller's thread; none may be started from inside another.
class SivraActions {
 public:
  SivraActions(DeviceSession& session, FirmwarePackage& package, MainWindow& window)
      : session_(session), package_(package), window_(window) {}

  // Queries both units and shows the report; on a failure shows one "ERROR"
  // box and closes the session.
  void ReadDeviceInfo();
  // Checks the device and uploads the ticked images of the package. Does
  // nothing at all when a ticked image is absent.
  void UpdateFirmware();
  // Lets the user choose a package file, then loads it. Cancel changes nothing.
  void BrowseFirmwareFile();
  // Loads the package from the firmware file field and shows its summary. On
  // a loader failure shows one "Loading failed" box, releases both images and
  // clears the summary.
  void LoadSelectedPackage();

 private:
  DeviceSession& session_;
  FirmwarePackage& package_;
  MainWindow& window_;
};

}  // namespace vexo3
