#include "sim/bus/sim_bus.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vexo3::sim {

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr uint64_t kBitsPerByte = 10;  // start + 8 data + stop
constexpr uint64_t kMicrosPerSecond = 1'000'000;

std::string Format(const char* format, auto... args) {
  char text[96];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

// Copies into a fixed D2XX text field, cut to fit and always terminated.
void CopyField(char* dest, size_t size, const std::string& text) {
  const size_t n = std::min(text.size(), size - 1);
  std::memcpy(dest, text.data(), n);
  std::memset(dest + n, 0, size - n);
}

}  // namespace

// ---------------------------------------------------------------- SimChip

SimChip::SimChip(Clock& clock, ChipInfo info, SimPeer* peer)
    : busClock_(&clock),
      clock_(&clock),
      origin_(clock.Now()),
      info_(std::move(info)),
      peer_(peer) {}

Clock::Duration SimChip::Now() const {
  return peerNow_ ? *peerNow_ : clock_->Now();
}

bool SimChip::PresentAt(Clock::Duration t) const {
  if (unplugged_)
    return false;
  const auto ms = static_cast<uint64_t>(
      std::max<int64_t>(std::chrono::duration_cast<milliseconds>(t - origin_).count(), 0));
  if (ms < info_.plugInMs)
    return false;
  if (info_.unplugMs && ms >= *info_.unplugMs)
    return info_.replugMs && ms >= *info_.replugMs;
  return true;
}

void SimChip::Send(std::span<const uint8_t> bytes, Clock::Duration delay) {
  if (bytes.empty())
    return;
  // A serial line keeps its order: nothing overtakes bytes already under way.
  const Clock::Duration ready =
      Now() + std::max(delay, Clock::Duration{0}) + microseconds(info_.processingTimeUs);
  const Clock::Duration start = std::max(ready, devLineFree_);
  for (size_t i = 0; i < bytes.size(); ++i)
    inFlight_.push_back(LineByte{start + ByteTime(i + 1), bytes[i]});
  devLineFree_ = start + ByteTime(bytes.size());
  Deliver();
}

void SimChip::SetCtsHeld(bool held) {
  if (held == ctsHeld_)
    return;
  const Clock::Duration now = clock_->Now();
  if (held) {
    frozenLine_ = std::max(txBusyUntil_ - now, Clock::Duration{0});
    ctsHeld_ = true;
    return;
  }
  ctsHeld_ = false;
  txBusyUntil_ = now + frozenLine_;
  frozenLine_ = Clock::Duration{0};
  if (!txQueue_.empty()) {
    std::vector<uint8_t> queued;
    queued.swap(txQueue_);
    GoOut(std::move(queued), txBusyUntil_);
  }
}

std::vector<uint8_t> SimChip::HostWrittenBytes() const {
  std::vector<uint8_t> all;
  for (const TranscriptEntry& e : transcript_) {
    if (e.direction == TranscriptEntry::Direction::HostToDevice)
      all.insert(all.end(), e.bytes.begin(), e.bytes.end());
  }
  return all;
}

std::vector<uint8_t> SimChip::HostReadBytes() const {
  std::vector<uint8_t> all;
  for (const TranscriptEntry& e : transcript_) {
    if (e.direction == TranscriptEntry::Direction::DeviceToHost)
      all.insert(all.end(), e.bytes.begin(), e.bytes.end());
  }
  return all;
}

void SimChip::ClearRecords() {
  transcript_.clear();
  writeCallSizes_.clear();
  callLog_.clear();
  std::fill(std::begin(callCounts_), std::end(callCounts_), 0u);
}

void SimChip::Deliver() {
  const Clock::Duration now = clock_->Now();
  for (;;) {
    const std::optional<Clock::Duration> at = NextPacketTime();
    if (!at || *at > now)
      return;
    const size_t n = PacketSize(*at);
    for (size_t i = 0; i < n; ++i)
      rx_.push_back(inFlight_[i].value);
    inFlight_.erase(inFlight_.begin(), inFlight_.begin() + static_cast<std::ptrdiff_t>(n));
    lastPacket_ = *at;
  }
}

