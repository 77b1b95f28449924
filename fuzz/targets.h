#pragma once

// The bodies of the fuzz targets, as plain functions, so that the libFuzzer
// entry points and the corpus replay test run exactly the same code. Each
// aborts when an invariant breaks and otherwise returns 0.

#include <cstddef>
#include <cstdint>

#include "protocol/result_code.h"

namespace vexo3 {
class DeviceSession;
}

namespace vexo3::fuzz {

// A firmware package file with these contents, through LoadPackage.
int FuzzPackage(const uint8_t* data, size_t size);
// A descriptor block, through LoadCatalog.
int FuzzCatalog(const uint8_t* data, size_t size);
// A simulator profile text, through ParseProfile.
int FuzzProfile(const uint8_t* data, size_t size);
// A wire trace. Byte 0 picks a device operation (see AnswerOperation); the
// rest is the trace's text, through ParseTrace, written again and read back,
// then played by ReplayD2xx as the device under that operation.
int FuzzTrace(const uint8_t* data, size_t size);

// The device side of the command exchange. Byte 0 picks a device operation
// (see AnswerOperation); the rest is the device's part of the conversation:
// a list of chunks, each a u16 length (little-endian) and that many bytes.
// Every write of the host is answered with the next chunk (an empty chunk
// answers nothing); when the chunks run out the device goes silent.
int FuzzAnswer(const uint8_t* data, size_t size);

enum class AnswerOperation : uint8_t {
  kRawExchange,         // one command 248/1 through the exchange, then every code looked up
  kDeviceState,         // 248/1, 248/16, 248/17, 248/209
  kFirmwareInfo,        // 247/16
  kStartCamera,         // 244/193
  kStopCamera,          // 244/192
  kCameraState,         // 244/60 relays
  kCameraFirmwareInfo,  // 244/60 relay of 247/16
  kHcUpload,            // 247/48, 247/138, 247/218 with and without bulk, 247/143
  kCameraUpload,        // the same, relayed
  kCount
};

// The operation's result code (what FuzzAnswer checks its invariants
// against); -1 for an input too short to pick an operation.
int RunAnswerCase(const uint8_t* data, size_t size);

// Runs the operation on a session (its device is the caller's); the result.
ResultCode RunOperation(AnswerOperation op, DeviceSession& session);

// The tiny image the uploads send.
inline constexpr uint8_t kUploadImage[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
inline constexpr uint16_t kUploadStartCode = 0x0100;

}  // namespace vexo3::fuzz
