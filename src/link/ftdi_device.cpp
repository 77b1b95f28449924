#include "link/ftdi_device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vexo3 {

namespace {

// D2XX fills the record's text fields but nothing promises a terminator when
// a string fills the field completely; never read past the field.
template <size_t N>
bool FieldEquals(const char (&field)[N], const char* text) {
  const size_t len = std::strlen(text);
  return len < N && strnlen(field, N) == len && std::memcmp(field, text, len) == 0;
}

template <size_t N>
bool FieldEquals(const char (&field)[N], const std::string& text) {
  return text.size() < N && strnlen(field, N) == text.size() &&
         std::memcmp(field, text.data(), text.size()) == 0;
}

bool DescriptionAccepted(int32_t selector, const FT_DEVICE_LIST_INFO_NODE& node) {
  switch (selector) {
    case 0:
      return true;
    case 1:
      return FieldEquals(node.Description, "Vexo-3 Prototype") ||
             FieldEquals(node.Description, "KORVANT Vexo-3 proto demo") ||
             FieldEquals(node.Description, "Vexo-3 HandController");
    case 2:
      return FieldEquals(node.Description, "USB <-> Serial Converter");
    case 3:
      return FieldEquals(node.Description, "Vexo-3 HandController");
    default:
      return false;
  }
}

}  // namespace

FtdiDevice::FtdiDevice(D2xxApi& d2xx) : d2xx_(d2xx) {}

FtdiDevice::~FtdiDevice() {
  // Owners close through the session's teardown; this only stops a handle
  // from leaking when they didn't.
  if (handle_ != nullptr)
    CloseHandle();
}

void FtdiDevice::SetErrorText(const char* text) {
  std::snprintf(errorText, sizeof errorText, "%s", text);
}

void FtdiDevice::RecordFailure(const char* message) {
  std::snprintf(errorText, sizeof errorText, "%s (code %d ($%x))", message,
                static_cast<int>(lastStatus), static_cast<unsigned>(lastStatus));
}

bool FtdiDevice::CloseHandle() {
  if (handle_ == nullptr)
    return true;
  lastStatus = d2xx_.FT_Close(handle_);
  if (lastStatus != FT_OK) {
    SetErrorText("FT_Close failed");
    return false;
  }
  handle_ = nullptr;
  return true;
}

FtdiDevice::ChipVerdict FtdiDevice::Judge(const FT_DEVICE_LIST_INFO_NODE& node, int32_t selector,
                                          const std::string& serialFilter) {
  const bool descriptionAccepted = DescriptionAccepted(selector, node);
  const bool serialAccepted = serialFilter.empty() || FieldEquals(node.SerialNumber, serialFilter);
  if (node.ID == kUsbId && descriptionAccepted && serialAccepted)
    return ChipVerdict::kOpens;
  const bool noStrings = node.SerialNumber[0] == '\0' && node.Description[0] == '\0';
  if ((node.Flags & FT_FLAGS_OPENED) != 0 && noStrings)
    return ChipVerdict::kInUseElsewhere;
  if (node.ID != kUsbId)
    return ChipVerdict::kOtherUsbId;
  if (noStrings)
    return ChipVerdict::kUnreadable;
  return descriptionAccepted ? ChipVerdict::kOtherSerial : ChipVerdict::kOtherDescription;
}

bool FtdiDevice::Enumerate(std::unique_ptr<FT_DEVICE_LIST_INFO_NODE[]>* list, int32_t* count,
                           const char** failedCall) {
  list->reset();
  *count = 0;
  DWORD n = 0;
  lastStatus = d2xx_.FT_CreateDeviceInfoList(&n);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_CreateDeviceInfoList failed");
    *failedCall = "FT_CreateDeviceInfoList";
    return false;
  }
  if (n == 0)
    return true;
  // The driver fills as many records as it counts: a count beyond any real
  // bus is refused rather than given the room it asks for.
  if (n > kMaxDeviceListRecords) {
    RecordFailure("FT_CreateDeviceInfoList counted more devices than a bus can hold");
    *failedCall = "FT_CreateDeviceInfoList";
    return false;
  }

  const DWORD allocated = n;
  *list = std::make_unique<FT_DEVICE_LIST_INFO_NODE[]>(allocated);
  lastStatus = d2xx_.FT_GetDeviceInfoList(list->get(), &n);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_GetDeviceInfoList failed");
    *failedCall = "FT_GetDeviceInfoList";
    return false;
  }
  // A device plugged in between the two calls may make the driver report
  // more than we allocated; only the records we own are valid.
  *count = static_cast<int32_t>(std::min(n, allocated));
  return true;
}

