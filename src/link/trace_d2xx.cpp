#include "link/trace_d2xx.h"

#include <algorithm>
#include <cstring>
#include <ostream>

#include "platform/clock.h"

namespace vexo3 {

namespace {

// A device string from the driver, bounded even when the driver forgot the
// terminator.
std::string Bounded(const char* text, size_t capacity) {
  if (text == nullptr)
    return "";
  return std::string(text, strnlen(text, capacity));
}

// On FT_OK the driver's answers in `outs` are the call's results, in order
// (none where the program passed no place for one). Returns status.
FT_STATUS Results(TraceCall& call, FT_STATUS status, const auto*... outs) {
  if (status == FT_OK) {
    size_t i = 0;
    ((call.results[i++] = outs != nullptr ? *outs : 0), ...);
  }
  return status;
}

}  // namespace

TraceD2xx::TraceD2xx(D2xxApi& inner, Clock& clock, std::ostream& out)
    : inner_(inner), clock_(clock), out_(out), startUs_(clock.Now().count()) {}

TraceCall TraceD2xx::Begin(D2xxCall fn, const std::array<uint32_t, 3>& args) {
  TraceCall call;
  call.fn = fn;
  call.args = args;
  call.startUs = clock_.Now().count() - startUs_;
  return call;
}

FT_STATUS TraceD2xx::End(TraceCall& call, FT_STATUS status) {
  call.durationUs = clock_.Now().count() - startUs_ - call.startUs;
  call.status = status;
  if (!versionWritten_) {
    out_ << kTraceVersionLine << '\n';
    versionWritten_ = true;
  }
  out_ << FormatTraceLine(call);
  out_.flush();
  return status;
}

FT_STATUS TraceD2xx::FT_CreateDeviceInfoList(DWORD* numDevs) {
  TraceCall c = Begin(D2xxCall::CreateDeviceInfoList);
  return End(c, Results(c, inner_.FT_CreateDeviceInfoList(numDevs), numDevs));
}

FT_STATUS TraceD2xx::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs) {
  // Only the records the caller made room for exist, whatever the driver says.
  const DWORD capacity = numDevs != nullptr ? *numDevs : 0;
  TraceCall c = Begin(D2xxCall::GetDeviceInfoList, {capacity});
  const FT_STATUS s = Results(c, inner_.FT_GetDeviceInfoList(dest, numDevs), numDevs);
  if (s == FT_OK && numDevs != nullptr) {
    for (DWORD i = 0; dest != nullptr && i < std::min(*numDevs, capacity); ++i) {
      const FT_DEVICE_LIST_INFO_NODE& d = dest[i];
      c.devices.push_back({d.Flags, d.Type, d.ID, d.LocId,
                           Bounded(d.SerialNumber, sizeof d.SerialNumber),
                           Bounded(d.Description, sizeof d.Description)});
    }
    // Without a list to read, the trace holds no records: say none.
    if (dest == nullptr)
      c.args[0] = 0;
  }
  return End(c, s);
}

FT_STATUS TraceD2xx::FT_Open(int deviceNumber, FT_HANDLE* handle) {
  TraceCall c = Begin(D2xxCall::Open, {static_cast<uint32_t>(deviceNumber)});
  return End(c, inner_.FT_Open(deviceNumber, handle));
}

FT_STATUS TraceD2xx::FT_Close(FT_HANDLE handle) {
  TraceCall c = Begin(D2xxCall::Close);
  return End(c, inner_.FT_Close(handle));
}

FT_STATUS TraceD2xx::FT_GetBitMode(FT_HANDLE handle, UCHAR* mode) {
  TraceCall c = Begin(D2xxCall::GetBitMode);
  return End(c, Results(c, inner_.FT_GetBitMode(handle, mode), mode));
}

FT_STATUS TraceD2xx::FT_SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) {
  TraceCall c = Begin(D2xxCall::SetBitMode, {mask, mode});
  return End(c, inner_.FT_SetBitMode(handle, mask, mode));
}

