#pragma once

// A flashing station ("vexo3 station FILE"): waits for HandControllers to be
// plugged in and updates each one as it arrives, beside those already
// running, until Ctrl-C (which lets the units being written finish) or
// until --count devices are done. A chip is updated once per plugging-in.
// Also "vexo3 devices --watch": arrivals and departures as they happen.

#include <cstdint>
#include <optional>
#include <string>

#include "cli/cli_app.h"
#include "cli/multi_update.h"

namespace vexo3 {
class DeviceSource;
}

namespace vexo3::cli {

struct StationOptions {
  MultiUpdateOptions update;       // serials and all are not used
  std::optional<uint32_t> count;   // stop after this many devices updated (or failed)
  std::optional<std::string> log;  // append a JSON line per device finished
  std::string package;             // its file, which the log must not be
};

// The station's exit status: 0 when every device it updated succeeded, 1
// otherwise (also when the log can't be opened or written: then before any
// device is touched), 128 + N after signal N.
int RunStation(const StationOptions& options, const CliStreams& io, DeviceSource& source,
               FirmwarePackage& package);

// Lists the chips whenever they change, until a signal (or, for tests,
// `polls` listings). Exit status 0 after Ctrl-C.
int WatchDevices(const CliStreams& io, DeviceSource& source, bool json,
                 std::optional<uint32_t> polls);

// How often the station and --watch list the chips (on the source's clock).
inline constexpr uint32_t kStationPollMs = 250;

}  // namespace vexo3::cli
