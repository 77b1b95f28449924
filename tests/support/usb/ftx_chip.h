#pragma once

// An FTDI FT-X USB-serial chip (FT230X, 0403:6015) as the USB host sees it:
// its descriptors, its vendor control requests and its two bulk endpoints,
// with the device models of sim/ (SimPeer) on the far side of its serial
// line. It keeps the chip's own rules, because the host code under test
// (libftdi, the backend) is only as good as what it was tried against:
//  - Bulk IN (0x81): 64-byte packets, each starting with two status bytes
//    (modem status: 0x01, 0x10 while CTS is asserted; line status: 0x20
//    THRE and 0x40 TEMT when the transmitter is empty). A full packet leaves
//    once 62 bytes wait; otherwise the latency timer sends what waits, or
//    the status bytes alone, once it expires; until then the chip NAKs. A
//    short packet ends the transfer.
//  - Bulk OUT (0x02): 64-byte packets into a 512-byte transmit buffer; a
//    packet that doesn't fit is NAKed until the line has drained room for it.
//    The line drains 10 bit times a byte at the baud rate in force, only
//    while CTS is asserted (with RTS/CTS flow control on), and every byte is
//    recorded with the baud rate it left at.
//  - The receive buffer holds 512 bytes; while it is full the chip holds
//    the device off (RTS), so bytes wait on the device's line, none is lost.
//  - Control requests: reset/purge (0x00), modem control (0x01), flow
//    control (0x02), baud rate (0x03, decoded from the divisor), data format
//    (0x04), modem status (0x05), event/error character (0x06, 0x07),
//    latency timer (0x09, 0x0A), bit mode (0x0B), pins (0x0C). Anything
//    else stalls.
// Time is the clock's: each call runs the chip up to the clock's now, event
// by event. Faults: CTS stalls, stalled control requests, failing string
// reads, unplugging, a silent IN endpoint, a peer that never stops sending.
// Single-threaded: the host controller that drives it (the umockdev
// testbed) calls it under its own lock.

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sim/bus/sim_bus.h"

namespace vexo3::sim {

// How a USB transfer ended at the device.
enum class UsbOutcome { Done, Stall, Timeout, Overflow, NoDevice };

struct FtxIdentity {
  uint16_t vendor = 0x0403;
  uint16_t product = 0x6015;
  uint16_t bcdDevice = 0x1000;  // FT-X
  std::string manufacturer = "FTDI";
  std::string description = "Vexo-3 HandController";
  std::string serial = "VX300001";  // empty: the chip has no serial string
  uint8_t cbusPins = 0x0F;          // what a pin read returns
};

struct ControlRecord {
  uint8_t requestType;
  uint8_t request;
  uint16_t value;
  uint16_t index;
  uint32_t timeoutMs;  // as the host gave it; 0 = no time-out
};

// Bytes that left on the host's line in one run at one baud rate.
struct WireRun {
  uint32_t baudRate;
  std::vector<uint8_t> bytes;
};

class FtxChip {
 public:
  static constexpr size_t kPacketSize = 64;
  static constexpr size_t kStatusBytes = 2;
  static constexpr size_t kTxBufferSize = 512;
  static constexpr size_t kRxBufferSize = 512;
  static constexpr uint8_t kEndpointIn = 0x81;
  static constexpr uint8_t kEndpointOut = 0x02;
  // String descriptor indexes.
  static constexpr uint8_t kManufacturerIndex = 1;
  static constexpr uint8_t kProductIndex = 2;
  static constexpr uint8_t kSerialIndex = 3;

  // The peer (may be null: nothing on the line) must outlive the chip.
  FtxChip(Clock& clock, FtxIdentity identity, SimPeer* peer);
  ~FtxChip();
  FtxChip(const FtxChip&) = delete;
  FtxChip& operator=(const FtxChip&) = delete;

  // --- The USB device, for the host controller (the testbed) ---
  const FtxIdentity& Identity() const { return identity_; }
  // 0 when the chip has no serial string.
  uint8_t SerialNumberIndex() const { return identity_.serial.empty() ? 0 : kSerialIndex; }
  // The text of string descriptor `index` (0 is the language table and has
  // none); nullopt: the request stalled (no such string, or a fault).
  std::optional<std::string> ReadString(uint8_t index);
  // A vendor request; an IN request fills `data` (its wLength) and sets
  // *transferred. Control requests complete at once or stall.
  UsbOutcome Control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                     std::span<uint8_t> data, uint32_t timeoutMs, size_t* transferred);
  // A bulk transfer on the IN / OUT endpoint, kept in flight across calls
  // as a URB is: each call serves it from the chip's last event up to now
  // without waiting and reports the packets moved in this call. Done at a
  // short packet or a full buffer (IN) or when every packet was taken
  // (OUT); Overflow when a packet is longer than the room left; Timeout
  // means not ended yet. Call Sync() when the transfer starts.
  UsbOutcome PollBulkIn(std::span<uint8_t> buffer, size_t* transferred);
  UsbOutcome PollBulkOut(std::span<const uint8_t> data, size_t* transferred);
  // The host let go of the device: the peer's OnClose. (Its OnOpen comes
  // with the chip reset that opening sends.)
  void HostClosed();