int32_t FtdiDevice::ListChips(std::vector<ChipRecord>* chips, const char** failedCall) {
  chips->clear();
  errorText[0] = '\0';
  std::unique_ptr<FT_DEVICE_LIST_INFO_NODE[]> list;
  int32_t count = 0;
  const char* failed = nullptr;
  if (!Enumerate(&list, &count, &failed)) {
    if (failedCall != nullptr)
      *failedCall = failed;
    return 1;
  }
  for (int32_t i = 0; i < count; ++i)
    chips->push_back(ChipRecord{i, list[i]});
  return 0;
}

int32_t FtdiDevice::FindDevice() {
  errorText[0] = '\0';
  if (!CloseHandle())
    return -1;

  std::unique_ptr<FT_DEVICE_LIST_INFO_NODE[]> list;
  int32_t count = 0;
  const char* failed = nullptr;
  if (!Enumerate(&list, &count, &failed))
    return -1;
  for (int32_t i = 0; i < count; ++i) {
    if (Judge(list[i], deviceSelector, serialFilter) == ChipVerdict::kOpens)
      return i;
  }
  return -1;
}

int32_t FtdiDevice::OpenDevice() {
  const int32_t index = FindDevice();
  if (index < 0)
    return 1;

  // The driver may write into the out-parameter even when it fails; only a
  // successful open may change our handle.
  FT_HANDLE opened = nullptr;
  lastStatus = d2xx_.FT_Open(index, &opened);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_Open failed");
    return static_cast<int32_t>(lastStatus);
  }
  handle_ = opened;

  // The CBUS pins are read at every open, so that the driver always sees the
  // same calls; nothing here needs their state.
  UCHAR pins = 0;
  lastStatus = d2xx_.FT_GetBitMode(handle_, &pins);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_GetBitMode failed");
    return static_cast<int32_t>(lastStatus);
  }

  lastStatus = d2xx_.FT_Purge(handle_, FT_PURGE_RX | FT_PURGE_TX);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_Purge failed");
    return static_cast<int32_t>(lastStatus);
  }
  return 0;
}

int32_t FtdiDevice::CloseDevice() {
  return CloseHandle() ? 0 : 1;
}

bool FtdiDevice::RequireOpen(const char* operation) {
  if (handle_ != nullptr)
    return true;
  std::snprintf(errorText, sizeof errorText, "Device not open in %s()", operation);
  return false;
}

template <typename... Params, typename... Args>
int32_t FtdiDevice::Configure(const char* operation, const char* failure,
                              FT_STATUS (D2xxApi::*call)(FT_HANDLE, Params...), Args... args) {
  if (!RequireOpen(operation))
    return 1;
  lastStatus = (d2xx_.*call)(handle_, static_cast<Params>(args)...);
  if (lastStatus != FT_OK) {
    RecordFailure(failure);
    return 1;
  }
  return 0;
}

