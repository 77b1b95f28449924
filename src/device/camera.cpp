#include "device/camera.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "device/command_codes.h"
#include "device/device_steps.h"
#include "platform/clock.h"

namespace vexo3 {

using namespace device_detail;

namespace {

constexpr uint8_t kBootModeNibble = 0xB;
constexpr size_t kFirmwareRecordLength = 49;

// One relayed query: the relay status must be 0 and exactly `expected` bytes
// must come back, which are copied to out.
ResultCode RelayedQuery(DeviceSession& session, uint8_t innerCommand, uint8_t innerParameter,
                        std::span<const uint8_t> sent, std::span<uint8_t> out) {
  uint8_t relayStatus = 0;
  const ResultCode rc =
      RelayedCommand(session, innerCommand, innerParameter, sent, kInvalidAnswer, &relayStatus);
  if (rc != kOk)
    return rc;
  const std::span<const uint8_t> received = session.receivedBulk.Bytes();
  if (relayStatus != 0 || received.size() != out.size())
    return kCantExecute;
  std::copy(received.begin(), received.end(), out.begin());
  return kOk;
}

}  // namespace

ResultCode StartCamera(DeviceSession& session) {
  ResultCode rc = BootModeGate(session);
  if (rc != kOk)
    return rc;
  TimeoutScope scope(&session);
  if (session.SetSessionTimeouts(5000, 1000) != kOk)
    return kCommunicationError;
  uint8_t started = 0;
  rc = ByteQuery(session, kCameraCommand, kStartAccess, kInvalidAnswer, kInvalidAnswer, &started);
  if (rc != kOk)
    return rc;
  return started != 0 ? kCameraStartFailed : kOk;
}

ResultCode StopCamera(DeviceSession& session) {
  ResultCode rc = BootModeGate(session);
  if (rc != kOk)
    return rc;
  TimeoutScope scope(&session);
  if (session.SetSessionTimeouts(3000, 1000) != kOk)
    return kCommunicationError;
  rc = Exchange(session, kCameraCommand, kStopAccess);
  if (rc != kOk)
    return rc;
  const auto item = FindItem(session, kStopAccess);
  if (!item || item->lengthByte != 0)
    return kInvalidAnswer;
  // Give the Camera time to power down before anything else is asked of it.
  session.clock().Sleep(200);
  return kOk;
}

ResultCode CameraCommand(DeviceSession& session, uint8_t innerCommand, uint8_t innerParameter,
                         const uint8_t* data, int32_t count) {
  const uint8_t codes[2] = {innerParameter, innerCommand};
  CommandSteps steps(session, kCameraCommand);
  if (const ResultCode rc = steps.Add(kRelay, codes).Result(); rc != kOk)
    return rc;
  const int32_t n = std::clamp<int32_t>(count, 0, DeviceSession::kRelayBufferSize);
  if (n > 0 && data == nullptr)
    return kWrongArgument;
  if (!session.relayBuffer)
    return kOutOfMemory;
  uint8_t* relay = session.relayBuffer->data();
  // memmove: a caller may pass a block that already lies in the relay buffer.
  if (n > 0 && data != nullptr)
    std::memmove(relay, data, static_cast<size_t>(n));
  return steps.Attach(relay, static_cast<uint32_t>(n)).Exchange();
}

ResultCode ReadCameraState(DeviceSession& session, DeviceState* state) {
  const ResultCode gate = BootModeGate(session);
  if (gate != kOk)
    return gate;
  if (state != nullptr)
    *state = DeviceState{};

  // The inner mode query carries no data of its own.
  std::array<uint8_t, 4> mode{};
  ResultCode rc = RelayedQuery(session, kIdentityCommand, kModeQuery, {}, mode);
  if (rc != kOk)
    return rc;
  if (state != nullptr) {
    ByteReader in(mode);
    const uint16_t word = in.U16().value_or(0);
    state->bootMode = (word >> 12) == kBootModeNibble ? 1 : 0;
    state->protocolVersion = static_cast<uint16_t>(word & 0x0FFF);
    state->protocolVersion2 = in.U16().value_or(0);
  }

  std::array<uint8_t, 24> id{};
  rc = RelayedQuery(session, kIdentityCommand, kUniqueIdQuery, mode, id);
  if (rc != kOk)
    return rc;
  if (state != nullptr) {
    ByteReader in(id);
    state->idWords[0] = in.U32().value_or(0);
    state->idWords[1] = in.U32().value_or(0);
    constexpr size_t kIdLength = sizeof state->uniqueId - 1;
    CopyBytes(id, in.Position(),
              std::span<uint8_t>(reinterpret_cast<uint8_t*>(state->uniqueId), kIdLength));
    state->uniqueId[kIdLength] = 0;
    std::replace(state->uniqueId, state->uniqueId + kIdLength, '\0', ' ');
  }

  std::array<uint8_t, 1> pcb{};
  rc = RelayedQuery(session, kIdentityCommand, kPcbIdQuery, id, pcb);
  if (rc != kOk)
    return rc;
  if (state != nullptr)
    state->hardwareId = pcb[0];
  return kOk;
}

ResultCode ReadCameraFirmwareInfo(DeviceSession& session, FirmwareInfo* info) {
  ResultCode rc = BootModeGate(session);
  if (rc != kOk)
    return rc;
  if (info != nullptr)
    info->status = 0;
  uint8_t relayStatus = 0;
  rc = RelayedCommand(session, kFirmwareCommand, kFirmwareInfoQuery, {}, kInvalidAnswer,
                      &relayStatus);
  if (rc != kOk)
    return rc;
  if (relayStatus != 0)
    return kCantExecute;
  if (info == nullptr)
    return kOk;

  // A short answer leaves zeros, never stale bytes, in the fields it lacks.
  std::array<uint8_t, kFirmwareRecordLength> record{};
  const std::span<const uint8_t> received = session.receivedBulk.Bytes();
  std::copy_n(received.begin(), std::min(received.size(), record.size()), record.begin());

  ByteReader in(record);
  const uint8_t status = in.U8().value_or(0);
  if (status != 0) {
    info->status = status;
    return kOk;
  }
  info->flags = in.U16().value_or(0);
  info->version = in.U16().value_or(0);
  info->sizeBlocks = in.U32().value_or(0);
  CopyBytes(
      record, in.Position(),
      std::span<uint8_t>(reinterpret_cast<uint8_t*>(info->description), sizeof info->description));
  return kOk;
}

}  // namespace vexo3
