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
  if (rc != kOk)
    return rc;
  const auto item = FindItem(session, kStopAccess);
  if (!item)
    return kUpdateProhibited;
  if (item->lengthByte != 0)
    return kUpdateInternalFault;
  return kOk;
}

ResultCode StartAccess(DeviceSession& session) {
  uint8_t started = 0;
  const ResultCode rc = ByteQuery(session, kCameraCommand, kStartAccess, kUpdateProhibited,
                                  kUpdateInternalFault, &started);
  if (rc != kOk)
    return rc;
  return started != 0 ? kCameraStartFailed : kOk;
}

ResultCode OpenUpdate(DeviceSession& session, uint16_t startCode) {
  const uint8_t code[2] = {static_cast<uint8_t>(startCode), static_cast<uint8_t>(startCode >> 8)};
  uint8_t relayStatus = 0;
  const ResultCode rc = RelayedCommand(session, kFirmwareCommand, kOpenUpdate, code,
                                       kUpdateInternalFault, &relayStatus);
  if (rc != kOk)
    return rc;
  if (relayStatus != 0)
    return kUpdateFailed;
  const auto received = session.receivedBulk.Bytes();
  if (received.size() != 1)
    return kUpdateInternalFault;
  if (received[0] != 0)
    return kUpdateFailed;
  return kOk;
}

ResultCode TransferImage(DeviceSession& session, const uint8_t* data, int32_t length,
                         ProgressObserver* progress) {
  if (length <= 0)
    return kOk;
  std::unique_ptr<uint8_t[]> work(new (std::nothrow) uint8_t[kChunkSize]);
  if (!work)
    return kOutOfMemory;

  if (progress != nullptr)
    progress->OnFirstChunk();
  const uint8_t* position = data;
  int32_t remaining = length;
  for (;;) {
    const int32_t chunk = remaining >= kChunkSize ? kChunkSize : remaining;
    const int32_t after = remaining - chunk;
    std::memcpy(work.get(), position, static_cast<size_t>(chunk));
    uint8_t relayStatus = 0;
    const ResultCode rc = RelayedCommand(session, kFirmwareCommand, kTransfer,
                                         {work.get(), static_cast<size_t>(chunk)},
                                         kUpdateInternalFault, &relayStatus);
    if (rc != kOk)
      return rc;
    const auto received = session.receivedBulk.Bytes();
    if (received.size() != 2)
      return kUpdateInternalFault;
    const uint8_t chunkStatus = received[0];

    switch (chunkStatus) {
      case kStatusChunkTaken:
        break;
      case kStatusCountMismatch:
      case kStatusFinished:
        if (after > 0 || relayStatus == 1)
          return kByteCountMismatch;
        break;
      default:
        return kUpdateFailed;
    }
    if (progress != nullptr) {
      progress->OnProgress(static_cast<uint64_t>(length - after), static_cast<uint64_t>(length));
    }
    if (after == 0)
      return kOk;
    if (progress != nullptr && progress->StopRequested())
      return kUpdateFailed;
    position += chunk;
    remaining = after;
  }
}

}  // namespace

ResultCode UploadCameraFirmware(DeviceSession& session, const uint8_t* data, int32_t length,
                                uint16_t startCode, ProgressObserver* progress) {
  // Refuse before anything goes out: the transfer would read through it.
  if (data == nullptr && length > 0)
    return kWrongArgument;
  ResultCode rc = BootModeGate(session);
  if (rc != kOk)
    return rc;

  TimeoutScope scope(&session);
  if (session.SetSessionTimeouts(3000, 1000) != kOk)
    return kCommunicationError;

  // Restart Camera access so the update starts from a known state.
  rc = EndAccess(session);
  if (rc != kOk)
    return rc;
  session.clock().Sleep(200);
  rc = StartAccess(session);
  if (rc != kOk)
    return rc;

  rc = OpenUpdate(session, startCode);
  if (rc != kOk)
    return rc;
  rc = TransferImage(session, data, length, progress);
  if (rc != kOk)
    return rc;
  return EndAccess(session);
}

}  // namespace vexo3
