#pragma once

// The three actions of the main dialog, independent of the window system.

#include "firmware/firmware_package.h"
#include "protocol/device_session.h"
#include "ui/core/device_report.h"
#include "ui/core/main_window.h"

#include <string_view>
#include <vector>

namespace vexo3 {

// How an action ended, for front ends that go on from it (an exit status, a
// summary of what was written). The window was told the same as it went.
struct ActionOutcome {
  // False when the action did nothing at all (an update with a ticked box
  // whose image is absent).
  bool ran = false;
  // Done or Failed once it ran.
  PhaseChange end;
  // Update: the units whose image was written completely, in order.
  std::vector<std::string_view> unitsWritten;
  // Failed during an upload: the bytes of its image the unit had accepted
  // (more than 0: it holds an incomplete image).
  uint64_t failedUnitBytes = 0;

  bool Succeeded() const { return ran && end.phase == ActionPhase::Done; }
};

// The queries of "Read device info": both units' state and firmware (the
// Camera's only in BOOT mode; a Camera that can't be reached is no failure).
// Returns the first failing step's code, having stopped a started Camera;
// the caller closes the session. Shows nothing.
ResultCode QueryDevice(DeviceSession& session, DeviceReportRecords* records);

// Runs the dialog's actions against one session, one package and one window,
// all owned by the caller and outliving this object. Each action runs to its
// end on the caller's thread; none may be started from inside another.
class SivraActions {
 public:
  SivraActions(DeviceSession& session, FirmwarePackage& package, MainWindow& window)
      : session_(session), package_(package), window_(window) {}

  // Queries both units and shows the report; on a failure shows one "ERROR"
  // box and closes the session.
  ActionOutcome ReadDeviceInfo();
  // Checks the device and uploads the ticked images of the package. Does
  // nothing at all when a ticked image is absent.
  ActionOutcome UpdateFirmware();
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