FT_STATUS TraceD2xx::FT_Purge(FT_HANDLE handle, ULONG mask) {
  TraceCall c = Begin(D2xxCall::Purge, {mask});
  return End(c, inner_.FT_Purge(handle, mask));
}

FT_STATUS TraceD2xx::FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits,
                                               UCHAR parity) {
  TraceCall c = Begin(D2xxCall::SetDataCharacteristics, {wordLength, stopBits, parity});
  return End(c, inner_.FT_SetDataCharacteristics(handle, wordLength, stopBits, parity));
}

FT_STATUS TraceD2xx::FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate) {
  TraceCall c = Begin(D2xxCall::SetBaudRate, {baudRate});
  return End(c, inner_.FT_SetBaudRate(handle, baudRate));
}

FT_STATUS TraceD2xx::FT_SetFlowControl(FT_HANDLE handle, USHORT flowControl, UCHAR xon,
                                       UCHAR xoff) {
  TraceCall c = Begin(D2xxCall::SetFlowControl, {flowControl, xon, xoff});
  return End(c, inner_.FT_SetFlowControl(handle, flowControl, xon, xoff));
}

FT_STATUS TraceD2xx::FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout) {
  TraceCall c = Begin(D2xxCall::SetTimeouts, {readTimeout, writeTimeout});
  return End(c, inner_.FT_SetTimeouts(handle, readTimeout, writeTimeout));
}

FT_STATUS TraceD2xx::FT_SetLatencyTimer(FT_HANDLE handle, UCHAR timer) {
  TraceCall c = Begin(D2xxCall::SetLatencyTimer, {timer});
  return End(c, inner_.FT_SetLatencyTimer(handle, timer));
}

FT_STATUS TraceD2xx::FT_GetDeviceInfo(FT_HANDLE handle, FT_DEVICE* type, DWORD* id,
                                      char* serialNumber, char* description, void* dummy) {
  TraceCall c = Begin(D2xxCall::GetDeviceInfo);
  const FT_STATUS s = Results(
      c, inner_.FT_GetDeviceInfo(handle, type, id, serialNumber, description, dummy), type, id);
  if (s == FT_OK) {
    c.serial = Bounded(serialNumber, 16);
    c.description = Bounded(description, 64);
  }
  return End(c, s);
}

FT_STATUS TraceD2xx::FT_Write(FT_HANDLE handle, const void* buffer, DWORD n, DWORD* written) {
  TraceCall c = Begin(D2xxCall::Write, {n});
  // Copied before the call: the bytes the program offered, whatever the driver does.
  if (buffer != nullptr) {
    const auto* p = static_cast<const uint8_t*>(buffer);
    c.bytes.assign(p, p + n);
  }
  const FT_STATUS s = inner_.FT_Write(handle, buffer, n, written);
  // Only what the driver took went on the wire.
  c.results[0] = (s == FT_OK && written != nullptr) ? std::min(*written, n) : 0;
  return End(c, s);
}

FT_STATUS TraceD2xx::FT_Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got) {
  TraceCall c = Begin(D2xxCall::Read, {n});
  const FT_STATUS s = inner_.FT_Read(handle, buffer, n, got);
  const DWORD moved = (s == FT_OK && got != nullptr && buffer != nullptr) ? std::min(*got, n) : 0;
  c.results[0] = moved;
  const auto* p = static_cast<const uint8_t*>(buffer);
  if (moved > 0)
    c.bytes.assign(p, p + moved);
  return End(c, s);
}

FT_STATUS TraceD2xx::FT_GetQueueStatus(FT_HANDLE handle, DWORD* rxBytes) {
  TraceCall c = Begin(D2xxCall::GetQueueStatus);
  return End(c, Results(c, inner_.FT_GetQueueStatus(handle, rxBytes), rxBytes));
}

FT_STATUS TraceD2xx::FT_GetStatus(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes,
                                  DWORD* eventStatus) {
  TraceCall c = Begin(D2xxCall::GetStatus);
  return End(c, Results(c, inner_.FT_GetStatus(handle, rxBytes, txBytes, eventStatus), rxBytes,
                        txBytes, eventStatus));
}

}  // namespace vexo3
