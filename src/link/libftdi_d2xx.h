#pragma once

// D2xxApi on real FT-X chips (0403:6015) through libftdi1. It gives the
// driver semantics the link relies on:
//   - FT_Read blocks until n bytes or the read time-out and returns FT_OK
//     with the count (short, or 0, on a time-out); read time-out 0 waits
//     for ever. Bytes fetched from the chip are kept here, so
//     FT_GetQueueStatus counts them.
//   - FT_Write blocks until all bytes are accepted or the write time-out
//     expires and reports the bytes that went (a multiple of the piece size
//     on a time-out; the piece under way is not counted).
//   - FT_GetStatus reports 0 bytes to send: writes are synchronous.
//   - Without libusb (no USB at all) enumeration finds no device; a device
//     that can't be opened for reading its strings lists them empty.
// No failure throws; libusb and libftdi errors come back as FT_IO_ERROR,
// FT_DEVICE_NOT_OPENED etc. Not thread-safe: one caller at a time.

#include <memory>

#include "link/d2xx.h"

namespace vexo3 {

class LibFtdiD2xx final : public D2xxApi {
 public:
  LibFtdiD2xx();
  // Closes any handle still open.
  ~LibFtdiD2xx() override;
  LibFtdiD2xx(const LibFtdiD2xx&) = delete;
  LibFtdiD2xx& operator=(const LibFtdiD2xx&) = delete;

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
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vexo3
