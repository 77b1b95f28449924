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
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "cli/device_list.h"
#include "cli/interrupt.h"
#include "cli/json_output.h"
#include "cli/multi_update.h"
#include "cli/station.h"
#include "cli/terminal_window.h"
#include "cli/unit_versions.h"
#include "firmware/firmware_package.h"
#include "link/hardware_d2xx.h"
#include "platform/clock.h"
#include "platform/file_access.h"
#include "platform/file_open.h"
#include "platform/nearest_name.h"
#include "protocol/device_session.h"
#include "run/device_source.h"
#include "sim/bus/sim_bus.h"
#include "ui/core/device_report.h"
#include "ui/core/package_summary.h"
#include "ui/core/sivra_actions.h"

#ifndef VEXO3_VERSION
#define VEXO3_VERSION "0.0.0"
#endif

namespace vexo3::cli {
namespace {

constexpr const char* kDescription =
    "vexo3 - command-line updater for Vexo-3 devices\n"
    "\n"
    "Reads the state of a Vexo-3 device (the HandController on USB, FTDI FT-X 0403:6015, "
    "and the Camera behind it) and writes new firmware into both units from a firmware "
    "package file (*.bin). It runs the same actions as the dialog program vexo3-updater.";

constexpr const char* kExitStatus =
    "Exit status:\n"
    "  0  success\n"
    "  1  device or update failure (the error text is on stderr)\n"
    "  2  usage error, or several HandControllers connected and no --serial\n"
    "  3  no HandController found (or none with the --serial given)\n"
    "  4  package file error (can't be loaded, or lacks an image to update)\n"
    "  5  --replay: the run left the recorded trace (the report is on stderr)\n"
    "  128+N  update interrupted by signal N: the unit being written was finished\n"
    "     first (a second Ctrl-C stops it at once), nothing after it was written";

constexpr const char* kPermissionNote =
    "On Linux, without permission to open the USB device, install the udev rule\n"
    "60-vexo3.rules (the Debian package does) and plug the device in again.\n"
    "See vexo3(1).";

constexpr const char* kExamples =
    "Examples:\n"
    "  vexo3 devices\n"
    "  vexo3 info\n"
    "  vexo3 inspect firmware.bin\n"
    "  vexo3 update firmware.bin --yes\n"
    "  vexo3 update firmware.bin --all --yes   # every HandController at once\n"
    "  vexo3 station firmware.bin --log station.log\n"
    "  vexo3 --simulate info         # the simulated device, default scenario\n"
    "  vexo3 --simulate=profile.json update firmware.bin\n"
    "  vexo3 --trace=wire.txt info   # every byte on the wire, for bug reports\n"
    "  vexo3 --replay=wire.txt info  # again, against the device of that trace";

// The options of the main program that act on the commands that use a
// device; their own --help shows only the command's options otherwise.
constexpr const char* kGlobalOptions =
    "Global options, before or after the command (see vexo3 --help):\n"
    "  --simulate[=PROFILE]    the simulated device instead of USB\n"
    "  --serial SERIAL         the HandController whose USB chip has this serial\n"
    "  --trace[=FILE]          every driver call and byte on the wire, with times\n"
    "  --replay=FILE           run against the device recorded in a trace";

// Help at most this wide, so that it fits an 80-column terminal.
constexpr size_t kHelpWidth = 79;
constexpr size_t kHelpNameColumn = 26;

// Lines of at most `width` characters, broken at spaces; line breaks of
// the text stay.
std::string Wrap(const std::string& text, size_t width) {
  std::string out;
  std::istringstream lines(text);
  for (std::string paragraph; std::getline(lines, paragraph);) {
    if (!out.empty())
      out += "\n";
    std::string line;
    std::istringstream words(paragraph);
    for (std::string word; words >> word;) {
      if (!line.empty() && line.size() + 1 + word.size() > width) {
        out += line + "\n";
        line.clear();
      }
      line += (line.empty() ? "" : " ") + word;
    }
    out += line;
  }
  return out;
}

// CLI11's layout, with the descriptions wrapped to fit kHelpWidth.
class HelpFormatter final : public CLI::Formatter {
 public:
  HelpFormatter() { column_width(kHelpNameColumn); }
  std::string make_description(const CLI::App* app) const override {
    return Wrap(app->get_description(), kHelpWidth) + "\n";
  }
  // Only the value's name, an optional one glued to the option
  // ("--trace[=FILE]"); the descriptions say which options exclude others.
  std::string make_option_opts(const CLI::Option* opt) const override {
    const std::string& type = opt->get_type_name();
    if (opt->get_type_size() == 0 || type.empty())
      return "";
    std::string out = type.rfind("[=", 0) == 0 ? type : " " + type;
    if (opt->get_required())
      out += " REQUIRED";
    return out;
  }
  std::string make_option_desc(const CLI::Option* opt) const override {
    return Wrap(opt->get_description(), kHelpWidth - kHelpNameColumn);
  }
  std::string make_subcommand(const CLI::App* sub) const override {
    std::stringstream out;
    CLI::detail::format_help(out, sub->get_display_name(true),
                             Wrap(sub->get_description(), kHelpWidth - kHelpNameColumn),
                             kHelpNameColumn);
    return out.str();
  }
};

struct Options {
  std::optional<std::string> simulate;  // "" = the default scenario
  std::optional<std::string> trace;     // "" = stderr
  std::optional<std::string> replay;    // a recorded wire trace to run against
  std::optional<std::string> serial;    // the one --serial
  std::vector<std::string> serials;     // every --serial given
  bool all = false;                     // update --all
  bool watch = false;                   // devices --watch
  std::optional<uint32_t> polls;        // devices --watch: listings (tests)
  std::optional<uint32_t> count;        // station --count
  std::optional<std::string> log;       // station --log
  bool virtualTime = false;
  bool json = false;
  std::string file;
  bool noHc = false;
  bool noCamera = false;
  bool yes = false;
  bool noVerify = false;
};

constexpr std::string_view kCommands[] = {"devices", "info", "inspect", "update", "station"};

struct Arguments {
  std::vector<std::string> words;
  // Words that followed a bare "--simulate" or "--trace", with the option:
  // what the user may have meant as its value.
  std::vector<std::pair<std::string, std::string>> afterBare;
};

// "--simulate" and "--trace" take their value only after '=': a bare one
// must never swallow the next argument (a subcommand, the file, or a
// mistyped command). The parser gives an optional value the next word
// unless that names a command, so a bare one moves to the end of the
// options, where there is nothing to take.
Arguments NormaliseArgs(int argc, const char* const* argv) {
  Arguments out;
  std::vector<std::string> bare;
  size_t optionsEnd = 0;  // where "--" stands, if it does
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i] ? argv[i] : "";
    if (i > 0 && optionsEnd == 0 && (a == "--simulate" || a == "--trace")) {
      if (i + 1 < argc && argv[i + 1] != nullptr && argv[i + 1][0] != '-')
        out.afterBare.emplace_back(argv[i + 1], a);
      bare.push_back(a + "=");
      continue;
    }
    if (i > 0 && optionsEnd == 0 && a == "--")
      optionsEnd = out.words.size();
    out.words.push_back(std::move(a));
  }
  out.words.insert(optionsEnd == 0 ? out.words.end() : out.words.begin() + optionsEnd, bare.begin(),
                   bare.end());
  return out;
}

