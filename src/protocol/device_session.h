#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "link/ftdi_device.h"
#include "protocol/command_catalog.h"
#include "protocol/result_code.h"

namespace vexo3 {

class Clock;

// One frame of the VX3 command protocol, in place. The session has one for
// the command being built and sent and one for the last answer read.
struct MessageBuffer {
  static constexpr uint16_t kCapacity = 528;  // largest frame in either direction
  static constexpr uint8_t kMaxCounter = 239;

  uint8_t counter = 1;  // counter for the next BeginCommand, 1..239 then 1
  std::array<uint8_t, kCapacity> buffer{};
  uint16_t length = 0;    // bytes in use
  uint16_t position = 0;  // read position of the answer parameter walk
  CommandCatalog* catalog = nullptr;
  const ParameterTable* parameterTable = nullptr;  // of the command being built
  // Command: the caller's block to send after the frame (borrowed until
  // SendCommand returns). Answer: where the answer's bulk data is stored.
  const uint8_t* bulkData = nullptr;
  uint8_t* bulkStore = nullptr;
  uint32_t bulkLength = 0;  // command: bytes of the block; answer: capacity of the store
};

// The bulk block of the last answer that ReceiveAnswer walked: the bytes that
// arrived after its 0xFD item, in the session's receive buffer (valid until
// the next ReceiveAnswer or ResetSession). Empty when that answer announced
// no block, announced one but never started it, or failed: an earlier
// answer's bytes are never taken for this one's.
class ReceivedBulk {
 public:
  std::span<const uint8_t> Bytes() const { return bytes_; }

 private:
  friend class DeviceSession;
  std::span<const uint8_t> bytes_;
};

// The one session with the HandController: owns the link, both frames, the
// command catalog, the bulk receive buffer and the Camera relay buffer.
// Single-threaded; nothing here locks. The D2XX backend and the clock are
// the caller's and must outlive the session.
class DeviceSession {
 public:
  static constexpr uint32_t kBulkReceiveCapacity = 165200;
  static constexpr uint32_t kRelayBufferSize = 4096;
  // Largest well-formed descriptor block: 1 + 255 entries of 2 + 255 * 2 bytes.
  static constexpr uint32_t kMaxCatalogBlock = 130561;
  static constexpr uint32_t kWakeUpBaud = 9600;
  static constexpr uint32_t kLineBaud = 3000000;

  DeviceSession(D2xxApi& d2xx, Clock& clock);
  // Closes the link's handle (a failure only leaves "FT_Close failed" in it).
  ~DeviceSession();
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  // --- Session and connection handshake ---

  // Connects when not connected: opens and configures the link, wakes the
  // device once per process (0x00 at 9600 baud), switches to 3,000,000 baud
  // and runs the version and catalog handshake. Returns 0 at once when
  // connected and nothing waits in the receive queue and no delay is
  // pending. Failures: kCanNotOpenDevice (1) no device / open failed,
  // kNoLinkObject (2), kCommunicationError (9) configuration or write
  // failed, kPoweredOff (13) / kUnknownAsyncMessage (14) async message while
  // draining, kHandshakeFailed (35) handshake answer bad (session closed).
  ResultCode OpenSession();
  // Closes the link and empties the catalog; kCommunicationError (link kept
  // open) when the close fails. Leaves protocolVersion, bootMode, time-outs and delays.
  ResultCode CloseSession();
  // Back to defaults: time-outs 1000/1000 ms, no pending delay, wake-up
  // pending, protocolVersion -1, no receivedBulk, selector 3, counter 1,
  // catalog empty. Leaves the link, bootMode and protocolVersion2.
  void ResetSession();
  // Stores both time-outs (ms) and applies them when the link is open;
  // kCommunicationError when the link refuses them.
  ResultCode SetSessionTimeouts(int32_t readMs, int32_t writeMs);

  // --- Command exchange ---