std::optional<Clock::Duration> SimChip::NextPacketTime() const {
  if (inFlight_.empty())
    return std::nullopt;
  const Clock::Duration first = inFlight_.front().at;
  const Clock::Duration period = milliseconds(line_.latencyMs);
  if (period.count() == 0)
    return first;
  // The first expiry of the timer at or after the first byte arrived.
  const int64_t idle = (first - lastPacket_).count();
  const int64_t periods = std::max<int64_t>(1, (idle + period.count() - 1) / period.count());
  Clock::Duration at = lastPacket_ + period * periods;
  constexpr size_t kFull = SimulatedBus::kUsbInPacketData;
  if (inFlight_.size() >= kFull)
    at = std::min(at, inFlight_[kFull - 1].at);
  return at;
}

size_t SimChip::PacketSize(Clock::Duration at) const {
  size_t n = 0;
  while (n < inFlight_.size() && n < SimulatedBus::kUsbInPacketData && inFlight_[n].at <= at)
    ++n;
  return n;
}

Clock::Duration SimChip::ByteTime(uint64_t bytes) const {
  const uint64_t baud = std::max<uint64_t>(line_.baudRate, 1);
  const uint64_t bits = bytes * kBitsPerByte * kMicrosPerSecond;
  return microseconds(static_cast<int64_t>((bits + baud - 1) / baud));
}

uint32_t SimChip::TxBacklog() const {
  const Clock::Duration left =
      ctsHeld_ ? frozenLine_ : std::max(txBusyUntil_ - clock_->Now(), Clock::Duration{0});
  const uint64_t baud = std::max<uint64_t>(line_.baudRate, 1);
  // ByteTime rounds up to whole microseconds; don't count that slack as a byte.
  const uint64_t slack = left.count() > 0 ? 1 : 0;
  const uint64_t scaled = (static_cast<uint64_t>(left.count()) - slack) * baud;
  const uint64_t perByte = kBitsPerByte * kMicrosPerSecond;
  const uint64_t onLine = (scaled + perByte - 1) / perByte;
  return static_cast<uint32_t>(onLine + txQueue_.size());
}

void SimChip::GoOut(std::vector<uint8_t> bytes, Clock::Duration start) {
  if (bytes.empty())
    return;
  txBusyUntil_ = start + ByteTime(bytes.size());
  transcript_.push_back(TranscriptEntry{clock_->Now(), TranscriptEntry::Direction::HostToDevice,
                                        line_.baudRate, bytes});
  if (peer_ == nullptr)
    return;
  // A peer that releases CTS from in here brings us back: keep its time.
  const std::optional<Clock::Duration> outer = peerNow_;
  const std::span<const uint8_t> all(bytes);
  for (size_t done = 0; done < all.size();) {
    const size_t n = std::min(SimulatedBus::kUsbOutPacket, all.size() - done);
    done += n;
    peerNow_ = start + ByteTime(done);
    peer_->OnHostBytes(*this, all.subspan(done - n, n));
  }
  peerNow_ = outer;
}

void SimChip::ResetForOpen() {
  line_ = LineSettings{};
  rx_.clear();
  inFlight_.clear();
  txQueue_.clear();
  txBusyUntil_ = Clock::Duration{0};
  frozenLine_ = Clock::Duration{0};
  devLineFree_ = Clock::Duration{0};
  lastPacket_ = clock_->Now();
  peerNow_.reset();
}

// ----------------------------------------------------------- SimulatedBus

SimulatedBus::SimulatedBus(Clock& clock) : clock_(clock) {}

SimulatedBus::~SimulatedBus() = default;

SimChip& SimulatedBus::AddChip(ChipInfo info, SimPeer* peer) {
  chips_.push_back(std::make_unique<SimChip>(clock_, std::move(info), peer));
  return *chips_.back();
}

void SimulatedBus::FailCall(D2xxCall call, FT_STATUS status, uint32_t times, uint32_t skip) {
  injections_[static_cast<int>(call)] = Injection{status, times, skip};
}

std::optional<Clock::Duration> SimulatedBus::NextArrival(FT_HANDLE handle) {
  std::unique_lock lock(mutex_);
  SimChip* chip = FromHandle(handle);
  if (chip == nullptr)
    return std::nullopt;
  chip->Deliver();
  return chip->NextPacketTime();
}

