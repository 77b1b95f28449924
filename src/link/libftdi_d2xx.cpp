#include "link/libftdi_d2xx.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace vexo3 {

namespace {

using Steady = std::chrono::steady_clock;

constexpr int kVendor = 0x0403;
constexpr int kProduct = 0x6015;
// Vendor requests (baud rate, purge, latency...) complete within a USB frame
// or two; they run with this time-out whatever the read and write time-outs.
constexpr int kControlTimeoutMs = 1000;
// USB packets of the chip's bulk IN endpoint: 2 status bytes, then data.
constexpr size_t kPacketSize = 64;
constexpr size_t kStatusBytes = 2;
constexpr size_t kPacketData = kPacketSize - kStatusBytes;
// At most this many packets per IN transfer (libftdi's own read chunk).
constexpr size_t kMaxPacketsPerRead = 64;
// Line status bit of the second status byte: nothing left to send.
constexpr uint8_t kLineTemt = 0x40;
// The chip's latency timer until FT_SetLatencyTimer sets another.
constexpr uint32_t kDefaultLatencyMs = 16;
// FT_GetQueueStatus asks the chip with its latency period and this much
// more as time-out: a chip that answers does so within its latency period.
constexpr uint32_t kPollSlackMs = 50;
constexpr size_t kStringSize = 64;

struct DeviceEntry {
  libusb_device* dev = nullptr;  // referenced while in the list
  std::string serial;
  std::string description;
};

struct Handle {
  ftdi_context* ftdi = nullptr;
  libusb_device* dev = nullptr;
  std::string serial;  // as listed when it was opened
  std::string description;
  std::deque<uint8_t> rx;      // fetched from the chip, not yet read
  uint32_t readTimeoutMs = 0;  // 0: for ever, as in D2XX
  uint32_t writeTimeoutMs = 0;
  uint32_t latencyMs = kDefaultLatencyMs;
  // When the chip last sent a short packet: it had nothing more then.
  std::optional<Steady::time_point> drainedAt;
};

void CopyField(char* dest, size_t size, const std::string& text) {
  const size_t n = std::min(text.size(), size - 1);
  std::memcpy(dest, text.data(), n);
  std::memset(dest + n, 0, size - n);
}

// A string descriptor, or "" when the chip has none (index 0) or the read
// fails.
std::string ReadString(libusb_device_handle* usb, uint8_t index) {
  if (index == 0)
    return {};
  unsigned char text[kStringSize] = {};
  const int n = libusb_get_string_descriptor_ascii(usb, index, text, sizeof text);
  if (n <= 0)
    return {};
  return std::string(reinterpret_cast<const char*>(text),
                     strnlen(reinterpret_cast<const char*>(text), static_cast<size_t>(n)));
}

// Time left until `deadline` as a libusb time-out: at least 1 ms (0 would
// wait for ever); 0 when it has passed.
int MsLeft(Steady::time_point deadline) {
  const auto left = deadline - Steady::now();
  if (left <= Steady::duration::zero())
    return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::clamp<long long>(ms, 1, std::numeric_limits<int>::max()));
}

}  // namespace

// Calls on different handles may come from different threads: the lock
// guards what they share (the enumeration context, the lists, the table of
// handles); the work on one handle runs without it. Each thread has its own
// device list, so that its FT_Open by index means what its own last
// FT_CreateDeviceInfoList listed.
struct LibFtdiD2xx::Impl {
  std::mutex mutex;
  ftdi_context* enumCtx = nullptr;  // enumeration only; never holds an open device
  std::map<std::thread::id, std::vector<DeviceEntry>> lists;
  std::vector<std::unique_ptr<Handle>> handles;

  std::vector<DeviceEntry>& List() { return lists[std::this_thread::get_id()]; }

  Impl() { enumCtx = ftdi_new(); }  // null without libusb: we then see no devices

  ~Impl() {
    for (auto& h : handles) {
      CloseUsb(*h);
      libusb_unref_device(h->dev);
    }
    for (auto& [thread, list] : lists)
      ClearList(list);
    if (enumCtx != nullptr)
      ftdi_free(enumCtx);
  }

  static void ClearList(std::vector<DeviceEntry>& list) {
    for (DeviceEntry& e : list)
      libusb_unref_device(e.dev);
    list.clear();
  }

  // Releasing the interface gives the chip back to ftdi_sio (the context
  // asks libusb to reattach it), so /dev/ttyUSB* comes back after us. Touches
  // only what the handle's own caller uses: another thread's listing may read
  // the handle's dev, serial and description meanwhile, under the lock.
  static void CloseUsb(Handle& h) {
    if (h.ftdi == nullptr)
      return;
    ftdi_usb_close(h.ftdi);
    ftdi_free(h.ftdi);
    h.ftdi = nullptr;
  }

