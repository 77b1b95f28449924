#include "support/usb/ftx_chip.h"

#include <algorithm>
#include <limits>

namespace vexo3::sim {

namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr uint64_t kBitsPerByte = 10;  // start + 8 data + stop
constexpr uint32_t kBaseClock = 3'000'000;

// Vendor requests.
enum : uint8_t {
  kReqReset = 0x00,
  kReqModemCtrl = 0x01,
  kReqFlowCtrl = 0x02,
  kReqBaudRate = 0x03,
  kReqData = 0x04,
  kReqModemStatus = 0x05,
  kReqEventChar = 0x06,
  kReqErrorChar = 0x07,
  kReqSetLatency = 0x09,
  kReqGetLatency = 0x0A,
  kReqBitMode = 0x0B,
  kReqReadPins = 0x0C,
};
// wValue of kReqReset.
enum : uint16_t { kResetSio = 0, kPurgeTx = 1, kPurgeRx = 2 };
constexpr uint8_t kDirIn = 0x80;
constexpr uint8_t kFlowRtsCts = 0x01;  // high byte of wIndex of kReqFlowCtrl

// Status bytes of every IN packet.
constexpr uint8_t kModemAlways = 0x01;
constexpr uint8_t kModemCts = 0x10;
constexpr uint8_t kLineThre = 0x20;
constexpr uint8_t kLineTemt = 0x40;

constexpr nanoseconds kForever = nanoseconds(std::numeric_limits<int64_t>::max() / 2);

}  // namespace

// The chip's device-side line as a SimPeer sees it.
class FtxChip::Port final : public SimChip {
 public:
  Port(FtxChip& chip, Clock& clock, SimPeer* peer)
      : SimChip(clock, ChipInfo{}, peer), chip_(chip) {}

  const LineSettings& Line() const override {
    line_.baudRate = chip_.baudRate_;
    line_.latencyMs = chip_.latencyMs_;
    line_.flowControl = chip_.rtsCts_ ? FT_FLOW_RTS_CTS : FT_FLOW_NONE;
    return line_;
  }
  Clock::Duration Now() const override {
    return duration_cast<Clock::Duration>(heard_ ? *heard_ : chip_.now_);
  }
  void Send(std::span<const uint8_t> bytes, Clock::Duration delay) override {
    const nanoseconds ready = (heard_ ? *heard_ : chip_.now_) + std::max(delay, Clock::Duration{0});
    chip_.deviceBytes_ += bytes.size();
    nanoseconds at = std::max(ready, chip_.devLineFree_);
    for (const uint8_t b : bytes) {
      at += chip_.ByteTime();
      chip_.devLine_.push_back(FtxChip::LineByte{b, at});
    }
    chip_.devLineFree_ = at;
  }

  std::optional<nanoseconds> heard_;

 private:
  FtxChip& chip_;
  mutable LineSettings line_;
};

FtxChip::FtxChip(Clock& clock, FtxIdentity identity, SimPeer* peer)
    : clock_(clock),
      identity_(std::move(identity)),
      peer_(peer),
      port_(std::make_unique<Port>(*this, clock, peer)) {
  now_ = Now();
  lastPacket_ = now_;
}

FtxChip::~FtxChip() = default;

FtxChip::Ns FtxChip::Now() const {
  return duration_cast<Ns>(clock_.Now());
}

FtxChip::Ns FtxChip::ByteTime() const {
  return nanoseconds(kBitsPerByte * 1'000'000'000ULL / std::max<uint32_t>(baudRate_, 1));
}

uint32_t FtxChip::DecodeBaud(uint16_t value, uint16_t index) {
  // 14-bit divisor of the 3 MHz clock plus a 3-bit fraction, two bits of it
  // at the top of wValue and one in wIndex. 0 and 1 are 3 and 2 MBaud.
  static constexpr uint32_t kEighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};
  const uint32_t divisor = value & 0x3FFF;
  const uint32_t fraction = kEighths[(value >> 14) | ((index & 1u) << 2)];
  if (divisor == 0 && fraction == 0)
    return kBaseClock;
  if (divisor == 1 && fraction == 0)
    return 2'000'000;
  if (divisor < 2)
    return 0;
  const uint64_t eighths = uint64_t{divisor} * 8 + fraction;
  return static_cast<uint32_t>((uint64_t{kBaseClock} * 8 + eighths / 2) / eighths);
}

