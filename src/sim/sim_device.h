#pragma once

// The simulated Vexo-3 device: a HandController model on the far side of a
// SimChip, with the Camera it reaches behind it. It speaks the device's side
// of the wire protocol with its own codec (sim_codec.h) and never borrows the
// host's frame builder or parser, so tests of the host exercise both ends.
//
// The plain structs below mirror the JSON scenario profiles field for field
// (snake_case keys there, lowerCamel here); their defaults are the default
// scenario: one HandController in BOOT mode with firmware, a Camera present
// in BOOT mode with firmware.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "sim/bus/sim_bus.h"

namespace vexo3::sim {

enum class UnitMode { Boot, App };
enum class Unit { HandController, Camera };

// What a unit reports about the firmware it holds (247/16). status 0 means a
// valid firmware and the other fields count; any other status is sent alone
// (a 1-byte answer).
struct FirmwareConfig {
  uint8_t status = 0;
  uint16_t flags = 0;
  uint16_t version = 0;
  uint32_t sizeBlocks = 0;    // 512-byte blocks
  std::string description{};  // up to 40 bytes go on the wire
};

struct UpdateConfig {
  uint32_t notReadyPolls = 0;  // polls answered 102 before the unit is ready
  bool noSpace = false;        // polls answered 239
  bool refuseOpen = false;     // HC: no parameter 48; Camera: open answered 1
  bool refuseStart = false;    // HC: 138 answered 1; Camera: 244/193 answered 2
};

struct CameraConfig {
  bool present = true;
  UnitMode mode = UnitMode::Boot;
  uint16_t protocolVersion = 0x0102;  // 12 bits go on the wire
  uint16_t protocolVersion2 = 0x0001;
  std::string uniqueId = "VX3CAM0000000001";  // up to 16 bytes, NUL-padded
  uint8_t pcbId = 1;
  std::optional<FirmwareConfig> firmware =
      FirmwareConfig{0, 0x2000, 0x0104, 128, "Vexo-3 Camera firmware"};
  UpdateConfig update{};  // only refuseOpen and refuseStart apply
};

struct HandControllerConfig {
  UnitMode mode = UnitMode::Boot;
  // The update takes first protocol words of 0 to 0xFF only.
  uint16_t protocolVersion = 0x0005;
  uint16_t protocolVersion2 = 0x0001;
  std::string uniqueId = "VX3HC00000000001";  // up to 16 bytes, NUL-padded
  uint8_t pcbId = 2;
  std::string deviceText = "Vexo-3 HandController";  // up to 32 bytes
  // null: the unit answers 247/16 without parameter 16.
  std::optional<FirmwareConfig> firmware =
      FirmwareConfig{0, 0x1000, 0x0102, 96, "Vexo-3 HC main firmware"};
  UpdateConfig update{};
  CameraConfig camera{};
  // Sent instead of the built-in descriptor block when set (may be malformed
  // on purpose). The unit's own parser keeps its built-in sizes regardless.
  std::optional<std::vector<uint8_t>> catalogBlock{};
  // Extra delay before each chunk answer (HC 218 with data, Camera relay of
  // 218), for realistic progress on a RealClock.
  uint32_t chunkDelayMs = 0;
  // Until a 0x00 byte arrives at 9600 baud, the unit ignores everything.
  bool requireWakeUp = true;
};

enum class FaultAction {
  Timeout,          // no answer at all (Camera: relay status kRelayNoAnswer)
  ShortFrame,       // the answer minus its last `value` bytes (default 1)
  AsyncModeChange,  // FB AA 00 00 00 instead of the answer
  AsyncPowerOff,    // FB 36 00 00 00 instead of the answer
  AsyncUnknown,     // FB <value> 00 00 00 instead of the answer
  AnswerType,       // an answer of type `value` (0x10-0x14, 0x20) without items
  InvalidCounter,   // counter byte 0xF0
  WrongId,          // id byte + 1
  WrongCounter,     // counter byte + 1
  Status,           // first data byte of the main answer item (218 status,
                    // 60 relay status, 193 start byte; Camera: its answer's
                    // first byte, i.e. the chunk status) := `value`
  CorruptByte,      // byte `value` of the answer frame XOR 0xFF (bad handshake)
  OversizedBulk,    // the bulk announcement says `value` bytes; none follow
  Signal,           // the command runs and is answered as usual, but first the
                    // unit raises signal `value` in its own process: tests
                    // interrupt the program at a chosen chunk with it
};

// A fault fires on the `occurrence`-th command (1-based; 0 = every one) that
// the unit receives with that command and parameter. For the Camera these are
// the relayed inner command and parameter. The version request of the
// handshake is HC 248/1, the catalog request HC 248/10. A command answered by
// Timeout, an async message or AnswerType is not carried out (lost or
// refused); the other actions only bend the answer of a command that ran.
// Camera faults other than Timeout, ShortFrame, Status and CorruptByte bend
// the HandController's relay answer instead.
struct Fault {
  Unit unit = Unit::HandController;
  uint8_t command = 0;
  uint8_t parameter = 0;
  uint32_t occurrence = 1;
  FaultAction action = FaultAction::Timeout;
  int32_t value = 0;
};

struct ChipScenario {
  std::string description = "Vexo-3 HandController";
  std::string serial = "VX300001";
  uint32_t usbId = 0x04036015;
  // null: a chip with nothing answering behind it.
  std::optional<HandControllerConfig> handController = HandControllerConfig{};
};

struct Scenario {
  std::vector<ChipScenario> chips = {ChipScenario{}};
  std::vector<Fault> faults{};  // applied to every HandController of the scenario
};

// Parses the profile spellings: "boot"/"app", "hc"/"camera", and the fault
// actions "timeout", "short-frame[:N]", "async-mode-change", "async-power-off",
// "async-unknown:N", "answer-type:N", "status:N", "invalid-counter",
// "wrong-id", "wrong-counter", "corrupt-byte:N", "oversized-bulk:N", "signal:N" (N decimal
// or 0x hex). False on anything else; outputs untouched then.
bool ParseUnitMode(std::string_view text, UnitMode* mode);
bool ParseUnit(std::string_view text, Unit* unit);
bool ParseFaultAction(std::string_view text, FaultAction* action, int32_t* value);

// Relay status values of the HandController's answer parameter 60.
enum : uint8_t {
  kRelayOk = 0,
  kRelayNotStarted = 2,  // the Camera is not started (or absent)
  kRelayNoAnswer = 3,    // the Camera didn't answer
  kRelayUnknown = 4,     // the Camera doesn't know the inner command/parameter
};

// One command frame as the unit parsed it.
struct ParsedCommand {
  struct Item {
    uint8_t code = 0;
    std::vector<uint8_t> data{};
  };
  uint8_t code = 0;
  uint8_t counter = 0;
  std::vector<Item> items{};  // parameters in frame order (the bulk marker excluded)
  bool hasBulk = false;
  std::vector<uint8_t> bulk{};  // the block that followed the frame
  uint32_t baudRate = 0;
};

// The persisted part of a unit: its firmware record and a digest of its flash.
struct UnitFirmwareState {
  std::optional<FirmwareConfig> firmware{};
  uint32_t flashSize = 0;
  uint64_t flashDigest = 0;  // FNV-1a 64 of the flash bytes
};
struct SimFirmwareState {
  UnitFirmwareState handController{};
  UnitFirmwareState camera{};
};

uint64_t FlashDigest(std::span<const uint8_t> bytes);

struct ParserEvent;  // sim_codec.h

class SimHandController final : public SimPeer {
 public:
  explicit SimHandController(HandControllerConfig config = {});
  ~SimHandController() override;

