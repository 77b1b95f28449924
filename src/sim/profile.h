#pragma once

// Simulator profiles: a JSON file that describes the simulated bus (its chips,
// each with a HandController and Camera, and injected faults), and optionally
// a state file that keeps the units' firmware across runs, so an update in
// one run is seen by the next. The key names are documented in README.md.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_access.h"
#include "sim/sim_device.h"

namespace vexo3 {
class Clock;
}

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
// A relative state_file is taken relative to baseDir.
bool ParseProfile(std::string_view json, const std::string& baseDir, Profile* profile,
                  std::string* error);
// Reads and parses the file at path (state_file relative to its folder).
// *error starts with the path on failure.
bool LoadProfile(const std::string& path, Profile* profile, std::string* error);
bool LoadProfile(const std::string& path, Scenario* scenario, std::string* error);

// The simulated bus of a scenario with its devices, and the state file. Owns
// the HandControllers and the bus (destroyed in the right order).
class SimulatedSetup {
 public:
  // clock must outlive the setup.
  SimulatedSetup(Clock& clock, const Scenario& scenario, std::string stateFile = "");
  // The profile's scenario, state file and chip extras.
  SimulatedSetup(Clock& clock, const Profile& profile);
  ~SimulatedSetup();
  SimulatedSetup(const SimulatedSetup&) = delete;
  SimulatedSetup& operator=(const SimulatedSetup&) = delete;

  SimulatedBus& bus() { return *bus_; }
  // The HandController on chip `index`, or null for a chip with nothing behind it.
  SimHandController* Controller(size_t index) { return controllers_.at(index).get(); }
  const std::string& StateFile() const { return stateFile_; }

  // Takes the state file's advisory lock, then loads the units' firmware
  // state from it when it exists (entries are matched to chips by serial
  // number). When another program holds the lock, its chips can't be opened
  // (as a real chip in use elsewhere) and nothing is loaded or saved. True
  // when there is nothing to load; false with *error, which names the state
  // file and the reason, for a lock that can't be taken or a file that can't
  // be read or parsed.
  bool LoadState(std::string* error);
  // Writes the units' firmware state to the state file atomically (a unique
  // temporary file in the same folder, then a rename, so a crash or a second
  // program never leaves a mixture). True when there is no state file or
  // the lock is another program's. Safe to call more than once.
  bool SaveState(std::string* error);

 private:
  std::vector<std::unique_ptr<SimHandController>> controllers_;  // outlive the bus
  std::vector<std::string> serials_;
  std::unique_ptr<SimulatedBus> bus_;
  std::string stateFile_;
  FileLock stateLock_;  // held from LoadState to the end
};

// The state file's text for these units, and back (exposed for tests).
// Entries are per chip: {"serial", "hand_controller", "camera"}.
struct ChipFirmwareState {
  std::string serial;
  SimFirmwareState state;
};
std::string FirmwareStateToJson(const std::vector<ChipFirmwareState>& chips);
bool FirmwareStateFromJson(std::string_view json, std::vector<ChipFirmwareState>* chips,
                           std::string* error);

}  // namespace vexo3::sim
