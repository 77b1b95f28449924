// The 2 MiB HandController upload through the whole page: WebSerialD2xx, its
// Web Serial glue and the stand-in port, to the simulated device on its line
// in real time, with the latency timer of the system's serial driver
// (16 ms). upload_bench.html runs it in the browser; scripts/bench drives
// that in headless Chromium.

#include <emscripten/emscripten.h>

#include <cstdio>
#include <string>
#include <vector>

#include "device/hand_controller.h"
#include "link/webserial_d2xx.h"
#include "protocol/device_session.h"
#include "sim/units/sim_image.h"
#include "ui/web/standin_ports.h"
#include "ui/web/web_clock.h"

namespace {

using namespace vexo3;

constexpr uint32_t kImageSize = 2'097'151;         // the largest image a package holds
constexpr double kLineBytesPerSecond = 300'000.0;  // 3,000,000 baud, 10 bits a byte

struct LineBytes {
  uint64_t toDevice = 0;
  uint64_t toHost = 0;
};

LineBytes CountFrom(const sim::SimChip& chip, size_t from) {
  LineBytes n;
  const auto& entries = chip.Transcript();
  for (size_t i = from; i < entries.size(); ++i) {
    if (entries[i].direction == sim::TranscriptEntry::Direction::HostToDevice)
      n.toDevice += entries[i].bytes.size();
    else
      n.toHost += entries[i].bytes.size();
  }
  return n;
}

}  // namespace

extern "C" {

// Connects, uploads, and writes the figures as text into report (a buffer
// of `size` bytes). 0, or the failing step's code.
EMSCRIPTEN_KEEPALIVE int vexo3_bench_upload(int link, StandInPorts* ports, char* report, int size) {
  PageClock clock;
  WebSerialD2xx backend(link);
  DeviceSession session(backend, clock);
  sim::SimChip& chip = ports->setup().bus().Chip(0);

  const double t0 = emscripten_get_now();
  int32_t bootMode = 0;
  if (ResultCode rc = ReadDeviceMode(session, &bootMode, nullptr, nullptr); rc != 0) {
    std::snprintf(report, static_cast<size_t>(size), "connect failed: %d\n", rc);
    return rc;
  }
  const double connectMs = emscripten_get_now() - t0;

  const std::vector<uint8_t> image = sim::MakeSimImage(0x0207, 0x5000, "bench HC", kImageSize, 11);
  const size_t mark = chip.Transcript().size();
  const double t1 = emscripten_get_now();
  const ResultCode rc =
      UploadHcFirmware(session, image.data(), static_cast<int32_t>(image.size()), 0x1111);
  const double uploadS = (emscripten_get_now() - t1) / 1000.0;
  const LineBytes bytes = CountFrom(chip, mark);
  const double floorS = static_cast<double>(bytes.toDevice + bytes.toHost) / kLineBytesPerSecond;
  const uint64_t chunks = (kImageSize + 4095) / 4096;
  std::snprintf(report, static_cast<size_t>(size),
                "HandController upload of %u bytes through the page (WebSerialD2xx, its glue, "
                "the stand-in port)\n"
                "line: 3,000,000 baud, 10 bits a byte, serial driver latency timer %u ms\n"
                "  result                                   %d\n"
                "  chunks                                   %llu\n"
                "  line bytes host -> device                %llu\n"
                "  line bytes device -> host                %llu\n"
                "  wire floor (s)                           %.3f\n"
                "  upload, real time (s)                    %.3f\n"
                "  line efficiency (floor / upload)         %.3f\n"
                "  per chunk (ms)                           %.2f\n"
                "  connect (s, open, wake-up, handshake)    %.3f\n"
                "web_line_efficiency=%.3f web_upload_s=%.3f web_connect_s=%.3f\n",
                kImageSize, static_cast<unsigned>(StandInPorts::kDriverLatencyMs), rc,
                static_cast<unsigned long long>(chunks),
                static_cast<unsigned long long>(bytes.toDevice),
                static_cast<unsigned long long>(bytes.toHost), floorS, uploadS, floorS / uploadS,
                uploadS * 1000.0 / static_cast<double>(chunks), connectMs / 1000.0,
                floorS / uploadS, uploadS, connectMs / 1000.0);
  session.CloseSession();
  return rc;
}

}  // extern "C"
