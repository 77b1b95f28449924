#include <cstdint>

#include "device/command_codes.h"
#include "device/device_steps.h"
#include "device/hand_controller.h"
#include "platform/clock.h"

namespace vexo3 {

using namespace device_detail;

namespace {

// A unit that never gets ready must not hang the program. The poll count is
// only a backstop for a clock that doesn't move (a simulated unit answering
// at once). A real poll is a USB round trip of 1 ms or more, so 100,000 of
// them take longer than the 60 s limit.
constexpr uint64_t kReadinessLimitMs = 60000;
constexpr uint32_t kReadinessPollBackstop = 100000;

// One 218 frame with its bulk block (0 bytes when polling); the unit's status
// byte on success.
ResultCode Transfer(DeviceSession& session, const uint8_t* block, uint32_t count, uint8_t* status) {
  // The pointer is never read for 0 bytes, but give the marker a real one.
  static constexpr uint8_t kNothing = 0;
  const ResultCode rc = CommandSteps(session, kFirmwareCommand)
                            .Attach(count == 0 ? &kNothing : block, count)
                            .Add(kTransfer)
                            .Exchange();
  if (rc != kOk)
    return rc;
  return ByteItem(session, kTransfer, kUpdateProhibited, kUpdateInternalFault, status);
}

}  // namespace

ResultCode EndUpdate(DeviceSession& session) {
  return device_detail::Exchange(session, kFirmwareCommand, kEndUpdate);
}

ResultCode UploadHcFirmware(DeviceSession& session, const uint8_t* data, int32_t length,
                            uint16_t startCode, ProgressObserver* progress) {
  ResultCode rc = BootModeGate(session);
  if (rc != kOk)
    return rc;

  // Open the unit's update procedure.
  const uint8_t code[2] = {static_cast<uint8_t>(startCode), static_cast<uint8_t>(startCode >> 8)};
  rc = CommandSteps(session, kFirmwareCommand).Add(kOpenUpdate, code).Exchange();
  if (rc != kOk)
    return rc;
  if (!FindItem(session, kOpenUpdate))
    return kUpdateProhibited;

  // Start it.
  const uint8_t zeros[3] = {};
  rc = CommandSteps(session, kFirmwareCommand).Add(kStartUpdate, zeros).Exchange();
  if (rc != kOk)
    return rc;
  uint8_t started = 0;
  rc = ByteItem(session, kStartUpdate, kUpdateProhibited, kUpdateInternalFault, &started);
  if (rc != kOk)
    return rc;
  if (started != 0)
    return kUpdateFailed;

  // Wait until the unit is ready to receive; no pause between polls.
  const uint64_t waitStart = session.clock().NowMs();
  for (uint32_t polls = 1;; ++polls) {
    uint8_t status = 0;
    rc = Transfer(session, nullptr, 0, &status);
    if (rc != kOk)
      return rc;
    if (status == kStatusNoSpace)
      return kNoSpaceForFirmware;
    if (status != kStatusNotReady)
      break;
    if (session.clock().NowMs() - waitStart >= kReadinessLimitMs ||
        polls >= kReadinessPollBackstop) {
      return kUpdateFailed;
    }
  }

  if (data == nullptr || length <= 0)
    return EndUpdate(session);

  // Chunks go straight from the caller's buffer.
  if (progress != nullptr)
    progress->OnFirstChunk();
  const uint8_t* position = data;
  int32_t remaining = length;
  for (;;) {
    const int32_t chunk = remaining >= kChunkSize ? kChunkSize : remaining;
    const int32_t after = remaining - chunk;
    uint8_t status = 0;
    rc = Transfer(session, position, static_cast<uint32_t>(chunk), &status);
    if (rc != kOk)
      return rc;
    switch (status) {
      case kStatusChunkTaken:
        if (after > 0) {
          if (progress != nullptr) {
            progress->OnProgress(static_cast<uint64_t>(length - after),
                                 static_cast<uint64_t>(length));
            if (progress->StopRequested())
              return kUpdateFailed;
          }
          position += chunk;
          remaining = after;
          continue;
        }
        // The unit still expects data but the image is exhausted.
        (void)EndUpdate(session);
        return kUpdateFailed;
      case kStatusCountMismatch:
        return kByteCountMismatch;
      case kStatusFinished:
        if (after != 0)
          return kByteCountMismatch;
        if (progress != nullptr) {
          progress->OnProgress(static_cast<uint64_t>(length), static_cast<uint64_t>(length));
        }
        return EndUpdate(session);
      default:
        return kUpdateFailed;
    }
  }
}

}  // namespace vexo3
