#include "device/device_steps.h"

#include <algorithm>
#include <cstring>

namespace vexo3::device_detail {

bool ByteReader::Take(size_t n, std::span<const uint8_t>* out) {
  if (!ok_ || n > bytes_.size() - pos_) {
    ok_ = false;
    return false;
  }
  *out = bytes_.subspan(pos_, n);
  pos_ += n;
  return true;
}

uint8_t ByteReader::U8() {
  std::span<const uint8_t> b;
  return Take(1, &b) ? b[0] : 0;
}

uint16_t ByteReader::U16() {
  std::span<const uint8_t> b;
  if (!Take(2, &b))
    return 0;
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t ByteReader::U32() {
  std::span<const uint8_t> b;
  if (!Take(4, &b))
    return 0;
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

void ByteReader::Bytes(std::span<uint8_t> out) {
  std::span<const uint8_t> b;
  if (Take(out.size(), &b)) {
    std::copy(b.begin(), b.end(), out.begin());
  } else {
    std::fill(out.begin(), out.end(), uint8_t{0});
  }
}

std::optional<AnswerItem> FindItem(DeviceSession& session, uint8_t code) {
  const uint8_t* item = session.FindAnswerParameter(code);
  if (item == nullptr)
    return std::nullopt;
  // Rebuild the item from the frame rather than trusting the raw pointer.
  const MessageBuffer& answer = session.answerMessage;
  const std::span<const uint8_t> frame(answer.buffer.data(),
                                       std::min<size_t>(answer.length, answer.buffer.size()));
  if (item < frame.data() || item >= frame.data() + frame.size())
    return std::nullopt;
  const size_t offset = static_cast<size_t>(item - frame.data());
  if (frame.size() - offset < 2)
    return std::nullopt;
  AnswerItem result;
  result.lengthByte = frame[offset + 1];
  const std::span<const uint8_t> rest = frame.subspan(offset + 2);
  result.data = rest.first(std::min<size_t>(result.lengthByte, rest.size()));
  return result;
}

std::span<const uint8_t> ReceivedBulk(const DeviceSession& session) {
  if (session.bulkPending == 0 || session.receivedBulkData == nullptr)
    return {};
  // The announced size is the device's word; never look beyond the store.
  const size_t n =
      std::min<size_t>(session.receivedBulkLength, DeviceSession::kBulkReceiveCapacity);
  return {session.receivedBulkData, n};
}

ResultCode Exchange(DeviceSession& session, uint8_t command, uint8_t parameter) {
  ResultCode rc = session.BeginCommand(command);
  if (rc != 0)
    return rc;
  rc = session.AddParameter(parameter, nullptr, 0);
  if (rc != 0)
    return rc;
  rc = session.SendCommand();
  if (rc != 0)
    return rc;
  return session.ReceiveAnswer();
}

ResultCode BootModeGate(DeviceSession& session) {
  if (!session.link || !session.link->IsOpen()) {
    (void)session.OpenSession();  // the checks below decide
  }
  if (!session.link || !session.link->IsOpen() || session.protocolVersion <= 0 ||
      session.bootMode == 0) {
    return 90;
  }
  return 0;
}

}  // namespace vexo3::device_detail
