#include <algorithm>
#include <cstring>
#include <span>

#include "protocol/byte_reader.h"
#include "protocol/device_session.h"

namespace vexo3 {

namespace {

constexpr uint8_t kRawCommandNull = 0x00;
constexpr uint8_t kRawCommandFF = 0xFF;
constexpr uint8_t kEndMarker = 0xFF;
constexpr uint8_t kAsyncId = 0xFB;
constexpr uint8_t kInvalidCommandCounter = 0xF0;
constexpr uint8_t kItemBulkSize = 0xFC;
constexpr uint8_t kItemBulkStart = 0xFD;
constexpr uint8_t kItemEnd = 0xFE;
constexpr uint8_t kFirstSpecialItem = 0xFC;
constexpr uint16_t kHeaderSize = 5;
constexpr uint32_t kMaxBulkStretch = 65535;  // a frame and the bulk piece after it

bool IsRawCommand(uint8_t code) {
  return code == kRawCommandNull || code == kRawCommandFF;
}

// The total length L from an answer header already in the buffer.
uint16_t FrameLength(const MessageBuffer& m) {
  return *LoadU16Le(std::span<const uint8_t>(m.buffer), 3);
}

// How far the items of the last answer may be read: its L, but never past
// the bytes that actually arrived.
uint16_t ItemLimit(const MessageBuffer& m) {
  if (m.length < kHeaderSize)
    return 0;
  return std::min<uint16_t>(FrameLength(m), m.length);
}

}  // namespace

ResultCode DeviceSession::AppendByte(uint8_t b) {
  return AppendBytes(&b, 1);
}

ResultCode DeviceSession::AppendBytes(const void* data, uint32_t n) {
  MessageBuffer& m = commandMessage;
  const uint32_t room = MessageBuffer::kCapacity - m.length;
  const uint32_t take = std::min(room, n);
  if (take > 0)
    std::memcpy(m.buffer.data() + m.length, data, take);
  m.length = static_cast<uint16_t>(m.length + take);
  return take == n ? kOk : kMessageOverrun;
}

ResultCode DeviceSession::BeginCommand(uint8_t code) {
  MessageBuffer& m = commandMessage;
  m.length = 0;
  m.bulkData = nullptr;
  m.bulkLength = 0;
  m.parameterTable = nullptr;
  if (!catalog.IsEmpty()) {
    m.parameterTable = catalog.FindCommand(code);
    if (!m.parameterTable)
      return kCommandNotSupported;
  }
  m.buffer[0] = code;
  m.buffer[1] = m.counter;
  m.length = 2;
  m.counter = m.counter < MessageBuffer::kMaxCounter ? static_cast<uint8_t>(m.counter + 1) : 1;
  return kOk;
}

ResultCode DeviceSession::AddParameter(uint8_t code, const void* data, uint32_t n) {
  if (const ParameterTable* table = commandMessage.parameterTable) {
    const auto size = CommandCatalog::FindParameter(*table, code);
    if (!size)
      return kParameterNotSupported;
    if (*size != n)
      return kWrongParameterSize;
  }
  // Sending the code without its data would shift every later item of the
  // frame on the device's side.
  if (data == nullptr && n > 0)
    return kWrongArgument;
  if (AppendByte(code) != kOk)
    return kMessageOverrun;
  if (n > 0 && AppendBytes(data, n) != kOk)
    return kMessageOverrun;
  return kOk;
}

ResultCode DeviceSession::AttachBulkData(const void* data, uint32_t n) {
  // The marker would announce bytes we have nothing to send from.
  if (data == nullptr && n > 0)
    return kWrongArgument;
  commandMessage.bulkData = static_cast<const uint8_t*>(data);
  commandMessage.bulkLength = n;
  const uint8_t marker[5] = {kItemBulkSize, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                             static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)};
  return AppendBytes(marker, sizeof marker);
}

ResultCode DeviceSession::SendCommand() {
  MessageBuffer& m = commandMessage;
  // The handshake may rebuild the catalog under the kept table; the frame
  // needs no more checks from here on.
  m.parameterTable = nullptr;
  if (const ResultCode rc = OpenSession(); rc != kOk)
    return rc;
  if (!IsRawCommand(m.buffer[0]) && AppendByte(kEndMarker) != kOk)
    return kCommandTooLong;
  if (link->Write(m.buffer.data(), m.length) != m.length)
    return kCommunicationError;
  if (m.bulkData != nullptr || m.bulkLength > 0) {
    // An empty block writes nothing and passes: Write returns 0 == n.
    if (link->Write(m.bulkData, static_cast<int32_t>(m.bulkLength)) !=
        static_cast<int32_t>(m.bulkLength)) {
      return kCommunicationError;
    }
  }
  m.bulkData = nullptr;
  m.bulkLength = 0;
  return kOk;
}

