#include <cstring>
#include <memory>
#include <new>

#include "device/camera.h"
#include "device/command_codes.h"
#include "device/device_steps.h"
#include "platform/clock.h"

namespace vexo3 {

using namespace device_detail;

namespace {

ResultCode EndAccess(DeviceSession& session) {
  const ResultCode rc = Exchange(session, kCameraCommand, kStopAccess);
  if (rc != 0)
    return rc;
  const auto item = FindItem(session, kStopAccess);
  if (!item)
    return 102;
  if (item->lengthByte != 0)
    return 101;
  return 0;
}

ResultCode StartAccess(DeviceSession& session) {
  uint8_t started = 0;
  const ResultCode rc = ByteQuery(session, kCameraCommand, kStartAccess, 102, 101, &started);
  if (rc != 0)
    return rc;
  return started != 0 ? 106 : 0;
}

ResultCode OpenUpdate(DeviceSession& session, uint16_t startCode) {
  const uint8_t code[2] = {static_cast<uint8_t>(startCode), static_cast<uint8_t>(startCode >> 8)};
  uint8_t relayStatus = 0;
  const ResultCode rc =
      RelayedCommand(session, kFirmwareCommand, kOpenUpdate, code, 101, &relayStatus);
  if (rc != 0)
    return rc;
  if (relayStatus != 0)
    return 104;
  const auto received = ReceivedBulk(session);
  if (received.size() != 1)
    return 101;
  if (received[0] != 0)
    return 104;
  return 0;
}

ResultCode TransferImage(DeviceSession& session, const uint8_t* data, int32_t length,
                         ProgressObserver* progress) {
  if (length <= 0)
    return 0;
  std::unique_ptr<uint8_t[]> work(new (std::nothrow) uint8_t[kChunkSize]);
  if (!work)
    return 3;

  if (progress != nullptr)
    progress->OnFirstChunk();
  const uint8_t* position = data;
  int32_t remaining = length;
  for (;;) {
    const int32_t chunk = remaining >= kChunkSize ? kChunkSize : remaining;
    const int32_t after = remaining - chunk;
    std::memcpy(work.get(), position, static_cast<size_t>(chunk));
    uint8_t relayStatus = 0;
    const ResultCode rc =
        RelayedCommand(session, kFirmwareCommand, kTransfer,
                       {work.get(), static_cast<size_t>(chunk)}, 101, &relayStatus);
    if (rc != 0)
      return rc;
    const auto received = ReceivedBulk(session);
    if (received.size() != 2)
      return 101;
    const uint8_t chunkStatus = received[0];

    switch (chunkStatus) {
      case 0:
        break;
      case 1:
      case 13:
        if (after > 0 || relayStatus == 1)
          return 100;
        break;
      default:
        return 104;
    }
    if (progress != nullptr) {
      progress->OnProgress(static_cast<uint64_t>(length - after), static_cast<uint64_t>(length));
    }
    if (after == 0)
      return 0;
    if (progress != nullptr && progress->StopRequested())
      return 104;
    position += chunk;
    remaining = after;
  }
}

}  // namespace

ResultCode UploadCameraFirmware(DeviceSession& session, const uint8_t* data, int32_t length,
                                uint16_t startCode, ProgressObserver* progress) {
  // Refuse before anything goes out: the transfer would read through it.
  if (data == nullptr && length > 0)
    return 200;
  ResultCode rc = BootModeGate(session);
  if (rc != 0)
    return rc;

  TimeoutScope scope(&session);
  if (session.SetSessionTimeouts(3000, 1000) != 0)
    return 9;

  // Restart Camera access so the update starts from a known state.
  rc = EndAccess(session);
  if (rc != 0)
    return rc;
  session.clock().Sleep(200);
  rc = StartAccess(session);
  if (rc != 0)
    return rc;

  rc = OpenUpdate(session, startCode);
  if (rc != 0)
    return rc;
  rc = TransferImage(session, data, length, progress);
  if (rc != 0)
    return rc;
  return EndAccess(session);
}

}  // namespace vexo3