std::string OptionName(const std::string& arg) {
  const size_t eq = arg.find('=');
  if (arg.rfind("--", 0) == 0)
    return arg.substr(0, eq);
  return arg.substr(0, 2);  // "-y", also of a cluster such as "-yh"
}

// Every option name of app ("--yes", "-y"); with `visibleOnly`, those its
// help shows.
std::vector<std::string> OptionNames(const CLI::App& app, bool visibleOnly) {
  std::vector<std::string> names;
  for (const CLI::Option* opt : app.get_options()) {
    if (visibleOnly && opt->get_group().empty())
      continue;
    for (const std::string& n : opt->get_lnames())
      names.push_back("--" + n);
    for (const std::string& n : opt->get_snames())
      names.push_back("-" + n);
  }
  return names;
}

// The option among `known` nearest to `typed`, compared without their
// dashes: "-x" is not a typo of "-h".
std::string NearestOption(const std::string& typed, const std::vector<std::string>& known) {
  auto bare = [](const std::string& name) {
    return std::string_view(name).substr(std::min(name.find_first_not_of('-'), name.size()));
  };
  std::vector<std::string_view> names;
  for (const std::string& k : known)
    names.push_back(bare(k));
  const std::string nearest = NearestName(bare(typed), names);
  for (size_t i = 0; i < names.size(); ++i) {
    if (!nearest.empty() && names[i] == nearest)
      return "; did you mean \"" + known[i] + "\"?";
  }
  return "";
}