int32_t FtdiDevice::SetDataFormat() {
  return Configure("SetDataFormat", "FT_SetDataCharacteristics failed",
                   &D2xxApi::FT_SetDataCharacteristics, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
}

int32_t FtdiDevice::SetBaudRate(uint32_t baud) {
  return Configure("SetBaudRate", "FT_SetBaudRate failed", &D2xxApi::FT_SetBaudRate, baud);
}

int32_t FtdiDevice::SetRTSCTS() {
  return Configure("SetRTSCTS", "FT_SetFlowControl failed", &D2xxApi::FT_SetFlowControl,
                   FT_FLOW_RTS_CTS, 0, 0);
}

int32_t FtdiDevice::SetTimeouts(uint32_t readMs, uint32_t writeMs) {
  if (Configure("SetTimeouts", "FT_SetTimeouts failed", &D2xxApi::FT_SetTimeouts, readMs,
                writeMs) != 0) {
    return 1;
  }
  readTimeout = readMs;
  writeTimeout = writeMs;
  return 0;
}

int32_t FtdiDevice::SetLatencyTimer() {
  return Configure("SetLatencyTimer", "FT_SetLatencyTimer failed", &D2xxApi::FT_SetLatencyTimer, 2);
}

int32_t FtdiDevice::SetBitInput() {
  // Mask 0x00: no CBUS pin driven, all four read as inputs.
  return Configure("SetBitInput", "FT_SetBitMode failed", &D2xxApi::FT_SetBitMode, 0x00,
                   FT_BITMODE_CBUS_BITBANG);
}

int32_t FtdiDevice::FlushInBuffer() {
  return Configure("FlushInBuffer", "FT_Purge failed", &D2xxApi::FT_Purge, FT_PURGE_RX);
}

int32_t FtdiDevice::FlushOutBuffer() {
  return Configure("FlushOutBuffer", "FT_Purge failed", &D2xxApi::FT_Purge, FT_PURGE_TX);
}

int32_t FtdiDevice::Write(const void* data, int32_t n) {
  if (!RequireOpen("Write"))
    return 0;
  // A negative count would otherwise turn into a huge unsigned length.
  if (n <= 0 || data == nullptr) {
    SetErrorText("0 bytes written");
    return 0;
  }
  const auto* next = static_cast<const uint8_t*>(data);
  uint32_t remaining = static_cast<uint32_t>(n);
  while (remaining > 0) {
    const DWORD piece = std::min(remaining, kMaxWritePiece);
    DWORD written = 0;
    lastStatus = d2xx_.FT_Write(handle_, next, piece, &written);
    if (lastStatus != FT_OK) {
      RecordFailure("FT_Write failed");
      return 0;
    }
    if (written == 0) {
      RecordFailure("FT_Write timed out");
      return 0;
    }
    // Never trust a count beyond what we offered.
    written = std::min(written, piece);
    next += written;
    remaining -= written;
  }
  return n;
}

int32_t FtdiDevice::Read(int32_t n, void* destination) {
  if (!RequireOpen("Read"))
    return 0;
  // A negative count would otherwise turn into a huge unsigned length.
  if (n <= 0 || destination == nullptr) {
    SetErrorText("0 bytes read");
    return 0;
  }
  DWORD got = 0;
  lastStatus = d2xx_.FT_Read(handle_, destination, static_cast<DWORD>(n), &got);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_Read failed");
    return 0;
  }
  if (got == 0) {
    RecordFailure("FT_Read timed out");
    return 0;
  }
  return static_cast<int32_t>(std::min(got, static_cast<DWORD>(n)));
}

int32_t FtdiDevice::QueryReadBufLen() {
  if (!RequireOpen("QueryReadBufLen"))
    return 0;
  DWORD rx = 0;
  lastStatus = d2xx_.FT_GetQueueStatus(handle_, &rx);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_GetQueueStatus failed");
    return 0;
  }
  return static_cast<int32_t>(std::min<DWORD>(rx, INT32_MAX));
}

int32_t FtdiDevice::QueryWriteBufLen() {
  if (!RequireOpen("QueryWriteBufLen"))
    return 0;
  DWORD rx = 0;
  DWORD tx = 0;
  DWORD event = 0;
  lastStatus = d2xx_.FT_GetStatus(handle_, &rx, &tx, &event);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_GetStatus failed");
    return 0;
  }
  return static_cast<int32_t>(std::min<DWORD>(tx, INT32_MAX));
}

bool FtdiDevice::QueryStrings(const char* operation) {
  if (!RequireOpen(operation))
    return false;
  FT_DEVICE type = 0;
  DWORD id = 0;
  lastStatus = d2xx_.FT_GetDeviceInfo(handle_, &type, &id, serial_, description_, nullptr);
  // The driver fills 16 and 64 bytes; the fields are larger, so this always
  // leaves a terminator even when a string fills its field.
  serial_[sizeof serial_ - 1] = '\0';
  description_[sizeof description_ - 1] = '\0';
  if (lastStatus != FT_OK) {
    RecordFailure("FT_GetDeviceInfo failed");
    return false;
  }
  return true;
}

const char* FtdiDevice::QuerySerial() {
  return QueryStrings("QuerySerial") ? serial_ : "";
}

const char* FtdiDevice::QueryDescr() {
  return QueryStrings("QueryDescr") ? description_ : "";
}

}  // namespace vexo3
