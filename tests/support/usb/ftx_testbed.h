#pragma once

// FT-X chips (FtxChip) on a umockdev testbed, so that the real libusb-1.0
// with its Linux backend runs over them: each chip gets a sysfs entry (its
// descriptors, busnum/devnum, speed) and a device node whose usbfs ioctls
// are answered here, in the test's own process, as the kernel answers them:
// URBs are submitted, reaped (REAPURBNDELAY; EAGAIN while none has ended)
// and discarded (the cancelled URB keeps what it moved, status -ENOENT);
// ftdi_sio holds the interface until it is disconnected or claimed away;
// an unplugged chip fails every call with ENODEV, its URBs end -ESHUTDOWN.
//
// A bulk URB is served while it is in flight: each reap brings the chip up
// to now, so its packets go at the chip's own times (the latency timer, the
// transmit buffer, CTS), as a host controller retrying NAKed tokens does.
//
// The program must run under umockdev's preload library
// (LD_PRELOAD=libumockdev-preload.so.0); InMockEnvironment() tells.
// The ioctls are answered on umockdev's thread; read a chip's records only
// while no transfer is in flight (between the backend's calls).

#include <cstdint>
#include <memory>
#include <string>

#include "support/usb/ftx_chip.h"

namespace vexo3::usbtest {

struct KernelDriverState {
  bool bound = true;     // ftdi_sio holds the interface
  bool claimed = false;  // usbfs (the program) holds it
  uint32_t detaches = 0;
  uint32_t reattaches = 0;
};

// URBs the chip saw, by kind.
struct UrbCounts {
  uint32_t control = 0;
  uint32_t bulkIn = 0;
  uint32_t bulkOut = 0;
  uint32_t discarded = 0;  // cancelled by the host (its time-out)
  uint32_t reaps = 0;      // REAPURBNDELAY calls, EAGAIN ones too
};

class FtxTestbed {
 public:
  FtxTestbed();
  ~FtxTestbed();
  FtxTestbed(const FtxTestbed&) = delete;
  FtxTestbed& operator=(const FtxTestbed&) = delete;

  static bool InMockEnvironment();

  // Plugs a chip in at the next port (bus 1, ports 1.., devnum 2..). It must
  // outlive Remove or the testbed.
  void Add(sim::FtxChip& chip);
  // Unplugs it: its sysfs entry goes, calls on open handles fail ENODEV.
  void Remove(sim::FtxChip& chip);

  KernelDriverState Driver(const sim::FtxChip& chip) const;
  UrbCounts Urbs(const sim::FtxChip& chip) const;
  void ClearUrbs(const sim::FtxChip& chip);
  std::string DevNode(const sim::FtxChip& chip) const;

  // --- Faults ---
  // The endpoint stalls: its next bulk URBs end -EPIPE until CLEAR_HALT.
  void StallEndpoint(const sim::FtxChip& chip, uint8_t endpoint);
  // The chip goes while a bulk URB is in flight: that reap fails ENODEV.
  void GoneDuringNextBulk(const sim::FtxChip& chip);
  // Control URBs end `ms` after they were submitted (0: at once).
  void SlowControls(const sim::FtxChip& chip, uint32_t ms);
  // ftdi_sio bound again (as after a re-plug).
  void BindDriver(const sim::FtxChip& chip);
  // The node's mode: 0 means no access (EACCES for a user without rights).
  void SetNodeMode(const sim::FtxChip& chip, unsigned mode);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vexo3::usbtest
