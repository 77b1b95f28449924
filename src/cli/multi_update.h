#pragma once

// Updating several HandControllers side by side ("vexo3 update --all", or
// --serial given more than once). Every device has its own session, link
// and clock, and runs on a thread of its own; they share the D2XX backend,
// which takes calls on different handles from different threads. All
// questions (the downgrade and PCB warnings, each naming the device) are
// asked before the first upload starts. Output: on a terminal a live line
// per device, off one plain lines prefixed with the device's serial, or JSON
// Lines; at the end a table with a row per device.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "cli/cli_app.h"
#include "firmware/firmware_package.h"
#include "protocol/result_code.h"
#include "ui/core/device_report.h"

namespace vexo3 {
class Clock;
class D2xxApi;
class DeviceSource;
}  // namespace vexo3

namespace vexo3::cli {

struct MultiUpdateOptions {
  std::vector<std::string> serials;  // the devices asked for; empty with `all`
  bool all = false;                  // every HandController that can be opened
  bool noHc = false;
  bool noCamera = false;
  bool noVerify = false;  // no reading before and after; the PCB warning is --yes's alone
  bool yes = false;
  bool json = false;  // JSON Lines on stdout: start, progress, result
};

// What became of one device.
struct DeviceResult {
  std::string serial;
  std::string hcUniqueId;  // "" when unknown
  std::string cameraUniqueId;
  struct UnitVersions {
    std::string unit;
    std::string before;  // "-" when unknown
    std::string after;   // "-" when not read (not written, or no reading)
  };
  std::vector<UnitVersions> versions;  // the units asked for
  bool ok = false;
  bool leftAlone = false;  // station: not updated, for the reason in text
  ResultCode code = 0;     // of the failed step; 0 also for a refusal or a decline
  std::string text;        // "ok", or why not
  std::vector<std::string> written;
  std::string stopped;  // the unit left with an incomplete image
  std::vector<std::string> skipped;
  uint64_t bytes = 0;  // accepted by the units, all together
  double seconds = 0;  // on the device's clock, from its first call to its last
  int64_t endUs = 0;   // the device's clock at its end (µs)
};

// The streams, written from every device's thread: a line at a time.
class LineOutput {
 public:
  explicit LineOutput(const CliStreams& io) : io_(io) {}
  void Out(const std::string& text);
  void Err(const std::string& text);

  // What one device is doing: "SERIAL: text" as a line of its own, or, once
  // the board is live, the device's row rewritten in place.
  void Device(const std::string& serial, const std::string& text);
  // A block of one row per device at the bottom of the terminal, each row
  // redrawn in place and cut to the terminal's width (the full texts are
  // in the closing table). Only when stdout is a terminal.
  void StartBoard(const std::vector<std::string>& serials);
  void EndBoard();
  bool Live() const { return live_; }
  // The columns a row may fill, asked anew so a resized window is followed.
  size_t RowWidth() const;

 private:
  // Both with mutex_ held.
  void DrawBoard();
  void WriteOut(const std::string& text);  // a failed write is kept for the exit status

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
// newer than the package supports, firmware not newer than the package's),
// is left alone, and so is one that can't be read.
DeviceResult UpdateArrivedDevice(const MultiUpdateOptions& options, LineOutput& output,
                                 D2xxApi& d2xx, Clock& clock, const std::string& serial,
                                 FirmwarePackage& package);

// One device's result as a JSON object (no line end), the "result" line of
// --json and the station's log line.
std::string ResultJson(const DeviceResult& result);
// The closing table: serial, unique ids, old -> new version of each unit,
// result text, time; one row per device.
std::string ResultTable(const std::vector<DeviceResult>& results);

// Runs the update on the devices of `options`; the exit status (0 only when
// every device succeeded, 1 otherwise, 128 + N after signal N, 2 and 3 when
// the devices asked for can't be told apart or aren't there: then nothing
// was touched). The package is loaded and holds the images asked for.
int RunMultiUpdate(const MultiUpdateOptions& options, const CliStreams& io, DeviceSource& source,
                   FirmwarePackage& package);

}  // namespace vexo3::cli
