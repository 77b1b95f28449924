#pragma once

// The commands and parameters the simulated units serve, the statuses and
// answer types they answer with, and the answer data both units give alike.

#include <cstdint>
#include <string>
#include <vector>

#include "sim/scenario/scenario.h"

namespace vexo3::sim {

// NB: the unit's parser splits frames by BuiltInParameterSizes (sim_codec.h);
// keep both in step.
enum : uint8_t { kCmdIdentity = 0xF8, kCmdFirmware = 0xF7, kCmdCamera = 0xF4 };
enum : uint8_t {
  kParMode = 0x01,
  kParCatalog = 0x0A,
  kParUniqueId = 0x10,
  kParPcbId = 0x11,
  kParDeviceText = 0xD1,
  kParFirmwareInfo = 0x10,
  kParOpen = 0x30,
  kParStart = 0x8A,
  kParData = 0xDA,
  kParEnd = 0x8F,
  kParStartCamera = 0xC1,
  kParStopCamera = 0xC0,
  kParRelay = 0x3C,
};

// Unit statuses of the update procedure (update_procedure.h) and of the
// firmware record.
enum : uint8_t {
  kStatusOk = 0,
  kStatusCountMismatch = 1,
  kStatusNotReady = 0x66,
  kStatusNoSpace = 0xEF,
  kStatusComplete = 0x0D,
  kStatusNotStarted = 5,
  kFirmwareChecksumError = 9,
  kFirmwareAbsent = 15,
};

constexpr uint8_t kTypeUnknownCommand = 0x10;
constexpr uint8_t kTypeUnknownParameter = 0x12;
constexpr uint8_t kTypeTooManyBytes = 0x14;
constexpr uint8_t kTypeCantExecute = 0x20;

// The firmware record (247/16): the status alone, or with the record's fields
// when the status is 0.
std::vector<uint8_t> FirmwareBytes(const FirmwareConfig& fw);
// The unique id (248/16): "VX3", a digest of the id text, the text itself.
std::vector<uint8_t> IdBytes(const std::string& uniqueId);

}  // namespace vexo3::sim
