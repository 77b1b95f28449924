#pragma once

#include <cstdint>

namespace vexo3 {

// What a unit (HandController or Camera) reports about itself.
// Text fields are 8-bit (Windows-1252) and zero-terminated.
struct DeviceState {
  char chipSerial[9] = {};        // USB chip serial, cut to 8 characters
  char chipDescription[65] = {};  // USB chip description, cut to 64 characters
  int32_t bootMode = 0;           // 1 BOOT mode, 0 APP mode
  uint16_t protocolVersion = 0;
  uint16_t protocolVersion2 = 0;
  uint32_t idWords[2] = {};  // first 8 bytes of the unique-id answer; shown nowhere
  char uniqueId[17] = {};    // 16 characters, NUL bytes replaced by spaces
  uint8_t hardwareId = 0;    // PCB version; lower is newer
  char deviceText[33] = {};  // at most 31 characters
};

// The firmware a unit holds.
struct FirmwareInfo {
  uint8_t status = 0;         // 0 valid firmware; otherwise the unit's error code
  uint16_t flags = 0;         // bits 12-15 revision; bit 4 set = relocated firmware
  uint16_t version = 0;       // high byte major, low byte minor
  uint32_t sizeBlocks = 0;    // in 512-byte blocks
  char description[40] = {};  // ends at the first NUL, or after 40 bytes

  uint8_t revision() const { return static_cast<uint8_t>(flags >> 12); }
  bool relocated() const { return (flags & 0x10) != 0; }
};

// Told after each chunk of an upload that the unit accepted. Beyond the
// protocol: it changes nothing on the wire.
class ProgressObserver {
 public:
  virtual ~ProgressObserver() = default;
  // bytesDone reaches bytesTotal only once the unit has taken the whole image.
  virtual void OnProgress(uint64_t bytesDone, uint64_t bytesTotal) = 0;
  // Just before the image's first chunk goes out: from here on a failure
  // leaves the unit with an incomplete image, even before it took a byte.
  virtual void OnFirstChunk() {}
  // Asked before each chunk after the first: true stops the upload there,
  // which then fails with kUpdateFailed (104) as if the unit had refused the
  // chunk (the caller runs the unit's usual failure path). For a user who
  // insists on stopping; the unit is left with an incomplete image.
  virtual bool StopRequested() { return false; }
};

}  // namespace vexo3
