#include "cli/cli_app.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli/device_list.h"
#include "cli/interrupt.h"
#include "cli/json_output.h"
#include "cli/terminal_window.h"
#include "firmware/firmware_package.h"
#include "link/hardware_d2xx.h"
#include "link/replay_d2xx.h"
#include "link/trace_d2xx.h"
#include "platform/clock.h"
#include "platform/file_access.h"
#include "platform/file_open.h"
#include "protocol/device_session.h"
#include "sim/profile.h"
#include "ui/device_report.h"
#include "ui/sivra_actions.h"

#ifndef VEXO3_VERSION
#define VEXO3_VERSION "0.0.0"
#endif

namespace vexo3::cli {
namespace {

constexpr const char* kDescription =
    "vexo3 - command-line updater for Vexo-3 devices\n"
    "\n"
    "Reads the state of a Vexo-3 device (the HandController on USB, FTDI FT-X 0403:6015,\n"
    "and the Camera behind it) and writes new firmware into both units from a firmware\n"
    "package file (*.bin). It runs the same actions as the dialog program vexo3-updater.";

constexpr const char* kFooter =
    "Exit status:\n"
    "  0  success\n"
    "  1  device or update failure (the error text is on stderr)\n"
    "  2  usage error, or several HandControllers connected and no --serial\n"
    "  3  no HandController found (or none with the --serial given)\n"
    "  4  package file error (can't be loaded, or lacks an image to update)\n"
    "  5  --replay: the run left the recorded trace (the report is on stderr)\n"
    "  128+N  update interrupted by signal N: the unit being written was finished\n"
    "     first (a second Ctrl-C stops it at once), nothing after it was written\n"
    "\n"
    "Examples:\n"
    "  vexo3 devices\n"
    "  vexo3 info\n"
    "  vexo3 inspect firmware.bin\n"
    "  vexo3 update firmware.bin --yes\n"
    "  vexo3 --simulate info                  # the simulated device, default scenario\n"
    "  vexo3 --simulate=profile.json update firmware.bin\n"
    "  vexo3 --trace=wire.txt info            # every byte on the wire, for bug reports\n"
    "  vexo3 --replay=wire.txt info           # run again against the device of that trace\n"
    "\n"
    "Without permission to open the USB device, install the udev rule 60-vexo3.rules\n"
    "(the Debian package does) and plug the device in again. See vexo3(1).";

struct Options {
  std::optional<std::string> simulate;  // "" = the default scenario
  std::optional<std::string> trace;     // "" = stderr
  std::optional<std::string> replay;    // a recorded wire trace to run against
  std::optional<std::string> serial;
  bool virtualTime = false;
  bool json = false;
  std::string file;
  bool noHc = false;
  bool noCamera = false;
  bool yes = false;
};

// "--simulate" and "--trace" take their value only after '=': a bare one
// must never swallow the next argument (a subcommand or the file).
std::vector<std::string> NormaliseArgs(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i] ? argv[i] : "";
    if (i > 0 && (a == "--simulate" || a == "--trace"))
      a += "=";
    args.push_back(std::move(a));
  }
  return args;
}

void Print(std::FILE* f, const std::string& text) {
  std::fputs(text.c_str(), f);
  std::fflush(f);
}

// Standard output: a failed write is noted for the end of the run.
void PrintOut(const CliStreams& io, const std::string& text) {
  std::fputs(text.c_str(), io.out);
  if (std::fflush(io.out) != 0 || std::ferror(io.out)) {
    if (io.outError != nullptr && *io.outError == 0)
      *io.outError = errno != 0 ? errno : EIO;
  }
}

// The devices, the clock and the trace for one run.
struct Backend {
  std::unique_ptr<Clock> clock;
  std::unique_ptr<sim::SimulatedSetup> sim;
  std::unique_ptr<ReplayD2xx> replay;
  std::unique_ptr<D2xxApi> real;
  std::ofstream traceFile;
  std::unique_ptr<TraceD2xx> trace;
  D2xxApi* d2xx = nullptr;
};

