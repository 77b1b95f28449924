#pragma once

// The simulated HandController: the unit on the far side of a SimChip, with
// the Camera it reaches behind it (camera.h). It speaks the device's side of
// the wire protocol with its own codec (sim_codec.h) and never borrows the
// host's frame builder or parser, so tests of the host exercise both ends.

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "sim/bus/sim_bus.h"
#include "sim/scenario/scenario.h"
#include "sim/units/camera.h"
#include "sim/units/faults.h"
#include "sim/units/sim_codec.h"
#include "sim/units/update_procedure.h"

namespace vexo3::sim {

// Relay status values of the HandController's answer parameter 60.
enum : uint8_t {
  kRelayOk = 0,
  kRelayNotStarted = 2,  // the Camera is not started (or absent)
  kRelayNoAnswer = 3,    // the Camera didn't answer
  kRelayUnknown = 4,     // the Camera doesn't know the inner command/parameter
};

class SimHandController final : public SimPeer {
 public:
  explicit SimHandController(HandControllerConfig config = {});

  // SimPeer
  void OnHostBytes(SimChip& port, std::span<const uint8_t> bytes) override;
  void OnOpen(SimChip& port) override;
  void OnClose(SimChip& port) override;

  // --- Faults ---
  void AddFault(const Fault& fault) { faults_.Add(fault); }
  void ClearFaults() { faults_.Clear(); }
  // The answer to the next command the HandController receives, whatever it is.
  void InjectNext(FaultAction action, int32_t value = 0) { faults_.InjectNext(action, value); }

  // --- State, for tests and the CLI ---
  const HandControllerConfig& Config() const { return config_; }
  bool IsAwake() const { return awake_; }
  UnitMode Mode(Unit unit = Unit::HandController) const;
  void SetMode(Unit unit, UnitMode mode);
  std::pair<uint16_t, uint16_t> ProtocolWords(Unit unit = Unit::HandController) const;
  const std::vector<uint8_t>& Flash(Unit unit) const { return Procedure(unit).Flash(); }
  const std::optional<FirmwareConfig>& Firmware(Unit unit) const {
    return Procedure(unit).Firmware();
  }
  bool CameraStarted() const { return camera_.Started(); }
  // Commands received (HC) or relayed to the Camera, per (command, parameter).
  // A frame with several parameters counts once per parameter.
  uint32_t CommandCount(Unit unit, uint8_t command, uint8_t parameter) const;
  // The most recent frames parsed, oldest first (at most kKeptFrames).
  static constexpr size_t kKeptFrames = 64;
  const std::deque<ParsedCommand>& LastCommands() const { return lastCommands_; }
  void ClearRecords();

  SimFirmwareState SaveFirmwareState() const;
  // Takes the firmware records and flash digests; the flash bytes themselves
  // are not kept in the state, so Flash() is empty afterwards until an update.
  void LoadFirmwareState(const SimFirmwareState& state);
  uint64_t FlashDigestOf(Unit unit) const { return Procedure(unit).Digest(); }

 private:
  // What the unit answers to one frame, before faults shape the bytes.
  struct Answer {
    UnitAnswer content;
    Clock::Duration delay{0};
    std::optional<Fault> fault;  // a Camera fault that shows on the HC's frame
  };
  void HandleEvent(SimChip& port, ParserEvent&& event);
  void HandleFrame(SimChip& port, ParsedCommand&& frame);
  void AnswerParameter(const ParsedCommand& frame, const ParsedCommand::Item& item, Answer* answer);
  void RelayToCamera(const ParsedCommand& frame, const ParsedCommand::Item& item, Answer* answer);
  // The fault that fires on this command, once it is counted.
  std::optional<Fault> FaultFor(Unit unit, uint8_t command, uint8_t parameter) const;
  const UpdateProcedure& Procedure(Unit unit) const;

  HandControllerConfig config_;
  UnitMode mode_;
  UpdateProcedure update_;
  SimCamera camera_;
  CommandParser parser_;
  bool awake_ = false;
  FaultSchedule faults_;
  std::map<std::tuple<Unit, uint8_t, uint8_t>, uint32_t> counts_;
  std::deque<ParsedCommand> lastCommands_;
};

}  // namespace vexo3::sim
