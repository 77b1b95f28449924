// vexo3 update FILE: "Update firmwares" on one device (several: multi_update).

#include "cli/commands.h"
#include "cli/device_choice.h"
#include "cli/interrupt.h"
#include "cli/multi_update.h"
#include "cli/output.h"
#include "cli/terminal_update.h"
#include "platform/signals.h"
#include "protocol/device_session.h"
#include "ui/core/update_engine.h"

namespace vexo3::cli {
namespace {

// A word of a command line as a shell takes it back.
std::string ShellWord(const std::string& word) {
  if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                              "0123456789-_./=:+,@%") == std::string::npos)
    return word;
  std::string out = "'";
  for (const char c : word)
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The command that writes what the outcome left to write, and only that.
std::string ResumeHint(const Options& o, const UpdateOutcome& outcome) {
  const bool hc = outcome.hc.StillToWrite();
  const bool camera = outcome.camera.StillToWrite();
  if (!hc && !camera)
    return "";
  // The device by its serial when one was named; where the device comes
  // from (hardware, --simulate, --replay) is the user's to repeat.
  std::string command = "vexo3";
  if (o.serial)
    command += " --serial " + ShellWord(*o.serial);
  command += " update " + ShellWord(o.file);
  if (!hc)
    command += " --no-hc";
  if (!camera)
    command += " --no-camera";
  return "Keep the device connected and finish with:\n  " + command + "\n";
}

// After "DONE ok": each unit asked for, what it held and holds now beside
// what the package holds. False when a unit doesn't report the package's
// firmware.
bool ReportVersions(const CliStreams& io, const UpdateOutcome& outcome) {
  bool same = true;
  for (const Unit u : kUnits) {
    const UnitOutcome& o = outcome.unit(u);
    const std::string name(UnitName(u));
    if (o.state == UnitState::Skipped && o.skipped == SkipReason::UpToDate) {
      PrintOut(io, name + ": ver. " + o.package.Text() +
                       ", already up to date (--force writes it again)\n");
      continue;
    }
    if (o.state != UnitState::Verified && o.state != UnitState::Written)
      continue;
    std::string line = name + ": ver. " + (o.before ? o.before->Text() : "-") + " \u2192 " +
                       (o.after ? o.after->Text() : "no valid firmware");
    if (o.state == UnitState::Verified) {
      line += ", as in the package\n";
    } else {
      line += "; the package holds ver. " + o.package.Text() + "\n";
      same = false;
    }
    PrintOut(io, line);
  }
  if (!same)
    Print(io.err, "vexo3: a unit doesn't report the package's firmware after the update.\n");
  return same;
}

}  // namespace

int UpdateCommand(const Options& o, const CliStreams& io, DeviceSource& source) {
  FirmwarePackage package;
  if (auto code = LoadUpdatePackage(o, io, package))
    return *code;
  if (SeveralDevices(o))
    return RunMultiUpdate(o, io, source, package);
  if (auto code = StartTrace(o, io, source))
    return *code;
  DeviceChoice found;
  if (auto code = ChooseOneDevice(o, io, source.d2xx(), &found))
    return *code;

  DeviceSession session(source.d2xx(), source.clock());
  if (o.serial && session.link)
    session.link->SetSerialFilter(*o.serial);
  TerminalUpdateView view(io, source.clock());
  TerminalQuestions questions(io, o.yes);
  SignalStop stop;
  if (found.choice.kind == Choice::Kind::None)
    view.HoldFailureBoxes();  // "no HandController found" says it better
  UpdateRequest request;
  request.asked = UpdateRequest::Units(!o.noHc, !o.noCamera);
  // Reading the units needs the one device; without one the update fails
  // as the dialog's would.
  request.verify = !o.noVerify && found.choice.kind == Choice::Kind::One;
  request.force = o.force;
  UpdateEngine engine(session, package, view, questions, stop);
  const UpdateOutcome outcome = engine.Run(request);
  view.EndProgressLine();

  if (const int sig = PendingSignal(); sig != 0) {
    Print(io.err,
          UnitsReport(std::string("vexo3: interrupted (") + SignalName(sig) + ").", outcome) +
              ResumeHint(o, outcome));
    return 128 + sig;
  }
  if (outcome.Succeeded()) {
    if (!request.verify)
      return kExitOk;
    ReportVersions(io, outcome);
    return kExitOk;
  }
  if (outcome.Declined()) {
    if (outcome.refusal == UpdateRefusal::UnreadableDeclined)
      Print(io.err, "vexo3: the units could not be read before the update: " +
                        TerminalText(DeviceErrorText(outcome.code)) + "\n");
    Print(io.err, "vexo3: nothing was written.\n");
    return kExitDeclined;
  }
  if (outcome.end == UpdateStage::Done) {
    // Written; what the units report afterwards is what failed.
    if (outcome.failedStep == UpdateStep::ReadAfter) {
      Print(io.err, "vexo3: can't read the units again after the update: " +
                        TerminalText(DeviceErrorText(outcome.code)) + "\n");
    } else {
      ReportVersions(io, outcome);
    }
    return kExitDeviceFailure;
  }
  const UnitLists lists = ListUnits(outcome);
  if (!lists.written.empty() || !lists.incomplete.empty())
    Print(io.err,
          UnitsReport("vexo3: the update is incomplete.", outcome) + ResumeHint(o, outcome));
  if (outcome.refusal == UpdateRefusal::NotBootMode)
    Print(io.err, "vexo3: switch the device to BOOT mode, then run the update again.\n");
  return DeviceFailure(io, found);
}

}  // namespace vexo3::cli
