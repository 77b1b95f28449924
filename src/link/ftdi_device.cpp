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
  if (handle != nullptr)
    CloseHandle();
}

void FtdiDevice::SetErrorText(const char* text) {
  std::snprintf(errorText, sizeof errorText, "%s", text);
}

void FtdiDevice::RecordFailure(const char* message, int32_t value) {
  std::snprintf(errorText, sizeof errorText, "%s (code %d ($%x))", message,
                static_cast<int>(lastStatus), static_cast<unsigned>(lastStatus));
  lastErrorCode = lastStatus;
  lastErrorValue = value;
}

bool FtdiDevice::CloseHandle() {
  if (handle == nullptr)
    return true;
  lastStatus = d2xx_.FT_Close(handle);
  if (lastStatus != FT_OK) {
    SetErrorText("FT_Close failed");
    return false;
  }
  handle = nullptr;
  return true;
}

int32_t FtdiDevice::FindDevice() {
  errorText[0] = '\0';
  if (!CloseHandle())
    return -1;

  DWORD count = 0;
  lastStatus = d2xx_.FT_CreateDeviceInfoList(&count);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_CreateDeviceInfoList failed", 0);
    return -1;
  }
  if (count == 0)
    return -1;

  // Released on every way out; deviceList only points at it meanwhile.
  const DWORD allocated = count;
  auto list = std::make_unique<FT_DEVICE_LIST_INFO_NODE[]>(allocated);
  deviceList = list.get();
  struct ListReset {
    FtdiDevice* self;
    ~ListReset() {
      self->deviceList = nullptr;
      self->deviceCount = 0;
    }
  } reset{this};

  lastStatus = d2xx_.FT_GetDeviceInfoList(deviceList, &count);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_GetDeviceInfoList failed", 0);
    return -1;
  }
  // A device plugged in between the two calls may make the driver report
  // more than we allocated; only the records we own are valid.
  deviceCount = static_cast<int32_t>(std::min(count, allocated));

  for (int32_t i = 0; i < deviceCount; ++i) {
    const FT_DEVICE_LIST_INFO_NODE& node = deviceList[i];
    if (node.ID != kUsbId)
      continue;
    if (!DescriptionAccepted(deviceSelector, node))
      continue;
    if (!serialFilter.empty() && !FieldEquals(node.SerialNumber, serialFilter))
      continue;
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
    RecordFailure("FT_Open failed", 0);
    return static_cast<int32_t>(lastStatus);
  }
  handle = opened;

  UCHAR pins = 0;
  lastStatus = d2xx_.FT_GetBitMode(handle, &pins);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_GetBitMode failed", 0);
    return static_cast<int32_t>(lastStatus);
  }
  cbusDirections = 0;
  cbusPinsAtOpen = pins;

  lastStatus = d2xx_.FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_Purge failed", 0);
    return static_cast<int32_t>(lastStatus);
  }
  return 0;
}

int32_t FtdiDevice::CloseDevice() {
  return CloseHandle() ? 0 : 1;
}

int32_t FtdiDevice::SetDataFormat() {
  if (handle == nullptr) {
    SetErrorText("Device not open in SetDataFormat()");
    return 1;
  }
  lastStatus = d2xx_.FT_SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_SetDataCharacteristics failed", 0);
    return 1;
  }
  return 0;
}

int32_t FtdiDevice::SetBaudRate(uint32_t baud) {
  if (handle == nullptr) {
    SetErrorText("Device not open in SetBaudRate()");
    return 1;
  }
  lastStatus = d2xx_.FT_SetBaudRate(handle, baud);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_SetBaudRate failed", 0);
    return 1;
  }
  return 0;
}

int32_t FtdiDevice::SetRTSCTS() {
  if (handle == nullptr) {
    SetErrorText("Device not open in SetRTSCTS()");
    return 1;
  }
  lastStatus = d2xx_.FT_SetFlowControl(handle, FT_FLOW_RTS_CTS, 0, 0);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_SetFlowControl failed", 0);
    return 1;
  }
  return 0;
}

int32_t FtdiDevice::SetTimeouts(uint32_t readMs, uint32_t writeMs) {
  if (handle == nullptr) {
    SetErrorText("Device not open in SetTimeouts()");
    return 1;
  }
  lastStatus = d2xx_.FT_SetTimeouts(handle, readMs, writeMs);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_SetTimeouts failed", 0);
    return 1;
  }
  readTimeout = readMs;
  writeTimeout = writeMs;
  return 0;
}

int32_t FtdiDevice::SetLatencyTimer() {
  if (handle == nullptr) {
    SetErrorText("Device not open in SetLatencyTimer()");
    return 1;
  }
  lastStatus = d2xx_.FT_SetLatencyTimer(handle, 2);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_SetLatencyTimer failed", 0);
    return 1;
  }
  return 0;
}

