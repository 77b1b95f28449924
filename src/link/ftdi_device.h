#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/d2xx.h"

namespace vexo3 {

// The USB-serial link to the HandController: finds the FT-X chip among the
// FTDI devices, opens and configures it, moves bytes and answers queries
// about the chip. It is the only caller of D2xxApi and knows nothing of the
// protocol.
//
// Results: unless said otherwise an operation returns 0 on success and 1 on
// failure. Every failure leaves a text in errorText (a diagnostic, never
// shown to users): a fixed text, or "%s (code %d ($%x))" with lastStatus.
// No operation throws or retries; each blocks at most for the D2XX
// time-outs in force.
class FtdiDevice {
 public:
  // USB id of the chip: vendor 0x0403, product 0x6015.
  static constexpr ULONG kUsbId = 0x04036015;
  // The description of a HandController's chip, and the deviceSelector that
  // accepts only that (the one the session uses).
  static constexpr const char* kHandControllerDescription = "Vexo-3 HandController";
  static constexpr int32_t kHandControllerSelector = 3;
  // Pieces of a Write: at most this many bytes per FT_Write call.
  static constexpr uint32_t kMaxWritePiece = 16384;

  // d2xx must outlive the object.
  explicit FtdiDevice(D2xxApi& d2xx);
  // Closes a handle still open (owners normally close it first).
  ~FtdiDevice();
  FtdiDevice(const FtdiDevice&) = delete;
  FtdiDevice& operator=(const FtdiDevice&) = delete;

  // What FindDevice makes of one record of the driver's list: kOpens when it
  // would take it, else the first reason it doesn't.
  enum class ChipVerdict {
    kOpens,             // ID kUsbId, description and serial accepted
    kInUseElsewhere,    // opened flag and no strings: another process holds
                        // it (Windows then fills nothing else, the ID included)
    kOtherUsbId,        // not an FT-X chip of ours
    kUnreadable,        // no strings: no permission for the USB device, or busy
    kOtherDescription,  // refused by the selector
    kOtherSerial,       // refused by the serial filter
  };
  // The one rule for FindDevice and for anything that shows the chips:
  // selector as deviceSelector, serialFilter as SetSerialFilter ("" = any).
  // Reads the record's text fields only up to their size.
  static ChipVerdict Judge(const FT_DEVICE_LIST_INFO_NODE& node, int32_t selector,
                           const std::string& serialFilter);

  // One record of the driver's list.
  struct ChipRecord {
    int32_t index = 0;  // in the list: what FT_Open is given
    FT_DEVICE_LIST_INFO_NODE node{};
  };
  // Every record of the driver's list, in its order: FT_CreateDeviceInfoList,
  // then (unless it counts none) FT_GetDeviceInfoList, the calls FindDevice
  // makes. 0 on success; 1 when a call fails, or FT_CreateDeviceInfoList
  // counts more than kMaxDeviceListRecords devices, with the failure
  // recorded as FindDevice records it and *failedCall (when given) that
  // call's name.
  // Leaves the handle alone.
  int32_t ListChips(std::vector<ChipRecord>* chips, const char** failedCall = nullptr);

  // Index of the first device in the driver's list that Judge gives kOpens
  // with deviceSelector and serialFilter; −1 when none does or enumeration
  // fails. Closes an open handle first.
  int32_t FindDevice();
  // 0 on success; 1 when FindDevice finds nothing; the non-zero D2XX status
  // when a D2XX call fails (the handle may then be open).
  int32_t OpenDevice();
  // Closes the handle if one is open; 1 with "FT_Close failed" (handle kept)
  // when FT_Close fails.
  int32_t CloseDevice();
  bool IsOpen() const { return handle_ != nullptr; }

  // Configuration calls, with the fixed values the line needs.
  int32_t SetDataFormat();  // 8 data bits, 1 stop bit, no parity
  int32_t SetBaudRate(uint32_t baud);
  int32_t SetRTSCTS();                                     // RTS/CTS hardware flow control
  int32_t SetTimeouts(uint32_t readMs, uint32_t writeMs);  // ms; stored on success
  int32_t SetLatencyTimer();                               // 2 ms
  int32_t SetBitInput();                                   // CBUS bit-bang, all four pins inputs
  int32_t FlushInBuffer();                                 // purge the receive queue
  int32_t FlushOutBuffer();                                // purge the transmit queue

  // Sends n bytes in pieces of at most kMaxWritePiece. Returns n, or 0 on any
  // failure (a time-out included; bytes already sent are not reported).
  // n <= 0 (or no data) returns 0 with "0 bytes written" and sends nothing.
  int32_t Write(const void* data, int32_t n);
  // One FT_Read of up to n bytes into destination (which holds n bytes).
  // Returns the count read, 1..n: fewer than n when the read time-out expired
  // after part of the data arrived, which is not a failure. 0 on failure or
  // when nothing arrived within the time-out ("FT_Read timed out"). n <= 0 (or
  // no destination) returns 0 with "0 bytes read" and reads nothing.
  int32_t Read(int32_t n, void* destination);
  // Bytes waiting in the receive queue; 0 on failure.
  int32_t QueryReadBufLen();
  // Bytes in the transmit queue not yet sent; 0 on failure.
  int32_t QueryWriteBufLen();
  // The chip's serial number / description; "" on failure. The text lives in
  // this object and stays valid until the next query.
  const char* QuerySerial();
  const char* QueryDescr();

  // Beyond the protocol: when not empty, FindDevice also requires the chip's
  // serial number to equal this text. Lets users pick one of several devices.
  void SetSerialFilter(std::string serial) { serialFilter = std::move(serial); }
  const std::string& SerialFilter() const { return serialFilter; }

  // The status of the last D2XX call.
  FT_STATUS lastStatus = FT_OK;
  int32_t deviceSelector = 0;  // 0 any, 1 prototypes, 2 generic converter, 3 HandController
  char errorText[1024] = {};
  // The time-outs last applied (ms).
  uint32_t readTimeout = 5000;
  uint32_t writeTimeout = 5000;

 private:
  void SetErrorText(const char* text);
  // False, with "Device not open in operation()", when no handle is open.
  bool RequireOpen(const char* operation);
  // One configuration call on the open handle: 0, or 1 with the not-open
  // text or RecordFailure(failure).
  template <typename... Params, typename... Args>
  int32_t Configure(const char* operation, const char* failure,
                    FT_STATUS (D2xxApi::*call)(FT_HANDLE, Params...), Args... args);
  // FT_GetDeviceInfo into serial and description; false on failure.
  bool QueryStrings(const char* operation);
  // FT_CreateDeviceInfoList and FT_GetDeviceInfoList: *list holds *count
  // records (none when the driver counts none). False on a failed call,
  // recorded, with *failedCall its name.
  bool Enumerate(std::unique_ptr<FT_DEVICE_LIST_INFO_NODE[]>* list, int32_t* count,
                 const char** failedCall);
  // errorText = "message (code lastStatus ($lastStatus))".
  void RecordFailure(const char* message);
  // Closes like CloseDevice but without touching errorText on success.
  bool CloseHandle();

  D2xxApi& d2xx_;
  FT_HANDLE handle_ = nullptr;
  std::string serialFilter;
  // What QuerySerial and QueryDescr return.
  char serial_[17] = {};
  char description_[75] = {};
};

}  // namespace vexo3