  Handle* Find(FT_HANDLE handle) {
    const std::lock_guard lock(mutex);
    for (auto& h : handles) {
      if (h.get() == handle)
        return h.get();
    }
    return nullptr;
  }

  const Handle* OpenOn(libusb_device* dev) const {
    for (const auto& h : handles) {
      if (h->dev == dev)
        return h.get();
    }
    return nullptr;
  }

  // One bulk IN transfer of up to `packets` packets into the handle's queue;
  // the status bytes of each packet are taken off. Bytes of a transfer that
  // times out are kept. Returns false on a USB failure.
  static bool Fetch(Handle& h, size_t packets, int timeoutMs) {
    unsigned char buffer[kMaxPacketsPerRead * kPacketSize];
    const int size =
        static_cast<int>(std::clamp<size_t>(packets, 1, kMaxPacketsPerRead) * kPacketSize);
    int moved = 0;
    const int ret =
        libusb_bulk_transfer(h.ftdi->usb_dev, static_cast<unsigned char>(h.ftdi->out_ep), buffer,
                             size, &moved, static_cast<unsigned int>(timeoutMs));
    const auto got =
        std::span<const unsigned char>(buffer, static_cast<size_t>(std::max(moved, 0)));
    for (size_t at = 0; at < got.size(); at += kPacketSize) {
      const auto packet = got.subspan(at, std::min(kPacketSize, got.size() - at));
      if (packet.size() > kStatusBytes)
        h.rx.insert(h.rx.end(), packet.begin() + kStatusBytes, packet.end());
    }
    if (ret != 0 && ret != LIBUSB_ERROR_TIMEOUT)
      return false;
    // A transfer that ended on a short packet left the chip empty.
    if (ret == 0 && got.size() % kPacketSize != 0)
      h.drainedAt = Steady::now();
    return true;
  }

  // Asks the chip for what it holds, unless it can't have anything to send:
  // after a short packet it keeps new bytes until its latency timer expires
  // (or a full packet's worth arrives). Skipping that poll saves a latency
  // period per command.
  static bool Poll(Handle& h) {
    if (!h.rx.empty())
      return true;
    if (h.drainedAt && Steady::now() - *h.drainedAt < std::chrono::milliseconds(h.latencyMs))
      return true;
    return Fetch(h, kMaxPacketsPerRead, static_cast<int>(h.latencyMs + kPollSlackMs));
  }
};

LibFtdiD2xx::LibFtdiD2xx() : impl_(std::make_unique<Impl>()) {}

LibFtdiD2xx::~LibFtdiD2xx() = default;

