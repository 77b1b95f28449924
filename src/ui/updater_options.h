#pragma once

#include <string>
#include <vector>

namespace vexo3 {

// Command line of vexo3-updater, the same for every front end (the Qt one
// parses it after Qt has taken its own options).
struct UpdaterOptions {
  bool simulate = false;        // --simulate: the simulated device instead of USB
  std::string simulateProfile;  // --simulate=PROFILE: a JSON scenario for the simulator
  std::string screenshotDir;    // --screenshot=DIR: save both dialogs as PNG, then quit
  bool help = false;
  std::string error;  // non-empty: the command line was refused
};

UpdaterOptions ParseUpdaterOptions(const std::vector<std::string>& args);
const char* UpdaterUsage();

}  // namespace vexo3