  // Starts a new command frame: code, counter. kCommandNotSupported when the
  // (non-empty) catalog lacks the command; the frame is then empty.
  ResultCode BeginCommand(uint8_t code);
  // Appends a parameter (code byte, then exactly n data bytes).
  // kParameterNotSupported unknown parameter, kWrongParameterSize size
  // differs from the catalog (nothing appended in both cases),
  // kMessageOverrun frame overflow. data may be null when n is 0; a null
  // data with n > 0 is refused with kWrongArgument (nothing appended).
  ResultCode AddParameter(uint8_t code, const void* data, uint32_t n);
  // Appends the bulk marker FC + n (u32) and remembers the block, which must
  // stay valid until SendCommand returns. kMessageOverrun on frame overflow;
  // kWrongArgument (nothing appended) for a null block of non-zero size.
  ResultCode AttachBulkData(const void* data, uint32_t n);
  // OpenSession, end marker (kCommandTooLong when it doesn't fit), write the
  // frame and the bulk block (kCommunicationError when a write falls short).
  ResultCode SendCommand();
  // Reads one answer frame into answerMessage (three reads: 1 byte, 4 bytes,
  // the body, each under the link's read time-out) and checks it, in this
  // order: kNoLinkObject; kCommunicationError nothing arrived;
  // kAnswerTooShort the header or body came short; asynchronous message (id
  // 0xFB, 5 bytes): kModeChanged mode change (pending delay 3000 ms),
  // kPoweredOff power-off (session closed, 500 ms), kUnknownAsyncMessage
  // other (500 ms); kInvalidAnswer length outside 1..528 (body not read);
  // kWrongAnswerId; kInvalidCommandCode counter 0xF0; then by answer type:
  //   0x00 kOk, or kWrongCounter when the counter differs
  //   0x10 kInvalidCommandCode (10)      0x11 kCounterMismatch (50)
  //   0x12 kUnknownParameter (51)        0x13 kTooManyParameters (52)
  //   0x14 kTooManyBytesSent (53)        0x20 kCantExecute (66)
  //   others kUnknownAnswerType (33)
  // After a raw command (0x00, 0xFF) only one byte is read and kOk returned.
  ResultCode ReadFrame();
  // ReadFrame, then the item walk, receiving announced bulk data into the
  // bulk receive buffer and receivedBulk (kTooFewBytesReceived when it
  // arrives short; kTooManyBytesReceived, before reading any of it, when more
  // is announced than the buffer holds, also when no block follows).
  // kInvalidAnswer for an item that runs past the frame. receivedBulk is
  // emptied first, whatever the outcome.
  ResultCode ReceiveAnswer();
  // The item with that code in answerMessage (pointer to its code byte; the
  // length byte and the data follow), or null. Valid until the next
  // ReadFrame. Never returns an item whose data runs past the frame.
  const uint8_t* FindAnswerParameter(uint8_t code);
  // Frame building steps: kOk, or kMessageOverrun when the bytes don't fit
  // (the frame is then filled to 528 and unusable).
  ResultCode AppendByte(uint8_t b);
  ResultCode AppendBytes(const void* data, uint32_t n);

  Clock& clock() { return clock_; }

  // --- Fields, in the session's order. Other layers read link,
  // receivedBulk, protocolVersion, protocolVersion2 and bootMode; tests read
  // them all. ---
  std::unique_ptr<FtdiDevice> link;
  MessageBuffer commandMessage;
  MessageBuffer answerMessage;
  CommandCatalog catalog;
  ReceivedBulk receivedBulk;
  std::unique_ptr<std::array<uint8_t, kBulkReceiveCapacity>> bulkReceiveBuffer;
  int32_t pendingDelayMs = 0;
  int32_t wakeUpPending = 1;
  int32_t readTimeoutMs = 1000;
  int32_t writeTimeoutMs = 1000;
  int32_t protocolVersion = -1;  // -1: no handshake since the last reset/reopen
  int32_t protocolVersion2 = 0;
  int32_t bootMode = 0;
  std::unique_ptr<std::array<uint8_t, kRelayBufferSize>> relayBuffer;  // Camera relay staging

 private:
  Clock& clock_;
};

// Gives one operation its own link time-outs and puts the previous ones back
// on every way out (End() explicitly, or the destructor; exactly once).
class TimeoutScope {
 public:
  explicit TimeoutScope(DeviceSession* session);
  ~TimeoutScope() { End(); }
  TimeoutScope(const TimeoutScope&) = delete;
  TimeoutScope& operator=(const TimeoutScope&) = delete;
  // Restores the time-outs saved at the start; later calls do nothing.
  void End();

  DeviceSession* session;
  uint32_t savedRead = 0;
  uint32_t savedWrite = 0;
  // kOk active, kNoLinkObject the link was not open, kCommunicationError
  // restoring failed.
  ResultCode state = kOk;

 private:
  bool ended_ = false;
};

}  // namespace vexo3
