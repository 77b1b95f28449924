#pragma once

// Steps shared by the device operations. Internal to the device layer.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "protocol/byte_reader.h"
#include "protocol/device_session.h"

namespace vexo3::device_detail {

// Copies to.size() bytes from `from` at offset; zeros where `from` ends
// first. Never reads outside `from`.
void CopyBytes(std::span<const uint8_t> from, size_t offset, std::span<uint8_t> to);

// One item of the last answer: its length byte, and its data as far as it
// lies inside the frame (so data.size() < lengthByte only for a frame that
// lies about its items).
struct AnswerItem {
  uint8_t lengthByte = 0;
  std::span<const uint8_t> data;
};

// The answer item with this code, or nothing.
std::optional<AnswerItem> FindItem(DeviceSession& session, uint8_t code);

// The steps of one command exchange, written as their list:
//   return CommandSteps(session, kFirmwareCommand).Add(kOpenUpdate, code).Exchange();
// The constructor runs BeginCommand; each later step runs only while every
// step before it returned kOk, so the first failure is the one kept.
class CommandSteps {
 public:
  CommandSteps(DeviceSession& session, uint8_t command);
  // AddParameter(parameter, data, size); no data: (parameter, nullptr, 0).
  CommandSteps& Add(uint8_t parameter, std::span<const uint8_t> data = {});
  // AttachBulkData(data, count).
  CommandSteps& Attach(const uint8_t* data, uint32_t count);
  // The first failure so far, or kOk.
  ResultCode Result() const { return rc_; }
  // SendCommand, then ReceiveAnswer; the first failure of all steps.
  ResultCode Exchange();

 private:
  DeviceSession& session_;
  ResultCode rc_;
};

// BeginCommand, AddParameter without data, SendCommand, ReceiveAnswer; the
// first non-zero result.
ResultCode Exchange(DeviceSession& session, uint8_t command, uint8_t parameter);

// The answer item `code` holding exactly one byte, into *value: `missing`
// when the answer lacks it, `malformed` when it holds another length.
ResultCode ByteItem(DeviceSession& session, uint8_t code, ResultCode missing, ResultCode malformed,
                    uint8_t* value);

// Exchange(command, parameter), then ByteItem(parameter, missing, malformed,
// value): a query whose answer is one byte.
ResultCode ByteQuery(DeviceSession& session, uint8_t command, uint8_t parameter, ResultCode missing,
                     ResultCode malformed, uint8_t* value);

// CameraCommand, then the relay status (answer parameter 60, one byte) into
// *relayStatus: `malformed` when parameter 60 is missing or malformed.
ResultCode RelayedCommand(DeviceSession& session, uint8_t innerCommand, uint8_t innerParameter,
                          std::span<const uint8_t> data, ResultCode malformed,
                          uint8_t* relayStatus);

// kOk when the HandController is connected in BOOT mode, else
// kNeedsBootMode. Opens the
// session first when the link is closed (that result is not used).
ResultCode BootModeGate(DeviceSession& session);

}  // namespace vexo3::device_detail
