#pragma once

#include <optional>
#include <string>
#include <vector>

#include "run/device_source.h"

namespace vexo3 {

// Command line of vexo3-updater, the same for every front end (the Qt one
// parses it after Qt has taken its own options).
struct UpdaterOptions {
  bool simulate = false;        // --simulate: the simulated device instead of USB
  std::string simulateProfile;  // --simulate=PROFILE: a JSON scenario for the simulator
  std::string screenshotDir;    // --screenshot=DIR: save both dialogs as PNG, then quit
  std::string replay;           // --replay=FILE: the device recorded in a wire trace
  // --trace[=FILE]: every driver call and byte on the wire ("" = stderr).
  std::optional<std::string> trace;
  bool help = false;
  std::string error;  // non-empty: the command line was refused
};

UpdaterOptions ParseUpdaterOptions(const std::vector<std::string>& args);
// The same before the application object exists, so that --help and a bad
// option need no display: arguments Qt would take (single-dash options and
// the values of those that take one) are left alone.
UpdaterOptions ParseUpdaterOptionsBeforeQt(const std::vector<std::string>& args);
// The Qt program also takes Qt's options and has a man page; the Win32 one
// has neither.
enum class UsageFor { Qt, Win32 };
const char* UpdaterUsage(UsageFor frontEnd = UsageFor::Qt);

// The devices the options ask for (hardware through `hardware`), with the
// trace without a file on stderr.
DeviceSourceOptions UpdaterSource(const UpdaterOptions& options, HardwareFactory hardware);

}  // namespace vexo3
