#pragma once

// Counts heap allocations (every operator new of the process) while switched
// on, apart for the simulator and the host: an allocation made while at
// least one SimulatorScope is alive is the simulator's. Over-aligned new is
// not counted; nothing on the upload path asks for it.

#include <cstdint>

namespace vexo3 {

struct AllocCounts {
  bool counting = false;
  int simDepth = 0;
  uint64_t host = 0;
  uint64_t sim = 0;
};

// The process's one set of counters (operator new has no other way in).
AllocCounts& AllocCount();

class SimulatorScope {
 public:
  SimulatorScope() { ++AllocCount().simDepth; }
  ~SimulatorScope() { --AllocCount().simDepth; }
  SimulatorScope(const SimulatorScope&) = delete;
  SimulatorScope& operator=(const SimulatorScope&) = delete;
};

}  // namespace vexo3
