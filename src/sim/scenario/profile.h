#pragma once

// Simulator profiles: a JSON file that describes the simulated bus (its chips,
// each with a HandController and Camera, and injected faults), and optionally
// names a state file (state_file.h) that keeps the units' firmware across
// runs. The key names are documented in README.md.

#include <string>
#include <string_view>
#include <vector>

#include "sim/scenario/scenario.h"

namespace vexo3::sim {

// A parsed profile: the scenario and the state file path ("" = none).
struct Profile {
  Scenario scenario;
  std::string stateFile;
  // Per chip (same order): its strings can't be read and it can't be opened,
  // as when the user lacks permission for the USB device. Key "inaccessible".
  std::vector<bool> chipInaccessible;
  // Per chip: another process holds it, and the driver lists it as Windows
  // does (the opened flag, nothing else). Key "in_use_elsewhere".
  std::vector<bool> chipInUseElsewhere;
};

// Parses profile text. Every key is optional and defaults to the default
// scenario's value. Unknown keys, wrong types and values out of range are
// refused: false, with *error naming the key path, e.g.
// "chips[0].hand_controller.pcb_id: expected a number from 0 to 255".
// Modes are spelled "boot"/"app", units "hc"/"camera", fault actions as
// ParseFaultAction (faults.h) reads them. A relative state_file is taken
// relative to baseDir.
bool ParseProfile(std::string_view json, const std::string& baseDir, Profile* profile,
                  std::string* error);
// Reads and parses the file at path (state_file relative to its folder).
// *error starts with the path on failure.
bool LoadProfile(const std::string& path, Profile* profile, std::string* error);
bool LoadProfile(const std::string& path, Scenario* scenario, std::string* error);

}  // namespace vexo3::sim