std::optional<std::string> FtxChip::ReadString(uint8_t index) {
  Advance(Now());
  if (unplugged_)
    return std::nullopt;
  if (failStrings_ > 0) {
    --failStrings_;
    return std::nullopt;
  }
  switch (index) {
    case kManufacturerIndex:
      return identity_.manufacturer;
    case kProductIndex:
      return identity_.description;
    case kSerialIndex:
      if (!identity_.serial.empty())
        return identity_.serial;
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

void FtxChip::Reset() {
  tx_.clear();
  rx_.clear();
  toPeer_.clear();
  rtsCts_ = false;
  latencyMs_ = 16;
}

UsbOutcome FtxChip::Control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                            std::span<uint8_t> data, uint32_t timeoutMs, size_t* transferred) {
  *transferred = 0;
  Advance(Now());
  controls_.push_back(ControlRecord{requestType, request, value, index, timeoutMs});
  if (unplugged_)
    return UsbOutcome::NoDevice;
  if (auto it = stalls_.find(request); it != stalls_.end() && it->second > 0) {
    --it->second;
    return UsbOutcome::Stall;
  }
  const bool in = (requestType & kDirIn) != 0;
  const auto reply = [&](std::initializer_list<uint8_t> bytes) {
    const size_t n = std::min(bytes.size(), data.size());
    std::copy_n(bytes.begin(), n, data.begin());
    *transferred = n;
    return UsbOutcome::Done;
  };
  switch (request) {
    case kReqReset:
      if (in)
        break;
      if (value == kResetSio) {
        FlushToPeer();
        Reset();
        // The host (re)starts talking: the peer forgets half-heard frames.
        if (peer_ != nullptr)
          peer_->OnOpen(*port_);
      } else if (value == kPurgeRx) {
        rx_.clear();
      } else if (value == kPurgeTx) {
        tx_.clear();
      } else {
        break;
      }
      return UsbOutcome::Done;
    case kReqModemCtrl:
    case kReqData:
    case kReqEventChar:
    case kReqErrorChar:
    case kReqBitMode:
      if (in)
        break;
      return UsbOutcome::Done;
    case kReqFlowCtrl:
      if (in)
        break;
      rtsCts_ = (index >> 8) == kFlowRtsCts;
      return UsbOutcome::Done;
    case kReqBaudRate: {
      if (in)
        break;
      const uint32_t baud = DecodeBaud(value, index);
      if (baud == 0)
        break;
      // Bytes already out go to the peer at the old rate; those still in the
      // buffer leave at the new one.
      FlushToPeer();
      baudRate_ = baud;
      return UsbOutcome::Done;
    }
    case kReqSetLatency:
      if (in)
        break;
      latencyMs_ = static_cast<uint8_t>(std::max<uint16_t>(value & 0xFF, 1));
      return UsbOutcome::Done;
    case kReqModemStatus:
      if (!in)
        break;
      return reply({ModemStatus(), LineStatus()});
    case kReqGetLatency:
      if (!in)
        break;
      return reply({latencyMs_});
    case kReqReadPins:
      if (!in)
        break;
      return reply({identity_.cbusPins});
    default:
      break;
  }
  return UsbOutcome::Stall;
}

uint8_t FtxChip::ModemStatus() const {
  return static_cast<uint8_t>(kModemAlways | (cts_ ? kModemCts : 0));
}

uint8_t FtxChip::LineStatus() const {
  if (!tx_.empty())
    return 0;
  return static_cast<uint8_t>(kLineThre | (lineFree_ <= now_ ? kLineTemt : 0));
}

UsbOutcome FtxChip::PollBulkIn(std::span<uint8_t> buffer, size_t* transferred) {
  Transfer t;
  t.in = true;
  t.buffer = buffer;
  return PollTransfer(t, transferred);
}

UsbOutcome FtxChip::PollBulkOut(std::span<const uint8_t> data, size_t* transferred) {
  Transfer t;
  t.data = data;
  return PollTransfer(t, transferred);
}

UsbOutcome FtxChip::PollTransfer(Transfer& transfer, size_t* transferred) {
  // In flight since the last call: its packets go at their model times.
  transfer_ = &transfer;
  Advance(Now());
  if (unplugged_ && !transfer.outcome)
    transfer.outcome = UsbOutcome::NoDevice;
  transfer_ = nullptr;
  *transferred = transfer.transferred;
  return transfer.outcome.value_or(UsbOutcome::Timeout);
}

void FtxChip::Serve() {
  Transfer* t = transfer_;
  if (t == nullptr || t->outcome)
    return;
  if (!t->in) {
    while (t->transferred < t->data.size()) {
      const size_t packet = std::min(kPacketSize, t->data.size() - t->transferred);
      if (tx_.size() + packet > kTxBufferSize)
        return;  // NAKed: the host controller tries again
      for (size_t i = 0; i < packet; ++i)
        tx_.push_back(TxByte{t->data[t->transferred + i], now_});
      t->transferred += packet;
    }
    t->outcome = UsbOutcome::Done;
    return;
  }
  while (!inSilent_ && (rx_.size() >= kPacketSize - kStatusBytes ||
                        now_ >= lastPacket_ + milliseconds(latencyMs_))) {
    const size_t payload = std::min(rx_.size(), kPacketSize - kStatusBytes);
    const size_t room = t->buffer.size() - t->transferred;
    if (payload + kStatusBytes > room) {
      t->outcome = UsbOutcome::Overflow;
      return;
    }
    uint8_t* out = t->buffer.data() + t->transferred;
    out[0] = ModemStatus();
    out[1] = LineStatus();
    std::copy_n(rx_.begin(), payload, out + kStatusBytes);
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(payload));
    t->transferred += payload + kStatusBytes;
    lastPacket_ = now_;
    ++(payload > 0 ? dataPackets_ : statusPackets_);
    if (payload > 0 && silenceAfter_ && --*silenceAfter_ == 0) {
      silenceAfter_.reset();
      inSilent_ = true;
    }
    // A short packet, or a full buffer, ends the transfer.
    if (payload + kStatusBytes < kPacketSize || t->transferred == t->buffer.size()) {
      t->outcome = UsbOutcome::Done;
      return;
    }
  }
}

