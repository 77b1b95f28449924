#pragma once

// The faults a simulated unit shows (FaultAction, scenario.h): their spelling
// in profiles, which command they fire on, and how they bend the answer.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "sim/scenario/scenario.h"
#include "sim/units/sim_codec.h"

namespace vexo3::sim {

// Parses the profile spelling of a fault action: "timeout", "short-frame[:N]",
// "async-mode-change", "async-power-off", "async-unknown:N", "answer-type:N",
// "status:N", "invalid-counter", "wrong-id", "wrong-counter",
// "corrupt-byte:N", "oversized-bulk:N", "signal:N" (N decimal or 0x hex).
// False on anything else; outputs untouched then.
bool ParseFaultAction(std::string_view text, FaultAction* action, int32_t* value);

// The faults a HandController was given for itself and its Camera, and the
// one injected for whatever frame comes next.
class FaultSchedule {
 public:
  void Add(const Fault& fault) { faults_.push_back(fault); }
  void Clear();
  void InjectNext(FaultAction action, int32_t value);
  // The injected fault, once.
  std::optional<Fault> TakeInjected();
  // The first fault for this unit, command and parameter that fires when the
  // unit has received it `seen` times (this one included).
  std::optional<Fault> Find(Unit unit, uint8_t command, uint8_t parameter, uint32_t seen) const;

 private:
  std::vector<Fault> faults_;
  std::optional<Fault> injectNext_;
};

// A Signal fault: raises its signal now, in the unit's own process, and
// drops it, so that the command then runs and is answered as usual.
void RaiseSignal(std::optional<Fault>* fault);
// False for a fault that keeps the command from being carried out: lost, or
// answered by an async message or a refusal.
bool CarriesOut(const std::optional<Fault>& fault);
// Bends the Camera's own answer data (ShortFrame, Status, CorruptByte). False
// for the other actions, which bend the HandController's relay frame instead.
bool ShapeCameraAnswer(const Fault& fault, std::vector<uint8_t>* data);
// The bytes that go on the line for the answer, bent by the fault; nothing
// for a lost answer.
std::optional<std::vector<uint8_t>> ShapeAnswer(uint8_t id, uint8_t counter, UnitAnswer answer,
                                                const std::optional<Fault>& fault);

}  // namespace vexo3::sim
