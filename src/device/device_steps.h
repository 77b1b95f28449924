#pragma once

// Steps shared by the device operations. Internal to the device layer.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "protocol/device_session.h"

namespace vexo3::device_detail {

// Sequential little-endian reads over a span. A read past the end yields
// zeros and clears ok(); callers check lengths first, this is the backstop.
class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  uint8_t U8();
  uint16_t U16();
  uint32_t U32();
  // Fills out whole, or with zeros when fewer bytes remain.
  void Bytes(std::span<uint8_t> out);
  bool ok() const { return ok_; }

 private:
  bool Take(size_t n, std::span<const uint8_t>* out);

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
  bool ok_ = true;
};

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
