#pragma once

// A simulated USB bus of FTDI chips behind the D2xxApi seam. Each chip is
// wired to a peer (the device model on the far side of its serial line). The
// bus models what the link can observe: enumeration, open/close (an open chip
// is refused a second time), purges, line settings, time-outs on the shared
// clock, the CBUS pin byte, queue lengths, and the bytes moved in both
// directions with the baud rate they went out at. With a VirtualClock no call
// waits in real time; with a RealClock the same code sleeps for real.

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "link/d2xx.h"
#include "link/d2xx_calls.h"
#include "platform/clock.h"

namespace vexo3::sim {

struct LineSettings {
  uint32_t baudRate = 9600;
  uint8_t wordLength = FT_BITS_8;
  uint8_t stopBits = FT_STOP_BITS_1;
  uint8_t parity = FT_PARITY_NONE;
  uint16_t flowControl = FT_FLOW_NONE;
  uint8_t latencyMs = 16;
  uint8_t bitMask = 0;
  uint8_t bitMode = FT_BITMODE_RESET;
  uint32_t readTimeoutMs = 0;   // 0: FT_Read waits for ever (D2XX default)
  uint32_t writeTimeoutMs = 0;  // 0: FT_Write waits for ever
};

struct ChipInfo {
  ULONG usbId = 0x04036015;
  std::string description = "Vexo-3 HandController";
  std::string serial = "VX300001";
  FT_DEVICE type = FT_DEVICE_X_SERIES;
  DWORD locId = 0x11;
  uint8_t cbusPins = 0x0F;  // what FT_GetBitMode reports
  // The chip can't be opened for reading its strings (busy elsewhere, or no
  // permission): enumeration reports empty strings and FT_Open fails.
  bool inaccessible = false;
  // Another program has the chip open: its strings read as usual, FT_Open
  // fails.
  bool openElsewhere = false;
  // With openElsewhere: listed as Windows lists a chip another process
  // holds, with the opened flag and every other field empty (no ID, no
  // strings).
  bool listedBlank = false;
  // The device's time to think before each answer (µs): added to the start
  // of every SimChip::Send on the device's line.
  uint32_t processingTimeUs = 0;
  // When the chip is on the bus: from plugInMs until unplugMs, and again
  // from replugMs on (ms of the bus's clock since the chip was added, which
  // is the program's start on a real clock; unset: never).
  uint64_t plugInMs = 0;
  std::optional<uint64_t> unplugMs{};
  std::optional<uint64_t> replugMs{};
};

struct TranscriptEntry {
  enum class Direction { HostToDevice, DeviceToHost };
  Clock::Duration time;
  Direction direction;
  uint32_t baudRate;
  std::vector<uint8_t> bytes;
};

class SimChip;

// The device model on the far side of a chip's serial line.
class SimPeer {
 public:
  virtual ~SimPeer() = default;
  // Bytes the host wrote, as they come off the line (port.Line() tells the
  // settings they went out with, e.g. the baud rate). A write reaches the
  // peer in pieces of one 64-byte USB packet or less; during each call
  // port.Now() is the time the piece's last byte arrived, which may be ahead
  // of the bus's clock. Answers go back with port.Send, from inside this
  // call or later.
  virtual void OnHostBytes(SimChip& port, std::span<const uint8_t> bytes) = 0;
  virtual void OnOpen(SimChip& /*port*/) {}
  virtual void OnClose(SimChip& /*port*/) {}
};

// The D2XX calls by name, for failure injection and counters.
using vexo3::D2xxCall;

// One simulated chip: the host's side is reached through SimulatedBus (the
// D2xxApi), the peer's side through the members below. Line, Now and Send
// are what a peer uses; another chip model (the FT-X under the libusb seam)
// overrides them to put the same peers behind its own host side.
class SimChip {
 public:
  SimChip(Clock& clock, ChipInfo info, SimPeer* peer);
  virtual ~SimChip() = default;
  SimChip(const SimChip&) = delete;
  SimChip& operator=(const SimChip&) = delete;

  // --- For the peer ---
  virtual const LineSettings& Line() const { return line_; }
  // The peer's time: inside OnHostBytes the arrival of the bytes it was
  // given, elsewhere the bus's clock.
  virtual Clock::Duration Now() const;
  // Puts bytes on the device's line for the host. They start at the latest
  // of Now() + delay + the chip's processingTimeUs and the end of bytes
  // already sent, take 10 bit times each at the baud rate in force, and
  // become readable when their USB packet reaches the host (see
  // SimulatedBus).
  virtual void Send(std::span<const uint8_t> bytes, Clock::Duration delay = Clock::Duration{0});
  // While held, the chip can't send (CTS off): host writes fill its transmit
  // buffer and stall once it is full; its bytes reach the peer when released.
  void SetCtsHeld(bool held);
  bool CtsHeld() const { return ctsHeld_; }
  // While unplugged the chip is missing from enumeration and every call on
  // its open handle but FT_Close fails with FT_IO_ERROR.
  void SetUnplugged(bool unplugged) { unplugged_ = unplugged; }
  bool Unplugged() const { return unplugged_; }
  // Whether the chip is on the bus at time t: not unplugged and within its
  // plug timeline.
  bool PresentAt(Clock::Duration t) const;
  // The clock this chip's line runs on: the bus's unless given another (a
  // device of its own in a run of several on virtual time, so that each
  // line's time is its own). Null restores the bus's. Set it while the chip
  // is closed.
  void UseClock(Clock* clock) { clock_ = clock != nullptr ? clock : busClock_; }
  Clock& LineClock() const { return *clock_; }
  const ChipInfo& Info() const { return info_; }
  ChipInfo& MutableInfo() { return info_; }
  void SetPeer(SimPeer* peer) { peer_ = peer; }

