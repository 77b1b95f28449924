#pragma once

// A USB bus of emulated FT-X chips behind libusb-1.0's own API. The object
// file defines the libusb functions that libftdi1 and the libftdi backend
// call; an executable that links it binds the real, shared libftdi1 to these
// definitions instead of the system's libusb, so the whole real USB path
// (backend, libftdi1, libusb calls) runs against FtxChip.
//
// It keeps libusb's rules where host code depends on them: string index 0
// is LIBUSB_ERROR_INVALID_PARAM; a bulk transfer reports what moved in
// *transferred also when it times out; timeout 0 waits for ever; a device
// that is still referenced outlives its unplugging; claiming an interface a
// kernel driver holds is LIBUSB_ERROR_BUSY (ftdi_sio is bound to every chip
// at plug-in). The asynchronous API is refused (LIBUSB_ERROR_NOT_SUPPORTED).
//
// NB: link it only into test and benchmark programs, never into a program
// that should talk to real USB devices. A libusb function missing here
// would silently bind to the real libusb: UsbSymbols() lists the ones
// defined, for a test that compares them with libftdi1's imports.
//
// The bus is process-wide because the libusb API is; one thread at a time.

#include <cstdint>
#include <span>
#include <string_view>

#include "support/usb/ftx_chip.h"

namespace vexo3::sim::usb {

// Adds a chip at the end of the enumeration order. It must stay alive until
// Unplug or UnplugAll.
void Plug(FtxChip& chip);
// Removes a chip from the bus (handles still open on it fail with
// LIBUSB_ERROR_NO_DEVICE from then on).
void Unplug(FtxChip& chip);
void UnplugAll();

struct KernelDriverRecord {
  bool attached = true;  // ftdi_sio holds the interface
  uint32_t detaches = 0;
  uint32_t reattaches = 0;
};
KernelDriverRecord KernelDriver(const FtxChip& chip);
// Device handles open right now, over all chips.
uint32_t OpenHandles();

struct UsbSymbol {
  std::string_view name;
  void* address;
};
std::span<const UsbSymbol> UsbSymbols();

}  // namespace vexo3::sim::usb
