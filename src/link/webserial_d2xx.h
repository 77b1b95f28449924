#pragma once

// The D2XX calls over the browser's Web Serial API, for the web page
// (Emscripten only). Its JavaScript half (webserial_d2xx.js, linked into the
// page with it) holds the ports, their receive queues and the waits; calls
// that wait (listing, opening, reading, writing, closing) are awaits through
// Asyncify, so the code above stays synchronous and the page's event loop
// runs while they wait.
//
// What Web Serial gives, and how the calls use it:
//  - The list is the ports the person has granted this page (the browser's
//    chooser, filtered on 0403:6015, grants one; a port granted before is
//    found again). Web Serial tells a port's USB ids and nothing else: a port
//    with the HandController's ids is listed, and described by
//    FT_GetDeviceInfo, as "Vexo-3 HandController" (the name the person picked
//    it by); any other port with no description. Every port's serial number
//    reads "unknown" (an empty one would read as a failed query).
//  - FT_Open opens the port with the driver's defaults (9600 baud, 8N1, no
//    flow control), so a port another program holds fails there
//    (FT_DEVICE_NOT_OPENED). Web Serial sets the line only when it opens a
//    port: a changed baud rate, data format or flow control is kept, and the
//    port is opened again with it before the next read or write. Bytes
//    received before that are dropped, as a purge would.
//  - Reads wait for the receive queue with the time-outs of FT_SetTimeouts
//    (0: for ever) and return what came; FT_GetQueueStatus counts that queue.
//    Writes return once Web Serial has taken the bytes; one that isn't taken
//    within the write time-out returns FT_OK with nothing written.
//  - What Web Serial can't do is answered as a chip that honours none of it
//    would: FT_SetLatencyTimer and FT_SetBitMode are accepted and change
//    nothing (the system's serial driver keeps its own latency timer),
//    FT_GetBitMode reads 0x00, FT_GetStatus has nothing waiting to go out
//    and no events, FT_Purge of the transmit side has nothing to drop.
//  - A port that goes away (unplugged, a read that fails for good) fails
//    every later call but FT_Close with FT_IO_ERROR.

#include <cstdint>
#include <vector>

#include "link/d2xx.h"

namespace vexo3 {

class WebSerialD2xx final : public D2xxApi {
 public:
  // The USB ids a Web Serial port must have to be taken for a HandController.
  static constexpr DWORD kHandControllerId = 0x04036015;

  // link: the number under which the page registered its WebSerialLink (the
  // JavaScript half, over navigator.serial or a stand-in) in
  // Module.vexo3Links; it must stay there while this object lives.
  explicit WebSerialD2xx(int link);
  // Closes any port still open.
  ~WebSerialD2xx() override;
  WebSerialD2xx(const WebSerialD2xx&) = delete;
  WebSerialD2xx& operator=(const WebSerialD2xx&) = delete;

  VEXO3_D2XX_OVERRIDES;  // every call of D2xxApi (link/d2xx.h)

 private:
  struct Line {
    ULONG baud = 9600;
    UCHAR bits = FT_BITS_8;
    UCHAR stop = FT_STOP_BITS_1;
    UCHAR parity = FT_PARITY_NONE;
    USHORT flow = FT_FLOW_NONE;
    bool operator==(const Line&) const = default;
  };
  struct Port {
    int id = 0;     // the JavaScript half's number for the open port
    int index = 0;  // in the list it was opened from
    Line wanted;    // as the calls set it
    Line opened;    // what the port was last opened with
    ULONG readTimeoutMs = 0;
    ULONG writeTimeoutMs = 0;
  };

  Port* Find(FT_HANDLE handle);
  // Opens the port again when the line it was opened with is not the one
  // asked for; FT_OK, or FT_IO_ERROR when that fails.
  FT_STATUS Apply(Port& port);
  static DWORD IdOf(int link, int index);

  int link_;
  int listed_ = 0;  // ports in the last list
  std::vector<Port> ports_;
};

}  // namespace vexo3
