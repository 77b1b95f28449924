#include "link/webserial_d2xx.h"

#include <emscripten/em_js.h>
#include <emscripten/emscripten.h>

#include <algorithm>
#include <cstring>

// The JavaScript half (webserial_d2xx.js). A negative result is a D2XX status
// with its sign turned; the async ones never reject.
// clang-format off
EM_ASYNC_JS(int, vexo3_ws_list, (int link), {
  return await Module.vexo3Links[link].list();
});
EM_JS(int, vexo3_ws_usb_id, (int link, int index), {
  return Module.vexo3Links[link].usbId(index);
});
EM_ASYNC_JS(int, vexo3_ws_open, (int link, int index, int baud, int bits, int stop, int parity, int flow), {
  return await Module.vexo3Links[link].open(index, {baud, bits, stop, parity, flow});
});
EM_ASYNC_JS(int, vexo3_ws_reopen, (int link, int port, int baud, int bits, int stop, int parity, int flow), {
  return await Module.vexo3Links[link].reopen(port, {baud, bits, stop, parity, flow});
});
EM_ASYNC_JS(int, vexo3_ws_close, (int link, int port), {
  return await Module.vexo3Links[link].close(port);
});
EM_JS(int, vexo3_ws_queued, (int link, int port), {
  return Module.vexo3Links[link].queued(port);
});
EM_JS(int, vexo3_ws_purge, (int link, int port), {
  return Module.vexo3Links[link].purge(port);
});
EM_JS(int, vexo3_ws_take, (int link, int port, void* dest, int n), {
  return Module.vexo3Links[link].take(port, dest, n);
});
EM_ASYNC_JS(int, vexo3_ws_read, (int link, int port, void* dest, int n, int timeoutMs), {
  return await Module.vexo3Links[link].read(port, dest, n, timeoutMs >>> 0);
});
EM_ASYNC_JS(int, vexo3_ws_write, (int link, int port, const void* src, int n, int timeoutMs), {
  return await Module.vexo3Links[link].write(port, src, n, timeoutMs >>> 0);
});
EM_JS(int, vexo3_ws_holds, (int link, int index), {
  return Module.vexo3Links[link].holds(index) ? 1 : 0;
});
// clang-format on

namespace vexo3 {

namespace {

constexpr const char* kHandControllerName = "Vexo-3 HandController";
// Web Serial doesn't tell a port's serial number; callers take an empty one
// for a failed query.
constexpr const char* kUnknownSerial = "unknown";
// The FT-X's range: its slowest divisor gives about 183 baud.
constexpr ULONG kMinBaud = 183;
constexpr ULONG kMaxBaud = 3'000'000;

FT_STATUS StatusOf(int result) {
  return result < 0 ? static_cast<FT_STATUS>(-result) : FT_OK;
}

FT_HANDLE HandleOf(int id) {
  return reinterpret_cast<FT_HANDLE>(static_cast<uintptr_t>(id));
}

void CopyField(char* dest, size_t size, const char* text) {
  const size_t n = std::min(std::strlen(text), size - 1);
  std::memcpy(dest, text, n);
  std::memset(dest + n, 0, size - n);
}

}  // namespace

WebSerialD2xx::WebSerialD2xx(int link) : link_(link) {}

WebSerialD2xx::~WebSerialD2xx() {
  while (!ports_.empty())
    FT_Close(HandleOf(ports_.back().id));
}

DWORD WebSerialD2xx::IdOf(int link, int index) {
  return static_cast<DWORD>(vexo3_ws_usb_id(link, index));
}

WebSerialD2xx::Port* WebSerialD2xx::Find(FT_HANDLE handle) {
  for (Port& port : ports_) {
    if (HandleOf(port.id) == handle)
      return &port;
  }
  return nullptr;
}

FT_STATUS WebSerialD2xx::Apply(Port& port) {
  if (port.wanted == port.opened)
    return FT_OK;
  const Line& l = port.wanted;
  const int r =
      vexo3_ws_reopen(link_, port.id, static_cast<int>(l.baud), l.bits, l.stop, l.parity, l.flow);
  if (r < 0)
    return FT_IO_ERROR;
  port.opened = port.wanted;
  return FT_OK;
}

FT_STATUS WebSerialD2xx::FT_CreateDeviceInfoList(DWORD* numDevs) {
  if (numDevs == nullptr)
    return FT_INVALID_PARAMETER;
  const int n = vexo3_ws_list(link_);
  if (n < 0) {
    listed_ = 0;
    return StatusOf(n);
  }
  listed_ = n;
  *numDevs = static_cast<DWORD>(n);
  return FT_OK;
}

FT_STATUS WebSerialD2xx::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs) {
  if (dest == nullptr || numDevs == nullptr)
    return FT_INVALID_PARAMETER;
  const DWORD n = std::min<DWORD>(*numDevs, static_cast<DWORD>(listed_));
  for (DWORD i = 0; i < n; ++i) {
    FT_DEVICE_LIST_INFO_NODE& node = dest[i];
    node = FT_DEVICE_LIST_INFO_NODE{};
    const int index = static_cast<int>(i);
    node.ID = IdOf(link_, index);
    node.Type = node.ID == kHandControllerId ? FT_DEVICE_X_SERIES : FT_DEVICE_UNKNOWN;
    node.LocId = i + 1;
    CopyField(node.SerialNumber, sizeof node.SerialNumber, kUnknownSerial);
    CopyField(node.Description, sizeof node.Description,
              node.ID == kHandControllerId ? kHandControllerName : "");
    if (vexo3_ws_holds(link_, index) != 0)
      node.Flags = FT_FLAGS_OPENED;
  }
  *numDevs = n;
  return FT_OK;
}

