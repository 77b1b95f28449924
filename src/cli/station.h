#pragma once

// A flashing station ("vexo3 station FILE"): waits for HandControllers to be
// plugged in and updates each one as it arrives, beside those already
// running, until Ctrl-C (which lets the units being written finish) or
// until --count devices are done. A chip is updated once per plugging-in.
// The exit status: 0 when every device it updated succeeded, 1 otherwise
// (also when the log can't be opened or written: then before any device is
// touched), 128 + N after signal N.

#include <cstdint>

namespace vexo3::cli {

// How often the station and "devices --watch" list the chips (on the
// source's clock).
inline constexpr uint32_t kStationPollMs = 250;

}  // namespace vexo3::cli
