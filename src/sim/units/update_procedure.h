#pragma once

// One unit's firmware and flash, and the update procedure that rewrites them:
// open, (HC) start, chunks of the image, end. Both simulated units run the
// same procedure; they differ only in the commands that drive it.

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "sim/scenario/scenario.h"
#include "sim/units/sim_image.h"
#include "sim/units/unit_commands.h"

namespace vexo3::sim {

// A firmware record that holds only a status.
FirmwareConfig StatusOnly(uint8_t status);

// FNV-1a 64.
uint64_t FlashDigest(std::span<const uint8_t> bytes);

// The persisted part of a unit: its firmware record and a digest of its flash.
struct UnitFirmwareState {
  std::optional<FirmwareConfig> firmware{};
  uint32_t flashSize = 0;
  uint64_t flashDigest = 0;  // FlashDigest of the flash bytes
};
struct SimFirmwareState {
  UnitFirmwareState handController{};
  UnitFirmwareState camera{};
};

class UpdateProcedure {
 public:
  UpdateProcedure(std::optional<FirmwareConfig> firmware, UpdateConfig config)
      : firmware_(std::move(firmware)), config_(config) {}

  const UpdateConfig& Config() const { return config_; }
  const std::optional<FirmwareConfig>& Firmware() const { return firmware_; }
  const std::vector<uint8_t>& Flash() const { return flash_; }

  // Forgets any procedure under way and opens a new one.
  void Open();
  bool Opened() const { return opened_; }
  // Starts the opened procedure (HC 138); the unit is then not ready for
  // Config().notReadyPolls polls. False when not opened or refused.
  bool Start();
  bool Started() const { return started_; }
  // A poll (HC 218 without data): whether the unit takes chunks now.
  uint8_t Poll();
  // Takes one chunk of the image and returns the unit's chunk status; the
  // first chunk erases the old firmware. Not `ready`: refused, kStatusNotStarted.
  uint8_t TakeChunk(std::span<const uint8_t> data, bool ready);
  // Ends an opened procedure: the image becomes the unit's firmware, or the
  // unit is left with a broken one.
  void End();

  // Save and Load keep the firmware record and the flash digest, not the
  // flash bytes: after Load, Flash() is empty until an update.
  UnitFirmwareState Save() const;
  void Load(const UnitFirmwareState& state);
  uint64_t Digest() const;

 private:
  void Reset();

  std::optional<FirmwareConfig> firmware_;
  UpdateConfig config_;
  std::vector<uint8_t> flash_;
  // After Load the flash bytes are unknown; only their digest is.
  std::optional<uint64_t> loadedDigest_;
  uint32_t loadedSize_ = 0;

  bool opened_ = false;
  bool started_ = false;  // HC: 138 accepted; the Camera needs no start
  uint32_t pollsLeft_ = 0;
  bool chunkReceived_ = false;
  bool complete_ = false;
  bool mismatch_ = false;
  std::optional<SimImageHeader> header_;
  std::optional<FirmwareConfig> previous_;
};

}  // namespace vexo3::sim
