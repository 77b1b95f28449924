#include "ui/core/updater_options.h"

#include <iostream>

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
    } else if (arg.rfind("--replay=", 0) == 0) {
      options.replay = arg.substr(9);
      if (options.replay.empty())
        options.error = "--replay= needs a trace file";
    } else if (arg == "--trace") {
      options.trace = "";
    } else if (arg.rfind("--trace=", 0) == 0) {
      options.trace = arg.substr(8);
      if (options.trace->empty())
        options.error = "--trace= needs a file";
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
  if (options.error.empty() && options.simulate && !options.replay.empty())
    options.error = "--simulate and --replay exclude each other";
  if (options.error.empty() && !options.screenshotDir.empty() && !options.simulate) {
    options.error = "--screenshot needs --simulate";
  }
  return options;
}

UpdaterOptions ParseUpdaterOptionsBeforeQt(const std::vector<std::string>& args) {
  // Qt's own options that take the next argument as their value.
  static const char* const kWithValue[] = {"-platform",
                                           "-platformpluginpath",
                                           "-platformtheme",
                                           "-plugin",
                                           "-qwindowgeometry",
                                           "-qwindowicon",
                                           "-qwindowtitle",
                                           "-session",
                                           "-style",
                                           "-stylesheet",
                                           "-display",
                                           "-geometry",
                                           "-font",
                                           "-fn",
                                           "-name",
                                           "-title",
                                           "-bg",
                                           "-fg",
                                           "-btn",
                                           "-visual"};
  std::vector<std::string> ours;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool qtStyle = arg.size() > 1 && arg[0] == '-' && arg[1] != '-' && arg != "-h";
    if (!qtStyle) {
      ours.push_back(arg);
      continue;
    }
    for (const char* option : kWithValue) {
      if (arg == option) {
        ++i;
        break;
      }
    }
  }
  return ParseUpdaterOptions(ours);
}

const char* UpdaterUsage(UsageFor frontEnd) {
  if (frontEnd == UsageFor::Win32) {
    return "Usage: vexo3-updater [--simulate[=PROFILE] | --replay=FILE] [--trace[=FILE]]\n"
           "                     [--screenshot=DIR]\n"
           "  --simulate         use a simulated Vexo-3 device instead of the USB one\n"
           "  --simulate=PROFILE the simulated device described by a JSON profile\n"
           "  --screenshot=DIR   (with --simulate) save both dialogs as PNG files in DIR\n"
           "  --replay=FILE      the device recorded in a wire trace (vexo3 --trace=FILE);\n"
           "                     where the run leaves the trace is reported on stderr\n"
           "  --trace[=FILE]     write every driver call and every byte on the wire to\n"
           "                     FILE (default stderr), for bug reports\n"
           "  -h, --help         print this text\n";
  }
  return "Usage: vexo3-updater [--simulate[=PROFILE] | --replay=FILE] [--trace[=FILE]]\n"
         "                     [--screenshot=DIR]\n"
         "  --simulate         use a simulated Vexo-3 device instead of the USB one\n"
         "  --simulate=PROFILE the simulated device described by a JSON profile\n"
         "  --screenshot=DIR   (with --simulate) save both dialogs as PNG files in DIR\n"
         "  --replay=FILE      the device recorded in a wire trace (vexo3 --trace=FILE);\n"
         "                     where the run leaves the trace is reported on stderr\n"
         "  --trace[=FILE]     write every driver call and every byte on the wire to\n"
         "                     FILE (default stderr), for bug reports\n"
         "  -h, --help         print this text\n"
         "Qt's own options (-platform NAME, -style NAME, ...) are accepted too.\n"
         "See vexo3-updater(1).\n";
}

DeviceSourceOptions UpdaterSource(const UpdaterOptions& options, HardwareFactory hardware) {
  DeviceSourceOptions source;
  if (!options.replay.empty()) {
    source.kind = DeviceSourceOptions::Kind::Replay;
    source.replay = options.replay;
  } else if (options.simulate) {
    // The simulated line takes as long as the real one.
    source.kind = DeviceSourceOptions::Kind::Simulator;
    source.profile = options.simulateProfile;
  } else {
    source.hardware = hardware;
  }
  source.trace = options.trace;
  source.traceStream = &std::cerr;
  return source;
}

}  // namespace vexo3
