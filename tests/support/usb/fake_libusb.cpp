#include "support/usb/fake_libusb.h"

#include <libusb.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

// The opaque libusb types, as this bus has them.
struct libusb_context {
  int unused = 0;
};

struct libusb_device {
  vexo3::sim::FtxChip* chip;  // null once unplugged
  int refs;
  uint8_t bus;
  uint8_t port;
  uint8_t address;
  vexo3::sim::usb::KernelDriverRecord driver;
};

struct libusb_device_handle {
  libusb_device* dev;
  bool autoDetach = false;
  bool claimed = false;
  bool detachedByClaim = false;
};

namespace vexo3::sim::usb {

namespace {

using vexo3::sim::FtxChip;
using vexo3::sim::UsbOutcome;

constexpr uint8_t kConfigValue = 1;

struct Bus {
  std::vector<libusb_device*> plugged;  // in enumeration order, one reference each
  uint32_t openHandles = 0;
  uint8_t nextAddress = 2;
};

Bus& TheBus() {
  static Bus bus;
  return bus;
}

libusb_device* Find(const FtxChip& chip) {
  for (libusb_device* d : TheBus().plugged) {
    if (d->chip == &chip)
      return d;
  }
  return nullptr;
}

int ToLibusb(UsbOutcome outcome) {
  switch (outcome) {
    case UsbOutcome::Done:
      return LIBUSB_SUCCESS;
    case UsbOutcome::Stall:
      return LIBUSB_ERROR_PIPE;
    case UsbOutcome::Timeout:
      return LIBUSB_ERROR_TIMEOUT;
    case UsbOutcome::Overflow:
      return LIBUSB_ERROR_OVERFLOW;
    case UsbOutcome::NoDevice:
      return LIBUSB_ERROR_NO_DEVICE;
  }
  return LIBUSB_ERROR_OTHER;
}

// One interface, bulk IN 0x81 and bulk OUT 0x02 of 64 bytes.
struct ConfigBlock {
  libusb_config_descriptor config;
  libusb_interface interface;
  libusb_interface_descriptor altsetting;
  libusb_endpoint_descriptor endpoints[2];
};

}  // namespace

void Plug(FtxChip& chip) {
  Bus& bus = TheBus();
  const auto position = static_cast<uint8_t>(bus.plugged.size() + 1);
  bus.plugged.push_back(new libusb_device{&chip, 1, 1, position, bus.nextAddress++, {}});
}

void Unplug(FtxChip& chip) {
  Bus& bus = TheBus();
  libusb_device* d = Find(chip);
  if (d == nullptr)
    return;
  std::erase(bus.plugged, d);
  d->chip = nullptr;
  libusb_unref_device(d);
}

void UnplugAll() {
  while (!TheBus().plugged.empty()) {
    libusb_device* d = TheBus().plugged.front();
    Unplug(*d->chip);
  }
}

KernelDriverRecord KernelDriver(const FtxChip& chip) {
  const libusb_device* d = Find(chip);
  return d == nullptr ? KernelDriverRecord{} : d->driver;
}

uint32_t OpenHandles() {
  return TheBus().openHandles;
}

}  // namespace vexo3::sim::usb

using vexo3::sim::FtxChip;
using vexo3::sim::UsbOutcome;
using vexo3::sim::usb::ConfigBlock;
using vexo3::sim::usb::TheBus;
using vexo3::sim::usb::ToLibusb;

