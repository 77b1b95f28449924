#include "link/libftdi_d2xx.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace vexo3 {

namespace {

using Steady = std::chrono::steady_clock;

constexpr int kVendor = 0x0403;
constexpr int kProduct = 0x6015;
// Bytes per ftdi_write_data call: on a time-out libftdi drops the count of
// the call under way, so smaller pieces keep the reported count close.
constexpr DWORD kWritePiece = 512;
// Bounds of one USB read transfer. The chip answers every latency period
// (at most 255 ms) even without data, so a transfer normally ends well
// before either; they only matter when the chip doesn't answer.
constexpr int kMinUsbReadMs = 300;
constexpr int kMaxUsbReadMs = 1000;

struct DeviceEntry {
  libusb_device* dev = nullptr;  // referenced while in the list
  std::string serial;
  std::string description;
};

struct Handle {
  ftdi_context* ftdi = nullptr;
  libusb_device* dev = nullptr;
  std::deque<uint8_t> rx;      // fetched from the chip, not yet read
  uint32_t readTimeoutMs = 0;  // 0: for ever, as in D2XX
  uint32_t writeTimeoutMs = 0;
};

void CopyField(char* dest, size_t size, const std::string& text) {
  const size_t n = std::min(text.size(), size - 1);
  std::memcpy(dest, text.data(), n);
  std::memset(dest + n, 0, size - n);
}

// A transfer that saw no packet in time is "nothing moved", not a failure.
// libftdi passes libusb's code on for reads but turns every failed write into
// -1, so a failure that took the whole USB time-out counts as one too.
bool IsTimeout(int ret, Steady::time_point started, int usbTimeoutMs) {
  if (ret == LIBUSB_ERROR_TIMEOUT)
    return true;
  return usbTimeoutMs > 0 && Steady::now() - started >= std::chrono::milliseconds(usbTimeoutMs);
}

}  // namespace

struct LibFtdiD2xx::Impl {
  ftdi_context* enumCtx = nullptr;  // enumeration only; never holds an open device
  std::vector<DeviceEntry> list;
  std::vector<std::unique_ptr<Handle>> handles;

  Impl() { enumCtx = ftdi_new(); }  // null without libusb: we then see no devices

  ~Impl() {
    for (auto& h : handles)
      CloseHandle(*h);
    ClearList();
    if (enumCtx != nullptr)
      ftdi_free(enumCtx);
  }

  void ClearList() {
    for (DeviceEntry& e : list)
      libusb_unref_device(e.dev);
    list.clear();
  }

  static void CloseHandle(Handle& h) {
    if (h.ftdi == nullptr)
      return;
    ftdi_usb_close(h.ftdi);
    ftdi_free(h.ftdi);
    h.ftdi = nullptr;
    if (h.dev != nullptr)
      libusb_unref_device(h.dev);
    h.dev = nullptr;
  }

  Handle* Find(FT_HANDLE handle) {
    for (auto& h : handles) {
      if (h.get() == handle)
        return h.get();
    }
    return nullptr;
  }

  bool IsOpen(libusb_device* dev) const {
    for (const auto& h : handles) {
      if (h->dev == dev)
        return true;
    }
    return false;
  }

  // Moves what libftdi holds in its own buffer into the handle's queue. It
  // must not stay there: a failed transfer later would drop it.
  static void TakeBuffered(Handle& h) {
    const unsigned int waiting = h.ftdi->readbuffer_remaining;
    if (waiting == 0)
      return;
    std::vector<unsigned char> buffer(waiting);
    // Served from libftdi's buffer without a USB transfer.
    const int ret = ftdi_read_data(h.ftdi, buffer.data(), static_cast<int>(waiting));
    if (ret > 0)
      h.rx.insert(h.rx.end(), buffer.begin(), buffer.begin() + ret);
  }

  // One USB read into the handle's queue. Returns false on a USB failure.
  static bool Fetch(Handle& h, int usbTimeoutMs) {
    TakeBuffered(h);
    h.ftdi->usb_read_timeout = std::max(usbTimeoutMs, kMinUsbReadMs);
    const int chunk = static_cast<int>(std::max(h.ftdi->readbuffer_chunksize, 64u));
    std::vector<unsigned char> buffer(static_cast<size_t>(chunk));
    const Steady::time_point started = Steady::now();
    const int ret = ftdi_read_data(h.ftdi, buffer.data(), chunk);
    if (ret < 0)
      return IsTimeout(ret, started, h.ftdi->usb_read_timeout);
    h.rx.insert(h.rx.end(), buffer.begin(), buffer.begin() + ret);
    TakeBuffered(h);
    return true;
  }
};