FT_STATUS SimulatedBus::Enter(D2xxCall call, SimChip* chip, const std::array<uint32_t, 3>& args,
                              const char* logArgs) {
  const auto i = static_cast<size_t>(call);
  ++callCounts_[i];
  if (chip != nullptr) {
    ++chip->callCounts_[i];
    if (call == D2xxCall::Write)
      chip->writeCallSizes_.push_back(args[0]);
    if (logArgs != nullptr) {
      std::string entry = D2xxCallOf(call).name;
      entry += Format(logArgs, args[0], args[1], args[2]);
      chip->Log(std::move(entry));
    }
  }
  Injection& inj = injections_[i];
  if (inj.times == 0)
    return FT_OK;
  if (inj.skip > 0) {
    --inj.skip;
    return FT_OK;
  }
  --inj.times;
  return inj.status;
}

FT_STATUS SimulatedBus::EnterOnHandle(D2xxCall call, FT_HANDLE handle, SimChip** chip,
                                      const std::array<uint32_t, 3>& args, const char* logArgs) {
  *chip = FromHandle(handle);
  if (*chip == nullptr) {
    ++callCounts_[static_cast<size_t>(call)];
    return FT_INVALID_HANDLE;
  }
  if (FT_STATUS st = Enter(call, *chip, args, logArgs))
    return st;
  const bool gone = !(*chip)->PresentAt((*chip)->clock_->Now());
  return gone && call != D2xxCall::Close ? FT_IO_ERROR : FT_OK;
}

void SimulatedBus::Wait(std::unique_lock<std::mutex>& lock, Clock& clock, Clock::Duration d) {
  if (d.count() <= 0)
    return;
  lock.unlock();
  clock.SleepFor(d);
  lock.lock();
}

SimChip* SimulatedBus::FromHandle(FT_HANDLE handle) {
  if (handle == nullptr)
    return nullptr;
  for (const auto& chip : chips_) {
    if (chip->open_ && chip->handle_ == handle)
      return chip.get();
  }
  return nullptr;
}

FT_STATUS SimulatedBus::FT_CreateDeviceInfoList(DWORD* numDevs) {
  std::unique_lock lock(mutex_);
  if (FT_STATUS st = Enter(D2xxCall::CreateDeviceInfoList, nullptr))
    return st;
  if (numDevs == nullptr)
    return FT_INVALID_PARAMETER;
  std::vector<size_t>& snapshot = listSnapshots_[std::this_thread::get_id()];
  snapshot.clear();
  const Clock::Duration now = clock_.Now();
  for (size_t i = 0; i < chips_.size(); ++i) {
    if (chips_[i]->PresentAt(now))
      snapshot.push_back(i);
  }
  listMade_ = true;
  *numDevs = static_cast<DWORD>(snapshot.size());
  return FT_OK;
}

FT_STATUS SimulatedBus::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs) {
  std::unique_lock lock(mutex_);
  if (FT_STATUS st = Enter(D2xxCall::GetDeviceInfoList, nullptr))
    return st;
  if (dest == nullptr || numDevs == nullptr)
    return FT_INVALID_PARAMETER;
  const std::vector<size_t>& snapshot = listSnapshots_[std::this_thread::get_id()];
  const size_t n = std::min<size_t>(*numDevs, snapshot.size());
  for (size_t i = 0; i < n; ++i) {
    const SimChip& chip = *chips_[snapshot[i]];
    FT_DEVICE_LIST_INFO_NODE& node = dest[i];
    node = FT_DEVICE_LIST_INFO_NODE{};
    if (chip.info_.openElsewhere && chip.info_.listedBlank) {
      node.Flags = FT_FLAGS_OPENED;
      continue;
    }
    node.Flags = chip.open_ ? ULONG{FT_FLAGS_OPENED} : ULONG{0};
    node.Type = chip.info_.type;
    node.ID = chip.info_.usbId;
    node.LocId = chip.info_.locId;
    const bool readable = !chip.info_.inaccessible;
    CopyField(node.SerialNumber, sizeof node.SerialNumber, readable ? chip.info_.serial : "");
    CopyField(node.Description, sizeof node.Description, readable ? chip.info_.description : "");
    node.ftHandle = chip.open_ ? chip.handle_ : nullptr;
  }
  *numDevs = static_cast<DWORD>(n);
  return FT_OK;
}