namespace {

// The chip behind a handle, or null when it is gone.
FtxChip* ChipOf(libusb_device_handle* h) {
  if (h == nullptr || h->dev == nullptr || h->dev->chip == nullptr || h->dev->chip->Unplugged())
    return nullptr;
  return h->dev->chip;
}

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
  auto* c = new libusb_context{};
  if (ctx != nullptr)
    *ctx = c;
  else
    delete c;  // the default context needs no state here
  return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx) {
  delete ctx;
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* /*ctx*/, libusb_device*** list) {
  std::vector<libusb_device*> present;
  for (libusb_device* d : TheBus().plugged) {
    if (!d->chip->Unplugged())
      present.push_back(d);
  }
  auto* out = new libusb_device*[present.size() + 1];
  for (size_t i = 0; i < present.size(); ++i)
    out[i] = libusb_ref_device(present[i]);
  out[present.size()] = nullptr;
  *list = out;
  return static_cast<ssize_t>(present.size());
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
  if (list == nullptr)
    return;
  if (unref_devices != 0) {
    for (libusb_device** d = list; *d != nullptr; ++d)
      libusb_unref_device(*d);
  }
  delete[] list;
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
  ++dev->refs;
  return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
  if (dev != nullptr && --dev->refs == 0)
    delete dev;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev) {
  return dev->bus;
}

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* dev) {
  return dev->port;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) {
  return dev->address;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev,
                                             struct libusb_device_descriptor* desc) {
  if (dev->chip == nullptr)
    return LIBUSB_ERROR_NO_DEVICE;
  const FtxChip& chip = *dev->chip;
  *desc = libusb_device_descriptor{};
  desc->bLength = LIBUSB_DT_DEVICE_SIZE;
  desc->bDescriptorType = LIBUSB_DT_DEVICE;
  desc->bcdUSB = 0x0200;
  desc->bMaxPacketSize0 = 8;
  desc->idVendor = chip.Identity().vendor;
  desc->idProduct = chip.Identity().product;
  desc->bcdDevice = chip.Identity().bcdDevice;
  desc->iManufacturer = FtxChip::kManufacturerIndex;
  desc->iProduct = FtxChip::kProductIndex;
  desc->iSerialNumber = chip.SerialNumberIndex();
  desc->bNumConfigurations = 1;
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                             struct libusb_config_descriptor** config) {
  if (dev->chip == nullptr)
    return LIBUSB_ERROR_NO_DEVICE;
  if (config_index != 0)
    return LIBUSB_ERROR_NOT_FOUND;
  auto* b = new ConfigBlock{};
  for (int i = 0; i < 2; ++i) {
    libusb_endpoint_descriptor& ep = b->endpoints[i];
    ep.bLength = LIBUSB_DT_ENDPOINT_SIZE;
    ep.bDescriptorType = LIBUSB_DT_ENDPOINT;
    ep.bEndpointAddress = i == 0 ? FtxChip::kEndpointIn : FtxChip::kEndpointOut;
    ep.bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
    ep.wMaxPacketSize = FtxChip::kPacketSize;
  }
  b->altsetting.bLength = LIBUSB_DT_INTERFACE_SIZE;
  b->altsetting.bDescriptorType = LIBUSB_DT_INTERFACE;
  b->altsetting.bNumEndpoints = 2;
  b->altsetting.bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
  b->altsetting.bInterfaceSubClass = 0xFF;
  b->altsetting.bInterfaceProtocol = 0xFF;
  b->altsetting.iInterface = FtxChip::kProductIndex;
  b->altsetting.endpoint = b->endpoints;
  b->interface.altsetting = &b->altsetting;
  b->interface.num_altsetting = 1;
  b->config.bLength = LIBUSB_DT_CONFIG_SIZE;
  b->config.bDescriptorType = LIBUSB_DT_CONFIG;
  b->config.bNumInterfaces = 1;
  b->config.bConfigurationValue = vexo3::sim::usb::kConfigValue;
  b->config.bmAttributes = 0x80;
  b->config.MaxPower = 45;  // 90 mA
  b->config.interface = &b->interface;
  *config = &b->config;
  return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
  // config is the first member of its block.
  delete reinterpret_cast<ConfigBlock*>(config);
}

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
  if (dev->chip == nullptr || dev->chip->Unplugged())
    return LIBUSB_ERROR_NO_DEVICE;
  *dev_handle = new libusb_device_handle{libusb_ref_device(dev)};
  ++TheBus().openHandles;
  return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* dev_handle) {
  if (dev_handle == nullptr)
    return;
  // Closing gives up a claimed interface without giving it back to the
  // kernel driver; only a release does that.
  if (dev_handle->claimed && dev_handle->dev->chip != nullptr)
    dev_handle->dev->chip->HostClosed();
  libusb_unref_device(dev_handle->dev);
  delete dev_handle;
  --TheBus().openHandles;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* dev, int* config) {
  if (ChipOf(dev) == nullptr)
    return LIBUSB_ERROR_NO_DEVICE;
  *config = vexo3::sim::usb::kConfigValue;
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* dev_handle, int configuration) {
  if (ChipOf(dev_handle) == nullptr)
    return LIBUSB_ERROR_NO_DEVICE;
  if (configuration != vexo3::sim::usb::kConfigValue)
    return LIBUSB_ERROR_NOT_FOUND;
  // Changing the configuration under a bound kernel driver is refused.
  return dev_handle->dev->driver.attached ? LIBUSB_ERROR_BUSY : LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* dev_handle,
                                            int interface_number) {
  if (ChipOf(dev_handle) == nullptr)
    return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number != 0)
    return LIBUSB_ERROR_NOT_FOUND;
  auto& driver = dev_handle->dev->driver;
  if (!driver.attached)
    return LIBUSB_ERROR_NOT_FOUND;
  driver.attached = false;
  ++driver.detaches;
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* dev_handle, int enable) {
  dev_handle->autoDetach = enable != 0;
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number) {
  if (ChipOf(dev_handle) == nullptr)
    return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number != 0)
    return LIBUSB_ERROR_NOT_FOUND;
  auto& driver = dev_handle->dev->driver;
  if (driver.attached) {
    if (!dev_handle->autoDetach)
      return LIBUSB_ERROR_BUSY;
    driver.attached = false;
    ++driver.detaches;
    dev_handle->detachedByClaim = true;
  }
  dev_handle->claimed = true;
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* dev_handle, int interface_number) {
  if (!dev_handle->claimed || interface_number != 0)
    return LIBUSB_ERROR_NOT_FOUND;
  dev_handle->claimed = false;
  if (dev_handle->dev->chip != nullptr)
    dev_handle->dev->chip->HostClosed();
  if (ChipOf(dev_handle) == nullptr)
    return LIBUSB_ERROR_NO_DEVICE;
  if (dev_handle->autoDetach && dev_handle->detachedByClaim) {
    auto& driver = dev_handle->dev->driver;
    driver.attached = true;
    ++driver.reattaches;
    dev_handle->detachedByClaim = false;
  }
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* dev_handle,
                                                   uint8_t desc_index, unsigned char* data,
                                                   int length) {
  // Index 0 is the language table, never a string.
  if (desc_index == 0)
    return LIBUSB_ERROR_INVALID_PARAM;
  FtxChip* chip = ChipOf(dev_handle);
  if (chip == nullptr)
    return LIBUSB_ERROR_NO_DEVICE;
  const std::optional<std::string> text = chip->ReadString(desc_index);
  if (!text)
    return LIBUSB_ERROR_PIPE;
  if (length <= 0)
    return LIBUSB_ERROR_INVALID_PARAM;
  // UTF-16 on the wire; anything outside ASCII comes back as '?'.
  const size_t n = std::min(text->size(), static_cast<size_t>(length - 1));
  for (size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>((*text)[i]);
    data[i] = c < 0x80 ? c : '?';
  }
  data[n] = 0;
  return static_cast<int>(n);
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* dev_handle, uint8_t request_type,
                                        uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                                        unsigned char* data, uint16_t wLength,
                                        unsigned int timeout) {
  FtxChip* chip = ChipOf(dev_handle);
  if (chip == nullptr)
    return LIBUSB_ERROR_NO_DEVICE;
  size_t moved = 0;
  const UsbOutcome outcome =
      chip->Control(request_type, bRequest, wValue, wIndex,
                    std::span<uint8_t>(data, data == nullptr ? 0 : wLength), timeout, &moved);
  if (outcome != UsbOutcome::Done)
    return ToLibusb(outcome);
  return static_cast<int>(moved);
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint,
                                     unsigned char* data, int length, int* actual_length,
                                     unsigned int timeout) {
  if (actual_length != nullptr)
    *actual_length = 0;
  FtxChip* chip = ChipOf(dev_handle);
  if (chip == nullptr)
    return LIBUSB_ERROR_NO_DEVICE;
  if (length < 0)
    return LIBUSB_ERROR_INVALID_PARAM;
  size_t moved = 0;
  UsbOutcome outcome;
  const auto n = static_cast<size_t>(length);
  if (endpoint == FtxChip::kEndpointIn)
    outcome = chip->BulkIn(std::span<uint8_t>(data, n), timeout, &moved);
  else if (endpoint == FtxChip::kEndpointOut)
    outcome = chip->BulkOut(std::span<const uint8_t>(data, n), timeout, &moved);
  else
    return LIBUSB_ERROR_NOT_FOUND;
  if (actual_length != nullptr)
    *actual_length = static_cast<int>(moved);
  return ToLibusb(outcome);
}