// The recorded device of --replay=FILE, on the virtual clock the replay moves.
std::optional<int> MakeReplay(const std::string& path, const CliStreams& io, Backend* b) {
  Trace trace;
  std::string error;
  if (!LoadTraceFile(path, &trace, &error)) {
    Print(io.err, "vexo3: \"" + path + "\": " + error + "\n");
    return kExitUsage;
  }
  auto clock = std::make_unique<VirtualClock>();
  b->replay = std::make_unique<ReplayD2xx>(std::move(trace), *clock);
  b->clock = std::move(clock);
  b->d2xx = b->replay.get();
  return std::nullopt;
}

// Builds the backend the options ask for; an exit code on failure.
std::optional<int> MakeBackend(const Options& o, const CliStreams& io, Backend* b) {
  // Virtual time would skip the waits a real device needs.
  if (o.virtualTime && o.simulate) {
    b->clock = std::make_unique<VirtualClock>();
  } else if (!o.replay) {
    b->clock = std::make_unique<RealClock>();
  }
  if (o.replay) {
    if (auto code = MakeReplay(*o.replay, io, b))
      return code;
  } else if (o.simulate) {
    sim::Profile profile;
    std::string error;
    if (!o.simulate->empty() && !sim::LoadProfile(*o.simulate, &profile, &error)) {
      Print(io.err, "vexo3: " + error + "\n");
      return kExitUsage;
    }
    b->sim = std::make_unique<sim::SimulatedSetup>(*b->clock, profile);
    if (!b->sim->LoadState(&error)) {
      Print(io.err, "vexo3: " + error + "\n");
      return kExitUsage;
    }
    b->d2xx = &b->sim->bus();
  } else {
    std::string error;
    b->real = MakeHardwareD2xx(&error);
    if (!b->real) {
      // No driver, no device: the same exit status as a device not found.
      Print(io.err, "vexo3: " + error + "\n");
      return kExitNoDevice;
    }
    b->d2xx = b->real.get();
  }
  if (o.trace) {
    // Opened later (OpenTrace), once everything the run reads is loaded; the
    // wrapper sees no driver call before then.
    std::ostream* out = o.trace->empty() ? &std::cerr : &b->traceFile;
    b->trace = std::make_unique<TraceD2xx>(*b->d2xx, *b->clock, *out);
    b->d2xx = b->trace.get();
  }
  return std::nullopt;
}

// Opens --trace=FILE, which is emptied on opening: refused when it names a
// file the run reads or keeps. An exit code on failure.
std::optional<int> OpenTrace(const Options& o, const CliStreams& io, Backend* b) {
  if (!o.trace || o.trace->empty())
    return std::nullopt;
  const std::string& path = *o.trace;
  const struct {
    const char* what;
    std::string file;
  } kept[] = {
      {"the firmware package", o.file},
      {"the simulator profile", o.simulate.value_or("")},
      {"the simulator's state file", b->sim ? b->sim->StateFile() : ""},
      {"the trace being replayed", o.replay.value_or("")},
  };
  for (const auto& k : kept) {
    if (!k.file.empty() && IsSameFile(path, k.file)) {
      Print(io.err, "vexo3: --trace=" + path + " names " + k.what +
                        ", which the trace would overwrite; choose another file\n");
      return kExitUsage;
    }
  }
  // Binary: the trace's line ends are the same on every system.
  b->traceFile.open(PathFromUtf8(path), std::ios::out | std::ios::binary | std::ios::trunc);
  if (!b->traceFile) {
    Print(io.err,
          "vexo3: can't write the trace file \"" + path + "\": " + std::strerror(errno) + "\n");
    return kExitUsage;
  }
  return std::nullopt;
}

TerminalOptions WindowOptions(const Options& o, const CliStreams& io) {
  TerminalOptions t;
  t.out = io.out;
  t.err = io.err;
  t.in = io.in;
  t.outIsTerminal = io.outIsTerminal;
  t.inIsTerminal = io.inIsTerminal;
  t.errIsTerminal = io.errIsTerminal;
  t.outError = io.outError;
  t.assumeYes = o.yes;
  t.hcChecked = !o.noHc;
  t.cameraChecked = !o.noCamera;
  t.firmwareFile = o.file;
  return t;
}