FT_STATUS SimulatedBus::FT_Open(int deviceNumber, FT_HANDLE* handle) {
  std::unique_lock lock(mutex_);
  SimChip* chip = nullptr;
  if (deviceNumber >= 0) {
    const auto index = static_cast<size_t>(deviceNumber);
    if (!listMade_ && index < chips_.size()) {
      chip = chips_[index].get();
    } else if (const std::vector<size_t>& snapshot = listSnapshots_[std::this_thread::get_id()];
               listMade_ && index < snapshot.size()) {
      chip = chips_[snapshot[index]].get();
    }
  }
  if (FT_STATUS st = Enter(D2xxCall::Open, chip, {static_cast<uint32_t>(deviceNumber)}, "(%u)"))
    return st;
  if (handle == nullptr)
    return FT_INVALID_PARAMETER;
  if (chip == nullptr || !chip->PresentAt(chip->clock_->Now()))
    return FT_DEVICE_NOT_FOUND;
  if (chip->open_ || chip->info_.inaccessible || chip->info_.openElsewhere)
    return FT_DEVICE_NOT_OPENED;

  chip->ResetForOpen();
  chip->open_ = true;
  chip->handle_ = reinterpret_cast<FT_HANDLE>(nextHandle_);
  nextHandle_ += 0x10;
  *handle = chip->handle_;
  if (chip->peer_ != nullptr)
    chip->peer_->OnOpen(*chip);
  return FT_OK;
}

FT_STATUS SimulatedBus::FT_Close(FT_HANDLE handle) {
  std::unique_lock lock(mutex_);
  SimChip* chip = nullptr;
  if (FT_STATUS st = EnterOnHandle(D2xxCall::Close, handle, &chip, {}, ""))
    return st;
  chip->open_ = false;
  chip->handle_ = nullptr;
  chip->ResetForOpen();
  if (chip->peer_ != nullptr)
    chip->peer_->OnClose(*chip);
  return FT_OK;
}

FT_STATUS SimulatedBus::FT_GetBitMode(FT_HANDLE handle, UCHAR* mode) {
  std::unique_lock lock(mutex_);
  SimChip* chip = nullptr;
  if (FT_STATUS st = EnterOnHandle(D2xxCall::GetBitMode, handle, &chip))
    return st;
  if (mode == nullptr)
    return FT_INVALID_PARAMETER;
  *mode = chip->info_.cbusPins;
  return FT_OK;
}

FT_STATUS SimulatedBus::FT_SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) {
  std::unique_lock lock(mutex_);
  SimChip* chip = nullptr;
  if (FT_STATUS st =
          EnterOnHandle(D2xxCall::SetBitMode, handle, &chip, {mask, mode}, "(0x%02x,0x%02x)"))
    return st;
  chip->line_.bitMask = mask;
  chip->line_.bitMode = mode;
  return FT_OK;
}

FT_STATUS SimulatedBus::FT_Purge(FT_HANDLE handle, ULONG mask) {
  std::unique_lock lock(mutex_);
  SimChip* chip = nullptr;
  if (FT_STATUS st = EnterOnHandle(D2xxCall::Purge, handle, &chip, {mask}, "(%u)"))
    return st;
  if (mask & FT_PURGE_RX) {
    chip->rx_.clear();
    chip->inFlight_.clear();
    chip->devLineFree_ = std::min(chip->devLineFree_, chip->clock_->Now());
  }
  if (mask & FT_PURGE_TX) {
    chip->txQueue_.clear();
    chip->txBusyUntil_ = chip->clock_->Now();
    chip->frozenLine_ = Clock::Duration{0};
  }
  return FT_OK;
}

FT_STATUS SimulatedBus::FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength,
                                                  UCHAR stopBits, UCHAR parity) {
  std::unique_lock lock(mutex_);
  SimChip* chip = nullptr;
  if (FT_STATUS st = EnterOnHandle(D2xxCall::SetDataCharacteristics, handle, &chip,
                                   {wordLength, stopBits, parity}, "(%u,%u,%u)"))
    return st;
  chip->line_.wordLength = wordLength;
  chip->line_.stopBits = stopBits;
  chip->line_.parity = parity;
  return FT_OK;
}

