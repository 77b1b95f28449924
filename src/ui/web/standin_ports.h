#pragma once

// The simulated device as the page's serial ports: what index.html?simulate
// puts in place of navigator.serial (standin_serial.js holds the Web Serial
// side). Each call a stand-in port gets is turned into the D2XX calls that a
// system's serial driver makes on its chip, made here on the simulator's own
// bus (sim::SimulatedBus): the page's backend (WebSerialD2xx) and its glue
// run unchanged against the simulated device, and no second model of the
// device or the chip exists.
//
// The chip keeps the latency timer the system's serial drivers use by
// default (16 ms): a page can't change it. Time is real time: the bus runs
// on a PacedClock, and after each call the stand-in waits out AheadMs()
// before answering, so a write takes as long as the line needs for it.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "link/d2xx.h"
#include "sim/scenario/simulated_setup.h"
#include "ui/web/web_clock.h"

namespace vexo3 {

// A port's line as Web Serial's open() gives it.
struct StandInLine {
  int baud = 9600;
  int bits = 8;
  int stop = 1;
  int parity = 0;  // 0 none, 1 odd, 2 even
  bool hardwareFlow = false;
};

class StandInPorts {
 public:
  // The serial drivers' default latency timer (ms).
  static constexpr UCHAR kDriverLatencyMs = 16;

  // profileJson: a simulator profile's text, as vexo3 --simulate=PROFILE
  // reads it; "" for the default scenario. Its state_file has no effect
  // here. Null, with *error naming the key, for a profile that is refused.
  static std::unique_ptr<StandInPorts> Create(std::string_view profileJson, std::string* error);

  // Lists the chips on the bus (FT_CreateDeviceInfoList and
  // FT_GetDeviceInfoList): how many, or a negative D2XX status.
  int List();
  // vendor << 16 | product of a listed chip; 0 when there is none.
  uint32_t UsbId(int index) const;
  // FT_Open of a listed chip, then the driver's set-up: its latency timer,
  // time-outs that never wait, the line asked for. A port number (> 0), or
  // a negative D2XX status (the line refused: FT_INVALID_BAUD_RATE, ...).
  int Open(int index, const StandInLine& line);
  // FT_Close; 0 or a negative status.
  int Close(int port);
  // FT_Write of n bytes: the count taken, or a negative status. The clock
  // is then ahead by the time the chip took them.
  int Write(int port, const uint8_t* data, int n);
  // The bytes that have reached the host by now, at most room of them
  // (FT_GetQueueStatus, then FT_Read of what waits): a count, or a negative
  // status.
  int Read(int port, uint8_t* dest, int room);
  // How long until the next bytes on their way reach the host (ms, 0 when
  // they have), or a negative value when none are on their way.
  double NextArrivalMs(int port);
  // What the last calls still owe in real time (ms).
  double AheadMs() const;

  sim::SimulatedSetup& setup() { return *setup_; }

 private:
  StandInPorts() = default;
  FT_HANDLE HandleOf(int port) const;

  PacedClock clock_;
  std::unique_ptr<sim::SimulatedSetup> setup_;
  std::vector<FT_DEVICE_LIST_INFO_NODE> listed_;
  std::vector<FT_HANDLE> handles_;  // port number - 1; null once closed
};

}  // namespace vexo3
