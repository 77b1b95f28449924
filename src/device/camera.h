#pragma once

#include <cstdint>

#include "device/device_records.h"
#include "protocol/device_session.h"

namespace vexo3 {

// Camera access through the HandController (command 244). All need the
// HandController in BOOT mode and return kNeedsBootMode (90) otherwise,
// sending nothing.

// Starts Camera access (read/write time-outs 5000/1000 ms for the call).
// kCameraStartFailed (106) when the HandController refuses, kInvalidAnswer
// (30) on a malformed answer.
ResultCode StartCamera(DeviceSession& session);
// Ends Camera access (3000/1000 ms), then waits 200 ms.
ResultCode StopCamera(DeviceSession& session);
// Relays one inner command with one inner parameter; data (count 0..4,096
// bytes, copied into the session's relay buffer) goes as bulk data. Returns
// the exchange's result only; the caller checks parameter 60 and the bulk
// data received. A count above 4,096 is cut to 4,096, a negative one is 0;
// null data with a count above 0 is kWrongArgument, with nothing sent.
ResultCode CameraCommand(DeviceSession& session, uint8_t innerCommand, uint8_t innerParameter,
                         const uint8_t* data, int32_t count);
// The Camera's mode, protocol words, unique id and PCB id. state may be null.
ResultCode ReadCameraState(DeviceSession& session, DeviceState* state);
// The Camera's firmware record. info may be null. Fields beyond the bytes
// the Camera returned read as zero.
ResultCode ReadCameraFirmwareInfo(DeviceSession& session, FirmwareInfo* info);
// Camera firmware upload through the relay, under 3000/1000 ms time-outs that
// are restored on every path. Results beyond the exchange's: kOutOfMemory,
// kCommunicationError, kNeedsBootMode, kByteCountMismatch (100),
// kUpdateInternalFault (101), kUpdateProhibited (102), kUpdateFailed (104),
// kCameraStartFailed (106), kWrongArgument (200: null data with length > 0,
// refused before anything is sent). progress, when given, hears of each
// chunk the Camera took; its StopRequested ends the upload with
// kUpdateFailed between two chunks.
ResultCode UploadCameraFirmware(DeviceSession& session, const uint8_t* data, int32_t length,
                                uint16_t startCode, ProgressObserver* progress = nullptr);

}  // namespace vexo3
