#pragma once

// The simulated bus of a scenario with its devices, and the state file that
// keeps their firmware across runs.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_access.h"
#include "sim/bus/sim_bus.h"
#include "sim/scenario/profile.h"
#include "sim/scenario/scenario.h"
#include "sim/units/hand_controller.h"

namespace vexo3 {
class Clock;
}

namespace vexo3::sim {

// Owns the HandControllers and the bus (destroyed in the right order).
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
  // number, and twins by their order). A symlink is used through its target,
  // and the lock is the target's. When another program holds the lock, its
  // chips can't be opened (as a real chip in use elsewhere) and nothing is
  // loaded or saved. True when there is nothing to load; false with *error,
  // which names the state file and the reason, for a lock that can't be
  // taken or a file that can't be read or isn't a state file. A file refused
  // before the lock (not a regular file, not a state file) gets no lock file
  // beside it and is never written.
  bool LoadState(std::string* error);
  // Writes the units' firmware state to the state file atomically (a unique
  // temporary file in the same folder, then a rename, so a crash or a second
  // program never leaves a mixture). Refused, the file untouched, when the
  // text would be larger than a state file may be read back. True when there
  // is no state file or the lock is another program's (or LoadState failed).
  // Safe to call more than once.
  bool SaveState(std::string* error);

 private:
  std::vector<std::unique_ptr<SimHandController>> controllers_;  // outlive the bus
  std::vector<std::string> serials_;
  std::unique_ptr<SimulatedBus> bus_;
  std::string stateFile_;    // as the profile names it, for messages
  std::string stateTarget_;  // the file itself, all symlinks followed
  FileLock stateLock_;       // held from LoadState to the end
};

}  // namespace vexo3::sim
