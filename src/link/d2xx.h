#pragma once

// The USB-serial driver interface that FtdiDevice is written against. It keeps
// the names, argument order, types and status values of the vendor's D2XX API
// so the link code reads like code for that driver. Implementations:
//   - LibFtdiD2xx (link/libftdi_d2xx.h): real FT-X chips through libftdi1 (Linux);
//   - WinD2xx (link/win_d2xx.h): the vendor's driver library on Windows;
//   - sim::SimulatedBus (sim/bus/sim_bus.h): simulated chips for tests and --simulate.
// FtdiDevice is the only caller. Nothing here is global: main() picks one
// implementation and hands it down.

#include <cstdint>

namespace vexo3 {

using FT_STATUS = uint32_t;
using FT_HANDLE = void*;
using FT_DEVICE = uint32_t;
using DWORD = uint32_t;
using ULONG = uint32_t;
using USHORT = uint16_t;
using UCHAR = uint8_t;

// FT_STATUS values.
enum : FT_STATUS {
  FT_OK = 0,
  FT_INVALID_HANDLE = 1,
  FT_DEVICE_NOT_FOUND = 2,
  FT_DEVICE_NOT_OPENED = 3,
  FT_IO_ERROR = 4,
  FT_INSUFFICIENT_RESOURCES = 5,
  FT_INVALID_PARAMETER = 6,
  FT_INVALID_BAUD_RATE = 7,
  FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
  FT_DEVICE_NOT_OPENED_FOR_WRITE = 9,
  FT_FAILED_TO_WRITE_DEVICE = 10,
  FT_EEPROM_READ_FAILED = 11,
  FT_EEPROM_WRITE_FAILED = 12,
  FT_EEPROM_ERASE_FAILED = 13,
  FT_EEPROM_NOT_PRESENT = 14,
  FT_EEPROM_NOT_PROGRAMMED = 15,
  FT_INVALID_ARGS = 16,
  FT_NOT_SUPPORTED = 17,
  FT_OTHER_ERROR = 18,
  FT_DEVICE_LIST_NOT_READY = 19,
};

// FT_DEVICE values (only the one we meet is named).
enum : FT_DEVICE { FT_DEVICE_X_SERIES = 9, FT_DEVICE_UNKNOWN = 3 };

// Flags of FT_DEVICE_LIST_INFO_NODE.
enum : ULONG { FT_FLAGS_OPENED = 1, FT_FLAGS_HISPEED = 2 };

enum : UCHAR { FT_BITS_8 = 8, FT_BITS_7 = 7 };
enum : UCHAR { FT_STOP_BITS_1 = 0, FT_STOP_BITS_2 = 2 };
enum : UCHAR { FT_PARITY_NONE = 0, FT_PARITY_ODD = 1, FT_PARITY_EVEN = 2 };
enum : USHORT { FT_FLOW_NONE = 0x0000, FT_FLOW_RTS_CTS = 0x0100 };
enum : ULONG { FT_PURGE_RX = 1, FT_PURGE_TX = 2 };
enum : UCHAR { FT_BITMODE_RESET = 0x00, FT_BITMODE_CBUS_BITBANG = 0x20 };

// One record of the device list. On 32-bit Windows this is 100 bytes; here
// the handle is 8 bytes wide, the layout is otherwise the same.
struct FT_DEVICE_LIST_INFO_NODE {
  ULONG Flags;
  ULONG Type;
  ULONG ID;  // vendor id << 16 | product id
  DWORD LocId;
  char SerialNumber[16];
  char Description[64];
  FT_HANDLE ftHandle;
};

// The most records a device list may hold here: far beyond the chips a
// machine's USB can carry, and small enough that the room made for the list
// stays small whatever count a driver or a recorded trace reports.
inline constexpr DWORD kMaxDeviceListRecords = 4096;

class D2xxApi {
 public:
  virtual ~D2xxApi() = default;