int Devices(const Options& o, const CliStreams& io, D2xxApi& d2xx) {
  std::vector<ChipEntry> chips;
  std::string error;
  if (!ListChips(d2xx, &chips, &error)) {
    Print(io.err, "vexo3: " + error + "\n");
    return kExitDeviceFailure;
  }
  bool unreadable = false;
  for (const ChipEntry& c : chips)
    unreadable = unreadable || c.unreadable();
  if (o.json) {
    PrintOut(io, DevicesJson(chips, o.serial));
  } else if (chips.empty()) {
    PrintOut(io, "No FTDI chip with USB id 0403:6015 found.\n");
  } else {
    PrintOut(io, FormatChipTable(chips, o.serial));
  }
  if (unreadable)
    Print(io.err, PermissionHint());
  const Choice choice = ChooseHandController(chips, o.serial);
  if (!o.json && choice.kind == Choice::Kind::Several) {
    Print(io.err, o.serial ? "Several HandControllers have that serial number.\n"
                           : "Several HandControllers: choose one with --serial SERIAL.\n");
  }
  return chips.empty() ? kExitNoDevice : kExitOk;
}

// Applies the rule for several devices; an exit code when the run can't go on.
std::optional<int> ChooseDevice(const Options& o, const CliStreams& io, D2xxApi& d2xx,
                                Choice* choice, bool* unreadable) {
  std::vector<ChipEntry> chips;
  std::string error;
  if (!ListChips(d2xx, &chips, &error)) {
    Print(io.err, "vexo3: " + error + "\n");
    return kExitDeviceFailure;
  }
  *unreadable = false;
  for (const ChipEntry& c : chips)
    *unreadable = *unreadable || c.unreadable();
  *choice = ChooseHandController(chips, o.serial);
  switch (choice->kind) {
    case Choice::Kind::Several:
      // The dialog takes the first; a command line can ask instead of guessing.
      Print(io.err, o.serial ? "vexo3: several HandControllers have the serial number \"" +
                                   *o.serial + "\":\n"
                             : "vexo3: several HandControllers are connected; choose one with "
                               "--serial SERIAL:\n");
      Print(io.err, FormatChipTable(choice->matches, o.serial));
      return kExitUsage;
    case Choice::Kind::NoSuchSerial:
      Print(io.err,
            "vexo3: no HandController with the serial number \"" + *o.serial + "\" found.\n");
      if (!chips.empty())
        Print(io.err, FormatChipTable(chips, o.serial));
      if (*unreadable)
        Print(io.err, PermissionHint());
      return kExitNoDevice;
    case Choice::Kind::None:
    case Choice::Kind::One:
      break;
  }
  return std::nullopt;
}

// After a failed device action: 3 when there was no device to begin with.
int DeviceFailure(const CliStreams& io, const Choice& choice, bool unreadable) {
  if (choice.kind != Choice::Kind::None)
    return kExitDeviceFailure;
  Print(io.err, "vexo3: no Vexo-3 HandController found (USB id 0403:6015, description \"" +
                    std::string(kHandControllerDescription) + "\").\n");
  if (unreadable)
    Print(io.err, PermissionHint());
  return kExitNoDevice;
}

int Info(const Options& o, const CliStreams& io, Backend& b) {
  Choice choice;
  bool unreadable = false;
  if (auto code = ChooseDevice(o, io, *b.d2xx, &choice, &unreadable))
    return *code;
  DeviceSession session(*b.d2xx, *b.clock);
  if (o.serial && session.link)
    session.link->SetSerialFilter(*o.serial);
  FirmwarePackage package;
  TerminalOptions options = WindowOptions(o, io);
  options.json = o.json;
  TerminalWindow window(options, *b.clock);
  SivraActions actions(session, package, window);
  actions.ReadDeviceInfo();
  return window.ReportShown() ? kExitOk : DeviceFailure(io, choice, unreadable);
}

