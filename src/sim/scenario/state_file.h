#pragma once

// The state file: the units' firmware records and flash digests, per chip,
// kept across runs so that an update in one run is seen by the next
// (SimulatedSetup reads and writes it).

#include <string>
#include <string_view>
#include <vector>

#include "sim/units/update_procedure.h"

namespace vexo3::sim {

// The state file's text for these units, and back (exposed for tests).
// Entries are per chip, in the bus's order: {"serial", "hand_controller",
// "camera"}; chips that share a serial number keep one entry each, matched
// in order. Reading refuses a text without its "chips" list, and more than
// json_fields::kMaxChips entries.
struct ChipFirmwareState {
  std::string serial;
  SimFirmwareState state;
};
std::string FirmwareStateToJson(const std::vector<ChipFirmwareState>& chips);
bool FirmwareStateFromJson(std::string_view json, std::vector<ChipFirmwareState>* chips,
                           std::string* error);

}  // namespace vexo3::sim