  // --- Faults ---
  // CTS as the device drives it (asserted after construction).
  void SetCts(bool asserted);
  // After `afterBytes` more bytes have left on the line, CTS drops for `forMs`.
  void DropCtsAfter(uint64_t afterBytes, uint32_t forMs);
  // The next `times` requests with that code stall.
  void StallRequest(uint8_t request, uint32_t times = 1);
  // The next `times` string reads stall.
  void FailStringReads(uint32_t times = 1);
  // Unplugged: every transfer fails with NoDevice; the host bus omits it.
  void SetUnplugged(bool unplugged) { unplugged_ = unplugged; }
  bool Unplugged() const { return unplugged_; }
  // The IN endpoint NAKs every token: no packet, not even status.
  void SetInSilent(bool silent) { inSilent_ = silent; }
  // The IN endpoint falls silent after `packets` more packets with data.
  void SilenceInAfter(uint32_t packets) { silenceAfter_ = packets; }
  // CTS off now, back after `forMs`.
  void HoldCtsFor(uint32_t forMs);
  // Brings the chip up to the clock's time (the line drains, the peer
  // answers) without a transfer.
  void Sync();
  // The device sends `value` every `periodUs` from now on, for ever.
  void StartBabbling(uint32_t periodUs, uint8_t value = 0x55);
  // Puts bytes on the device's line now, as the peer would.
  void DeviceSends(std::span<const uint8_t> bytes);

  // --- What tests observe ---
  const std::vector<ControlRecord>& Controls() const { return controls_; }
  // Host-to-device bytes as they left on the line, in runs by baud rate.
  const std::vector<WireRun>& Wire() const { return wire_; }
  std::vector<uint8_t> WireBytes() const;
  uint32_t BaudRate() const { return baudRate_; }
  uint8_t LatencyMs() const { return latencyMs_; }
  bool RtsCtsFlow() const { return rtsCts_; }
  // Bulk IN packets that carried data, and status-only ones.
  uint32_t DataPackets() const { return dataPackets_; }
  uint32_t StatusPackets() const { return statusPackets_; }
  // Bytes the device put on its line, in all.
  uint64_t DeviceLineBytes() const { return deviceBytes_; }
  // Bytes waiting in the transmit buffer, not yet on the line.
  size_t TxPending() const { return tx_.size(); }
  void ClearRecords();

  // Baud rate of an FT-X divisor (wValue, wIndex of request 0x03); 0 for a
  // divisor the chip can't run.
  static uint32_t DecodeBaud(uint16_t value, uint16_t index);

 private:
  using Ns = std::chrono::nanoseconds;
  class Port;
  struct TxByte {
    uint8_t value;
    Ns taken;  // when its packet was accepted
  };
  struct LineByte {
    uint8_t value;
    Ns arrives;  // at the chip's receive buffer
  };

  // A bulk transfer the host controller is running: it retries NAKed
  // packets by itself, so the chip serves it at the exact model time its
  // packets go, however late the calling thread wakes.
  struct Transfer {
    bool in = false;
    std::span<uint8_t> buffer;      // IN
    std::span<const uint8_t> data;  // OUT
    size_t transferred = 0;
    std::optional<UsbOutcome> outcome;  // set when it ended
  };

  Ns Now() const;
  Ns ByteTime() const;
  // Runs the chip up to `t`, event by event: the line drains, the peer gets
  // and answers bytes, the device's bytes reach the receive buffer, the
  // transfer under way moves its packets.
  void Advance(Ns t);
  // Everything but the transfer, from now_ up to `t`.
  void Progress(Ns t);
  // The transfer under way, at now_.
  void Serve();
  void FlushToPeer();
  // The next moment anything observable changes, after `t`.
  Ns NextEvent(Ns t) const;
  UsbOutcome PollTransfer(Transfer& transfer, size_t* transferred);
  bool CtsGate() const { return !rtsCts_ || cts_; }
  uint8_t ModemStatus() const;
  uint8_t LineStatus() const;
  void Reset();

  Clock& clock_;
  FtxIdentity identity_;
  SimPeer* peer_;
  std::unique_ptr<Port> port_;
  Ns now_{0};  // the model's time: everything up to here has happened
  Transfer* transfer_ = nullptr;

  // Line settings.
  uint32_t baudRate_ = 9600;
  uint8_t latencyMs_ = 16;
  bool rtsCts_ = false;

  // Host to device.
  std::deque<TxByte> tx_;
  Ns lineFree_{0};  // the byte on the line finishes then
  bool cts_ = true;
  std::optional<Ns> ctsBackAt_;
  std::optional<uint64_t> ctsDropAfter_;  // bytes still to leave before CTS drops
  uint32_t ctsDropMs_ = 0;
  std::vector<uint8_t> toPeer_;  // left on the line, not yet given to the peer
  Ns toPeerLast_{0};

  // Device to host.
  std::deque<LineByte> devLine_;
  Ns devLineFree_{0};
  std::deque<uint8_t> rx_;
  Ns lastPacket_{0};
  std::optional<Ns> babbleNext_;
  Ns babblePeriod_{0};
  uint8_t babbleValue_ = 0;

  // Faults.
  std::map<uint8_t, uint32_t> stalls_;
  uint32_t failStrings_ = 0;
  bool unplugged_ = false;
  bool inSilent_ = false;
  std::optional<uint32_t> silenceAfter_;

  // Records.
  std::vector<ControlRecord> controls_;
  std::vector<WireRun> wire_;
  uint32_t dataPackets_ = 0;
  uint32_t statusPackets_ = 0;
  uint64_t deviceBytes_ = 0;
};

}  // namespace vexo3::sim