// A failed parse often means a mistyped command or option, which the
// parser reports as a missing command or an unexpected argument: name the
// word instead, with the nearest known one. Empty when neither is the case.
std::string MistypedWordText(const CLI::App& app, const Arguments& args) {
  // The command stands at the first word that is neither an option nor the
  // value of one.
  std::string command;
  for (size_t i = 1; i < args.words.size(); ++i) {
    const std::string& a = args.words[i];
    if (a == "--")
      break;
    if (a.size() > 1 && a[0] == '-') {
      const CLI::Option* opt = app.get_option_no_throw(OptionName(a));
      if (opt != nullptr && a.find('=') == std::string::npos && opt->get_items_expected_min() > 0)
        ++i;  // "--serial SERIAL"
      continue;
    }
    command = a;
    break;
  }
  const std::vector<std::string_view> commands(std::begin(kCommands), std::end(kCommands));
  const bool known = std::find(commands.begin(), commands.end(), command) != commands.end();
  if (!command.empty() && !known) {
    std::string text = "unknown command \"" + command + "\"";
    const std::string hint = DidYouMean(command, commands);
    if (!hint.empty())
      return text + hint;
    for (const auto& [word, option] : args.afterBare) {
      if (word == command)
        return text + " (" + option + " takes its value only after '=': " + option + "=" + word +
               ")";
    }
    return text;
  }

  // Options: those of the main program and of every command are known; the
  // nearest is sought among those that apply here and --help shows.
  std::vector<std::string> all = OptionNames(app, false), here = all,
                           shown = OptionNames(app, true);
  for (const CLI::App* sub : app.get_subcommands({})) {
    const std::vector<std::string> names = OptionNames(*sub, false);
    all.insert(all.end(), names.begin(), names.end());
    if (!known || sub->get_name() == command) {
      here.insert(here.end(), names.begin(), names.end());
      const std::vector<std::string> visible = OptionNames(*sub, true);
      shown.insert(shown.end(), visible.begin(), visible.end());
    }
  }
  for (size_t k = 1; k < args.words.size() && args.words[k] != "--"; ++k) {
    const std::string& a = args.words[k];
    if (a.size() < 2 || a[0] != '-')
      continue;
    const std::string name = OptionName(a);
    if (std::find(here.begin(), here.end(), name) != here.end())
      continue;
    if (std::find(all.begin(), all.end(), name) == all.end())
      return "unknown option \"" + name + "\"" + NearestOption(name, shown);
    if (known)
      return "\"" + name + "\" is not an option of " + command;
  }
  return "";
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

// The devices of the options: the hardware, the simulator or a replay, and
// the trace around them.
DeviceSourceOptions SourceOptions(const Options& o) {
  DeviceSourceOptions d;
  if (o.replay) {
    d.kind = DeviceSourceOptions::Kind::Replay;
    d.replay = *o.replay;
  } else if (o.simulate) {
    d.kind = DeviceSourceOptions::Kind::Simulator;
    d.profile = *o.simulate;
    d.virtualTime = o.virtualTime;
  } else {
    d.hardware = MakeHardwareD2xx;
  }
  d.trace = o.trace;
  d.traceStream = &std::cerr;
  return d;
}

// Prints a failure of the device source; its exit status.
int SourceFailed(const CliStreams& io, const SourceError& error) {
  Print(io.err, SourceErrorMessage("vexo3", error));
  return ExitStatusFor(error.reason);
}

// Opens --trace=FILE once the run's inputs are loaded; an exit code on failure.
std::optional<int> StartTrace(const Options& o, const CliStreams& io, DeviceSource& source) {
  SourceError error;
  if (!source.StartTrace({{"the firmware package", o.file}}, &error))
    return SourceFailed(io, error);
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
    case Choice::Kind::InUseElsewhere:
      break;
  }
  return std::nullopt;
}

