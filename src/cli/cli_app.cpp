#include "cli/cli_app.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/json_output.h"
#include "cli/options.h"
#include "cli/output.h"
#include "run/device_source.h"

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
    "  1  device or update failure (the error text is on stderr); a write error\n"
    "     on stdout or in the --trace or --log file\n"
    "  2  usage error, or several HandControllers connected and no --serial; a\n"
    "     profile, state file or --replay trace that can't be read, or a --trace\n"
    "     or --log file that can't be opened\n"
    "  3  no HandController found (or none with the --serial given)\n"
    "  4  package file error (can't be loaded, or lacks an image to update)\n"
    "  5  --replay: the run left the recorded trace (the report is on stderr)\n"
    "  6  declined: a question was answered no (or there was no terminal to ask\n"
    "     and no --yes), so nothing was written\n"
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
    "  --virtual-time          with --simulate: its own clock, so nothing waits\n"
    "  --serial SERIAL         the HandController whose USB chip has this serial\n"
    "  --trace[=FILE]          every driver call and byte on the wire, with times\n"
    "  --replay=FILE           run against the device recorded in a trace";

constexpr const char* kMoreHelp = "Run with --help for more information.\n";

// The parser and the commands it found.
struct Parser {
  CLI::App app{kDescription, "vexo3"};
  CLI::App* devices = nullptr;
  CLI::App* info = nullptr;
  CLI::App* inspect = nullptr;
  CLI::App* update = nullptr;
  CLI::App* station = nullptr;

  explicit Parser(Options& o);

 private:
  void AddGlobalOptions(Options& o);
  void AddReadingCommands(Options& o);  // devices, info, inspect
  void AddUpdate(Options& o);
  void AddStation(Options& o);

 public:
  // The command given; "" before parsing.
  std::string Command() const {
    for (const CLI::App* sub : {devices, info, inspect, update, station}) {
      if (sub->parsed())
        return sub->get_name();
    }
    return "";
  }
};

Parser::Parser(Options& o) {
  AddGlobalOptions(o);
  AddReadingCommands(o);
  AddUpdate(o);
  AddStation(o);
  for (CLI::App* sub : {devices, info, inspect, update, station}) {
    sub->fallthrough();
    sub->footer(sub == inspect ? std::string(kExitStatus)
                               : std::string(kGlobalOptions) + "\n\n" + kExitStatus + "\n\n" +
                                     kPermissionNote);
  }
}

void Parser::AddGlobalOptions(Options& o) {
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
                 "several are connected; one that differs only in case is taken when it is the "
                 "only one); update: given several times, updates those devices at the same "
                 "time")
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
  app.add_flag("--virtual-time", o.virtualTime,
               "With --simulate: run the simulated device on a clock of its own, so that "
               "nothing waits (an update takes no real time) and a plug timeline plays the "
               "same on every run");
}

void Parser::AddReadingCommands(Options& o) {
  devices = app.add_subcommand(
      "devices",
      "List the FTDI chips with USB id 0403:6015 and whether the updater would open "
      "each");
  devices->add_flag("--json", o.json, "Print JSON");
  devices->add_flag("--watch", o.watch,
                    "Print chips as they arrive and depart, until Ctrl-C (with --json: a JSON "
                    "line each)");
  devices->add_option("--polls", o.polls)->group("");  // tests: stop after N listings
  info =
      app.add_subcommand("info", "Read device info: query both units and print the device report");
  info->add_flag("--json", o.json, "Print the report's records as JSON");
  inspect = app.add_subcommand("inspect",
                               "Load a firmware package file and print the summary of its images");
  inspect->add_option("FILE", o.file, "Firmware package file (*.bin)")->required();
  inspect->add_flag("--json", o.json,
                    "Print JSON: kind, version, revision, flags, supported PCB, start code and "
                    "length of each image present, and the summary");
}

void Parser::AddUpdate(Options& o) {
  update = app.add_subcommand(
      "update", "Update firmwares: check the device and write the package's images into it");
  update->add_option("FILE", o.file, "Firmware package file (*.bin)")->required();
  update->add_flag("--no-hc", o.noHc, "Don't update the HandController");
  update->add_flag("--no-camera", o.noCamera, "Don't update the Camera");
  update->add_flag("--no-verify", o.noVerify,
                   "Don't read the units' firmware before and after the update (no old -> "
                   "new versions, no question before a downgrade): exactly the dialog's calls");
  update->add_flag("--force", o.force,
                   "Write a unit even when it already holds the package's version (without it "
                   "such a unit is left alone and reported up to date)");
  update->add_flag("--yes,-y", o.yes,
                   "Answer Yes to the PCB version warning, the downgrade question and the "
                   "question after units that can't be read (without a terminal and without "
                   "--yes the answer is No, and the exit status 6)");
  update->add_flag("--all", o.all,
                   "Update every HandController connected, all at the same time: a line per "
                   "event prefixed with the device's serial, every question asked before the "
                   "first upload, a table of the results at the end; exit status 0 only when "
                   "every device succeeded");
  update->add_flag("--json", o.json,
                   "JSON Lines on stdout (start, progress at most once a second per unit, "
                   "result), for one device as for several");
}

void Parser::AddStation(Options& o) {
  station = app.add_subcommand(
      "station",
      "Flashing station: wait for HandControllers to be plugged in and update each one as it "
      "arrives, beside those already running, until Ctrl-C");
  station->add_option("FILE", o.file, "Firmware package file (*.bin)")->required();
  station->add_flag("--no-hc", o.noHc, "Don't update the HandControllers");
  station->add_flag("--no-camera", o.noCamera, "Don't update the Cameras");
  station->add_flag("--yes,-y", o.yes,
                    "Also update devices with a newer board than the package supports, "
                    "firmware older than the package's, or units that can't be read first (else "
                    "they are left alone)");
  station->add_flag("--force", o.force,
                    "Also write devices that already hold the package's version");
  station->add_option("--count", o.count, "Stop after N devices")->type_name("N");
  station
      ->add_option("--log", o.log,
                   "Append a JSON line per device finished to FILE, each flushed to disk")
      ->type_name("FILE");
  station->add_flag("--json", o.json, "JSON Lines on stdout (start, progress, result)");
}