void FtxChip::HostClosed() {
  Advance(Now());
  FlushToPeer();
  if (peer_ != nullptr)
    peer_->OnClose(*port_);
}

void FtxChip::SetCts(bool asserted) {
  Advance(Now());
  cts_ = asserted;
  ctsBackAt_.reset();
  if (asserted)
    lineFree_ = std::max(lineFree_, now_);
}

void FtxChip::HoldCtsFor(uint32_t forMs) {
  Advance(Now());
  cts_ = false;
  ctsBackAt_ = now_ + milliseconds(forMs);
}

void FtxChip::Sync() {
  Advance(Now());
}

void FtxChip::DropCtsAfter(uint64_t afterBytes, uint32_t forMs) {
  ctsDropAfter_ = afterBytes;
  ctsDropMs_ = forMs;
}

void FtxChip::StallRequest(uint8_t request, uint32_t times) {
  stalls_[request] += times;
}

void FtxChip::FailStringReads(uint32_t times) {
  failStrings_ += times;
}

void FtxChip::StartBabbling(uint32_t periodUs, uint8_t value) {
  Advance(Now());
  babblePeriod_ = microseconds(std::max<uint32_t>(periodUs, 1));
  babbleValue_ = value;
  babbleNext_ = now_;
}

void FtxChip::DeviceSends(std::span<const uint8_t> bytes) {
  Advance(Now());
  port_->Send(bytes, Clock::Duration{0});
}

std::vector<uint8_t> FtxChip::WireBytes() const {
  std::vector<uint8_t> all;
  for (const WireRun& run : wire_)
    all.insert(all.end(), run.bytes.begin(), run.bytes.end());
  return all;
}

void FtxChip::ClearRecords() {
  controls_.clear();
  wire_.clear();
  dataPackets_ = statusPackets_ = 0;
}