LibFtdiD2xx::LibFtdiD2xx() : impl_(std::make_unique<Impl>()) {}

LibFtdiD2xx::~LibFtdiD2xx() = default;

FT_STATUS LibFtdiD2xx::FT_CreateDeviceInfoList(DWORD* numDevs) {
  if (numDevs == nullptr)
    return FT_INVALID_PARAMETER;
  *numDevs = 0;
  impl_->ClearList();
  if (impl_->enumCtx == nullptr)
    return FT_OK;

  ftdi_device_list* found = nullptr;
  const int count = ftdi_usb_find_all(impl_->enumCtx, &found, kVendor, kProduct);
  if (count < 0) {
    ftdi_list_free(&found);
    // -5: libusb can't list devices at all, as on a machine without USB.
    return count == -5 ? FT_OK : FT_IO_ERROR;
  }
  for (ftdi_device_list* node = found; node != nullptr; node = node->next) {
    DeviceEntry entry;
    entry.dev = libusb_ref_device(node->dev);
    char manufacturer[64] = {};
    char description[64] = {};
    char serial[16] = {};
    // The "2" variant keeps a device open if the context had it open; ours
    // never has, so it opens and closes the device just for the strings.
    if (ftdi_usb_get_strings2(impl_->enumCtx, node->dev, manufacturer, sizeof manufacturer,
                              description, sizeof description, serial, sizeof serial) == 0) {
      entry.description.assign(description, strnlen(description, sizeof description));
      entry.serial.assign(serial, strnlen(serial, sizeof serial));
    }
    impl_->list.push_back(std::move(entry));
  }
  ftdi_list_free(&found);
  *numDevs = static_cast<DWORD>(impl_->list.size());
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs) {
  if (dest == nullptr || numDevs == nullptr)
    return FT_INVALID_PARAMETER;
  const size_t n = std::min<size_t>(*numDevs, impl_->list.size());
  for (size_t i = 0; i < n; ++i) {
    const DeviceEntry& e = impl_->list[i];
    FT_DEVICE_LIST_INFO_NODE& node = dest[i];
    node = FT_DEVICE_LIST_INFO_NODE{};
    node.Type = FT_DEVICE_X_SERIES;
    node.ID = static_cast<ULONG>(kVendor) << 16 | static_cast<ULONG>(kProduct);
    node.LocId = static_cast<DWORD>(libusb_get_bus_number(e.dev)) << 4 |
                 static_cast<DWORD>(libusb_get_port_number(e.dev));
    CopyField(node.SerialNumber, sizeof node.SerialNumber, e.serial);
    CopyField(node.Description, sizeof node.Description, e.description);
    for (const auto& h : impl_->handles) {
      if (h->dev == e.dev) {
        node.Flags = FT_FLAGS_OPENED;
        node.ftHandle = h.get();
      }
    }
  }
  *numDevs = static_cast<DWORD>(n);
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_Open(int deviceNumber, FT_HANDLE* handle) {
  if (handle == nullptr)
    return FT_INVALID_PARAMETER;
  if (deviceNumber < 0 || static_cast<size_t>(deviceNumber) >= impl_->list.size())
    return FT_DEVICE_NOT_FOUND;
  libusb_device* dev = impl_->list[static_cast<size_t>(deviceNumber)].dev;
  if (impl_->IsOpen(dev))
    return FT_DEVICE_NOT_OPENED;

  auto h = std::make_unique<Handle>();
  h->ftdi = ftdi_new();
  if (h->ftdi == nullptr)
    return FT_INSUFFICIENT_RESOURCES;
  if (ftdi_usb_open_dev(h->ftdi, dev) < 0) {
    ftdi_free(h->ftdi);
    return FT_DEVICE_NOT_OPENED;
  }
  h->dev = libusb_ref_device(dev);
  *handle = h.get();
  impl_->handles.push_back(std::move(h));
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_Close(FT_HANDLE handle) {
  Handle* h = impl_->Find(handle);
  if (h == nullptr)
    return FT_INVALID_HANDLE;
  Impl::CloseHandle(*h);
  std::erase_if(impl_->handles, [h](const auto& p) { return p.get() == h; });
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_GetBitMode(FT_HANDLE handle, UCHAR* mode) {
  Handle* h = impl_->Find(handle);
  if (h == nullptr)
    return FT_INVALID_HANDLE;
  if (mode == nullptr)
    return FT_INVALID_PARAMETER;
  unsigned char pins = 0;
  if (ftdi_read_pins(h->ftdi, &pins) < 0)
    return FT_IO_ERROR;
  *mode = pins;
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) {
  Handle* h = impl_->Find(handle);
  if (h == nullptr)
    return FT_INVALID_HANDLE;
  // D2XX's mode values are libftdi's BITMODE_* values (0x20 = BITMODE_CBUS).
  if (ftdi_set_bitmode(h->ftdi, mask, mode) < 0)
    return FT_IO_ERROR;
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_Purge(FT_HANDLE handle, ULONG mask) {
  Handle* h = impl_->Find(handle);
  if (h == nullptr)
    return FT_INVALID_HANDLE;
  // NB: libftdi's own purge constants differ from D2XX's; map by meaning.
  if (mask & FT_PURGE_RX) {
    h->rx.clear();
    if (ftdi_tciflush(h->ftdi) < 0)
      return FT_IO_ERROR;
  }
  if (mask & FT_PURGE_TX) {
    if (ftdi_tcoflush(h->ftdi) < 0)
      return FT_IO_ERROR;
  }
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits,
                                                 UCHAR parity) {
  Handle* h = impl_->Find(handle);
  if (h == nullptr)
    return FT_INVALID_HANDLE;
  ftdi_bits_type bits;
  switch (wordLength) {
    case FT_BITS_7:
      bits = BITS_7;
      break;
    case FT_BITS_8:
      bits = BITS_8;
      break;
    default:
      return FT_INVALID_PARAMETER;
  }
  ftdi_stopbits_type stop;
  switch (stopBits) {
    case FT_STOP_BITS_1:
      stop = STOP_BIT_1;
      break;
    case FT_STOP_BITS_2:
      stop = STOP_BIT_2;
      break;
    default:
      return FT_INVALID_PARAMETER;
  }
  ftdi_parity_type par;
  switch (parity) {
    case FT_PARITY_NONE:
      par = NONE;
      break;
    case FT_PARITY_ODD:
      par = ODD;
      break;
    case FT_PARITY_EVEN:
      par = EVEN;
      break;
    case 3:
      par = MARK;
      break;
    case 4:
      par = SPACE;
      break;
    default:
      return FT_INVALID_PARAMETER;
  }
  if (ftdi_set_line_property(h->ftdi, bits, stop, par) < 0)
    return FT_IO_ERROR;
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate) {
  Handle* h = impl_->Find(handle);
  if (h == nullptr)
    return FT_INVALID_HANDLE;
  if (baudRate == 0 || baudRate > 3'000'000)
    return FT_INVALID_BAUD_RATE;
  // Once a bit mode is on, libftdi multiplies the rate by 4 (a bit-bang
  // clock). CBUS bit-bang leaves the UART alone, so set the rate as asked.
  const unsigned char bitbang = h->ftdi->bitbang_enabled;
  h->ftdi->bitbang_enabled = 0;
  const int ret = ftdi_set_baudrate(h->ftdi, static_cast<int>(baudRate));
  h->ftdi->bitbang_enabled = bitbang;
  if (ret == -1)
    return FT_INVALID_BAUD_RATE;
  if (ret < 0)
    return FT_IO_ERROR;
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_SetFlowControl(FT_HANDLE handle, USHORT flowControl, UCHAR xon,
                                         UCHAR xoff) {
  (void)xon;
  (void)xoff;
  Handle* h = impl_->Find(handle);
  if (h == nullptr)
    return FT_INVALID_HANDLE;
  int flow;
  switch (flowControl) {
    case FT_FLOW_NONE:
      flow = SIO_DISABLE_FLOW_CTRL;
      break;
    case FT_FLOW_RTS_CTS:
      flow = SIO_RTS_CTS_HS;
      break;
    case 0x0200:  // DTR/DSR
      flow = SIO_DTR_DSR_HS;
      break;
    default:
      return FT_NOT_SUPPORTED;
  }
  if (ftdi_setflowctrl(h->ftdi, flow) < 0)
    return FT_IO_ERROR;
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout) {
  Handle* h = impl_->Find(handle);
  if (h == nullptr)
    return FT_INVALID_HANDLE;
  h->readTimeoutMs = readTimeout;
  h->writeTimeoutMs = writeTimeout;
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_SetLatencyTimer(FT_HANDLE handle, UCHAR timer) {
  Handle* h = impl_->Find(handle);
  if (h == nullptr)
    return FT_INVALID_HANDLE;
  const int ret = ftdi_set_latency_timer(h->ftdi, timer);
  if (ret == -1)
    return FT_INVALID_PARAMETER;
  if (ret < 0)
    return FT_IO_ERROR;
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_GetDeviceInfo(FT_HANDLE handle, FT_DEVICE* type, DWORD* id,
                                        char* serialNumber, char* description, void* dummy) {
  (void)dummy;
  Handle* h = impl_->Find(handle);
  if (h == nullptr)
    return FT_INVALID_HANDLE;
  char manufacturer[64] = {};
  char descr[64] = {};
  char serial[16] = {};
  // The handle's context holds the device open, so this reads it and keeps it open.
  if (ftdi_usb_get_strings2(h->ftdi, h->dev, manufacturer, sizeof manufacturer, descr, sizeof descr,
                            serial, sizeof serial) < 0)
    return FT_IO_ERROR;
  if (type != nullptr)
    *type = FT_DEVICE_X_SERIES;
  if (id != nullptr)
    *id = static_cast<DWORD>(kVendor) << 16 | static_cast<DWORD>(kProduct);
  if (serialNumber != nullptr)
    CopyField(serialNumber, 16, std::string(serial, strnlen(serial, sizeof serial)));
  if (description != nullptr)
    CopyField(description, 64, std::string(descr, strnlen(descr, sizeof descr)));
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_Write(FT_HANDLE handle, const void* buffer, DWORD n, DWORD* written) {
  Handle* h = impl_->Find(handle);
  if (h == nullptr)
    return FT_INVALID_HANDLE;
  if (written == nullptr || (buffer == nullptr && n > 0))
    return FT_INVALID_PARAMETER;
  *written = 0;
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  const bool forever = h->writeTimeoutMs == 0;
  const Steady::time_point deadline = Steady::now() + std::chrono::milliseconds(h->writeTimeoutMs);
  while (*written < n) {
    int usbTimeoutMs = 0;  // libusb: 0 waits for ever
    if (!forever) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
      if (left <= 0)
        break;
      usbTimeoutMs = static_cast<int>(left);
    }
    h->ftdi->usb_write_timeout = usbTimeoutMs;
    const DWORD piece = std::min(n - *written, kWritePiece);
    const Steady::time_point started = Steady::now();
    const int ret = ftdi_write_data(h->ftdi, bytes + *written, static_cast<int>(piece));
    if (ret < 0) {
      if (IsTimeout(ret, started, usbTimeoutMs))
        break;
      return FT_IO_ERROR;
    }
    *written += static_cast<DWORD>(ret);
  }
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got) {
  Handle* h = impl_->Find(handle);
  if (h == nullptr)
    return FT_INVALID_HANDLE;
  if (got == nullptr || (buffer == nullptr && n > 0))
    return FT_INVALID_PARAMETER;
  *got = 0;
  const bool forever = h->readTimeoutMs == 0;
  const Steady::time_point deadline = Steady::now() + std::chrono::milliseconds(h->readTimeoutMs);
  // ftdi_read_data returns at once with what the chip had; each call waits
  // for one USB packet, which the chip sends at least every latency period.
  while (h->rx.size() < n) {
    int usbTimeoutMs = kMaxUsbReadMs;
    if (!forever) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
      if (left <= 0)
        break;
      usbTimeoutMs = static_cast<int>(std::min<long long>(left, kMaxUsbReadMs));
    }
    if (!Impl::Fetch(*h, usbTimeoutMs))
      return FT_IO_ERROR;
  }
  const DWORD count = std::min<DWORD>(n, static_cast<DWORD>(h->rx.size()));
  std::copy_n(h->rx.begin(), count, static_cast<uint8_t*>(buffer));
  h->rx.erase(h->rx.begin(), h->rx.begin() + count);
  *got = count;
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_GetQueueStatus(FT_HANDLE handle, DWORD* rxBytes) {
  Handle* h = impl_->Find(handle);
  if (h == nullptr)
    return FT_INVALID_HANDLE;
  if (rxBytes == nullptr)
    return FT_INVALID_PARAMETER;
  // Ask the chip for what it holds; it answers within its latency period.
  if (!Impl::Fetch(*h, kMaxUsbReadMs))
    return FT_IO_ERROR;
  *rxBytes = static_cast<DWORD>(h->rx.size());
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_GetStatus(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes,
                                    DWORD* eventStatus) {
  Handle* h = impl_->Find(handle);
  if (h == nullptr)
    return FT_INVALID_HANDLE;
  if (rxBytes != nullptr) {
    if (!Impl::Fetch(*h, kMaxUsbReadMs))
      return FT_IO_ERROR;
    *rxBytes = static_cast<DWORD>(h->rx.size());
  }
  // Writes are synchronous: nothing is left waiting on our side.
  if (txBytes != nullptr)
    *txBytes = 0;
  if (eventStatus != nullptr)
    *eventStatus = 0;
  return FT_OK;
}

}  // namespace vexo3