int Update(const Options& o, const CliStreams& io, Backend& b) {
  DeviceSession session(*b.d2xx, *b.clock);
  FirmwarePackage package;
  TerminalWindow window(WindowOptions(o, io), *b.clock);
  SivraActions actions(session, package, window);
  actions.LoadSelectedPackage();
  if (!window.Summary() || !window.Boxes().empty())
    return kExitPackageError;
  // The dialog silently does nothing here; say why.
  if (!o.noHc && !package.hcImage.IsPresent()) {
    Print(io.err, "vexo3: \"" + o.file +
                      "\" holds no HandController image (--no-hc updates the Camera only).\n");
    return kExitPackageError;
  }
  if (!o.noCamera && !package.cameraImage.IsPresent()) {
    Print(io.err, "vexo3: \"" + o.file +
                      "\" holds no Camera image (--no-camera updates the HandController only).\n");
    return kExitPackageError;
  }

  if (auto code = OpenTrace(o, io, &b))
    return *code;
  Choice choice;
  bool unreadable = false;
  if (auto code = ChooseDevice(o, io, *b.d2xx, &choice, &unreadable))
    return *code;
  if (o.serial && session.link)
    session.link->SetSerialFilter(*o.serial);
  actions.UpdateFirmware();
  if (const int sig = PendingSignal()) {
    // Which units are as they were, which one is finished, which one broken.
    std::vector<std::string> written = window.UnitsStarted();
    std::string stopped;
    if (window.StatusText() != "DONE ok" && !written.empty()) {
      stopped = written.back();
      written.pop_back();
    }
    std::vector<std::string> skipped;
    for (const auto& [name, wanted] : {std::pair{std::string(kHcImageName), !o.noHc},
                                       std::pair{std::string(kCameraImageName), !o.noCamera}}) {
      if (wanted && name != stopped &&
          std::find(written.begin(), written.end(), name) == written.end()) {
        skipped.push_back(name);
      }
    }
    Print(io.err, InterruptReport(sig, written, stopped, skipped));
    return 128 + sig;
  }
  return window.StatusText() == "DONE ok" ? kExitOk : DeviceFailure(io, choice, unreadable);
}

int Inspect(const Options& o, const CliStreams& io) {
  // Nothing here touches a device: an empty simulated bus stands in.
  RealClock clock;
  sim::SimulatedBus noDevices(clock);
  DeviceSession session(noDevices, clock);
  FirmwarePackage package;
  TerminalOptions t = WindowOptions(o, io);
  TerminalWindow window(t, clock);
  SivraActions actions(session, package, window);
  actions.LoadSelectedPackage();
  if (!window.Summary() || !window.Boxes().empty())
    return kExitPackageError;
  if (o.json) {
    PrintOut(io, PackageJson(o.file, package, *window.Summary()));
  } else {
    PrintOut(io, *window.Summary());
  }
  return kExitOk;
}

int Run(int argc, const char* const* argv, const CliStreams& io);

}  // namespace

int RunCli(int argc, const char* const* argv, const CliStreams& streams) {
  int outError = 0;
  CliStreams io = streams;
  io.outError = &outError;
  int code = Run(argc, argv, io);
  if (std::fflush(io.out) != 0 && outError == 0)
    outError = errno != 0 ? errno : EIO;
  if (outError != 0 || std::ferror(io.out)) {
    Print(io.err, std::string("vexo3: write error: ") +
                      std::strerror(outError != 0 ? outError : EIO) + "\n");
    if (code == kExitOk)
      code = kExitDeviceFailure;
  }
  return code;
}