void FtxChip::FlushToPeer() {
  if (toPeer_.empty())
    return;
  if (wire_.empty() || wire_.back().baudRate != baudRate_)
    wire_.push_back(WireRun{baudRate_, {}});
  wire_.back().bytes.insert(wire_.back().bytes.end(), toPeer_.begin(), toPeer_.end());
  std::vector<uint8_t> piece;
  piece.swap(toPeer_);
  if (peer_ != nullptr) {
    port_->heard_ = toPeerLast_;
    peer_->OnHostBytes(*port_, piece);
    port_->heard_.reset();
  }
}

void FtxChip::Advance(Ns t) {
  Serve();
  for (;;) {
    const Ns next = NextEvent(now_);
    if (next > t)
      break;
    Progress(next);
    Serve();
  }
  Progress(t);
  Serve();
}

void FtxChip::Progress(Ns t) {
  if (t < now_)
    t = now_;
  // The host's line: one byte after the other while CTS lets them go.
  while (!tx_.empty()) {
    if (!CtsGate()) {
      if (!ctsBackAt_ || *ctsBackAt_ > t)
        break;
      lineFree_ = std::max(lineFree_, *ctsBackAt_);
      cts_ = true;
      ctsBackAt_.reset();
    }
    const Ns start = std::max(lineFree_, tx_.front().taken);
    const Ns end = start + ByteTime();
    if (end > t)
      break;
    lineFree_ = end;
    toPeer_.push_back(tx_.front().value);
    toPeerLast_ = end;
    tx_.pop_front();
    // The peer hears the line in pieces of a USB packet or less.
    if (toPeer_.size() >= kPacketSize)
      FlushToPeer();
    if (ctsDropAfter_ && (*ctsDropAfter_ == 0 || --*ctsDropAfter_ == 0)) {
      ctsDropAfter_.reset();
      cts_ = false;
      ctsBackAt_ = end + milliseconds(ctsDropMs_);
    }
  }
  FlushToPeer();
  if (!cts_ && ctsBackAt_ && *ctsBackAt_ <= t) {
    cts_ = true;
    lineFree_ = std::max(lineFree_, *ctsBackAt_);
    ctsBackAt_.reset();
  }
  // A device that never stops.
  while (babbleNext_ && *babbleNext_ <= t) {
    const Ns at = std::max(*babbleNext_, devLineFree_) + ByteTime();
    devLine_.push_back(LineByte{babbleValue_, at});
    ++deviceBytes_;
    devLineFree_ = at;
    *babbleNext_ += babblePeriod_;
  }
  // The device's line into the receive buffer, held off while it is full.
  while (!devLine_.empty() && devLine_.front().arrives <= t && rx_.size() < kRxBufferSize) {
    rx_.push_back(devLine_.front().value);
    devLine_.pop_front();
  }
  now_ = t;
}

FtxChip::Ns FtxChip::NextEvent(Ns t) const {
  Ns next = kForever;
  const bool waitingIn = transfer_ != nullptr && transfer_->in && !transfer_->outcome;
  if (waitingIn && !inSilent_)
    next = std::min(next, lastPacket_ + milliseconds(latencyMs_));
  // The device's bytes arriving (a full packet's worth, or the last one);
  // while the receive buffer is full they wait for the host to read.
  if (!devLine_.empty() && rx_.size() < kRxBufferSize) {
    const size_t missing =
        kPacketSize - kStatusBytes > rx_.size() ? kPacketSize - kStatusBytes - rx_.size() : 0;
    if (missing > 0 && devLine_.size() >= missing)
      next = std::min(next, devLine_[missing - 1].arrives);
    else
      next = std::min(next, devLine_.back().arrives);
  }
  // The transmit buffer emptying (the peer may answer then), or the piece
  // under way reaching the peer.
  if (!tx_.empty() && CtsGate()) {
    const size_t piece = std::min(tx_.size(), kPacketSize - toPeer_.size());
    next = std::min(next, std::max(lineFree_, t) + ByteTime() * static_cast<int64_t>(piece));
  }
  if (ctsBackAt_)
    next = std::min(next, *ctsBackAt_);
  if (babbleNext_)
    next = std::min(next, *babbleNext_);
  return std::max(next, t + nanoseconds(1));
}

}  // namespace vexo3::sim