// Combinations of options the parser can't refuse by itself: the command
// they apply to ("!update": all but update), when the rule is broken, and
// what is said.
struct OptionRule {
  const char* command;
  bool (*broken)(const Options& o);
  const char* text;
};

// clang-format off
constexpr OptionRule kOptionRules[] = {
    {"!update", [](const Options& o) { return o.serials.size() > 1; },
     "--serial more than once is for update only"},
    {"station", [](const Options& o) { return !o.serials.empty(); },
     "station updates every HandController that arrives; not with --serial"},
    {"station", [](const Options& o) { return o.noHc && o.noCamera; },
     "--no-hc and --no-camera together leave nothing to update"},
    {"station", [](const Options& o) { return o.trace || o.replay; },
     "--trace and --replay follow one device; not with station"},
    {"devices", [](const Options& o) { return o.watch && (o.trace || o.replay); },
     "--trace and --replay follow one run; not with --watch"},
    {"!inspect", [](const Options& o) { return o.virtualTime && !o.simulate; },
     "--virtual-time is the simulated device's clock; it needs --simulate"},
    {"update",  [](const Options& o) { return o.all && !o.serials.empty(); },
     "--all and --serial exclude each other"},
    {"update",  [](const Options& o) { return SeveralDevices(o) && (o.trace || o.replay); },
     "--trace and --replay follow one device; not with several"},
    {"update",  [](const Options& o) { return o.noHc && o.noCamera; },
     "--no-hc and --no-camera together leave nothing to update"},
};
// clang-format on

// The first rule the options break for `command`, or null.
const char* BrokenRule(const std::string& command, const Options& o) {
  for (const OptionRule& rule : kOptionRules) {
    const bool here =
        rule.command[0] == '!' ? command != rule.command + 1 : command == rule.command;
    if (here && rule.broken(o))
      return rule.text;
  }
  return nullptr;
}

// How a run asked for its output: --json, and then JSON Lines (update,
// station, devices --watch) or one document.
struct OutputForm {
  bool json = false;
  bool lines = false;
};

int Run(int argc, const char* const* argv, const CliStreams& io, OutputForm* form) {
  Options o;
  Parser p(o);
  const Arguments args = MoveCommandOptions(p.app, NormaliseArgs(argc, argv));
  for (size_t i = 1; i < args.words.size() && args.words[i] != "--"; ++i)
    form->json = form->json || args.words[i] == "--json";
  std::vector<const char*> argp;
  for (const std::string& a : args.words)
    argp.push_back(a.c_str());
  try {
    p.app.parse(static_cast<int>(argp.size()), argp.data());
  } catch (const CLI::CallForHelp&) {
    PrintOut(io, p.app.help());
    return kExitOk;
  } catch (const CLI::CallForAllHelp&) {
    PrintOut(io, p.app.help("", CLI::AppFormatMode::All));
    return kExitOk;
  } catch (const CLI::CallForVersion& e) {
    PrintOut(io, std::string(e.what()) + "\n");
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    std::string text = MistypedWordText(p.app, args);
    if (text.empty())
      text = e.what();
    PrintErr(io, "vexo3: " + text + "\n" + kMoreHelp);
    return kExitUsage;
  }

  if (o.serials.size() == 1)
    o.serial = o.serials.front();
  const std::string command = p.Command();
  form->lines = command == "update" || command == "station" || (command == "devices" && o.watch);
  if (command == "inspect")
    return InspectCommand(o, io);
  if (const char* broken = BrokenRule(command, o)) {
    PrintErr(io, std::string("vexo3: ") + broken + "\n" + kMoreHelp);
    return kExitUsage;
  }

  SourceError error;
  std::unique_ptr<DeviceSource> source = DeviceSource::Open(SourceOptions(o), &error);
  if (!source)
    return SourceFailed(io, error);
  int code = kExitOk;
  if (command == "devices" || command == "info") {
    if (auto failed = StartTrace(o, io, *source))
      code = *failed;
  }
  if (code != kExitOk) {
    // Nothing ran: the state file is as it was.
  } else if (command == "devices") {
    code = DevicesCommand(o, io, *source);
  } else if (command == "info") {
    code = InfoCommand(o, io, *source);
  } else if (command == "update") {
    code = UpdateCommand(o, io, *source);
  } else if (command == "station") {
    code = StationCommand(o, io, *source);
  }
  // After the session has closed the link: its last calls are checked too.
  for (const SourceError& failure : source->Finish(code == kExitOk)) {
    PrintErr(io, SourceErrorMessage("vexo3", failure));
    if (failure.reason == SourceFailure::ReplayDiverged || code == kExitOk)
      code = ExitStatusFor(failure.reason);
  }
  return code;
}

}  // namespace

int RunCli(int argc, const char* const* argv, const CliStreams& streams) {
  int outError = 0;
  bool outWritten = false;
  std::string errText;
  CliStreams io = streams;
  io.outError = &outError;
  io.outWritten = &outWritten;
  io.errText = &errText;
  OutputForm form;
  int code = Run(argc, argv, io, &form);
  // A script that asked for JSON gets JSON, also when the run failed before
  // it printed any.
  if (form.json && code != kExitOk && !outWritten)
    PrintJson(io, ErrorJson(errText, code, form.lines));
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

}  // namespace vexo3::cli
