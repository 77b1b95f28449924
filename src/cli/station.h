#pragma once

// A flashing station ("vexo3 station FILE"): waits for HandControllers to be
// plugged in and updates each one as it arrives, beside those already
// running, until Ctrl-C (which lets the units being written finish) or
// until --count devices are done. A chip is updated once per plugging-in.
// Every run ends with its totals: updated, failed, left alone. The exit
// status: 0 when every device it updated succeeded (also when a signal
// ended it while no unit was being written), 1 otherwise (also when the log
// can't be written), 2 when the log can't be opened (before any device is
// touched), 128 + N after signal N came while units were being written.

#include <cstdint>

namespace vexo3::cli {

// How often the station and "devices --watch" list the chips (on the
// source's clock).
inline constexpr uint32_t kStationPollMs = 250;

}  // namespace vexo3::cli