FT_STATUS SimulatedBus::FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate) {
  std::unique_lock lock(mutex_);
  SimChip* chip = nullptr;
  if (FT_STATUS st = EnterOnHandle(D2xxCall::SetBaudRate, handle, &chip, {baudRate}, "(%u)"))
    return st;
  // The FT-X tops out at 3 Mbaud; its slowest divisor gives about 183 baud.
  if (baudRate < 183 || baudRate > 3'000'000)
    return FT_INVALID_BAUD_RATE;
  // Bytes still on the line keep their end time: they went out at the old rate.
  chip->line_.baudRate = baudRate;
  return FT_OK;
}

FT_STATUS SimulatedBus::FT_SetFlowControl(FT_HANDLE handle, USHORT flowControl, UCHAR /*xon*/,
                                          UCHAR /*xoff*/) {
  std::unique_lock lock(mutex_);
  SimChip* chip = nullptr;
  if (FT_STATUS st =
          EnterOnHandle(D2xxCall::SetFlowControl, handle, &chip, {flowControl}, "(0x%04x)"))
    return st;
  chip->line_.flowControl = flowControl;
  return FT_OK;
}

FT_STATUS SimulatedBus::FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout) {
  std::unique_lock lock(mutex_);
  SimChip* chip = nullptr;
  if (FT_STATUS st = EnterOnHandle(D2xxCall::SetTimeouts, handle, &chip,
                                   {readTimeout, writeTimeout}, "(%u,%u)"))
    return st;
  chip->line_.readTimeoutMs = readTimeout;
  chip->line_.writeTimeoutMs = writeTimeout;
  return FT_OK;
}

FT_STATUS SimulatedBus::FT_SetLatencyTimer(FT_HANDLE handle, UCHAR timer) {
  std::unique_lock lock(mutex_);
  SimChip* chip = nullptr;
  if (FT_STATUS st = EnterOnHandle(D2xxCall::SetLatencyTimer, handle, &chip, {timer}, "(%u)"))
    return st;
  chip->line_.latencyMs = timer;
  return FT_OK;
}

FT_STATUS SimulatedBus::FT_GetDeviceInfo(FT_HANDLE handle, FT_DEVICE* type, DWORD* id,
                                         char* serialNumber, char* description, void* /*dummy*/) {
  std::unique_lock lock(mutex_);
  SimChip* chip = nullptr;
  if (FT_STATUS st = EnterOnHandle(D2xxCall::GetDeviceInfo, handle, &chip))
    return st;
  if (type != nullptr)
    *type = chip->info_.type;
  if (id != nullptr)
    *id = chip->info_.usbId;
  if (serialNumber != nullptr)
    CopyField(serialNumber, 16, chip->info_.serial);
  if (description != nullptr)
    CopyField(description, 64, chip->info_.description);
  return FT_OK;
}

FT_STATUS SimulatedBus::FT_Write(FT_HANDLE handle, const void* buffer, DWORD n, DWORD* written) {
  std::unique_lock lock(mutex_);
  SimChip* chip = nullptr;
  if (FT_STATUS st = EnterOnHandle(D2xxCall::Write, handle, &chip, {n}))
    return st;
  if (written == nullptr || (buffer == nullptr && n > 0))
    return FT_INVALID_PARAMETER;
  *written = 0;
  if (n == 0)
    return FT_OK;

  const auto* bytes = static_cast<const uint8_t*>(buffer);
  const uint32_t timeoutMs = chip->line_.writeTimeoutMs;
  const uint32_t backlog = chip->TxBacklog();
  const uint32_t room = kTxQueueCapacity > backlog ? kTxQueueCapacity - backlog : 0;

  if (chip->ctsHeld_) {
    const DWORD accepted = std::min<DWORD>(n, room);
    chip->txQueue_.insert(chip->txQueue_.end(), bytes, bytes + accepted);
    *written = accepted;
    if (accepted < n && timeoutMs > 0)
      Wait(lock, *chip->clock_, milliseconds(timeoutMs));
    return FT_OK;
  }

  // The write returns once all but a queue's worth of its bytes are on the line.
  DWORD accepted = n;
  Clock::Duration wait{0};
  if (n > room) {
    wait = chip->ByteTime(n - room);
    const Clock::Duration limit = milliseconds(timeoutMs);
    if (timeoutMs > 0 && wait > limit) {
      const uint64_t sendable = static_cast<uint64_t>(limit.count()) * chip->line_.baudRate /
                                (kBitsPerByte * kMicrosPerSecond);
      accepted = static_cast<DWORD>(std::min<uint64_t>(n, room + sendable));
      wait = limit;
    }
  }
  *written = accepted;
  chip->GoOut(std::vector<uint8_t>(bytes, bytes + accepted),
              std::max(chip->txBusyUntil_, chip->clock_->Now()));
  Wait(lock, *chip->clock_, wait);
  chip->Deliver();
  return FT_OK;
}

