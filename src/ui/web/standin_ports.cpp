#include "ui/web/standin_ports.h"

#include <emscripten/emscripten.h>

#include <algorithm>
#include <cstdio>

#include "sim/scenario/profile.h"

namespace vexo3 {

namespace {

int Failed(FT_STATUS status) {
  return -static_cast<int>(status);
}

}  // namespace

std::unique_ptr<StandInPorts> StandInPorts::Create(std::string_view profileJson,
                                                   std::string* error) {
  sim::Profile profile;
  if (!profileJson.empty() && !sim::ParseProfile(profileJson, "/", &profile, error))
    return nullptr;
  std::unique_ptr<StandInPorts> ports(new StandInPorts);
  ports->setup_ = std::make_unique<sim::SimulatedSetup>(ports->clock_, profile);
  return ports;
}

int StandInPorts::List() {
  D2xxApi& bus = setup_->bus();
  DWORD n = 0;
  if (FT_STATUS st = bus.FT_CreateDeviceInfoList(&n))
    return Failed(st);
  listed_.assign(n, FT_DEVICE_LIST_INFO_NODE{});
  if (n > 0) {
    if (FT_STATUS st = bus.FT_GetDeviceInfoList(listed_.data(), &n))
      return Failed(st);
    listed_.resize(n);
  }
  return static_cast<int>(listed_.size());
}

uint32_t StandInPorts::UsbId(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= listed_.size())
    return 0;
  return listed_[static_cast<size_t>(index)].ID;
}

FT_HANDLE StandInPorts::HandleOf(int port) const {
  if (port < 1 || static_cast<size_t>(port) > handles_.size())
    return nullptr;
  return handles_[static_cast<size_t>(port) - 1];
}

int StandInPorts::Open(int index, const StandInLine& line) {
  D2xxApi& bus = setup_->bus();
  FT_HANDLE h = nullptr;
  if (FT_STATUS st = bus.FT_Open(index, &h))
    return Failed(st);
  const UCHAR stop = line.stop == 2 ? FT_STOP_BITS_2 : FT_STOP_BITS_1;
  const USHORT flow = line.hardwareFlow ? FT_FLOW_RTS_CTS : FT_FLOW_NONE;
  // Reads take only what has arrived and writes wait as the line does: no
  // call of the driver's waits for a time-out of its own.
  FT_STATUS st = bus.FT_SetLatencyTimer(h, kDriverLatencyMs);
  if (st == FT_OK)
    st = bus.FT_SetTimeouts(h, 0, 0);
  if (st == FT_OK)
    st = bus.FT_SetDataCharacteristics(h, static_cast<UCHAR>(line.bits), stop,
                                       static_cast<UCHAR>(line.parity));
  if (st == FT_OK)
    st = bus.FT_SetFlowControl(h, flow, 0, 0);
  if (st == FT_OK)
    st = bus.FT_SetBaudRate(h, static_cast<ULONG>(line.baud));
  if (st != FT_OK) {
    bus.FT_Close(h);
    return Failed(st);
  }
  handles_.push_back(h);
  return static_cast<int>(handles_.size());
}

int StandInPorts::Close(int port) {
  FT_HANDLE h = HandleOf(port);
  if (h == nullptr)
    return Failed(FT_INVALID_HANDLE);
  handles_[static_cast<size_t>(port) - 1] = nullptr;
  return Failed(setup_->bus().FT_Close(h));
}

int StandInPorts::Write(int port, const uint8_t* data, int n) {
  DWORD written = 0;
  if (FT_STATUS st = setup_->bus().FT_Write(HandleOf(port), data, static_cast<DWORD>(n), &written))
    return Failed(st);
  return static_cast<int>(written);
}

int StandInPorts::Read(int port, uint8_t* dest, int room) {
  D2xxApi& bus = setup_->bus();
  FT_HANDLE h = HandleOf(port);
  DWORD queued = 0;
  if (FT_STATUS st = bus.FT_GetQueueStatus(h, &queued))
    return Failed(st);
  const DWORD n = std::min<DWORD>(queued, static_cast<DWORD>(room));
  if (n == 0)
    return 0;
  DWORD got = 0;
  if (FT_STATUS st = bus.FT_Read(h, dest, n, &got))
    return Failed(st);
  return static_cast<int>(got);
}

double StandInPorts::NextArrivalMs(int port) {
  const std::optional<Clock::Duration> at = setup_->bus().NextArrival(HandleOf(port));
  if (!at)
    return -1.0;
  const Clock::Duration realNow = clock_.Now() - clock_.Ahead();
  return static_cast<double>(std::max(*at - realNow, Clock::Duration{0}).count()) / 1000.0;
}

double StandInPorts::AheadMs() const {
  return static_cast<double>(clock_.Ahead().count()) / 1000.0;
}

}  // namespace vexo3

// The calls of standin_serial.js. The page holds the object they act on.
extern "C" {

EMSCRIPTEN_KEEPALIVE vexo3::StandInPorts* vexo3_standin_new(const char* profileJson, char* error,
                                                            int errorSize) {
  std::string why;
  auto ports = vexo3::StandInPorts::Create(profileJson, &why);
  if (!ports && errorSize > 0)
    std::snprintf(error, static_cast<size_t>(errorSize), "%s", why.c_str());
  return ports.release();
}

EMSCRIPTEN_KEEPALIVE void vexo3_standin_delete(vexo3::StandInPorts* ports) {
  delete ports;
}

EMSCRIPTEN_KEEPALIVE int vexo3_standin_list(vexo3::StandInPorts* ports) {
  return ports->List();
}

EMSCRIPTEN_KEEPALIVE uint32_t vexo3_standin_usb_id(vexo3::StandInPorts* ports, int index) {
  return ports->UsbId(index);
}

EMSCRIPTEN_KEEPALIVE int vexo3_standin_open(vexo3::StandInPorts* ports, int index, int baud,
                                            int bits, int stop, int parity, int hardwareFlow) {
  return ports->Open(index, vexo3::StandInLine{baud, bits, stop, parity, hardwareFlow != 0});
}

EMSCRIPTEN_KEEPALIVE int vexo3_standin_close(vexo3::StandInPorts* ports, int port) {
  return ports->Close(port);
}

EMSCRIPTEN_KEEPALIVE int vexo3_standin_write(vexo3::StandInPorts* ports, int port,
                                             const uint8_t* data, int n) {
  return ports->Write(port, data, n);
}

EMSCRIPTEN_KEEPALIVE int vexo3_standin_read(vexo3::StandInPorts* ports, int port, uint8_t* dest,
                                            int room) {
  return ports->Read(port, dest, room);
}

EMSCRIPTEN_KEEPALIVE double vexo3_standin_next_arrival_ms(vexo3::StandInPorts* ports, int port) {
  return ports->NextArrivalMs(port);
}

EMSCRIPTEN_KEEPALIVE double vexo3_standin_ahead_ms(vexo3::StandInPorts* ports) {
  return ports->AheadMs();
}

}  // extern "C"
