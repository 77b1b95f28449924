#include "link/replay_d2xx.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"

namespace vexo3 {

namespace {

std::string Format(const char* fmt, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

// Bytes shown on each side of the first difference.
constexpr size_t kContext = 8;

// "000010: 01 02 [03] 04": the window around `at`, the byte at `at` in brackets.
std::string Window(std::span<const uint8_t> bytes, size_t at) {
  if (bytes.empty())
    return "(no bytes)";
  const size_t from = at > kContext ? at - kContext : 0;
  const size_t to = std::min(bytes.size(), at + kContext + 1);
  std::string text = Format("%06zx:", from);
  if (from > 0)
    text += " ..";
  for (size_t i = from; i < to; ++i)
    text += i == at ? Format(" [%02X]", bytes[i]) : Format(" %02X", bytes[i]);
  if (at >= bytes.size())
    text += " [end]";
  if (to < bytes.size())
    text += " ..";
  return text;
}

// A driver's fixed-size text field: zero-filled, and without a terminator
// when the text fills it, as the driver leaves it.
void CopyText(const std::string& text, char* dest, size_t capacity) {
  if (dest == nullptr)
    return;
  std::fill_n(dest, capacity, '\0');
  std::copy_n(text.data(), std::min(text.size(), capacity), dest);
}

// *out = value, where the program passed a place for it.
template <class T>
void Store(T* out, uint32_t value) {
  if (out != nullptr)
    *out = static_cast<T>(value);
}

}  // namespace

ReplayD2xx::ReplayD2xx(Trace trace, VirtualClock& clock)
    : trace_(std::move(trace)), clock_(clock), baseUs_(clock.Now().count()) {}

void ReplayD2xx::Diverge(const std::string& report) {
  if (report_.empty())
    report_ = report;
}

const TraceCall* ReplayD2xx::Answer(const TraceCall& actual) {
  if (Diverged())
    return nullptr;
  const size_t number = next_ + 1;
  if (next_ >= trace_.calls.size()) {
    Diverge(Format("replay: call %zu: trace ends here (it holds %zu calls%s)\n", number,
                   trace_.calls.size(), trace_.cutShort ? " and was cut short" : "") +
            "  program: " + TraceRequestText(actual) + "\n");
    return nullptr;
  }
  const TraceCall& recorded = trace_.calls[next_];
  const std::string where =
      Format("replay: call %zu (line %d of the trace): ", number, trace_.lines[next_]);
  std::string bytes;
  if (actual.fn == D2xxCall::Write && recorded.fn == D2xxCall::Write &&
      recorded.bytes != actual.bytes) {
    const auto [a, b] = std::mismatch(recorded.bytes.begin(), recorded.bytes.end(),
                                      actual.bytes.begin(), actual.bytes.end());
    const auto at = static_cast<size_t>(a - recorded.bytes.begin());
    bytes = Format("  first difference at byte %zu\n", at) +
            "  trace:   " + Window(recorded.bytes, at) +
            "\n  program: " + Window(actual.bytes, at) + "\n";
  }
  if (recorded.fn != actual.fn || recorded.args != actual.args) {
    Diverge(where + "the program made another call\n  trace:   " + TraceRequestText(recorded) +
            "\n  program: " + TraceRequestText(actual) + "\n" + bytes);
    return nullptr;
  }
  if (!bytes.empty()) {
    Diverge(where + "the program wrote other bytes: " + TraceRequestText(actual) + "\n" + bytes);
    return nullptr;
  }
  ++next_;
  clock_.Advance(Clock::Duration(baseUs_ + recorded.startUs - clock_.Now().count()));
  return &recorded;
}

FT_STATUS ReplayD2xx::Done(const TraceCall& recorded) {
  clock_.Advance(
      Clock::Duration(baseUs_ + recorded.startUs + recorded.durationUs - clock_.Now().count()));
  return recorded.status;
}

template <class... Out>
FT_STATUS ReplayD2xx::Replay(D2xxCall fn, const std::array<uint32_t, 3>& args, Out*... outs) {
  TraceCall actual;
  actual.fn = fn;
  actual.args = args;
  const TraceCall* r = Answer(actual);
  if (r == nullptr)
    return kStatusAfterDivergence;
  if (r->status == FT_OK) {
    size_t i = 0;
    (Store(outs, r->results[i++]), ...);
  }
  return Done(*r);
}

const std::string& ReplayD2xx::Finish() {
  if (!Diverged() && next_ < trace_.calls.size()) {
    Diverge(Format("replay: the program made %zu calls; the trace goes on with call %zu (line %d "
                   "of the trace)\n",
                   next_, next_ + 1, trace_.lines[next_]) +
            "  trace:   " + TraceRequestText(trace_.calls[next_]) + "\n");
  }
  return report_;
}

FT_STATUS ReplayD2xx::FT_CreateDeviceInfoList(DWORD* numDevs) {
  return Replay(D2xxCall::CreateDeviceInfoList, {}, numDevs);
}

FT_STATUS ReplayD2xx::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs) {
  TraceCall actual;
  actual.fn = D2xxCall::GetDeviceInfoList;
  actual.args[0] = (numDevs != nullptr && dest != nullptr) ? *numDevs : 0;
  const TraceCall* r = Answer(actual);
  if (r == nullptr)
    return kStatusAfterDivergence;
  if (r->status == FT_OK && numDevs != nullptr) {
    // The record fits the room: the program asked for exactly this much.
    for (size_t i = 0; dest != nullptr && i < r->devices.size(); ++i) {
      const TraceDevice& d = r->devices[i];
      FT_DEVICE_LIST_INFO_NODE& node = dest[i];
      node = FT_DEVICE_LIST_INFO_NODE{};
      node.Flags = d.flags;
      node.Type = d.type;
      node.ID = d.id;
      node.LocId = d.locId;
      CopyText(d.serial, node.SerialNumber, sizeof node.SerialNumber);
      CopyText(d.description, node.Description, sizeof node.Description);
    }
    *numDevs = r->results[0];
  }
  return Done(*r);
}

FT_STATUS ReplayD2xx::FT_Open(int deviceNumber, FT_HANDLE* handle) {
  const FT_STATUS s = Replay(D2xxCall::Open, {static_cast<uint32_t>(deviceNumber)});
  if (s == FT_OK && handle != nullptr)
    *handle = &handleToken_;
  return s;
}

FT_STATUS ReplayD2xx::FT_Close(FT_HANDLE) {
  return Replay(D2xxCall::Close, {});
}

FT_STATUS ReplayD2xx::FT_GetBitMode(FT_HANDLE, UCHAR* mode) {
  return Replay(D2xxCall::GetBitMode, {}, mode);
}

FT_STATUS ReplayD2xx::FT_SetBitMode(FT_HANDLE, UCHAR mask, UCHAR mode) {
  return Replay(D2xxCall::SetBitMode, {mask, mode});
}

FT_STATUS ReplayD2xx::FT_Purge(FT_HANDLE, ULONG mask) {
  return Replay(D2xxCall::Purge, {mask});
}

FT_STATUS ReplayD2xx::FT_SetDataCharacteristics(FT_HANDLE, UCHAR wordLength, UCHAR stopBits,
                                                UCHAR parity) {
  return Replay(D2xxCall::SetDataCharacteristics, {wordLength, stopBits, parity});
}

FT_STATUS ReplayD2xx::FT_SetBaudRate(FT_HANDLE, ULONG baudRate) {
  return Replay(D2xxCall::SetBaudRate, {baudRate});
}

FT_STATUS ReplayD2xx::FT_SetFlowControl(FT_HANDLE, USHORT flowControl, UCHAR xon, UCHAR xoff) {
  return Replay(D2xxCall::SetFlowControl, {flowControl, xon, xoff});
}

FT_STATUS ReplayD2xx::FT_SetTimeouts(FT_HANDLE, ULONG readTimeout, ULONG writeTimeout) {
  return Replay(D2xxCall::SetTimeouts, {readTimeout, writeTimeout});
}

FT_STATUS ReplayD2xx::FT_SetLatencyTimer(FT_HANDLE, UCHAR timer) {
  return Replay(D2xxCall::SetLatencyTimer, {timer});
}

FT_STATUS ReplayD2xx::FT_GetDeviceInfo(FT_HANDLE, FT_DEVICE* type, DWORD* id, char* serialNumber,
                                       char* description, void*) {
  TraceCall actual;
  actual.fn = D2xxCall::GetDeviceInfo;
  const TraceCall* r = Answer(actual);
  if (r == nullptr)
    return kStatusAfterDivergence;
  if (r->status == FT_OK) {
    Store(type, r->results[0]);
    Store(id, r->results[1]);
    CopyText(r->serial, serialNumber, 16);
    CopyText(r->description, description, 64);
  }
  return Done(*r);
}

FT_STATUS ReplayD2xx::FT_Write(FT_HANDLE, const void* buffer, DWORD n, DWORD* written) {
  TraceCall actual;
  actual.fn = D2xxCall::Write;
  actual.args[0] = n;
  if (buffer != nullptr) {
    const auto* p = static_cast<const uint8_t*>(buffer);
    actual.bytes.assign(p, p + n);
  }
  const TraceCall* r = Answer(actual);
  if (written != nullptr)
    *written = r != nullptr ? r->results[0] : 0;
  return r == nullptr ? kStatusAfterDivergence : Done(*r);
}

FT_STATUS ReplayD2xx::FT_Read(FT_HANDLE, void* buffer, DWORD n, DWORD* got) {
  TraceCall actual;
  actual.fn = D2xxCall::Read;
  actual.args[0] = n;
  const TraceCall* r = Answer(actual);
  if (got != nullptr)
    *got = 0;
  if (r == nullptr)
    return kStatusAfterDivergence;
  // The trace never holds more than was asked for: n is checked above.
  if (buffer != nullptr && !r->bytes.empty())
    std::memcpy(buffer, r->bytes.data(), std::min<size_t>(r->bytes.size(), n));
  if (got != nullptr && buffer != nullptr)
    *got = static_cast<DWORD>(std::min<size_t>(r->bytes.size(), n));
  return Done(*r);
}

FT_STATUS ReplayD2xx::FT_GetQueueStatus(FT_HANDLE, DWORD* rxBytes) {
  return Replay(D2xxCall::GetQueueStatus, {}, rxBytes);
}

FT_STATUS ReplayD2xx::FT_GetStatus(FT_HANDLE, DWORD* rxBytes, DWORD* txBytes, DWORD* eventStatus) {
  return Replay(D2xxCall::GetStatus, {}, rxBytes, txBytes, eventStatus);
}

}  // namespace vexo3
