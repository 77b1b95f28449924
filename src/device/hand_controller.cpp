#include "device/hand_controller.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "device/command_codes.h"
#include "device/device_steps.h"

namespace vexo3 {

using namespace device_detail;

namespace {

constexpr uint8_t kModeBootAnswer = 3;
constexpr uint8_t kModeAppAnswer = 1;

constexpr uint8_t kModeLength = 4;
constexpr uint8_t kUniqueIdLength = 24;
constexpr uint8_t kDeviceTextLength = 32;
constexpr uint8_t kFirmwareRecordLength = 49;
constexpr uint8_t kFirmwareStatusOnlyLength = 1;

// One query: the exchange, then the answer parameter with exactly that length.
ResultCode Query(DeviceSession& session, uint8_t command, uint8_t parameter, uint8_t length,
                 AnswerItem* item) {
  const ResultCode rc = Exchange(session, command, parameter);
  if (rc != kOk)
    return rc;
  const auto found = FindItem(session, parameter);
  if (!found)
    return kNoAnswerParameter;
  if (found->lengthByte != length || found->data.size() != length)
    return kBadParameterLength;
  *item = *found;
  return kOk;
}

// One of the link's texts about its chip, copied into `to` (cut, always
// terminated): 2 without a link, 9 when the link answers nothing.
template <size_t N>
ResultCode ChipText(DeviceSession& session, const char* (FtdiDevice::*query)(), char (&to)[N]) {
  if (!session.link)
    return kNoLinkObject;
  const char* text = ((*session.link).*query)();
  if (text == nullptr || text[0] == 0)
    return kCommunicationError;
  std::strncpy(to, text, N - 1);
  to[N - 1] = 0;
  return kOk;
}

}  // namespace

ResultCode ReadDeviceMode(DeviceSession& session, int32_t* bootMode, uint16_t* protocolVersion,
                          uint16_t* protocolVersion2) {
  const ResultCode rc = Exchange(session, kIdentityCommand, kModeQuery);
  if (rc != kOk)
    return rc;
  int32_t boot = 1;
  auto item = FindItem(session, kModeBootAnswer);
  if (!item) {
    boot = 0;
    item = FindItem(session, kModeAppAnswer);
  }
  if (!item)
    return kNoAnswerParameter;
  if (item->lengthByte != kModeLength || item->data.size() != kModeLength)
    return kBadParameterLength;
  ByteReader in(item->data);
  const uint16_t word1 = in.U16().value_or(0);
  const uint16_t word2 = in.U16().value_or(0);
  if (bootMode != nullptr)
    *bootMode = boot;
  if (protocolVersion != nullptr)
    *protocolVersion = word1;
  if (protocolVersion2 != nullptr)
    *protocolVersion2 = word2;
  return kOk;
}

ResultCode ReadUniqueId(DeviceSession& session, uint32_t* idWords, uint8_t* uniqueIdBytes) {
  AnswerItem item;
  const ResultCode rc = Query(session, kIdentityCommand, kUniqueIdQuery, kUniqueIdLength, &item);
  if (rc != kOk)
    return rc;
  ByteReader in(item.data);
  const uint32_t w0 = in.U32().value_or(0);
  const uint32_t w1 = in.U32().value_or(0);
  if (idWords != nullptr) {
    idWords[0] = w0;
    idWords[1] = w1;
  }
  if (uniqueIdBytes != nullptr)
    CopyBytes(item.data, in.Position(), std::span<uint8_t>(uniqueIdBytes, 16));
  return kOk;
}

ResultCode ReadPcbId(DeviceSession& session, uint8_t* hardwareId) {
  AnswerItem item;
  const ResultCode rc = Query(session, kIdentityCommand, kPcbIdQuery, 1, &item);
  if (rc != kOk)
    return rc;
  if (hardwareId != nullptr)
    *hardwareId = ByteReader(item.data).U8().value_or(0);
  return kOk;
}

ResultCode ReadDeviceText(DeviceSession& session, uint8_t* text) {
  if (text == nullptr)
    return kWrongArgument;
  AnswerItem item;
  const ResultCode rc =
      Query(session, kIdentityCommand, kDeviceTextQuery, kDeviceTextLength, &item);
  if (rc != kOk)
    return rc;
  CopyBytes(item.data, 0, std::span<uint8_t>(text, kDeviceTextLength));
  text[kDeviceTextLength - 1] = 0;
  // An erased text reads as 0xFF bytes.
  if (text[0] == 0xFF)
    text[0] = 0;
  return kOk;
}

ResultCode ReadFirmwareInfo(DeviceSession& session, FirmwareInfo* info) {
  const ResultCode rc = Exchange(session, kFirmwareCommand, kFirmwareInfoQuery);
  if (rc != kOk)
    return rc;
  const auto item = FindItem(session, kFirmwareInfoQuery);
  if (!item)
    return kNoAnswerParameter;
  if ((item->lengthByte != kFirmwareRecordLength &&
       item->lengthByte != kFirmwareStatusOnlyLength) ||
      item->data.size() != item->lengthByte) {
    return kBadParameterLength;
  }
  if (info == nullptr)
    return kOk;
  ByteReader in(item->data);
  info->status = in.U8().value_or(0);
  if (info->status != 0)
    return kOk;
  if (item->lengthByte == kFirmwareStatusOnlyLength) {
    // "Valid" with no record: show zeros, not whatever the record held before.
    info->flags = 0;
    info->version = 0;
    info->sizeBlocks = 0;
    std::memset(info->description, 0, sizeof info->description);
    return kOk;
  }
  info->flags = in.U16().value_or(0);
  info->version = in.U16().value_or(0);
  info->sizeBlocks = in.U32().value_or(0);
  CopyBytes(
      item->data, in.Position(),
      std::span<uint8_t>(reinterpret_cast<uint8_t*>(info->description), sizeof info->description));
  if (std::memchr(info->description, 0, sizeof info->description) == nullptr) {
    info->description[sizeof info->description - 1] = 0;
  }
  return kOk;
}

ResultCode ReadDeviceState(DeviceSession& session, DeviceState& state) {
  ResultCode rc =
      ReadDeviceMode(session, &state.bootMode, &state.protocolVersion, &state.protocolVersion2);
  if (rc != kOk)
    return rc;
  rc = ReadUniqueId(session, state.idWords, reinterpret_cast<uint8_t*>(state.uniqueId));
  if (rc != kOk)
    return rc;
  rc = ReadPcbId(session, &state.hardwareId);
  if (rc != kOk)
    return rc;

  constexpr size_t kIdLength = sizeof state.uniqueId - 1;
  state.uniqueId[kIdLength] = 0;
  std::replace(state.uniqueId, state.uniqueId + kIdLength, '\0', ' ');

  rc = ChipText(session, &FtdiDevice::QuerySerial, state.chipSerial);
  if (rc != kOk)
    return rc;
  rc = ChipText(session, &FtdiDevice::QueryDescr, state.chipDescription);
  if (rc != kOk)
    return rc;

  state.deviceText[sizeof state.deviceText - 1] = 0;
  return ReadDeviceText(session, reinterpret_cast<uint8_t*>(state.deviceText));
}

}  // namespace vexo3