  // --- What tests observe ---
  bool IsOpen() const { return open_; }
  const std::vector<TranscriptEntry>& Transcript() const { return transcript_; }
  // All bytes the host wrote (resp. read), concatenated.
  std::vector<uint8_t> HostWrittenBytes() const;
  std::vector<uint8_t> HostReadBytes() const;
  // Sizes passed to each FT_Write call, in order.
  const std::vector<uint32_t>& WriteCallSizes() const { return writeCallSizes_; }
  // A readable log of the configuration calls, e.g. "FT_SetBaudRate(9600)".
  const std::vector<std::string>& CallLog() const { return callLog_; }
  uint32_t CallCount(D2xxCall call) const { return callCounts_[static_cast<int>(call)]; }
  void ClearRecords();

 private:
  friend class SimulatedBus;
  struct LineByte {
    Clock::Duration at;  // when it is in the chip's receive FIFO
    uint8_t value;
  };
  // Ships the USB packets whose time has come into the host's queue.
  void Deliver();
  // When the next USB packet reaches the host, or nullopt with nothing in
  // the chip's FIFO or on the device's line.
  std::optional<Clock::Duration> NextPacketTime() const;
  // How many FIFO bytes the packet leaving at `at` carries.
  size_t PacketSize(Clock::Duration at) const;
  void Log(std::string entry) { callLog_.push_back(std::move(entry)); }
  // Line time of `bytes` at the current baud rate, 10 bits a byte, rounded up.
  Clock::Duration ByteTime(uint64_t bytes) const;
  // Bytes written but not yet sent on the line: what the chip's transmit
  // buffer holds (kTxQueueCapacity at most).
  uint32_t TxBacklog() const;
  // Puts bytes on the host's line starting at `start` and hands them to the
  // peer packet by packet as they arrive.
  void GoOut(std::vector<uint8_t> bytes, Clock::Duration start);
  void ResetForOpen();

  Clock* busClock_;
  Clock* clock_;
  Clock::Duration origin_;  // the plug timeline's zero
  ChipInfo info_;
  SimPeer* peer_;
  LineSettings line_;
  bool open_ = false;
  bool ctsHeld_ = false;
  std::deque<uint8_t> rx_;                  // reached the host, waiting for FT_Read
  std::deque<LineByte> inFlight_;           // sent by the peer, not yet at the host
  Clock::Duration devLineFree_{0};          // device's line busy until then
  Clock::Duration lastPacket_{0};           // the latency timer counts from here
  std::optional<Clock::Duration> peerNow_;  // set while the peer is called
  std::vector<uint8_t> txQueue_;            // written, held back by CTS
  Clock::Duration txBusyUntil_{0};          // line busy sending earlier writes
  Clock::Duration frozenLine_{0};           // line time left when CTS was taken away
  bool unplugged_ = false;
  FT_HANDLE handle_ = nullptr;  // opaque token of the current open
  std::vector<TranscriptEntry> transcript_;
  std::vector<uint32_t> writeCallSizes_;
  std::vector<std::string> callLog_;
  uint32_t callCounts_[static_cast<int>(D2xxCall::kCount)] = {};
};

// Timing, all on the bus's clock. A byte takes 10 bit times on either line
// at the baud rate in force when it was sent (the time of a run of bytes is
// rounded up to whole microseconds, once per write or Send).
//  - Host to device: a write's bytes follow each other and whatever was
//    written before on the line. FT_Write returns when no more than
//    kTxQueueCapacity of them are left to go out (the chip's transmit buffer),
//    or at the write time-out with the count accepted by then. The peer gets
//    the bytes at once, in pieces of kUsbOutPacket bytes, each stamped (its
//    Now()) with the arrival time of its last byte: on one thread this is the
//    same as delivering it later, and the peer code stays simple. While CTS
//    is held nothing goes out: bytes fill the transmit queue, and a write
//    that doesn't fit waits for its time-out.
//  - Device to host: bytes enter the chip's receive FIFO as they arrive and
//    reach the host in USB packets of at most kUsbInPacketData bytes. A
//    packet leaves when it is full (at the arrival of its last byte) or when
//    the latency timer expires with data in the FIFO. The timer expires
//    every latency period (FT_SetLatencyTimer) counted from the last packet
//    sent, whether it carried data or not; so data arriving at a chip idle
//    for longer leaves at the next multiple of the period after the last
//    packet, and no later than one period after it arrived. A latency of 0
//    ships data as soon as it arrives. Only bytes that reached the host
//    count for FT_Read, FT_GetQueueStatus and FT_GetStatus.
//  - FT_GetStatus's transmit count is the host's queue only, as in D2XX:
//    always 0 here, since every write hands its bytes to the chip's buffer
//    before it returns. Bytes in that buffer or on the line don't count.
//  - FT_Read returns as soon as n bytes have reached the host, else at the
//    read time-out with what came (possibly nothing).
//  - FT_Purge(FT_PURGE_RX) drops what reached the host, the chip's FIFO and
//    what is still on the device's line, which is free again at once.
//  - A time-out of 0 means "for ever" in D2XX. Nothing can change the bus
//    while a call waits here, so 0 waits only for bytes already in flight;
//    otherwise the call returns at once as if it had timed out.
// Threads: calls on different handles may come from different threads, as
// the driver allows. One lock serialises the bus's own state and the calls;
// it is let go while a call waits, so that one line's wait never holds up
// another. Each thread has its own device list (FT_CreateDeviceInfoList and
// the FT_Open by index after it), as a driver's list is its caller's.
class SimulatedBus final : public D2xxApi {
 public:
  // A chip's transmit buffer (bytes), which takes writes even while CTS is
  // held; writes stall once it is full.
  static constexpr uint32_t kTxQueueCapacity = 512;
  // USB bulk packets: host to chip, and the data part of chip to host (the
  // other 2 bytes of its 64 are modem status).
  static constexpr size_t kUsbOutPacket = 64;
  static constexpr size_t kUsbInPacketData = 62;