FT_STATUS WebSerialD2xx::FT_Open(int deviceNumber, FT_HANDLE* handle) {
  if (handle == nullptr)
    return FT_INVALID_PARAMETER;
  if (deviceNumber < 0 || deviceNumber >= listed_)
    return FT_DEVICE_NOT_FOUND;
  const Line defaults;
  const int id = vexo3_ws_open(link_, deviceNumber, static_cast<int>(defaults.baud), defaults.bits,
                               defaults.stop, defaults.parity, defaults.flow);
  if (id < 0)
    return StatusOf(id);
  ports_.push_back(Port{.id = id, .index = deviceNumber, .wanted = defaults, .opened = defaults});
  *handle = HandleOf(id);
  return FT_OK;
}

FT_STATUS WebSerialD2xx::FT_Close(FT_HANDLE handle) {
  Port* port = Find(handle);
  if (port == nullptr)
    return FT_INVALID_HANDLE;
  // The port is let go whatever the browser says: a port that went away
  // can't be closed any further.
  vexo3_ws_close(link_, port->id);
  ports_.erase(ports_.begin() + (port - ports_.data()));
  return FT_OK;
}

FT_STATUS WebSerialD2xx::FT_GetBitMode(FT_HANDLE handle, UCHAR* mode) {
  if (Find(handle) == nullptr)
    return FT_INVALID_HANDLE;
  if (mode == nullptr)
    return FT_INVALID_PARAMETER;
  *mode = 0x00;
  return FT_OK;
}

FT_STATUS WebSerialD2xx::FT_SetBitMode(FT_HANDLE handle, UCHAR /*mask*/, UCHAR /*mode*/) {
  return Find(handle) != nullptr ? FT_OK : FT_INVALID_HANDLE;
}

FT_STATUS WebSerialD2xx::FT_Purge(FT_HANDLE handle, ULONG mask) {
  Port* port = Find(handle);
  if (port == nullptr)
    return FT_INVALID_HANDLE;
  if ((mask & FT_PURGE_RX) != 0)
    return StatusOf(vexo3_ws_purge(link_, port->id));
  return FT_OK;
}

FT_STATUS WebSerialD2xx::FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength,
                                                   UCHAR stopBits, UCHAR parity) {
  Port* port = Find(handle);
  if (port == nullptr)
    return FT_INVALID_HANDLE;
  const bool bitsOk = wordLength == FT_BITS_7 || wordLength == FT_BITS_8;
  const bool stopOk = stopBits == FT_STOP_BITS_1 || stopBits == FT_STOP_BITS_2;
  const bool parityOk = parity <= FT_PARITY_EVEN;  // Web Serial has no mark or space
  if (!bitsOk || !stopOk || !parityOk)
    return FT_INVALID_PARAMETER;
  port->wanted.bits = wordLength;
  port->wanted.stop = stopBits;
  port->wanted.parity = parity;
  return FT_OK;
}

FT_STATUS WebSerialD2xx::FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate) {
  Port* port = Find(handle);
  if (port == nullptr)
    return FT_INVALID_HANDLE;
  if (baudRate < kMinBaud || baudRate > kMaxBaud)
    return FT_INVALID_BAUD_RATE;
  port->wanted.baud = baudRate;
  return FT_OK;
}