  // Builds the driver's device list; *numDevs = number of devices in it.
  virtual FT_STATUS FT_CreateDeviceInfoList(DWORD* numDevs) = 0;
  // Copies the list made by FT_CreateDeviceInfoList into dest, which holds
  // *numDevs records; *numDevs = records written. Strings are zero-terminated
  // and empty for a device that can't be read (busy, or no permission).
  virtual FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs) = 0;
  // Opens the device at that index of the last list.
  virtual FT_STATUS FT_Open(int deviceNumber, FT_HANDLE* handle) = 0;
  virtual FT_STATUS FT_Close(FT_HANDLE handle) = 0;
  // *mode = the instantaneous value of the pins (CBUS pins in CBUS bit-bang).
  virtual FT_STATUS FT_GetBitMode(FT_HANDLE handle, UCHAR* mode) = 0;
  virtual FT_STATUS FT_SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) = 0;
  // mask: FT_PURGE_RX and/or FT_PURGE_TX.
  virtual FT_STATUS FT_Purge(FT_HANDLE handle, ULONG mask) = 0;
  virtual FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits,
                                              UCHAR parity) = 0;
  virtual FT_STATUS FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate) = 0;
  virtual FT_STATUS FT_SetFlowControl(FT_HANDLE handle, USHORT flowControl, UCHAR xon,
                                      UCHAR xoff) = 0;
  // Time-outs in milliseconds for FT_Read and FT_Write.
  virtual FT_STATUS FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout) = 0;
  // Latency timer in milliseconds.
  virtual FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, UCHAR timer) = 0;
  // serialNumber needs 16 bytes, description 64; both come back zero-terminated.
  virtual FT_STATUS FT_GetDeviceInfo(FT_HANDLE handle, FT_DEVICE* type, DWORD* id,
                                     char* serialNumber, char* description, void* dummy) = 0;
  // Sends up to n bytes. Blocks until all are accepted or the write time-out
  // expires; a time-out returns FT_OK with *written < n (possibly 0).
  virtual FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, DWORD n, DWORD* written) = 0;
  // Blocks until n bytes have arrived or the read time-out expires. A
  // time-out is not an error: FT_OK with *got < n (possibly 0).
  virtual FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got) = 0;
  // *rxBytes = bytes waiting in the receive queue.
  virtual FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, DWORD* rxBytes) = 0;
  // *txBytes = bytes written but not yet sent on the line.
  virtual FT_STATUS FT_GetStatus(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes,
                                 DWORD* eventStatus) = 0;
};

// The declarations of every D2xxApi call, for a backend's class body. NB:
// keep in step with the interface above and with the calls table
// (link/d2xx_calls.h) when a call is added.
#define VEXO3_D2XX_OVERRIDES                                                                   \
  FT_STATUS FT_CreateDeviceInfoList(DWORD* numDevs) override;                                  \
  FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs) override;     \
  FT_STATUS FT_Open(int deviceNumber, FT_HANDLE* handle) override;                             \
  FT_STATUS FT_Close(FT_HANDLE handle) override;                                               \
  FT_STATUS FT_GetBitMode(FT_HANDLE handle, UCHAR* mode) override;                             \
  FT_STATUS FT_SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) override;                  \
  FT_STATUS FT_Purge(FT_HANDLE handle, ULONG mask) override;                                   \
  FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits,      \
                                      UCHAR parity) override;                                  \
  FT_STATUS FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate) override;                         \
  FT_STATUS FT_SetFlowControl(FT_HANDLE handle, USHORT flowControl, UCHAR xon, UCHAR xoff)     \
      override;                                                                                \
  FT_STATUS FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout) override;  \
  FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, UCHAR timer) override;                        \
  FT_STATUS FT_GetDeviceInfo(FT_HANDLE handle, FT_DEVICE* type, DWORD* id, char* serialNumber, \
                             char* description, void* dummy) override;                         \
  FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, DWORD n, DWORD* written) override;  \
  FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got) override;             \
  FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, DWORD* rxBytes) override;                      \
  FT_STATUS FT_GetStatus(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes, DWORD* eventStatus) \
      override

}  // namespace vexo3
