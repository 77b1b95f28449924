#include "protocol/device_session.h"

#include <algorithm>
#include <memory>
#include <new>
#include <span>

#include "platform/clock.h"
#include "protocol/byte_reader.h"

namespace vexo3 {

namespace {

constexpr uint8_t kVersionRequest[4] = {0xF8, 0x01, 0x01, 0xFF};
constexpr uint8_t kVersionAnswerHead[4] = {0xF8, 0x01, 0x00, 0x0B};
constexpr int32_t kVersionAnswerSize = 11;
constexpr uint8_t kCatalogRequest[4] = {0xF8, 0x02, 0x0A, 0xFF};
constexpr uint8_t kCatalogAnswerHead[9] = {0xF8, 0x02, 0x00, 0x0F, 0x00, 0x0A, 0x00, 0xFC, 0x04};
constexpr int32_t kCatalogAnswerSize = 15;
constexpr uint8_t kModeBoot = 0x03;
constexpr int32_t kHandshakeTimeoutMs = 2000;
constexpr uint32_t kWakeUpSettleMs = 550;
constexpr int32_t kDefaultTimeoutMs = 1000;
constexpr int32_t kHandControllerSelector = 3;

}  // namespace

DeviceSession::DeviceSession(D2xxApi& d2xx, Clock& clock)
    : link(std::make_unique<FtdiDevice>(d2xx)),
      // Nothing reads the bulk buffer before an answer's block has arrived in
      // it (receivedBulk), so it needn't be zero-filled: that would
      // touch 165 KB of fresh pages per session. A plain new default-
      // initialises as make_unique_for_overwrite would, which Emscripten's
      // libc++ lacks.
      bulkReceiveBuffer(new std::array<uint8_t, kBulkReceiveCapacity>),
      relayBuffer(std::make_unique<std::array<uint8_t, kRelayBufferSize>>()),
      clock_(clock) {
  commandMessage.catalog = &catalog;
  answerMessage.catalog = &catalog;
  ResetSession();
}

DeviceSession::~DeviceSession() {
  if (link && link->IsOpen())
    link->CloseDevice();
}

void DeviceSession::ResetSession() {
  readTimeoutMs = kDefaultTimeoutMs;
  writeTimeoutMs = kDefaultTimeoutMs;
  pendingDelayMs = 0;
  wakeUpPending = 1;
  protocolVersion = -1;
  receivedBulk = {};
  if (link)
    link->deviceSelector = kHandControllerSelector;
  commandMessage.counter = 1;
  catalog.ClearCatalog();
}

ResultCode DeviceSession::SetSessionTimeouts(int32_t readMs, int32_t writeMs) {
  readTimeoutMs = readMs;
  writeTimeoutMs = writeMs;
  if (link && link->IsOpen() &&
      link->SetTimeouts(static_cast<uint32_t>(readMs), static_cast<uint32_t>(writeMs)) != 0) {
    return kCommunicationError;
  }
  return kOk;
}

ResultCode DeviceSession::CloseSession() {
  if (link && link->IsOpen() && link->CloseDevice() != 0)
    return kCommunicationError;
  catalog.ClearCatalog();
  return kOk;
}

ResultCode DeviceSession::OpenSession() {
  if (!link)
    return kNoLinkObject;

  while (link->QueryReadBufLen() > 0) {
    const ResultCode rc = ReadFrame();
    if (rc == kPoweredOff || rc == kUnknownAsyncMessage)
      return rc;
    // A read that fails leaves the waiting bytes where they are; trying
    // again would spin for ever.
    if (rc == kCommunicationError || rc == kNoLinkObject)
      break;
  }

  if (pendingDelayMs != 0) {
    clock_.Sleep(static_cast<uint32_t>(pendingDelayMs));
    pendingDelayMs = 0;
    protocolVersion = -1;
  }

  if (link->IsOpen()) {
    if (protocolVersion >= 0)
      return kOk;
  } else {
    if (link->OpenDevice() != 0)
      return kCanNotOpenDevice;
    if (link->FlushInBuffer() != 0 || link->FlushOutBuffer() != 0 || link->SetLatencyTimer() != 0 ||
        link->SetTimeouts(static_cast<uint32_t>(readTimeoutMs),
                          static_cast<uint32_t>(writeTimeoutMs)) != 0 ||
        link->SetBitInput() != 0 || link->SetRTSCTS() != 0 || link->SetDataFormat() != 0) {
      return kCommunicationError;
    }
    if (wakeUpPending) {
      if (link->SetBaudRate(kWakeUpBaud) != 0)
        return kCommunicationError;
      const uint8_t zero = 0x00;
      if (link->Write(&zero, 1) != 1)
        return kCommunicationError;
      // D2XX empties its queue once the byte is in the chip, libftdi's view
      // once it has left the chip; one that never empties fails after the
      // write time-out like a stalled Write would. The rest below covers
      // the byte's 1 ms on the line. A chip kept from sending by CTS can't
      // be told from here under D2XX: its byte never leaves, and the
      // handshake that follows goes unanswered (kHandshakeFailed, the session
      // closed).
      const uint64_t start = clock_.NowMs();
      while (link->QueryWriteBufLen() != 0) {
        if (clock_.NowMs() - start >= static_cast<uint64_t>(std::max(writeTimeoutMs, 0))) {
          return kCommunicationError;
        }
        clock_.Sleep(1);
      }
      clock_.Sleep(kWakeUpSettleMs);
      ResetSession();
      wakeUpPending = 0;
    }
    if (link->SetBaudRate(kLineBaud) != 0)
      return kCommunicationError;
    pendingDelayMs = 0;
    protocolVersion = -1;
  }

  // Version and mode.
  {
    TimeoutScope scope(this);
    readTimeoutMs = kHandshakeTimeoutMs;
    writeTimeoutMs = kHandshakeTimeoutMs;
    if (link->IsOpen())
      link->SetTimeouts(kHandshakeTimeoutMs, kHandshakeTimeoutMs);
    if (link->Write(kVersionRequest, sizeof kVersionRequest) != sizeof kVersionRequest) {
      scope.End();
      return kCommunicationError;
    }
    uint8_t answer[kVersionAnswerSize] = {};
    const int32_t got = link->Read(kVersionAnswerSize, answer);
    if (got != kVersionAnswerSize ||
        !std::equal(std::begin(kVersionAnswerHead), std::end(kVersionAnswerHead), answer) ||
        answer[4] != 0x00 || answer[6] != 0x04) {
      CloseSession();
      scope.End();
      return kHandshakeFailed;
    }
    const std::span<const uint8_t> bytes(answer);
    protocolVersion = *LoadU16Le(bytes, 7);
    protocolVersion2 = *LoadU16Le(bytes, 9);
    bootMode = answer[5] == kModeBoot ? 1 : 0;
    scope.End();
  }

  // Command catalog.
  if (link->Write(kCatalogRequest, sizeof kCatalogRequest) != sizeof kCatalogRequest)
    return kCommunicationError;
  uint8_t answer[kCatalogAnswerSize] = {};
  const int32_t got = link->Read(kCatalogAnswerSize, answer);
  if (got != kCatalogAnswerSize ||
      !std::equal(std::begin(kCatalogAnswerHead), std::end(kCatalogAnswerHead), answer) ||
      answer[13] != 0xFD) {
    CloseSession();
    return kHandshakeFailed;
  }
  const uint32_t size = *LoadU32Le(std::span<const uint8_t>(answer), 9);
  // No well-formed block is larger; don't let the device make us allocate
  // and wait for up to 4 GiB.
  if (size > kMaxCatalogBlock) {
    CloseSession();
    return kHandshakeFailed;
  }
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[std::max<uint32_t>(size, 1)]);
  if (!block) {
    CloseSession();
    return kHandshakeFailed;
  }
  if (size > 0 &&
      link->Read(static_cast<int32_t>(size), block.get()) != static_cast<int32_t>(size)) {
    CloseSession();
    return kHandshakeFailed;
  }
  // A malformed block still connects, with the catalog as far as it got.
  catalog.LoadCatalog(block.get(), size);
  return kOk;
}

TimeoutScope::TimeoutScope(DeviceSession* s) : session(s) {
  if (session && session->link && session->link->IsOpen()) {
    savedRead = session->link->readTimeout;
    savedWrite = session->link->writeTimeout;
    state = kOk;
  } else {
    state = kNoLinkObject;
  }
}

void TimeoutScope::End() {
  if (ended_)
    return;
  ended_ = true;
  if (state != kOk || !session)
    return;
  if (savedRead > 0)
    session->readTimeoutMs = static_cast<int32_t>(savedRead);
  if (savedWrite > 0)
    session->writeTimeoutMs = static_cast<int32_t>(savedWrite);
  if (session->link && session->link->IsOpen()) {
    state = session->link->SetTimeouts(static_cast<uint32_t>(session->readTimeoutMs),
                                       static_cast<uint32_t>(session->writeTimeoutMs)) != 0
                ? kCommunicationError
                : kOk;
  } else {
    state = kNoLinkObject;
  }
}

}  // namespace vexo3