// Asynchronous transfers are not offered.
struct libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int /*iso_packets*/) {
  return nullptr;
}

void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer* /*transfer*/) {}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer* /*transfer*/) {
  return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer* /*transfer*/) {
  return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* /*ctx*/, struct timeval* /*tv*/) {
  return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* /*ctx*/,
                                                       struct timeval* /*tv*/, int* /*completed*/) {
  return LIBUSB_ERROR_NOT_SUPPORTED;
}

}  // extern "C"

namespace vexo3::sim::usb {

std::span<const UsbSymbol> UsbSymbols() {
#define VEXO3_USB_SYMBOL(f)           \
  UsbSymbol {                         \
#f, reinterpret_cast < void*>(&f) \
  }
  static const UsbSymbol kSymbols[] = {
      VEXO3_USB_SYMBOL(libusb_init),
      VEXO3_USB_SYMBOL(libusb_exit),
      VEXO3_USB_SYMBOL(libusb_get_device_list),
      VEXO3_USB_SYMBOL(libusb_free_device_list),
      VEXO3_USB_SYMBOL(libusb_ref_device),
      VEXO3_USB_SYMBOL(libusb_unref_device),
      VEXO3_USB_SYMBOL(libusb_get_bus_number),
      VEXO3_USB_SYMBOL(libusb_get_port_number),
      VEXO3_USB_SYMBOL(libusb_get_device_address),
      VEXO3_USB_SYMBOL(libusb_get_device_descriptor),
      VEXO3_USB_SYMBOL(libusb_get_config_descriptor),
      VEXO3_USB_SYMBOL(libusb_free_config_descriptor),
      VEXO3_USB_SYMBOL(libusb_open),
      VEXO3_USB_SYMBOL(libusb_close),
      VEXO3_USB_SYMBOL(libusb_get_configuration),
      VEXO3_USB_SYMBOL(libusb_set_configuration),
      VEXO3_USB_SYMBOL(libusb_detach_kernel_driver),
      VEXO3_USB_SYMBOL(libusb_set_auto_detach_kernel_driver),
      VEXO3_USB_SYMBOL(libusb_claim_interface),
      VEXO3_USB_SYMBOL(libusb_release_interface),
      VEXO3_USB_SYMBOL(libusb_get_string_descriptor_ascii),
      VEXO3_USB_SYMBOL(libusb_control_transfer),
      VEXO3_USB_SYMBOL(libusb_bulk_transfer),
      VEXO3_USB_SYMBOL(libusb_alloc_transfer),
      VEXO3_USB_SYMBOL(libusb_free_transfer),
      VEXO3_USB_SYMBOL(libusb_submit_transfer),
      VEXO3_USB_SYMBOL(libusb_cancel_transfer),
      VEXO3_USB_SYMBOL(libusb_handle_events_timeout),
      VEXO3_USB_SYMBOL(libusb_handle_events_timeout_completed),
  };
#undef VEXO3_USB_SYMBOL
  return kSymbols;
}

}  // namespace vexo3::sim::usb