  explicit SimulatedBus(Clock& clock);
  ~SimulatedBus() override;

  // Adds a chip at the end of the enumeration order. The peer (may be null:
  // a chip with nothing attached) must outlive the bus.
  SimChip& AddChip(ChipInfo info, SimPeer* peer);
  SimChip& Chip(size_t index) { return *chips_.at(index); }
  size_t ChipCount() const { return chips_.size(); }
  Clock& clock() { return clock_; }

  // The next `times` calls of that kind (after `skip` successful ones) fail
  // with `status`. A failing FT_Write or FT_Read moves no bytes. Calls on an
  // invalid handle neither count as skipped nor use up a failure.
  void FailCall(D2xxCall call, FT_STATUS status, uint32_t times = 1, uint32_t skip = 0);
  // Calls of that kind over all chips, those on invalid handles included.
  uint32_t CallCount(D2xxCall call) const { return callCounts_[static_cast<int>(call)]; }

  // When the next USB packet reaches the host from the chip open as
  // `handle`: the moment a serial driver's read waiting for data ends.
  // nullopt when nothing is on its way or no chip is open as `handle`. Not a
  // D2XX call: it isn't counted, logged or failed.
  std::optional<Clock::Duration> NextArrival(FT_HANDLE handle);

  // D2xxApi
  VEXO3_D2XX_OVERRIDES;  // every call of D2xxApi (link/d2xx.h)

 private:
  struct Injection {
    FT_STATUS status = FT_OK;
    uint32_t times = 0;
    uint32_t skip = 0;
  };
  // What every call does before its own work: counts it (on `chip` too, when
  // it has one), records it there (a write's size; the call log gets the
  // call's name and `logArgs` formatted with `args`, unless logArgs is null)
  // and applies an injected failure. Returns that failure, or FT_OK.
  FT_STATUS Enter(D2xxCall call, SimChip* chip, const std::array<uint32_t, 3>& args = {},
                  const char* logArgs = nullptr);
  // Enter for a call on a handle, with *chip its chip. A handle no open chip
  // has is FT_INVALID_HANDLE (the call counts on the bus, nothing more); an
  // unplugged chip answers FT_IO_ERROR to everything but FT_Close.
  FT_STATUS EnterOnHandle(D2xxCall call, FT_HANDLE handle, SimChip** chip,
                          const std::array<uint32_t, 3>& args = {}, const char* logArgs = nullptr);
  SimChip* FromHandle(FT_HANDLE handle);
  // Waits d on `clock` without holding the bus.
  static void Wait(std::unique_lock<std::mutex>& lock, Clock& clock, Clock::Duration d);

  Clock& clock_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<SimChip>> chips_;
  // Per calling thread: chip indexes as of its last FT_CreateDeviceInfoList.
  std::map<std::thread::id, std::vector<size_t>> listSnapshots_;
  Injection injections_[static_cast<int>(D2xxCall::kCount)];
  uint32_t callCounts_[static_cast<int>(D2xxCall::kCount)] = {};
  bool listMade_ = false;
  uintptr_t nextHandle_ = 0x5100;
};

}  // namespace vexo3::sim
