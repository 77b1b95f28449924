#pragma once

#include <string>

namespace vexo3 {

class CSivraDlg;

// Opens the dialog, drives it through a package load, an update and a device
// report, and saves main-dialog.png, main-dialog-uploading.png (half-way
// through the Camera upload) and device-information.png (whole windows,
// frames included) into dir. The dialog must run against the
// simulated device. False when a file can't be saved or the run shows a
// message box (named on stderr).
bool TakeScreenshots(CSivraDlg& dialog, const std::string& dir);

}  // namespace vexo3