ResultCode DeviceSession::ReadFrame() {
  if (!link)
    return kNoLinkObject;
  MessageBuffer& a = answerMessage;
  a.length = 0;
  a.position = 0;
  a.bulkStore = nullptr;
  a.bulkLength = 0;
  a.parameterTable = nullptr;

  if (link->Read(1, a.buffer.data()) == 0)
    return kCommunicationError;
  a.length = 1;
  const uint8_t command = commandMessage.buffer[0];
  if (IsRawCommand(command))
    return kOk;

  const int32_t head = link->Read(4, a.buffer.data() + 1);
  if (head == 0)
    return kCommunicationError;
  a.length = static_cast<uint16_t>(a.length + head);
  if (head < 4)
    return kAnswerTooShort;

  if (a.buffer[0] == kAsyncId) {
    pendingDelayMs = 500;
    switch (a.buffer[1]) {
      case 0xAA:
      case 0xB7:
        pendingDelayMs = 3000;
        return kModeChanged;
      case 0x36:
        CloseSession();
        return kPoweredOff;
      default:
        return kUnknownAsyncMessage;
    }
  }

  const uint16_t total = FrameLength(a);
  if (total == 0 || total > MessageBuffer::kCapacity)
    return kInvalidAnswer;
  if (total > kHeaderSize) {
    const int32_t want = total - kHeaderSize;
    const int32_t got = link->Read(want, a.buffer.data() + kHeaderSize);
    if (got == 0)
      return kCommunicationError;
    a.length = static_cast<uint16_t>(a.length + got);
    if (got < want)
      return kAnswerTooShort;
  }

  if (a.buffer[0] != command)
    return kWrongAnswerId;
  if (a.buffer[1] == kInvalidCommandCounter)
    return kInvalidCommandCode;
  switch (a.buffer[2]) {
    case 0x00:
      return a.buffer[1] == commandMessage.buffer[1] ? kOk : kWrongCounter;
    case 0x10:
      return kInvalidCommandCode;
    case 0x11:
      return kCounterMismatch;
    case 0x12:
      return kUnknownParameter;
    case 0x13:
      return kTooManyParameters;
    case 0x14:
      return kTooManyBytesSent;
    case 0x20:
      return kCantExecute;
    default:
      return kUnknownAnswerType;
  }
}

ResultCode DeviceSession::ReceiveAnswer() {
  receivedBulk = {};
  if (const ResultCode rc = ReadFrame(); rc != kOk)
    return rc;
  MessageBuffer& a = answerMessage;
  const uint8_t command = commandMessage.buffer[0];
  if (IsRawCommand(command))
    return a.buffer[0] == command ? kOk : kInvalidAnswer;

  // L of 1 to 4 leaves no item area at all.
  const uint16_t total = FrameLength(a);
  const std::span<const uint8_t> area =
      total > kHeaderSize
          ? std::span<const uint8_t>(a.buffer).subspan(kHeaderSize, total - kHeaderSize)
          : std::span<const uint8_t>();
  ByteReader items(area);
  uint32_t announced = 0;
  while (items.Has(2)) {
    const uint8_t code = *items.U8();
    const uint8_t length = *items.U8();
    if (code == kItemBulkStart) {
      if (length != 0)
        return kInvalidAnswer;
      if (!a.bulkStore)
        return kOk;
      // Never write past the store, whatever the device announced.
      if (announced > a.bulkLength)
        return kTooManyBytesReceived;
      // ReadFrame forgets the store for every follow-up frame.
      const std::span<const uint8_t> block(a.bulkStore, announced);
      uint8_t* destination = a.bulkStore;
      uint32_t remaining = announced;
      uint16_t frameLength = total;
      while (remaining > 0) {
        const uint32_t piece = std::min(kMaxBulkStretch - frameLength, remaining);
        if (link->Read(static_cast<int32_t>(piece), destination) != static_cast<int32_t>(piece)) {
          return kTooFewBytesReceived;
        }
        destination += piece;
        remaining -= piece;
        if (remaining == 0)
          break;
        if (const ResultCode rc = ReadFrame(); rc != kOk)
          return rc;
        frameLength = FrameLength(a);
      }
      receivedBulk.bytes_ = block;
      a.bulkStore = nullptr;
      a.bulkLength = 0;
      return kOk;
    }
    if (code == kItemEnd) {
      if (length != 0)
        return kInvalidAnswer;
      if (announced > kBulkReceiveCapacity)
        return kTooManyBytesReceived;
      return kOk;
    }
    if (code == kItemBulkSize) {
      // The size is taken as a u32 whatever the length byte says, but only
      // from bytes that belong to this answer.
      ByteReader sizeReader = items;
      const auto size = sizeReader.U32();
      if (!size)
        return kInvalidAnswer;
      announced = *size;
      a.bulkStore = bulkReceiveBuffer->data();
      a.bulkLength = kBulkReceiveCapacity;
    }
    if (!items.Skip(length))
      return kInvalidAnswer;
  }
  // An announcement the store can't hold is refused even when no block
  // follows: the device's word about its block is wrong either way.
  if (announced > kBulkReceiveCapacity)
    return kTooManyBytesReceived;
  return kOk;
}

const uint8_t* DeviceSession::FindAnswerParameter(uint8_t code) {
  MessageBuffer& a = answerMessage;
  const uint16_t limit = ItemLimit(a);
  const std::span<const uint8_t> frame(a.buffer.data(), limit);
  size_t position = kHeaderSize;

  // The code at position, or -1 when no whole item header is left.
  const auto peek = [&]() -> int { return position + 2 > frame.size() ? -1 : frame[position]; };
  const auto fits = [&](size_t at) { return at + 2 + frame[at + 1] <= frame.size(); };

  int current = peek();
  while (current >= 1) {
    if (current == code) {
      // A caller reads the item's data, so one running past the frame is
      // not returned.
      if (!fits(position))
        return nullptr;
      a.position = static_cast<uint16_t>(position);
      return &a.buffer[position];
    }
    // One skip passes any special items and exactly one item after them. An
    // item whose data runs past the frame is stepped over by its code and
    // length bytes only; the walk goes on from there.
    uint8_t skipped = 0;
    do {
      if (peek() < 0)
        return nullptr;
      skipped = frame[position];
      const bool whole = fits(position);
      position += whole ? 2 + frame[position + 1] : 2;
    } while (skipped >= kFirstSpecialItem);
    current = peek();
  }
  return nullptr;
}

}  // namespace vexo3
