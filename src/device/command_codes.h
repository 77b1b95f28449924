#pragma once

// The device's command and parameter codes, shared by the HandController and
// Camera operations (the Camera understands the same codes through the relay).

#include <cstdint>

namespace vexo3::device_detail {

// Commands.
inline constexpr uint8_t kIdentityCommand = 248;
inline constexpr uint8_t kFirmwareCommand = 247;
inline constexpr uint8_t kCameraCommand = 244;

// Parameters of 248.
inline constexpr uint8_t kModeQuery = 1;
inline constexpr uint8_t kUniqueIdQuery = 16;
inline constexpr uint8_t kPcbIdQuery = 17;
inline constexpr uint8_t kDeviceTextQuery = 209;

// Parameters of 247.
inline constexpr uint8_t kFirmwareInfoQuery = 16;
inline constexpr uint8_t kOpenUpdate = 48;
inline constexpr uint8_t kStartUpdate = 138;
inline constexpr uint8_t kTransfer = 218;
inline constexpr uint8_t kEndUpdate = 143;

// Parameters of 244.
inline constexpr uint8_t kStopAccess = 192;
inline constexpr uint8_t kStartAccess = 193;
inline constexpr uint8_t kRelay = 60;

// Status bytes of a unit's update procedure (the unit's own, not
// ResultCodes); both units answer a 218 chunk with them.
inline constexpr uint8_t kStatusChunkTaken = 0;
inline constexpr uint8_t kStatusCountMismatch = 1;
inline constexpr uint8_t kStatusFinished = 13;
inline constexpr uint8_t kStatusNotReady = 102;
inline constexpr uint8_t kStatusNoSpace = 239;

// Largest block of image data per command.
inline constexpr int32_t kChunkSize = 4096;

}  // namespace vexo3::device_detail