namespace {

int Run(int argc, const char* const* argv, const CliStreams& io) {
  Options o;
  CLI::App app{kDescription, "vexo3"};
  app.allow_windows_style_options(false);  // "/fw/new.bin" is a file, on Windows too
  app.footer(kFooter);
  app.set_version_flag("--version", "vexo3 " VEXO3_VERSION);
  app.require_subcommand(1);
  app.add_option("--simulate", o.simulate,
                 "Use the simulated device instead of USB: the default scenario, or the one of "
                 "the JSON profile PROFILE (--simulate=PROFILE)")
      ->type_name("[=PROFILE]")
      ->expected(0, 1);
  app.add_option("--serial", o.serial,
                 "Use the HandController whose USB chip has this serial number (needed when "
                 "several are connected)")
      ->type_name("SERIAL");
  app.add_option("--trace", o.trace,
                 "Write every D2XX call and every byte on the wire, both directions, with times, "
                 "as hex to FILE (--trace=FILE; default stderr)")
      ->type_name("[=FILE]")
      ->expected(0, 1);
  app.add_option("--replay", o.replay,
                 "Run against the device recorded in a wire trace (--replay=FILE, as written by "
                 "--trace); a run that leaves the trace stops with a report and exit status 5")
      ->type_name("FILE")
      ->excludes(app.get_option("--simulate"));
  // For tests: the simulated device on virtual time, so nothing waits.
  app.add_flag("--virtual-time", o.virtualTime)->group("");

  CLI::App* devices = app.add_subcommand(
      "devices",
      "List the FTDI chips with USB id 0403:6015 and whether the updater would open "
      "each");
  devices->add_flag("--json", o.json, "Print JSON");
  CLI::App* info =
      app.add_subcommand("info", "Read device info: query both units and print the device report");
  info->add_flag("--json", o.json, "Print the report's records as JSON");
  CLI::App* inspect = app.add_subcommand(
      "inspect", "Load a firmware package file and print the summary of its images");
  inspect->add_option("FILE", o.file, "Firmware package file (*.bin)")->required();
  inspect->add_flag("--json", o.json,
                    "Print JSON: kind, version, revision, flags, supported PCB, start code and "
                    "length of each image present, and the summary");
  CLI::App* update = app.add_subcommand(
      "update", "Update firmwares: check the device and write the package's images into it");
  update->add_option("FILE", o.file, "Firmware package file (*.bin)")->required();
  update->add_flag("--no-hc", o.noHc, "Don't update the HandController");
  update->add_flag("--no-camera", o.noCamera, "Don't update the Camera");
  update->add_flag("--yes,-y", o.yes,
                   "Answer Yes to the PCB version warning (without a terminal and without "
                   "--yes the answer is No)");
  for (CLI::App* sub : {devices, info, inspect, update})
    sub->fallthrough();

  const std::vector<std::string> args = NormaliseArgs(argc, argv);
  std::vector<const char*> argp;
  for (const std::string& a : args)
    argp.push_back(a.c_str());
  try {
    app.parse(static_cast<int>(argp.size()), argp.data());
  } catch (const CLI::CallForHelp&) {
    PrintOut(io, app.help());
    return kExitOk;
  } catch (const CLI::CallForAllHelp&) {
    PrintOut(io, app.help("", CLI::AppFormatMode::All));
    return kExitOk;
  } catch (const CLI::CallForVersion& e) {
    PrintOut(io, std::string(e.what()) + "\n");
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    Print(io.err, std::string("vexo3: ") + e.what() + "\nRun with --help for more information.\n");
    return kExitUsage;
  }

  if (inspect->parsed())
    return Inspect(o, io);
  if (update->parsed() && o.noHc && o.noCamera) {
    Print(io.err,
          "vexo3: --no-hc and --no-camera together leave nothing to update\n"
          "Run with --help for more information.\n");
    return kExitUsage;
  }

  Backend backend;
  if (auto code = MakeBackend(o, io, &backend))
    return *code;
  int code = kExitOk;
  if (devices->parsed() || info->parsed()) {
    if (auto failed = OpenTrace(o, io, &backend))
      code = *failed;
  }
  if (code != kExitOk) {
    // Nothing ran: the state file is as it was.
  } else if (devices->parsed()) {
    code = Devices(o, io, *backend.d2xx);
  } else if (info->parsed()) {
    code = Info(o, io, backend);
  } else if (update->parsed()) {
    code = Update(o, io, backend);
  }
  // A run refused before its first driver call (a usage or package error)
  // keeps its own status; any other run must have followed the trace to its end.
  const bool ranAgainstReplay =
      backend.replay &&
      (code == kExitOk || backend.replay->CallsReplayed() > 0 || backend.replay->Diverged());
  if (ranAgainstReplay) {
    // After the session has closed the link: its last calls are in the trace too.
    const std::string& report = backend.replay->Finish();
    if (!report.empty()) {
      Print(io.err, report);
      code = kExitReplayDiverged;
    }
  }
  // The simulated device lasts across runs through its state file: saved
  // on every way out of a run, an interrupted one included.
  if (backend.sim) {
    std::string error;
    if (!backend.sim->SaveState(&error)) {
      Print(io.err, "vexo3: " + error + "\n");
      if (code == kExitOk)
        code = kExitDeviceFailure;
    }
  }
  return code;
}

}  // namespace
}  // namespace vexo3::cli
