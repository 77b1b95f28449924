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

// The bulk data received with the last answer; empty when it announced none.
std::span<const uint8_t> ReceivedBulk(const DeviceSession& session);

// BeginCommand, AddParameter without data, SendCommand, ReceiveAnswer; the
// first non-zero result.
ResultCode Exchange(DeviceSession& session, uint8_t command, uint8_t parameter);

// 0 when the HandController is connected in BOOT mode, else 90. Opens the
// session first when the link is closed (that result is not used).
ResultCode BootModeGate(DeviceSession& session);

}  // namespace vexo3::device_detail