int32_t FtdiDevice::SetBitInput() {
  if (handle == nullptr) {
    SetErrorText("Device not open in SetBitInput()");
    return 1;
  }
  cbusDirections &= ~0x0Fu;
  // Mask 0x00: no CBUS pin driven, all four read as inputs.
  lastStatus = d2xx_.FT_SetBitMode(handle, 0x00, FT_BITMODE_CBUS_BITBANG);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_SetBitMode failed", 0);
    return 1;
  }
  return 0;
}

int32_t FtdiDevice::FlushInBuffer() {
  if (handle == nullptr) {
    SetErrorText("Device not open in FlushInBuffer()");
    return 1;
  }
  lastStatus = d2xx_.FT_Purge(handle, FT_PURGE_RX);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_Purge failed", 0);
    return 1;
  }
  return 0;
}

int32_t FtdiDevice::FlushOutBuffer() {
  if (handle == nullptr) {
    SetErrorText("Device not open in FlushOutBuffer()");
    return 1;
  }
  lastStatus = d2xx_.FT_Purge(handle, FT_PURGE_TX);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_Purge failed", 0);
    return 1;
  }
  return 0;
}

int32_t FtdiDevice::Write(const void* data, int32_t n) {
  if (handle == nullptr) {
    SetErrorText("Device not open in Write()");
    return 0;
  }
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
    lastStatus = d2xx_.FT_Write(handle, next, piece, &written);
    if (lastStatus != FT_OK) {
      RecordFailure("FT_Write failed", 0);
      return 0;
    }
    if (written == 0) {
      RecordFailure("FT_Write timed out", 1);
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
  if (handle == nullptr) {
    SetErrorText("Device not open in Read()");
    return 0;
  }
  // A negative count would otherwise turn into a huge unsigned length.
  if (n <= 0 || destination == nullptr) {
    SetErrorText("0 bytes read");
    return 0;
  }
  DWORD got = 0;
  lastStatus = d2xx_.FT_Read(handle, destination, static_cast<DWORD>(n), &got);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_Read failed", 0);
    return 0;
  }
  if (got == 0) {
    RecordFailure("FT_Read timed out", 1);
    return 0;
  }
  return static_cast<int32_t>(std::min(got, static_cast<DWORD>(n)));
}

int32_t FtdiDevice::QueryReadBufLen() {
  if (handle == nullptr) {
    SetErrorText("Device not open in QueryReadBufLen()");
    return 0;
  }
  DWORD rx = 0;
  lastStatus = d2xx_.FT_GetQueueStatus(handle, &rx);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_GetQueueStatus failed", 0);
    return 0;
  }
  return static_cast<int32_t>(std::min<DWORD>(rx, INT32_MAX));
}

int32_t FtdiDevice::QueryWriteBufLen() {
  if (handle == nullptr) {
    SetErrorText("Device not open in QueryWriteBufLen()");
    return 0;
  }
  DWORD rx = 0;
  DWORD tx = 0;
  DWORD event = 0;
  lastStatus = d2xx_.FT_GetStatus(handle, &rx, &tx, &event);
  if (lastStatus != FT_OK) {
    RecordFailure("FT_GetStatus failed", 0);
    return 0;
  }
  return static_cast<int32_t>(std::min<DWORD>(tx, INT32_MAX));
}

const char* FtdiDevice::QuerySerial() {
  if (handle == nullptr) {
    SetErrorText("Device not open in QuerySerial()");
    return "";
  }
  FT_DEVICE type = 0;
  DWORD id = 0;
  lastStatus = d2xx_.FT_GetDeviceInfo(handle, &type, &id, serial, description, nullptr);
  // The driver fills 16 and 64 bytes; the fields are larger, so this always
  // leaves a terminator even when a string fills its field.
  serial[sizeof serial - 1] = '\0';
  description[sizeof description - 1] = '\0';
  if (lastStatus != FT_OK) {
    RecordFailure("FT_GetDeviceInfo failed", 0);
    return "";
  }
  return serial;
}

const char* FtdiDevice::QueryDescr() {
  if (handle == nullptr) {
    SetErrorText("Device not open in QueryDescr()");
    return "";
  }
  FT_DEVICE type = 0;
  DWORD id = 0;
  lastStatus = d2xx_.FT_GetDeviceInfo(handle, &type, &id, serial, description, nullptr);
  serial[sizeof serial - 1] = '\0';
  description[sizeof description - 1] = '\0';
  if (lastStatus != FT_OK) {
    RecordFailure("FT_GetDeviceInfo failed", 0);
    return "";
  }
  return description;
}

}  // namespace vexo3
