#pragma once

// The command line as parsed: every option of every command, and what the
// commands derive from it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "run/device_source.h"

namespace vexo3::cli {

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
  bool force = false;  // update: write a unit that already holds the package's version
};

// Several devices at once: --all, or more than one --serial.
inline bool SeveralDevices(const Options& o) {
  return o.all || o.serials.size() > 1;
}

// The devices of the options: the hardware, the simulator or a replay, and
// the trace around them.
DeviceSourceOptions SourceOptions(const Options& o);

}  // namespace vexo3::cli
