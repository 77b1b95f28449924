#pragma once

// A D2xxApi decorator for bug reports: forwards every call to another backend
// and writes one line per call to a text stream — the configuration calls
// with their arguments and status, and every byte moved on the wire in both
// directions as hex, each line stamped with the clock's time since the trace
// began. It changes nothing: arguments, results and timing of the inner
// backend pass through as they are.

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>

#include "link/d2xx.h"

namespace vexo3 {

class Clock;

class TraceD2xx final : public D2xxApi {
 public:
  // Bytes shown per hex line; longer blocks continue on indented lines.
  static constexpr size_t kBytesPerLine = 32;

  // inner, clock and out must outlive this object. Each line is flushed as
  // it is written, so a trace survives a crash of the program.
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
  // "+S.UUUUUU " followed by text and a line end.
  void Line(const std::string& text);
  // Line for a block of bytes: the head, then the hex, wrapped.
  void Bytes(const std::string& head, std::span<const uint8_t> bytes);

  D2xxApi& inner_;
  Clock& clock_;
  std::ostream& out_;
  int64_t startUs_;
};

// "FT_OK", "FT_IO_ERROR", ... or "FT_STATUS 42" for a value without a name.
std::string StatusName(FT_STATUS status);
// "F8 01 01 FF": upper-case hex pairs joined by single blanks.
std::string HexBytes(std::span<const uint8_t> bytes);

}  // namespace vexo3
