#include "device/device_steps.h"

#include <algorithm>
#include <cstring>

#include "device/camera.h"
#include "device/command_codes.h"

namespace vexo3::device_detail {

void CopyBytes(std::span<const uint8_t> from, size_t offset, std::span<uint8_t> to) {
  const size_t available = offset < from.size() ? from.size() - offset : 0;
  const size_t n = std::min(available, to.size());
  if (n > 0)
    std::copy_n(from.begin() + static_cast<std::ptrdiff_t>(offset), n, to.begin());
  std::fill(to.begin() + static_cast<std::ptrdiff_t>(n), to.end(), uint8_t{0});
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

CommandSteps::CommandSteps(DeviceSession& session, uint8_t command)
    : session_(session), rc_(session.BeginCommand(command)) {}

CommandSteps& CommandSteps::Add(uint8_t parameter, std::span<const uint8_t> data) {
  if (rc_ == kOk)
    rc_ = session_.AddParameter(parameter, data.data(), static_cast<uint32_t>(data.size()));
  return *this;
}

CommandSteps& CommandSteps::Attach(const uint8_t* data, uint32_t count) {
  if (rc_ == kOk)
    rc_ = session_.AttachBulkData(data, count);
  return *this;
}

ResultCode CommandSteps::Exchange() {
  if (rc_ == kOk)
    rc_ = session_.SendCommand();
  if (rc_ == kOk)
    rc_ = session_.ReceiveAnswer();
  return rc_;
}

ResultCode Exchange(DeviceSession& session, uint8_t command, uint8_t parameter) {
  return CommandSteps(session, command).Add(parameter).Exchange();
}

ResultCode ByteItem(DeviceSession& session, uint8_t code, ResultCode missing, ResultCode malformed,
                    uint8_t* value) {
  const auto item = FindItem(session, code);
  if (!item)
    return missing;
  if (item->lengthByte != 1 || item->data.size() != 1)
    return malformed;
  *value = ByteReader(item->data).U8().value_or(0);
  return kOk;
}

ResultCode ByteQuery(DeviceSession& session, uint8_t command, uint8_t parameter, ResultCode missing,
                     ResultCode malformed, uint8_t* value) {
  const ResultCode rc = Exchange(session, command, parameter);
  if (rc != kOk)
    return rc;
  return ByteItem(session, parameter, missing, malformed, value);
}

ResultCode RelayedCommand(DeviceSession& session, uint8_t innerCommand, uint8_t innerParameter,
                          std::span<const uint8_t> data, ResultCode malformed,
                          uint8_t* relayStatus) {
  const ResultCode rc = CameraCommand(session, innerCommand, innerParameter, data.data(),
                                      static_cast<int32_t>(data.size()));
  if (rc != kOk)
    return rc;
  return ByteItem(session, kRelay, malformed, malformed, relayStatus);
}

ResultCode BootModeGate(DeviceSession& session) {
  if (!session.link || !session.link->IsOpen()) {
    (void)session.OpenSession();  // the checks below decide
  }
  if (!session.link || !session.link->IsOpen() || session.protocolVersion <= 0 ||
      session.bootMode == 0) {
    return kNeedsBootMode;
  }
  return kOk;
}

}  // namespace vexo3::device_detail
