// A full HandController upload of the largest image over the real USB path
// (LibFtdiD2xx, libftdi1, libusb-1.0 with its Linux backend) to emulated
// FT-X chips in a umockdev testbed, in real time, next to the same upload on
// the simulated bus's line model (virtual time). Then the same upload to
// several chips at once, each on a thread of its own with its own session,
// as `vexo3 update --all` runs them. The line efficiency is the wire floor
// (every byte both ways at 300,000 bytes/s) over the time taken; the USB
// figures count the chip's bulk URBs per answer and per chunk.
//   vexo3_usb_bench [CHIPS]    default 4; scripts/bench runs it
// It starts itself again under umockdev's preload library when it isn't.
//
// The last line is for scripts:
//   usb_line_efficiency=<x> modeled_line_efficiency=<x> in_transfers_per_answer=<x>
//   connect_s=<x> chips=<n> several_ratio=<x> cpu_share_per_chip=<x>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cpu_time.h"
#include "device/hand_controller.h"
#include "firmware/firmware_package.h"
#include "link/libftdi_d2xx.h"
#include "platform/clock.h"
#include "protocol/device_session.h"
#include "sim/bus/sim_bus.h"
#include "sim/units/hand_controller.h"
#include "sim/units/sim_image.h"
#include "support/usb/ftx_chip.h"
#include "support/usb/ftx_testbed.h"

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
  uint32_t inUrbs = 0;
  uint32_t outUrbs = 0;
  uint32_t reaps = 0;
  uint32_t statusPackets = 0;
  uint32_t dataPackets = 0;
  double Efficiency() const {
    return upload > 0 ? static_cast<double>(lineBytes) / kLineBytesPerSecond / upload : 0;
  }
};

// Connects, then uploads; the clock tells both times. `mark` is called just
// before and just after the upload and returns the line bytes so far.
template <typename Mark>
void Run(DeviceSession& session, Clock& clock, const std::vector<uint8_t>& image, Mark mark,
         Figures* f) {
  const Clock::Duration t0 = clock.Now();
  int32_t bootMode = 0;
  if (const ResultCode rc = ReadDeviceMode(session, &bootMode, nullptr, nullptr); rc != 0) {
    f->failure = "connect: " + std::to_string(rc) + " " + session.link->errorText;
    return;
  }
  f->connect = Seconds(clock.Now() - t0);
  const uint64_t before = mark();
  Counter counter;
  const Clock::Duration t1 = clock.Now();
  const ResultCode rc =
      UploadHcFirmware(session, image.data(), static_cast<int32_t>(image.size()), 0x1111, &counter);
  f->upload = Seconds(clock.Now() - t1);
  f->lineBytes = mark() - before;
  f->chunks = counter.chunks;
  if (rc != 0)
    f->failure = "upload: " + std::to_string(rc) + " " + session.link->errorText;
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

struct BenchChip {
  BenchChip(Clock& clock, std::string serial) : chip(clock, {.serial = std::move(serial)}, &hc) {}
  sim::SimHandController hc;
  sim::FtxChip chip;
};

struct Several {
  std::vector<Figures> chips;
  double wall = 0;
  double cpu = 0;
};

// The upload to `count` chips at once, one thread and one session each.
Several Emulated(const std::vector<uint8_t>& image, int count) {
  RealClock clock;
  usbtest::FtxTestbed bed;
  std::vector<std::unique_ptr<BenchChip>> chips;
  for (int i = 1; i <= count; ++i) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "VX3U%04d", i);
    chips.push_back(std::make_unique<BenchChip>(clock, serial));
    bed.Add(chips.back()->chip);
  }
  Several result;
  result.chips.resize(static_cast<size_t>(count));
  {
    LibFtdiD2xx d2xx;  // before the testbed goes
    const double cpu0 = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
      threads.emplace_back([&, i] {
        BenchChip& c = *chips[static_cast<size_t>(i)];
        Figures& f = result.chips[static_cast<size_t>(i)];
        DeviceSession session(d2xx, clock);
        session.link->SetSerialFilter(c.chip.Identity().serial);
        sim::FtxChip& chip = c.chip;
        uint32_t in0 = 0, out0 = 0, reaps0 = 0, status0 = 0, data0 = 0;
        Run(
            session, clock, image,
            [&] {
              // Between the backend's calls: no URB of this chip is in flight.
              const uint64_t n = chip.WireBytes().size() + chip.DeviceLineBytes();
              const usbtest::UrbCounts urbs = bed.Urbs(chip);
              f.inUrbs = urbs.bulkIn - in0;
              f.outUrbs = urbs.bulkOut - out0;
              f.reaps = urbs.reaps - reaps0;
              reaps0 = urbs.reaps;
              f.statusPackets = chip.StatusPackets() - status0;
              f.dataPackets = chip.DataPackets() - data0;
              in0 = urbs.bulkIn;
              out0 = urbs.bulkOut;
              status0 = chip.StatusPackets();
              data0 = chip.DataPackets();
              return n;
            },
            &f);
        if (f.failure.empty() && c.hc.Flash(sim::Unit::HandController) != image)
          f.failure = "the chip's flash differs from the image";
      });
    }
    for (std::thread& t : threads)
      t.join();
    result.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.cpu = CpuSeconds() - cpu0;
  }
  return result;
}

