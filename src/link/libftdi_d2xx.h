#pragma once

// D2xxApi on real FT-X chips (0403:6015) through libftdi1 (configuration
// requests) and libusb (the bulk transfers). It gives the driver semantics
// the link relies on:
//   - FT_Read blocks until n bytes or the read time-out and returns FT_OK
//     with the count (short, or 0, on a time-out); read time-out 0 waits
//     for ever. Each USB transfer asks for the packets still needed and runs
//     with the time left, so a read ends within its time-out (give or take a
//     millisecond) and bytes of a transfer that times out are kept. Bytes
//     fetched beyond n stay queued here for the next read.
//   - FT_Write is one bulk transfer under the write time-out (0: for ever);
//     on a time-out it returns FT_OK with exactly the bytes the chip took.
//   - FT_GetQueueStatus counts the queued bytes; with none queued it asks
//     the chip, unless the chip sent a short packet less than one latency
//     period ago (then it holds anything new until its timer expires).
//   - FT_GetStatus reports 1 byte to send until the chip says its
//     transmitter is empty (TEMT), then 0: the chip tells no count.
//   - Vendor requests run with a fixed 1 s time-out, never the read or
//     write time-outs.
//   - Serial and description are read once, when the device is listed
//     (either may be missing: empty); FT_GetDeviceInfo returns those.
//   - ftdi_sio is detached while a device is open and reattached at
//     FT_Close, so the tty comes back.
//   - Without libusb (no USB at all) enumeration finds no device; a device
//     that can't be opened for reading its strings lists them empty.
// No failure throws; libusb and libftdi errors come back as FT_IO_ERROR,
// FT_DEVICE_NOT_OPENED etc.
// Threads: calls on different handles may overlap, and so may listings
// (each thread has its own list for its FT_Open by index); the calls on one
// handle come from one thread at a time.

#include <memory>

#include "link/d2xx.h"

namespace vexo3 {

class LibFtdiD2xx final : public D2xxApi {
 public:
  LibFtdiD2xx();
  // Closes any handle still open.
  ~LibFtdiD2xx() override;
  LibFtdiD2xx(const LibFtdiD2xx&) = delete;
  LibFtdiD2xx& operator=(const LibFtdiD2xx&) = delete;

  VEXO3_D2XX_OVERRIDES;  // every call of D2xxApi (link/d2xx.h)

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vexo3