FT_STATUS SimulatedBus::FT_Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got) {
  std::unique_lock lock(mutex_);
  SimChip* chip = nullptr;
  if (FT_STATUS st = EnterOnHandle(D2xxCall::Read, handle, &chip))
    return st;
  if (got == nullptr || (buffer == nullptr && n > 0))
    return FT_INVALID_PARAMETER;
  *got = 0;

  const uint32_t timeoutMs = chip->line_.readTimeoutMs;
  const Clock::Duration deadline = chip->clock_->Now() + milliseconds(timeoutMs);
  chip->Deliver();
  while (chip->rx_.size() < n) {
    const Clock::Duration now = chip->clock_->Now();
    Clock::Duration until;
    if (timeoutMs == 0) {
      const std::optional<Clock::Duration> next = chip->NextPacketTime();
      if (!next)
        break;
      until = *next;
    } else {
      if (now >= deadline)
        break;
      const std::optional<Clock::Duration> next = chip->NextPacketTime();
      until = next ? std::min(*next, deadline) : deadline;
    }
    Wait(lock, *chip->clock_, until - now);
    chip->Deliver();
  }

  const DWORD count = std::min<DWORD>(n, static_cast<DWORD>(chip->rx_.size()));
  auto* dest = static_cast<uint8_t*>(buffer);
  std::copy_n(chip->rx_.begin(), count, dest);
  chip->rx_.erase(chip->rx_.begin(), chip->rx_.begin() + count);
  *got = count;
  if (count > 0) {
    chip->transcript_.push_back(
        TranscriptEntry{chip->clock_->Now(), TranscriptEntry::Direction::DeviceToHost,
                        chip->line_.baudRate, std::vector<uint8_t>(dest, dest + count)});
  }
  return FT_OK;
}

FT_STATUS SimulatedBus::FT_GetQueueStatus(FT_HANDLE handle, DWORD* rxBytes) {
  std::unique_lock lock(mutex_);
  SimChip* chip = nullptr;
  if (FT_STATUS st = EnterOnHandle(D2xxCall::GetQueueStatus, handle, &chip))
    return st;
  if (rxBytes == nullptr)
    return FT_INVALID_PARAMETER;
  chip->Deliver();
  *rxBytes = static_cast<DWORD>(chip->rx_.size());
  return FT_OK;
}

FT_STATUS SimulatedBus::FT_GetStatus(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes,
                                     DWORD* eventStatus) {
  std::unique_lock lock(mutex_);
  SimChip* chip = nullptr;
  if (FT_STATUS st = EnterOnHandle(D2xxCall::GetStatus, handle, &chip))
    return st;
  chip->Deliver();
  if (rxBytes != nullptr)
    *rxBytes = static_cast<DWORD>(chip->rx_.size());
  // D2XX counts only what waits in the host's own transmit queue, not the
  // chip's buffer nor the line. A write returns once its bytes are in the
  // chip (which takes them even with CTS held off), so that queue is empty
  // whenever a call can ask.
  if (txBytes != nullptr)
    *txBytes = 0;
  if (eventStatus != nullptr)
    *eventStatus = 0;
  return FT_OK;
}

}  // namespace vexo3::sim
