#pragma once

// Where a run's devices come from: the one place that assembles them for
// every program (vexo3, both dialogs, the stand-in driver library). It picks
// the D2XX backend (the hardware, the simulator of a profile, or a recorded
// trace), the clock that goes with it, and an optional wire trace around it,
// and at the end finishes what the run leaves (the replay's verdict, the
// simulator's state file). Failures come back as a reason with a text; each
// program turns the reason into its exit status through ExitStatusFor.

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/d2xx.h"
#include "platform/output_file.h"

namespace vexo3 {

class Clock;
class ReplayD2xx;
namespace sim {
class SimulatedSetup;
}

// The real driver of this system (MakeHardwareD2xx); a parameter so that a
// program without hardware (the stand-in driver library) links none.
using HardwareFactory = std::unique_ptr<D2xxApi> (*)(std::string* error);

struct DeviceSourceOptions {
  enum class Kind { Hardware, Simulator, Replay };
  Kind kind = Kind::Hardware;
  HardwareFactory hardware = nullptr;  // Hardware: required
  std::string profile;                 // Simulator: a profile file; "" = the default scenario
  std::string replay;                  // Replay: the trace file to run against
  // Simulator: virtual time, so nothing waits (tests). Without it the
  // simulated line takes as long as the real one.
  bool virtualTime = false;
  // --trace: every driver call written to `trace` ("" = traceStream).
  std::optional<std::string> trace;
  std::ostream* traceStream = nullptr;
};

// Why a run's devices could not be assembled or finished.
enum class SourceFailure {
  Profile,         // the simulator profile can't be read or is refused
  StateFile,       // the simulator's state file can't be locked, read or parsed
  StateSave,       // the state file could not be written at the end
  NoDriver,        // this system has no USB-serial driver for the chip
  ReplayTrace,     // the trace to replay can't be read or parsed
  TraceFile,       // --trace=FILE can't be opened, or names a file the run reads
  TraceWrite,      // the trace file could not be written to its end (the disk is full)
  ReplayDiverged,  // the program left the recorded trace
};

struct SourceError {
  SourceFailure reason = SourceFailure::Profile;
  // For the user: a sentence without the program's name in front and
  // without a line end; for ReplayDiverged the replay's report as it is
  // (whole lines, naming itself).
  std::string text;
};

// The exit status of a reason, the same in every program (README's table).
int ExitStatusFor(SourceFailure reason);

// The error as the program writes it to stderr: "program: text\n", with the
// control characters of text escaped (the names and contents of files are in
// it); the replay's report as it is (it escapes what it quotes).
std::string SourceErrorMessage(const char* program, const SourceError& error);

class DeviceSource {
 public:
  // Assembles the devices; null with *error when that fails. Nothing is
  // written before StartTrace, and no driver call is made.
  static std::unique_ptr<DeviceSource> Open(const DeviceSourceOptions& options, SourceError* error);
  ~DeviceSource();
  DeviceSource(const DeviceSource&) = delete;
  DeviceSource& operator=(const DeviceSource&) = delete;

  // The backend to build the session on (the trace around it once asked
  // for), and its clock. Both live as long as this object.
  D2xxApi& d2xx() { return *d2xx_; }
  Clock& clock() { return *clock_; }
  // The clock for the session of the HandController with that chip serial
  // in a run of several devices side by side. On virtual time each device
  // gets a clock of its own, starting at clock()'s now, which the simulated
  // chip of that serial then runs on: one line's waits never move another's
  // time. Otherwise clock(). Lives as long as this object; call from the
  // thread that owns the source, before the device's session starts.
  Clock& DeviceClock(const std::string& serial);
  // Whether DeviceClock gives each device a clock of its own.
  bool SeparateDeviceClocks() const;

  // A file the run reads or keeps, which no output may overwrite.
  using KeptFile = NamedFile;
  // Opens the --trace file (emptied on opening, never waiting: OutputFile)
  // once the run's inputs are loaded: refused (TraceFile) when it is one of
  // `kept`, the profile, the state file or the replayed trace, by identity
  // (also through a symlink or a hard link), a folder, a disk, or a FIFO no
  // program reads. True at once without a trace file.
  bool StartTrace(const std::vector<KeptFile>& kept, SourceError* error);
  // The files of the run that another output (the station's log) must not
  // be: the profile, the state file, the replayed trace, the trace file.
  std::vector<KeptFile> RunFiles() const;

  // Ends the run after its session is gone, so the last calls count too.
  // runOk: the run itself succeeded. A failed run that made no driver call
  // (refused before its first one) keeps its own verdict; any other run must
  // have followed a replayed trace to its end. Closes the trace file. Returns
  // what went wrong, in the order to report: the replay's divergence, a
  // state file that could not be saved, then a trace file that could not be
  // written or synced to its end (TraceWrite, "\"FILE\": REASON"). Call once.
  std::vector<SourceError> Finish(bool runOk = true);

  // The replay, when the devices are a recorded trace.
  const ReplayD2xx* replay() const { return replay_.get(); }
  // The simulated devices, when they are simulated.
  sim::SimulatedSetup* simulation() { return sim_.get(); }

 private:
  DeviceSource() = default;
  std::vector<KeptFile> InputFiles() const;  // the profile, the state file, the replayed trace

  DeviceSourceOptions options_;
  std::unique_ptr<Clock> clock_;
  std::vector<std::unique_ptr<Clock>> deviceClocks_;
  std::unique_ptr<sim::SimulatedSetup> sim_;
  std::unique_ptr<ReplayD2xx> replay_;
  std::unique_ptr<D2xxApi> hardware_;
  std::unique_ptr<OutputFile> traceFile_;
  std::unique_ptr<D2xxApi> trace_;
  D2xxApi* d2xx_ = nullptr;
};

}  // namespace vexo3
