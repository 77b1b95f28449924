#include "ui/updater_options.h"

namespace vexo3 {

UpdaterOptions ParseUpdaterOptions(const std::vector<std::string>& args) {
  UpdaterOptions options;
  for (const std::string& arg : args) {
    if (arg == "--simulate") {
      options.simulate = true;
    } else if (arg.rfind("--simulate=", 0) == 0) {
      options.simulate = true;
      options.simulateProfile = arg.substr(11);
      if (options.simulateProfile.empty())
        options.error = "--simulate= needs a profile file";
    } else if (arg.rfind("--screenshot=", 0) == 0 && arg.size() > 13) {
      options.screenshotDir = arg.substr(13);
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else {
      options.error = "unknown option: " + arg;
    }
    if (!options.error.empty())
      break;
  }
  if (options.error.empty() && !options.screenshotDir.empty() && !options.simulate) {
    options.error = "--screenshot needs --simulate";
  }
  return options;
}

const char* UpdaterUsage() {
  return "Usage: vexo3-updater [--simulate[=PROFILE]] [--screenshot=DIR]\n"
         "  --simulate         use a simulated Vexo-3 device instead of the USB one\n"
         "  --simulate=PROFILE the simulated device described by a JSON profile\n"
         "  --screenshot=DIR   (with --simulate) save both dialogs as PNG files in DIR\n";
}

}  // namespace vexo3