int Main(int count) {
  const auto image = sim::MakeSimImage(0x0207, 0x5000, "bench", FirmwareImage::kMaxLength, 7);
  const Figures modeled = Modeled(image);
  const Several one = Emulated(image, 1);
  const Several many = Emulated(image, count);
  const Figures& usb = one.chips[0];
  const auto failed = [](const char* what, const Figures& f) {
    if (f.failure.empty())
      return false;
    std::fprintf(stderr, "%s upload failed: %s\n", what, f.failure.c_str());
    return true;
  };
  bool bad = failed("modeled", modeled) || failed("emulated", usb);
  for (const Figures& f : many.chips)
    bad = failed("side-by-side", f) || bad;
  if (bad)
    return 1;
  const double perAnswer = usb.chunks ? static_cast<double>(usb.inUrbs) / usb.chunks : 0;
  const double outPerChunk = usb.chunks ? static_cast<double>(usb.outUrbs) / usb.chunks : 0;
  std::printf("HandController upload of %zu bytes, 3,000,000 baud, 2 ms latency timer\n",
              image.size());
  std::printf(
      "                                  modeled (sim bus)   emulated FT-X (libftdi1, libusb, "
      "umockdev)\n");
  std::printf("  chunks                          %17u   %17u\n", modeled.chunks, usb.chunks);
  std::printf("  line bytes, both ways           %17llu   %17llu\n",
              static_cast<unsigned long long>(modeled.lineBytes),
              static_cast<unsigned long long>(usb.lineBytes));
  std::printf("  connect (s)                     %17.3f   %17.3f\n", modeled.connect, usb.connect);
  std::printf("  upload (s)                      %17.3f   %17.3f\n", modeled.upload, usb.upload);
  std::printf("  line efficiency                 %17.3f   %17.3f\n", modeled.Efficiency(),
              usb.Efficiency());
  std::printf("  bulk IN URBs per answer         %17s   %17.3f\n", "-", perAnswer);
  std::printf(
      "    of them status-only           %17s   %17u  (the latency timer expired while\n"
      "                                  %17s   %17s   the chunk was on the line)\n",
      "-", usb.statusPackets, "", "");
  std::printf("  USB packets with data per answer%17s   %17.3f\n", "-",
              usb.chunks ? static_cast<double>(usb.dataPackets) / usb.chunks : 0);
  std::printf("  bulk OUT URBs per chunk         %17s   %17.3f\n", "-", outPerChunk);
  std::printf("  reaps per chunk (EAGAIN too)    %17s   %17.1f\n", "-",
              usb.chunks ? static_cast<double>(usb.reaps) / usb.chunks : 0);

  const double ratio = many.wall / one.wall;
  const double cpuShare = many.cpu / many.wall / count;
  std::printf("\nThe same upload to %d chips at once, a thread and a session each\n", count);
  std::printf("                                   1 chip   %d chips\n", count);
  std::printf("  wall time (s)                   %7.2f   %7.2f\n", one.wall, many.wall);
  std::printf("  CPU per chip, share of a core  %7.2f%%  %7.2f%%\n", 100 * one.cpu / one.wall,
              100 * cpuShare);
  std::printf("  wall time / one chip's                    %7.3f\n", ratio);
  for (const Figures& f : many.chips)
    std::printf("  line efficiency of a chip                 %7.3f\n", f.Efficiency());
  std::printf(
      "\nusb_line_efficiency=%.3f modeled_line_efficiency=%.3f in_transfers_per_answer=%.3f "
      "connect_s=%.3f chips=%d several_ratio=%.3f cpu_share_per_chip=%.4f\n",
      usb.Efficiency(), modeled.Efficiency(), perAnswer, usb.connect, count, ratio, cpuShare);
  return 0;
}

}  // namespace
}  // namespace vexo3

int main(int argc, char** argv) {
  if (!vexo3::usbtest::FtxTestbed::InMockEnvironment()) {
    // The testbed needs umockdev's preload library in the process from its
    // start: run again with it.
    std::string preload = "libumockdev-preload.so.0";
    if (const char* old = std::getenv("LD_PRELOAD"); old != nullptr && *old != '\0')
      preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("vexo3_usb_bench: can't start again under umockdev");
    return 1;
  }
  const int count = argc > 1 ? std::atoi(argv[1]) : 4;
  if (count < 1 || count > 8) {
    std::fprintf(stderr, "usage: vexo3_usb_bench [CHIPS 1..8]\n");
    return 2;
  }
  return vexo3::Main(count);
}