FT_STATUS WebSerialD2xx::FT_SetFlowControl(FT_HANDLE handle, USHORT flowControl, UCHAR /*xon*/,
                                           UCHAR /*xoff*/) {
  Port* port = Find(handle);
  if (port == nullptr)
    return FT_INVALID_HANDLE;
  // Web Serial knows RTS/CTS and nothing; DTR/DSR and XON/XOFF it can't do.
  if (flowControl != FT_FLOW_NONE && flowControl != FT_FLOW_RTS_CTS)
    return FT_INVALID_PARAMETER;
  port->wanted.flow = flowControl;
  return FT_OK;
}

FT_STATUS WebSerialD2xx::FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout) {
  Port* port = Find(handle);
  if (port == nullptr)
    return FT_INVALID_HANDLE;
  port->readTimeoutMs = readTimeout;
  port->writeTimeoutMs = writeTimeout;
  return FT_OK;
}

FT_STATUS WebSerialD2xx::FT_SetLatencyTimer(FT_HANDLE handle, UCHAR /*timer*/) {
  return Find(handle) != nullptr ? FT_OK : FT_INVALID_HANDLE;
}

FT_STATUS WebSerialD2xx::FT_GetDeviceInfo(FT_HANDLE handle, FT_DEVICE* type, DWORD* id,
                                          char* serialNumber, char* description, void* /*dummy*/) {
  Port* port = Find(handle);
  if (port == nullptr)
    return FT_INVALID_HANDLE;
  const DWORD usbId = IdOf(link_, port->index);
  if (type != nullptr)
    *type = usbId == kHandControllerId ? FT_DEVICE_X_SERIES : FT_DEVICE_UNKNOWN;
  if (id != nullptr)
    *id = usbId;
  if (serialNumber != nullptr)
    CopyField(serialNumber, 16, kUnknownSerial);
  if (description != nullptr)
    CopyField(description, 64, usbId == kHandControllerId ? kHandControllerName : "");
  return FT_OK;
}

FT_STATUS WebSerialD2xx::FT_Write(FT_HANDLE handle, const void* buffer, DWORD n, DWORD* written) {
  Port* port = Find(handle);
  if (port == nullptr)
    return FT_INVALID_HANDLE;
  if (written == nullptr || (buffer == nullptr && n > 0))
    return FT_INVALID_PARAMETER;
  *written = 0;
  if (FT_STATUS st = Apply(*port))
    return st;
  if (n == 0)
    return FT_OK;
  const int r = vexo3_ws_write(link_, port->id, buffer, static_cast<int>(n),
                               static_cast<int>(port->writeTimeoutMs));
  if (r < 0)
    return StatusOf(r);
  *written = static_cast<DWORD>(r);
  return FT_OK;
}

FT_STATUS WebSerialD2xx::FT_Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got) {
  Port* port = Find(handle);
  if (port == nullptr)
    return FT_INVALID_HANDLE;
  if (got == nullptr || (buffer == nullptr && n > 0))
    return FT_INVALID_PARAMETER;
  *got = 0;
  if (FT_STATUS st = Apply(*port))
    return st;
  if (n == 0)
    return FT_OK;
  // What is already queued is taken without a wait (and without Asyncify
  // unwinding the stack).
  const int queued = vexo3_ws_queued(link_, port->id);
  const int r = queued >= static_cast<int>(n)
                    ? vexo3_ws_take(link_, port->id, buffer, static_cast<int>(n))
                    : vexo3_ws_read(link_, port->id, buffer, static_cast<int>(n),
                                    static_cast<int>(port->readTimeoutMs));
  if (r < 0)
    return StatusOf(r);
  *got = static_cast<DWORD>(r);
  return FT_OK;
}

FT_STATUS WebSerialD2xx::FT_GetQueueStatus(FT_HANDLE handle, DWORD* rxBytes) {
  Port* port = Find(handle);
  if (port == nullptr)
    return FT_INVALID_HANDLE;
  if (rxBytes == nullptr)
    return FT_INVALID_PARAMETER;
  const int r = vexo3_ws_queued(link_, port->id);
  if (r < 0)
    return StatusOf(r);
  *rxBytes = static_cast<DWORD>(r);
  return FT_OK;
}

FT_STATUS WebSerialD2xx::FT_GetStatus(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes,
                                      DWORD* eventStatus) {
  Port* port = Find(handle);
  if (port == nullptr)
    return FT_INVALID_HANDLE;
  const int r = vexo3_ws_queued(link_, port->id);
  if (r < 0)
    return StatusOf(r);
  if (rxBytes != nullptr)
    *rxBytes = static_cast<DWORD>(r);
  // A write returns once Web Serial has its bytes: nothing waits here.
  if (txBytes != nullptr)
    *txBytes = 0;
  if (eventStatus != nullptr)
    *eventStatus = 0;
  return FT_OK;
}

}  // namespace vexo3