// After a failed device action: 3 when there was no device to begin with.
int DeviceFailure(const CliStreams& io, const Choice& choice, bool unreadable) {
  if (choice.kind == Choice::Kind::InUseElsewhere)
    Print(io.err, InUseElsewhereText());
  if (choice.kind != Choice::Kind::None)
    return kExitDeviceFailure;
  Print(io.err, "vexo3: no Vexo-3 HandController found (USB id 0403:6015, description \"" +
                    std::string(kHandControllerDescription) + "\").\n");
  Print(io.err, unreadable ? PermissionHint()
                           : "Check that the HandController is plugged in and the device is "
                             "switched on;\n\"vexo3 devices\" lists the chips that are seen.\n");
  return kExitNoDevice;
}

int Info(const Options& o, const CliStreams& io, DeviceSource& source) {
  Choice choice;
  bool unreadable = false;
  if (auto code = ChooseDevice(o, io, source.d2xx(), &choice, &unreadable))
    return *code;
  DeviceSession session(source.d2xx(), source.clock());
  if (o.serial && session.link)
    session.link->SetSerialFilter(*o.serial);
  FirmwarePackage package;
  TerminalOptions options = WindowOptions(o, io);
  options.json = o.json;
  TerminalWindow window(options, source.clock());
  if (choice.kind == Choice::Kind::None)
    window.HoldFailureBoxes();  // "no HandController found" says it better
  SivraActions actions(session, package, window);
  return actions.ReadDeviceInfo().Succeeded() ? kExitOk : DeviceFailure(io, choice, unreadable);
}

// Loads the package of the file argument. The dialog's "Loading failed" box
// is held back: one line names the file and the cause instead.
bool LoadPackage(const Options& o, const CliStreams& io, TerminalWindow& window,
                 SivraActions& actions, const FirmwarePackage& package) {
  window.HoldFailureBoxes();
  const int code = actions.LoadSelectedPackage();
  window.HoldFailureBoxes(false);
  if (code == FirmwarePackage::kOk)
    return true;
  Print(io.err, "vexo3: " + FileErrorText(o.file, LoadStopText(package, o.file)) + "\n");
  return false;
}

// Never a silent downgrade: a package image that is not newer than what its
// unit holds is written only when the user says so (or --yes).
bool DowngradeAccepted(const Options& o, const FirmwarePackage& package,
                       const DeviceReportRecords& before, MainWindow& window) {
  std::string text = DowngradeText(o.noHc, o.noCamera, package, before);
  if (text.empty())
    return true;
  text += "Write it anyway?";
  return window.ShowMessageBox("WARNING", text, MessageIcon::Warning, MessageButtons::YesNo) ==
         MessageAnswer::Yes;
}

// After "DONE ok": what the units report now, beside what they held and what
// the package holds. False when a unit doesn't report the package's firmware.
bool ReportVersions(const Options& o, const CliStreams& io, const FirmwarePackage& package,
                    const DeviceReportRecords& before, const DeviceReportRecords& after,
                    const std::vector<std::string_view>& written) {
  bool same = true;
  for (const auto& [unit, image] : UnitsAsked(o.noHc, o.noCamera, package)) {
    if (std::find(written.begin(), written.end(), unit) == written.end())
      continue;
    const std::optional<Version> old = Held(before, unit);
    const std::optional<Version> now = Held(after, unit);
    const Version wanted = InPackage(*image);
    std::string line = std::string(unit) + ": ver. " + (old ? old->Text() : "-") + " \u2192 " +
                       (now ? now->Text() : "no valid firmware");
    if (now && *now == wanted) {
      line += ", as in the package\n";
    } else {
      line += "; the package holds ver. " + wanted.Text() + "\n";
      same = false;
    }
    PrintOut(io, line);
  }
  if (!same)
    Print(io.err, "vexo3: a unit doesn't report the package's firmware after the update.\n");
  return same;
}

// Several devices at once: --all, or more than one --serial.
bool SeveralDevices(const Options& o) {
  return o.all || o.serials.size() > 1;
}

