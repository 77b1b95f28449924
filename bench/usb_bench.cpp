// A full HandController upload of the largest image over the real USB path
// (LibFtdiD2xx, libftdi1, the libusb calls) and the emulated FT-X chip, in
// real time, next to the same upload on the simulated bus's line model
// (virtual time). The line efficiency is the wire floor (every byte both
// ways at 300,000 bytes/s) over the time taken; the USB figures count the
// chip's bulk transfers per answer and per chunk. scripts/bench runs it.
//
// The last line is for scripts:
//   usb_line_efficiency=<x> modeled_line_efficiency=<x> in_transfers_per_answer=<x>
//   connect_s=<x>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "device/hand_controller.h"
#include "firmware/firmware_package.h"
#include "link/libftdi_d2xx.h"
#include "platform/clock.h"
#include "protocol/device_session.h"
#include "sim/bus/sim_bus.h"
#include "sim/units/hand_controller.h"
#include "sim/units/sim_image.h"
#include "support/usb/fake_libusb.h"
#include "support/usb/ftx_chip.h"

namespace vexo3 {
namespace {

constexpr double kLineBytesPerSecond = 300000.0;  // 3,000,000 baud, 10 bits a byte

double Seconds(Clock::Duration d) {
  return std::chrono::duration<double>(d).count();
}

struct Counter final : public ProgressObserver {
  void OnProgress(uint64_t, uint64_t) override { ++chunks; }
  uint32_t chunks = 0;
};

struct Figures {
  std::string failure;
  double connect = 0;
  double upload = 0;
  uint64_t lineBytes = 0;
  uint32_t chunks = 0;
  uint32_t inTransfers = 0;
  uint32_t outTransfers = 0;
  uint32_t statusPackets = 0;
  uint32_t dataPackets = 0;
  double Efficiency() const {
    return upload > 0 ? static_cast<double>(lineBytes) / kLineBytesPerSecond / upload : 0;
  }
};

// Connects, then uploads; the clock tells both times.
template <typename LineBytes>
void Run(DeviceSession& session, Clock& clock, const std::vector<uint8_t>& image,
         LineBytes lineBytes, Figures* f) {
  const Clock::Duration t0 = clock.Now();
  int32_t bootMode = 0;
  if (const ResultCode rc = ReadDeviceMode(session, &bootMode, nullptr, nullptr); rc != 0) {
    f->failure = "connect: " + std::to_string(rc);
    return;
  }
  f->connect = Seconds(clock.Now() - t0);
  const uint64_t before = lineBytes();
  Counter counter;
  const Clock::Duration t1 = clock.Now();
  const ResultCode rc =
      UploadHcFirmware(session, image.data(), static_cast<int32_t>(image.size()), 0x1111, &counter);
  f->upload = Seconds(clock.Now() - t1);
  f->lineBytes = lineBytes() - before;
  f->chunks = counter.chunks;
  if (rc != 0)
    f->failure = "upload: " + std::to_string(rc);
}

Figures Modeled(const std::vector<uint8_t>& image) {
  VirtualClock clock;
  sim::SimHandController hc;
  sim::SimulatedBus bus(clock);
  sim::SimChip& chip = bus.AddChip(sim::ChipInfo{}, &hc);
  DeviceSession session(bus, clock);
  Figures f;
  Run(
      session, clock, image,
      [&] {
        uint64_t n = 0;
        for (const sim::TranscriptEntry& e : chip.Transcript())
          n += e.bytes.size();
        return n;
      },
      &f);
  return f;
}

Figures Emulated(const std::vector<uint8_t>& image) {
  RealClock clock;
  sim::SimHandController hc;
  sim::FtxChip chip(clock, {}, &hc);
  sim::usb::Plug(chip);
  Figures f;
  {
    LibFtdiD2xx d2xx;
    DeviceSession session(d2xx, clock);
    uint32_t in0 = 0, out0 = 0, status0 = 0, data0 = 0;
    Run(
        session, clock, image,
        [&] {
          // Called before and after the upload: the transfers in between are its own.
          const uint64_t n = chip.WireBytes().size() + chip.DeviceLineBytes();
          f.inTransfers = chip.BulkInTransfers() - in0;
          f.outTransfers = chip.BulkOutTransfers() - out0;
          f.statusPackets = chip.StatusPackets() - status0;
          f.dataPackets = chip.DataPackets() - data0;
          in0 = chip.BulkInTransfers();
          out0 = chip.BulkOutTransfers();
          status0 = chip.StatusPackets();
          data0 = chip.DataPackets();
          return n;
        },
        &f);
  }
  sim::usb::Unplug(chip);
  return f;
}

int Main() {
  const auto image = sim::MakeSimImage(0x0207, 0x5000, "bench", FirmwareImage::kMaxLength, 7);
  const Figures modeled = Modeled(image);
  const Figures usb = Emulated(image);
  for (const Figures* f : {&modeled, &usb}) {
    if (!f->failure.empty()) {
      std::fprintf(stderr, "%s upload failed: %s\n", f == &modeled ? "modeled" : "emulated",
                   f->failure.c_str());
      return 1;
    }
  }
  const double perAnswer = usb.chunks ? static_cast<double>(usb.inTransfers) / usb.chunks : 0;
  const double outPerChunk = usb.chunks ? static_cast<double>(usb.outTransfers) / usb.chunks : 0;
  std::printf("HandController upload of %zu bytes, 3,000,000 baud, 2 ms latency timer\n",
              image.size());
  std::printf(
      "                                  modeled (sim bus)   emulated FT-X (libftdi backend, real "
      "time)\n");
  std::printf("  chunks                          %17u   %17u\n", modeled.chunks, usb.chunks);
  std::printf("  line bytes, both ways           %17llu   %17llu\n",
              static_cast<unsigned long long>(modeled.lineBytes),
              static_cast<unsigned long long>(usb.lineBytes));
  std::printf("  connect (s)                     %17.3f   %17.3f\n", modeled.connect, usb.connect);
  std::printf("  upload (s)                      %17.3f   %17.3f\n", modeled.upload, usb.upload);
  std::printf("  line efficiency                 %17.3f   %17.3f\n", modeled.Efficiency(),
              usb.Efficiency());
  std::printf("  USB IN transfers per answer     %17s   %17.3f\n", "-", perAnswer);
  std::printf(
      "    of them status-only           %17s   %17u  (the latency timer expired while\n"
      "                                  %17s   %17s   the chunk was written; no wait)\n",
      "-", usb.statusPackets, "", "");
  std::printf("  USB packets with data per answer%17s   %17.3f\n", "-",
              usb.chunks ? static_cast<double>(usb.dataPackets) / usb.chunks : 0);
  std::printf("  USB OUT transfers per chunk     %17s   %17.3f\n", "-", outPerChunk);
  std::printf(
      "\nusb_line_efficiency=%.3f modeled_line_efficiency=%.3f in_transfers_per_answer=%.3f "
      "connect_s=%.3f\n",
      usb.Efficiency(), modeled.Efficiency(), perAnswer, usb.connect);
  return 0;
}

}  // namespace
}  // namespace vexo3

int main() {
  return vexo3::Main();
}