FT_STATUS LibFtdiD2xx::FT_CreateDeviceInfoList(DWORD* numDevs) {
  if (numDevs == nullptr)
    return FT_INVALID_PARAMETER;
  *numDevs = 0;
  const std::lock_guard lock(impl_->mutex);
  std::vector<DeviceEntry>& list = impl_->List();
  Impl::ClearList(list);
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
    if (const Handle* open = impl_->OpenOn(node->dev)) {
      // Ours: its strings were kept when it was opened.
      entry.serial = open->serial;
      entry.description = open->description;
    } else {
      // Read here rather than through libftdi: a chip without a serial
      // string (index 0) still gives its description, and a failed read
      // costs only that string.
      libusb_device_handle* usb = nullptr;
      libusb_device_descriptor desc{};
      if (libusb_get_device_descriptor(node->dev, &desc) == 0 &&
          libusb_open(node->dev, &usb) == 0) {
        entry.description = ReadString(usb, desc.iProduct);
        entry.serial = ReadString(usb, desc.iSerialNumber);
        libusb_close(usb);
      }
    }
    list.push_back(std::move(entry));
  }
  ftdi_list_free(&found);
  *numDevs = static_cast<DWORD>(list.size());
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs) {
  if (dest == nullptr || numDevs == nullptr)
    return FT_INVALID_PARAMETER;
  const std::lock_guard lock(impl_->mutex);
  const std::vector<DeviceEntry>& list = impl_->List();
  const size_t n = std::min<size_t>(*numDevs, list.size());
  for (size_t i = 0; i < n; ++i) {
    const DeviceEntry& e = list[i];
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
  const std::lock_guard lock(impl_->mutex);
  const std::vector<DeviceEntry>& list = impl_->List();
  if (deviceNumber < 0 || static_cast<size_t>(deviceNumber) >= list.size())
    return FT_DEVICE_NOT_FOUND;
  const DeviceEntry& entry = list[static_cast<size_t>(deviceNumber)];
  if (impl_->OpenOn(entry.dev) != nullptr)
    return FT_DEVICE_NOT_OPENED;

  auto h = std::make_unique<Handle>();
  h->ftdi = ftdi_new();
  if (h->ftdi == nullptr)
    return FT_INSUFFICIENT_RESOURCES;
  // ftdi_sio is detached while we hold the chip and reattached at close.
  h->ftdi->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
  h->ftdi->usb_read_timeout = kControlTimeoutMs;
  h->ftdi->usb_write_timeout = kControlTimeoutMs;
  if (ftdi_usb_open_dev(h->ftdi, entry.dev) < 0) {
    ftdi_usb_close(h->ftdi);  // some failures leave the USB handle open
    ftdi_free(h->ftdi);
    return FT_DEVICE_NOT_OPENED;
  }
  h->dev = libusb_ref_device(entry.dev);
  h->serial = entry.serial;
  h->description = entry.description;
  *handle = h.get();
  impl_->handles.push_back(std::move(h));
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_Close(FT_HANDLE handle) {
  Handle* h = impl_->Find(handle);
  if (h == nullptr)
    return FT_INVALID_HANDLE;
  // The USB work runs without the lock, so that other threads' calls don't
  // wait for the kernel driver's return. The handle stays in the table until
  // then: a listing meanwhile still shows the chip as ours and open.
  Impl::CloseUsb(*h);
  const std::lock_guard lock(impl_->mutex);
  libusb_unref_device(h->dev);
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
  h->latencyMs = timer;
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_GetDeviceInfo(FT_HANDLE handle, FT_DEVICE* type, DWORD* id,
                                        char* serialNumber, char* description, void* dummy) {
  (void)dummy;
  Handle* h = impl_->Find(handle);
  if (h == nullptr)
    return FT_INVALID_HANDLE;
  // The strings were read when the device was listed: no USB traffic here.
  if (type != nullptr)
    *type = FT_DEVICE_X_SERIES;
  if (id != nullptr)
    *id = static_cast<DWORD>(kVendor) << 16 | static_cast<DWORD>(kProduct);
  if (serialNumber != nullptr)
    CopyField(serialNumber, 16, h->serial);
  if (description != nullptr)
    CopyField(description, 64, h->description);
  return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_Write(FT_HANDLE handle, const void* buffer, DWORD n, DWORD* written) {
  Handle* h = impl_->Find(handle);
  if (h == nullptr)
    return FT_INVALID_HANDLE;
  if (written == nullptr || (buffer == nullptr && n > 0))
    return FT_INVALID_PARAMETER;
  *written = 0;
  if (n == 0)
    return FT_OK;
  // One bulk transfer: libusb counts the bytes the chip took also when it
  // times out, so a stalled write reports exactly what went.
  auto* bytes = static_cast<unsigned char*>(const_cast<void*>(buffer));
  int moved = 0;
  const int ret =
      libusb_bulk_transfer(h->ftdi->usb_dev, static_cast<unsigned char>(h->ftdi->in_ep), bytes,
                           static_cast<int>(std::min<DWORD>(n, std::numeric_limits<int>::max())),
                           &moved, h->writeTimeoutMs);
  *written = static_cast<DWORD>(std::max(moved, 0));
  if (ret != 0 && ret != LIBUSB_ERROR_TIMEOUT)
    return FT_IO_ERROR;
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
  // Each transfer asks for just the packets still needed and ends at the
  // chip's next short packet (at the latest one latency period), so the
  // loop ends within the read time-out.
  while (h->rx.size() < n) {
    int timeoutMs = 0;  // libusb: 0 waits for ever
    if (!forever) {
      timeoutMs = MsLeft(deadline);
      if (timeoutMs == 0)
        break;
    }
    const size_t missing = n - h->rx.size();
    if (!Impl::Fetch(*h, (missing + kPacketData - 1) / kPacketData, timeoutMs))
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
  if (!Impl::Poll(*h))
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
    if (!Impl::Poll(*h))
      return FT_IO_ERROR;
    *rxBytes = static_cast<DWORD>(h->rx.size());
  }
  if (txBytes != nullptr) {
    // The chip tells only whether its transmitter is empty (TEMT), not how
    // much waits: report 1 until it is.
    unsigned short status = 0;
    if (ftdi_poll_modem_status(h->ftdi, &status) < 0)
      return FT_IO_ERROR;
    *txBytes = ((status >> 8) & kLineTemt) != 0 ? 0 : 1;
  }
  if (eventStatus != nullptr)
    *eventStatus = 0;
  return FT_OK;
}

}  // namespace vexo3