MultiUpdateOptions SeveralOptions(const Options& o) {
  MultiUpdateOptions m;
  m.serials = o.serials;
  m.all = o.all;
  m.noHc = o.noHc;
  m.noCamera = o.noCamera;
  m.noVerify = o.noVerify;
  m.yes = o.yes;
  m.json = o.json;
  return m;
}

// Loads the package and checks it holds the images asked for (the dialog
// silently does nothing without them; say why); an exit code when it doesn't.
std::optional<int> LoadUpdatePackage(const Options& o, const CliStreams& io, DeviceSession& session,
                                     TerminalWindow& window, FirmwarePackage& package) {
  SivraActions actions(session, package, window);
  if (!LoadPackage(o, io, window, actions, package))
    return kExitPackageError;
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
  return std::nullopt;
}

int Station(const Options& o, const CliStreams& io, DeviceSource& source) {
  DeviceSession session(source.d2xx(), source.clock());
  FirmwarePackage package;
  TerminalWindow window(WindowOptions(o, io), source.clock());
  if (auto code = LoadUpdatePackage(o, io, session, window, package))
    return *code;
  StationOptions s;
  s.update = SeveralOptions(o);
  s.count = o.count;
  s.log = o.log;
  s.package = o.file;
  return RunStation(s, io, source, package);
}

int Update(const Options& o, const CliStreams& io, DeviceSource& source) {
  DeviceSession session(source.d2xx(), source.clock());
  FirmwarePackage package;
  TerminalWindow window(WindowOptions(o, io), source.clock());
  if (auto code = LoadUpdatePackage(o, io, session, window, package))
    return *code;
  SivraActions actions(session, package, window);
  if (SeveralDevices(o))
    return RunMultiUpdate(SeveralOptions(o), io, source, package);

  if (auto code = StartTrace(o, io, source))
    return *code;
  Choice choice;
  bool unreadable = false;
  if (auto code = ChooseDevice(o, io, source.d2xx(), &choice, &unreadable))
    return *code;
  if (o.serial && session.link)
    session.link->SetSerialFilter(*o.serial);
  if (choice.kind == Choice::Kind::None)
    window.HoldFailureBoxes();  // "no HandController found" says it better
  // What the units hold before: the old side of the report, and the
  // downgrade check. A failure here is left to the update to report.
  DeviceReportRecords before;
  bool haveBefore = false;
  if (choice.kind == Choice::Kind::One && !o.noVerify) {
    haveBefore = QueryDevice(session, &before) == 0;
    if (!haveBefore)
      session.CloseSession();
  }
  if (haveBefore && !DowngradeAccepted(o, package, before, window)) {
    Print(io.err, "vexo3: nothing was written.\n");
    return kExitDeviceFailure;
  }
  const ActionOutcome outcome = actions.UpdateFirmware();

  // Which units are finished, which one is broken, which are as they were.
  // After a signal a failed unit was stopped by it, in its middle.
  const int sig = PendingSignal();
  std::vector<std::string> written(outcome.unitsWritten.begin(), outcome.unitsWritten.end());
  std::string stopped;
  if (!outcome.Succeeded() && (sig != 0 || outcome.failedUnitBytes > 0))
    stopped = outcome.end.unit;
  std::vector<std::string> skipped;
  for (const auto& [name, wanted] : {std::pair{std::string(kHcImageName), !o.noHc},
                                     std::pair{std::string(kCameraImageName), !o.noCamera}}) {
    if (wanted && name != stopped &&
        std::find(written.begin(), written.end(), name) == written.end()) {
      skipped.push_back(name);
    }
  }
  if (sig != 0) {
    Print(io.err, InterruptReport(sig, written, stopped, skipped));
    return 128 + sig;
  }
  if (outcome.Succeeded()) {
    if (!haveBefore)
      return kExitOk;
    DeviceReportRecords after;
    const ResultCode r = QueryDevice(session, &after);
    if (r != 0) {
      session.CloseSession();
      Print(io.err, "vexo3: can't read the units again after the update: " +
                        TerminalText(DeviceErrorText(r)) + "\n");
      return kExitDeviceFailure;
    }
    return ReportVersions(o, io, package, before, after, outcome.unitsWritten) ? kExitOk
                                                                               : kExitDeviceFailure;
  }
  if (!written.empty() || !stopped.empty())
    Print(io.err, UnitsReport("vexo3: the update is incomplete.", written, stopped, skipped));
  if (outcome.end.refusal == UpdateRefusal::NotBootMode)
    Print(io.err, "vexo3: switch the device to BOOT mode, then run the update again.\n");
  return DeviceFailure(io, choice, unreadable);
}

