#pragma once

#include <string>

namespace vexo3 {

class CSivraDlg;

// Drives the dialog through a package load, an update and a device report,
// saving main-dialog.png and device-information.png into dir. The dialog must
// run against the simulated device. Returns false when a file can't be saved.
bool TakeScreenshots(CSivraDlg& dialog, const std::string& dir);

}  // namespace vexo3