  // SimPeer
  void OnHostBytes(SimChip& port, std::span<const uint8_t> bytes) override;
  void OnOpen(SimChip& port) override;
  void OnClose(SimChip& port) override;

  // --- Faults ---
  void AddFault(const Fault& fault);
  void ClearFaults();
  // The answer to the next command the HandController receives, whatever it is.
  void InjectNext(FaultAction action, int32_t value = 0);

  // --- State, for tests and the CLI ---
  const HandControllerConfig& Config() const { return config_; }
  bool IsAwake() const { return awake_; }
  UnitMode Mode(Unit unit = Unit::HandController) const;
  void SetMode(Unit unit, UnitMode mode);
  std::pair<uint16_t, uint16_t> ProtocolWords(Unit unit = Unit::HandController) const;
  const std::vector<uint8_t>& Flash(Unit unit) const;
  const std::optional<FirmwareConfig>& Firmware(Unit unit) const;
  bool CameraStarted() const { return cameraStarted_; }
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
  uint64_t FlashDigestOf(Unit unit) const;

 private:
  struct Impl;
  struct UnitState;
  struct Answer;
  void HandleEvent(SimChip& port, ParserEvent&& event);
  void HandleFrame(SimChip& port, ParsedCommand&& frame);
  void AnswerParameter(const ParsedCommand& frame, const ParsedCommand::Item& item, Answer* answer);
  void RelayToCamera(const ParsedCommand& frame, const ParsedCommand::Item& item, Answer* answer);
  bool CameraAnswer(uint8_t innerCommand, uint8_t innerParameter, std::span<const uint8_t> data,
                    std::vector<uint8_t>* out, Answer* answer);
  void Emit(SimChip& port, uint8_t id, uint8_t counter, Answer& answer,
            const std::optional<Fault>& fault);
  std::optional<Fault> TakeFault(Unit unit, uint8_t command, uint8_t parameter);
  UnitState& State(Unit unit);
  const UnitState& State(Unit unit) const;

  HandControllerConfig config_;
  std::unique_ptr<Impl> impl_;
  bool awake_ = false;
  bool cameraStarted_ = false;
  std::vector<Fault> faults_;
  std::optional<Fault> injectNext_;
  std::map<std::tuple<Unit, uint8_t, uint8_t>, uint32_t> counts_;
  std::deque<ParsedCommand> lastCommands_;
};

// Builds the scenario's chips on the bus, each with its HandController. One
// entry per chip, null for a chip with nothing behind it; the controllers must
// outlive the bus. Faults go to every HandController.
std::vector<std::unique_ptr<SimHandController>> AttachScenario(SimulatedBus& bus,
                                                               const Scenario& scenario);

}  // namespace vexo3::sim