// The dialog's summary, except that an image the package lacks is said to
// be absent rather than shown with the empty fields the dialog prints.
std::string InspectText(const FirmwarePackage& package, const std::string& summary) {
  if (package.hcImage.IsPresent() && package.cameraImage.IsPresent())
    return summary;
  std::string out;
  for (const auto& [heading, image, unit] :
       {std::tuple{kHcSummaryHeading, &package.hcImage, kHcImageName},
        std::tuple{kCameraSummaryHeading, &package.cameraImage, kCameraImageName}}) {
    out += image->IsPresent() ? ImageSummary(heading, *image)
                              : std::string(heading) + "\n  none: the package holds no " +
                                    std::string(unit) + " image";
    out += "\n";
  }
  return out + "\n";
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
  if (!LoadPackage(o, io, window, actions, package))
    return kExitPackageError;
  if (o.json) {
    PrintOut(io, PackageJson(o.file, package, *window.Summary()));
  } else {
    PrintOut(io, InspectText(package, *window.Summary()));
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
  app.formatter(std::make_shared<HelpFormatter>());
  app.footer(std::string(kExitStatus) + "\n\n" + kExamples + "\n\n" + kPermissionNote);
  app.set_version_flag("--version", "vexo3 " VEXO3_VERSION);
  app.require_subcommand(1);
  app.add_option("--simulate", o.simulate,
                 "Use the simulated device instead of USB: the default scenario, or the one of "
                 "the JSON profile PROFILE (--simulate=PROFILE)")
      ->type_name("[=PROFILE]")
      ->expected(0, 1);
  app.add_option("--serial", o.serials,
                 "Use the HandController whose USB chip has this serial number (needed when "
                 "several are connected); update: given several times, updates those devices "
                 "at the same time")
      ->type_name("SERIAL")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_option("--trace", o.trace,
                 "Write every D2XX call and every byte on the wire, both directions, with times, "
                 "as hex to FILE (--trace=FILE; default stderr)")
      ->type_name("[=FILE]")
      ->expected(0, 1);
  app.add_option("--replay", o.replay,
                 "Run against the device recorded in a wire trace (--replay=FILE, as written by "
                 "--trace; not with --simulate); a run that leaves the trace stops with a report "
                 "and exit status 5")
      ->type_name("FILE")
      ->excludes(app.get_option("--simulate"));
  // For tests: the simulated device on virtual time, so nothing waits.
  app.add_flag("--virtual-time", o.virtualTime)->group("");

  CLI::App* devices = app.add_subcommand(
      "devices",
      "List the FTDI chips with USB id 0403:6015 and whether the updater would open "
      "each");
  devices->add_flag("--json", o.json, "Print JSON");
  devices->add_flag("--watch", o.watch,
                    "Print chips as they arrive and depart, until Ctrl-C (with --json: a JSON "
                    "line each)");
  devices->add_option("--polls", o.polls)->group("");  // tests: stop after N listings
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
  update->add_flag("--no-verify", o.noVerify,
                   "Don't read the units' firmware before and after the update (no old -> "
                   "new versions, no question before a downgrade): exactly the dialog's calls");
  update->add_flag("--yes,-y", o.yes,
                   "Answer Yes to the PCB version warning (without a terminal and without "
                   "--yes the answer is No)");
  update->add_flag("--all", o.all,
                   "Update every HandController connected, all at the same time: a line per "
                   "event prefixed with the device's serial, every question asked before the "
                   "first upload, a table of the results at the end; exit status 0 only when "
                   "every device succeeded");
  update->add_flag("--json", o.json,
                   "With --all or several --serial: JSON Lines on stdout (start, progress at "
                   "most once a second per unit, result)");
  CLI::App* station = app.add_subcommand(
      "station",
      "Flashing station: wait for HandControllers to be plugged in and update each one as it "
      "arrives, beside those already running, until Ctrl-C");
  station->add_option("FILE", o.file, "Firmware package file (*.bin)")->required();
  station->add_flag("--no-hc", o.noHc, "Don't update the HandControllers");
  station->add_flag("--no-camera", o.noCamera, "Don't update the Cameras");
  station->add_flag("--yes,-y", o.yes,
                    "Also update devices with a newer board than the package supports, or "
                    "firmware not older than the package's (else they are left alone)");
  station->add_option("--count", o.count, "Stop after N devices")->type_name("N");
  station
      ->add_option("--log", o.log,
                   "Append a JSON line per device finished to FILE, each flushed to disk")
      ->type_name("FILE");
  station->add_flag("--json", o.json, "JSON Lines on stdout (start, progress, result)");
  for (CLI::App* sub : {devices, info, inspect, update, station}) {
    sub->fallthrough();
    sub->footer(sub == inspect ? std::string(kExitStatus)
                               : std::string(kGlobalOptions) + "\n\n" + kExitStatus + "\n\n" +
                                     kPermissionNote);
  }

  const Arguments args = NormaliseArgs(argc, argv);
  std::vector<const char*> argp;
  for (const std::string& a : args.words)
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
    std::string text = MistypedWordText(app, args);
    if (text.empty())
      text = e.what();
    Print(io.err, "vexo3: " + text + "\nRun with --help for more information.\n");
    return kExitUsage;
  }

  if (o.serials.size() == 1)
    o.serial = o.serials.front();
  if (inspect->parsed())
    return Inspect(o, io);
  auto usage = [&](const std::string& text) {
    Print(io.err, "vexo3: " + text + "\nRun with --help for more information.\n");
    return kExitUsage;
  };
  if (o.serials.size() > 1 && !update->parsed())
    return usage("--serial more than once is for update only");
  if (station->parsed() && !o.serials.empty())
    return usage("station updates every HandController that arrives; not with --serial");
  if (station->parsed() && o.noHc && o.noCamera)
    return usage("--no-hc and --no-camera together leave nothing to update");
  if (station->parsed() && (o.trace || o.replay))
    return usage("--trace and --replay follow one device; not with station");
  if (o.watch && (o.trace || o.replay))
    return usage("--trace and --replay follow one run; not with --watch");
  if (update->parsed() && o.all && !o.serials.empty())
    return usage("--all and --serial exclude each other");
  if (update->parsed() && SeveralDevices(o) && (o.trace || o.replay))
    return usage("--trace and --replay follow one device; not with several");
  if (update->parsed() && o.json && !SeveralDevices(o))
    return usage("update --json needs --all or several --serial");
  if (update->parsed() && o.noHc && o.noCamera) {
    Print(io.err,
          "vexo3: --no-hc and --no-camera together leave nothing to update\n"
          "Run with --help for more information.\n");
    return kExitUsage;
  }

  SourceError error;
  std::unique_ptr<DeviceSource> source = DeviceSource::Open(SourceOptions(o), &error);
  if (!source)
    return SourceFailed(io, error);
  int code = kExitOk;
  if (devices->parsed() || info->parsed()) {
    if (auto failed = StartTrace(o, io, *source))
      code = *failed;
  }
  if (code != kExitOk) {
    // Nothing ran: the state file is as it was.
  } else if (devices->parsed() && o.watch) {
    code = WatchDevices(io, *source, o.json, o.polls);
  } else if (devices->parsed()) {
    code = Devices(o, io, source->d2xx());
  } else if (info->parsed()) {
    code = Info(o, io, *source);
  } else if (update->parsed()) {
    code = Update(o, io, *source);
  } else if (station->parsed()) {
    code = Station(o, io, *source);
  }
  // After the session has closed the link: its last calls are checked too.
  for (const SourceError& failure : source->Finish(code == kExitOk)) {
    Print(io.err, SourceErrorMessage("vexo3", failure));
    if (failure.reason == SourceFailure::ReplayDiverged || code == kExitOk)
      code = ExitStatusFor(failure.reason);
  }
  return code;
}

}  // namespace
}  // namespace vexo3::cli
