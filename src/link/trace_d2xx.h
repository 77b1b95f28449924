#pragma once

// A D2xxApi decorator for bug reports: forwards every call to another backend
// and writes it to a text stream in the wire trace format (link/trace_format.h,
// docs/trace-format.md): the version line first, then one record per call with
// its start time since the trace began, its duration, its arguments, status and
// results, and every byte moved on the wire in both directions as hex.
// ReplayD2xx plays such a trace back. It changes nothing: arguments, results
// and timing of the inner backend pass through as they are.

#include <array>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "link/d2xx.h"
#include "link/trace_format.h"

namespace vexo3 {

class Clock;

class TraceD2xx final : public D2xxApi {
 public:
  // inner, clock and out must outlive this object; times count from here.
  // The version line is written with the first call, so out may be opened
  // any time before that. Each call is flushed as it is written, so a trace
  // survives a crash of the program (a file cut inside a call still replays
  // up to that call).
  TraceD2xx(D2xxApi& inner, Clock& clock, std::ostream& out);

  FT_STATUS FT_CreateDeviceInfoList(DWORD* numDevs) override;
  FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs) override;
  FT_STATUS FT_Open(int deviceNumber, FT_HANDLE* handle) override;
  FT_STATUS FT_Close(FT_HANDLE handle) override;
  FT_STATUS FT_GetBitMode(FT_HANDLE handle, UCHAR* mode) override;
  FT_STATUS FT_SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) override;
  FT_STATUS FT_Purge(FT_HANDLE handle, ULONG mask) override;
  FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits,
                                      UCHAR parity) override;
  FT_STATUS FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate) override;
  FT_STATUS FT_SetFlowControl(FT_HANDLE handle, USHORT flowControl, UCHAR xon, UCHAR xoff) override;
  FT_STATUS FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout) override;
  FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, UCHAR timer) override;
  FT_STATUS FT_GetDeviceInfo(FT_HANDLE handle, FT_DEVICE* type, DWORD* id, char* serialNumber,
                             char* description, void* dummy) override;
  FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, DWORD n, DWORD* written) override;
  FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got) override;
  FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, DWORD* rxBytes) override;
  FT_STATUS FT_GetStatus(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes,
                         DWORD* eventStatus) override;

 private:
  // A record for a call that begins now, with the program's arguments.
  TraceCall Begin(D2xxCall fn, const std::array<uint32_t, 3>& args = {});
  // Stamps its duration, writes and flushes it; returns status.
  FT_STATUS End(TraceCall& call, FT_STATUS status);

  D2xxApi& inner_;
  Clock& clock_;
  std::ostream& out_;
  int64_t startUs_;
  bool versionWritten_ = false;
};

}  // namespace vexo3
