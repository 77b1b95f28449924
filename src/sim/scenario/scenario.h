#pragma once

// What a simulated set-up consists of: the chips on the bus, the
// HandController (and the Camera behind it) on each, and the faults they show.
//
// The plain structs below mirror the JSON scenario profiles field for field
// (snake_case keys there, lowerCamel here); their defaults are the default
// scenario: one HandController in BOOT mode with firmware, a Camera present
// in BOOT mode with firmware.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
  // On the bus from plugInMs until unplugMs, and again from replugMs on (ms
  // of the bus's clock; unset: never).
  uint64_t plugInMs = 0;
  std::optional<uint64_t> unplugMs;
  std::optional<uint64_t> replugMs;
  std::vector<Fault> faults{};  // this chip's HandController only
};

struct Scenario {
  std::vector<ChipScenario> chips = {ChipScenario{}};
  std::vector<Fault> faults{};  // applied to every HandController of the scenario
};

}  // namespace vexo3::sim
