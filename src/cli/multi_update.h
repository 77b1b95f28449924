#pragma once

// Updating several HandControllers side by side ("vexo3 update --all", or
// --serial given more than once), and one device of a station. Every device
// has its own session, link, clock and update engine, and runs on a thread
// of its own; they share the D2XX backend, which takes calls on different
// handles from different threads. All questions (the downgrade and PCB
// warnings, each naming the device) are asked before the first upload
// starts. Output: on a terminal a live line per device, off one plain lines
// prefixed with the device's serial, or JSON Lines; at the end a table with
// a row per device.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "cli/cli_app.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "firmware/firmware_package.h"
#include "protocol/result_code.h"
#include "ui/core/update_engine.h"

namespace vexo3 {
class Clock;
class D2xxApi;
class DeviceSource;
}  // namespace vexo3

namespace vexo3::cli {

// What became of one device, as the lines, the table and the JSON say it.
struct DeviceResult {
  std::string serial;
  std::string hcUniqueId;  // "" when unknown
  std::string cameraUniqueId;
  struct UnitVersions {
    std::string unit;
    std::string before;   // "-" when unknown
    std::string after;    // "-" when not read (not written, or no reading)
    std::string package;  // the package's version for it ("" when not known)
    std::string state;    // "written", "incomplete", "not written", "up to date" ("" when not run)
  };
  std::vector<UnitVersions> versions;  // the units asked for
  bool ok = false;
  bool leftAlone = false;  // station: not updated, for the reason in text
  bool declined = false;   // a question was answered No: nothing written
  ResultCode code = kOk;   // of the failed step; 0 also for a refusal or a decline
  std::string text;        // "ok", or why not
  UnitLists units;         // what became of each unit asked for
  uint64_t bytes = 0;      // taken by the units, all together
  double seconds = 0;      // on the device's clock, from its first call to its last
  int64_t endUs = 0;       // the device's clock at its end (µs)
};

// The streams, written from every device's thread: a line at a time.
class LineOutput {
 public:
  explicit LineOutput(const CliStreams& io) : io_(io) {}
  // Text for people (ShownText) on stdout or stderr.
  void Out(const std::string& text);
  void Err(const std::string& text);
  // A JSON line on stdout, as it is.
  void Json(const std::string& text);

  // What one device is doing: "SERIAL: text" as a line of its own, or, once
  // the board is live, the device's row rewritten in place.
  void Device(const std::string& serial, const std::string& text);
  // A block of one row per device at the bottom of the terminal, each row
  // redrawn in place and cut to the terminal's width (the full texts are
  // in the closing table). Only when stdout is a terminal.
  void StartBoard(const std::vector<std::string>& serials);
  void EndBoard();
  bool Live() const { return live_; }
  const CliStreams& io() const { return io_; }

 private:
  // With mutex_ held.
  void DrawBoard();
  // As it is; a failed write is kept for the exit status.
  void WriteOut(const std::string& text);

  const CliStreams& io_;
  std::mutex mutex_;
  bool live_ = false;
  bool drawn_ = false;
  std::vector<std::string> serials_;
  std::vector<std::string> rows_;
};

// The station's: one device that has just arrived, from its first reading
// to its result, on the calling thread, with the serial-prefixed lines (or
// JSON Lines) of a run of several. Asks nothing: a device in application
// mode, or one that a question would be put to (without --yes: a board
// newer than the package supports, firmware older than the package's, units
// that can't be read), is left alone.
DeviceResult UpdateArrivedDevice(const Options& options, LineOutput& output, D2xxApi& d2xx,
                                 Clock& clock, const std::string& serial,
                                 const FirmwarePackage& package);

// "update FILE --json" on one device: the JSON Lines of a run of several
// (start, progress, result) for the chip of `serial` ("" when it has none),
// its questions put by `questions` as they come, its failure boxes on
// stderr as without --json. The session is held to the serial only when a
// --serial chose the device.
UpdateOutcome UpdateOneDeviceJson(const Options& options, const CliStreams& io, D2xxApi& d2xx,
                                  Clock& clock, const std::string& serial,
                                  const FirmwarePackage& package, QuestionPolicy& questions);

// One device's result as a JSON object (no line end), the "result" line of
// --json and the station's log line.
std::string ResultJson(const DeviceResult& result);
// The closing table: serial, unique ids, old -> new version of each unit
// (what was done to it when the units weren't read), time, and the result
// text, wrapped; one row per device, at most maxWidth columns wide (see
// progress.h's kAnyWidth).
std::string ResultTable(const std::vector<DeviceResult>& results, size_t maxWidth);

// Runs the update on the devices of `options`; the exit status (0 only when
// every device succeeded, 1 otherwise, 6 when nothing failed but a device
// was declined, 128 + N after signal N, 2 and 3 when the devices asked for
// can't be told apart or aren't there: then nothing was touched). The
// package is loaded and holds the images asked for.
int RunMultiUpdate(const Options& options, const CliStreams& io, DeviceSource& source,
                   const FirmwarePackage& package);

}  // namespace vexo3::cli
