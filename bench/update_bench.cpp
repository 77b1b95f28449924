// A full update (HandController and Camera, the largest images a package
// takes) against the simulated device, measured against what the line itself
// allows. One run of each figure; scripts/bench builds and runs it.
//
// The modeled time is the virtual clock's: the simulated bus charges 10 bit
// times a byte at the baud rate, the chip's USB packets and latency timer.
// The floor is every byte the exchange put on the line, both directions, at
// 300,000 bytes/s. Host figures (CPU time, copies, allocations) come from the
// real link, session and device code; the simulator's share is counted apart
// where it can be told apart.
//
// The last line is for scripts:
//   line_efficiency=<x> host_cpu_share=<x> load_ratio=<x> allocs_per_chunk=<n>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "alloc_count.h"
#include "cpu_time.h"
#include "device/camera.h"
#include "device/hand_controller.h"
#include "firmware/firmware_package.h"
#include "platform/clock.h"
#include "protocol/device_session.h"
#include "sim/bus/sim_bus.h"
#include "sim/units/hand_controller.h"
#include "sim/units/package_writer.h"
#include "sim/units/sim_image.h"

namespace vexo3 {
namespace {

constexpr uint32_t kImageSize = FirmwareImage::kMaxLength;  // 2,097,151
constexpr double kLineBytesPerSecond = 300000.0;            // 3,000,000 baud, 10 bits a byte
constexpr int kLoadRuns = 20;

double Seconds(Clock::Duration d) {
  return std::chrono::duration<double>(d).count();
}

uint64_t MinorFaults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<uint64_t>(usage.ru_minflt);
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// "2097151" -> "2,097,151"
std::string Grouped(uint64_t v) {
  std::string digits = std::to_string(v);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0)
      out += ',';
    out += digits[i];
  }
  return out;
}

// ------------------------------------------------------------ The D2XX seam

// Passes every call to the simulated bus. Marks the time spent inside as the
// simulator's (for the allocation count) and notes where each written block
// came from, so the copies on the upload path show on the wire side.
class SimSide final : public D2xxApi {
 public:
  explicit SimSide(D2xxApi& bus) : bus_(bus) {}

  // Whatever latency the link asks for, the chip ships its data at once.
  void SetZeroLatency(bool zero) { zeroLatency_ = zero; }

  // Blocks written straight out of these ranges count as taken from them.
  void Watch(std::span<const uint8_t> image, std::span<const uint8_t> relay) {
    image_ = image;
    relay_ = relay;
  }
  uint64_t fromImage = 0;  // bytes FT_Write took from the caller's image
  uint64_t fromRelay = 0;  // bytes FT_Write took from the session's relay buffer

  FT_STATUS FT_CreateDeviceInfoList(DWORD* numDevs) override {
    Inside in(*this);
    return bus_.FT_CreateDeviceInfoList(numDevs);
  }
  FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs) override {
    Inside in(*this);
    return bus_.FT_GetDeviceInfoList(dest, numDevs);
  }
  FT_STATUS FT_Open(int deviceNumber, FT_HANDLE* handle) override {
    Inside in(*this);
    return bus_.FT_Open(deviceNumber, handle);
  }
  FT_STATUS FT_Close(FT_HANDLE handle) override {
    Inside in(*this);
    return bus_.FT_Close(handle);
  }
  FT_STATUS FT_GetBitMode(FT_HANDLE handle, UCHAR* mode) override {
    Inside in(*this);
    return bus_.FT_GetBitMode(handle, mode);
  }
  FT_STATUS FT_SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) override {
    Inside in(*this);
    return bus_.FT_SetBitMode(handle, mask, mode);
  }
  FT_STATUS FT_Purge(FT_HANDLE handle, ULONG mask) override {
    Inside in(*this);
    return bus_.FT_Purge(handle, mask);
  }
  FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits,
                                      UCHAR parity) override {
    Inside in(*this);
    return bus_.FT_SetDataCharacteristics(handle, wordLength, stopBits, parity);
  }
  FT_STATUS FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate) override {
    Inside in(*this);
    return bus_.FT_SetBaudRate(handle, baudRate);
  }
  FT_STATUS FT_SetFlowControl(FT_HANDLE handle, USHORT flowControl, UCHAR xon,
                              UCHAR xoff) override {
    Inside in(*this);
    return bus_.FT_SetFlowControl(handle, flowControl, xon, xoff);
  }
  FT_STATUS FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout) override {
    Inside in(*this);
    return bus_.FT_SetTimeouts(handle, readTimeout, writeTimeout);
  }
  FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, UCHAR timer) override {
    Inside in(*this);
    return bus_.FT_SetLatencyTimer(handle, zeroLatency_ ? UCHAR{0} : timer);
  }
  FT_STATUS FT_GetDeviceInfo(FT_HANDLE handle, FT_DEVICE* type, DWORD* id, char* serialNumber,
                             char* description, void* dummy) override {
    Inside in(*this);
    return bus_.FT_GetDeviceInfo(handle, type, id, serialNumber, description, dummy);
  }
  FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, DWORD n, DWORD* written) override {
    const auto* p = static_cast<const uint8_t*>(buffer);
    if (Within(image_, p, n))
      fromImage += n;
    else if (Within(relay_, p, n))
      fromRelay += n;
    Inside in(*this);
    return bus_.FT_Write(handle, buffer, n, written);
  }
  FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got) override {
    Inside in(*this);
    return bus_.FT_Read(handle, buffer, n, got);
  }
  FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, DWORD* rxBytes) override {
    Inside in(*this);
    return bus_.FT_GetQueueStatus(handle, rxBytes);
  }
  FT_STATUS FT_GetStatus(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes,
                         DWORD* eventStatus) override {
    Inside in(*this);
    return bus_.FT_GetStatus(handle, rxBytes, txBytes, eventStatus);
  }

  // Time spent inside the simulator, when asked for (steady clock: the run
  // is one thread that never blocks, so this is its CPU time too).
  void TimeInside(bool on) { timeInside_ = on; }
  double insideSeconds = 0;

 private:
  class Inside {
   public:
    explicit Inside(SimSide& side) : side_(side) {
      if (side_.timeInside_ && AllocCount().simDepth == 0)
        start_ = WallSeconds();
      ++AllocCount().simDepth;
    }
    ~Inside() {
      if (--AllocCount().simDepth == 0 && start_ > 0)
        side_.insideSeconds += WallSeconds() - start_;
    }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;

   private:
    SimSide& side_;
    double start_ = 0;
  };

  // Compares addresses as integers: the block may belong to any buffer.
  static bool Within(std::span<const uint8_t> range, const uint8_t* p, DWORD n) {
    if (range.empty() || p == nullptr)
      return false;
    const auto begin = reinterpret_cast<uintptr_t>(range.data());
    const auto at = reinterpret_cast<uintptr_t>(p);
    return at >= begin && at - begin + n <= range.size();
  }

  D2xxApi& bus_;
  std::span<const uint8_t> image_;
  std::span<const uint8_t> relay_;
  bool zeroLatency_ = false;
  bool timeInside_ = false;
};

// Turns allocation counting on at a transfer's first accepted chunk and off
// at its last, so only whole chunks in the steady state are counted (the
// chunks after the first).
class ChunkWindow final : public ProgressObserver {
 public:
  void OnProgress(uint64_t bytesDone, uint64_t bytesTotal) override {
    ++chunks;
    if (chunks == 1)
      AllocCount().counting = true;
    if (bytesDone >= bytesTotal)
      AllocCount().counting = false;
  }
  uint32_t chunks = 0;  // accepted chunks; the window holds chunks - 1
};

// ------------------------------------------------------------ The update runs

struct UnitRun {
  Clock::Duration modeled{0};
  uint64_t toDevice = 0;  // bytes on the line, host to device
  uint64_t toHost = 0;    // bytes on the line, device to host
  uint64_t payload = 0;
  uint32_t chunks = 0;
  uint64_t fromImage = 0;
  uint64_t fromRelay = 0;

  uint64_t LineBytes() const { return toDevice + toHost; }
  double Floor() const { return static_cast<double>(LineBytes()) / kLineBytesPerSecond; }
};

struct UpdateRun {
  std::string failure;  // empty when both units took their image
  Clock::Duration connect{0};
  UnitRun hc;
  UnitRun camera;
  double wallSeconds = 0;
  double cpuSeconds = 0;
  uint64_t pageFaults = 0;  // minor faults: first touches of fresh memory
  double simSeconds = 0;    // of wallSeconds, inside D2XX calls (modeled run only)
  uint64_t hostAllocs = 0;
  uint64_t simAllocs = 0;
  uint32_t windowChunks = 0;  // chunks inside the counting windows

  UnitRun Total() const {
    UnitRun t;
    t.modeled = hc.modeled + camera.modeled;
    t.toDevice = hc.toDevice + camera.toDevice;
    t.toHost = hc.toHost + camera.toHost;
    t.payload = hc.payload + camera.payload;
    t.chunks = hc.chunks + camera.chunks;
    t.fromImage = hc.fromImage + camera.fromImage;
    t.fromRelay = hc.fromRelay + camera.fromRelay;
    return t;
  }
};

enum class Line {
  Modeled,      // 2 ms latency timer as the updater sets it, no device processing time
  ZeroLatency,  // latency timer 0: answers leave the chip as soon as they arrive; the
                // virtual clock makes line time cost nothing real either way
};

// The bus on its clock, with the device behind it; declared so that the
// device outlives the bus and the bus the session.
struct Rig {
  explicit Rig(Line line) : simSide(bus) {
    bus.AddChip(sim::ChipInfo{}, &hc);
    simSide.SetZeroLatency(line == Line::ZeroLatency);
  }
  VirtualClock clock;
  sim::SimHandController hc;
  sim::SimulatedBus bus{clock};
  SimSide simSide;
  DeviceSession session{simSide, clock};
};

// Line bytes recorded by the chip in transcript entries [from, to).
void CountLineBytes(const sim::SimChip& chip, size_t from, size_t to, UnitRun* run) {
  const auto& entries = chip.Transcript();
  for (size_t i = from; i < to && i < entries.size(); ++i) {
    if (entries[i].direction == sim::TranscriptEntry::Direction::HostToDevice)
      run->toDevice += entries[i].bytes.size();
    else
      run->toHost += entries[i].bytes.size();
  }
}

UpdateRun RunUpdate(Line line, const std::vector<uint8_t>& hcImage,
                    const std::vector<uint8_t>& cameraImage) {
  UpdateRun run;
  Rig rig(line);
  sim::SimChip& chip = rig.bus.Chip(0);

  // Connect first: the wake-up and the handshake happen once per process.
  const Clock::Duration t0 = rig.clock.Now();
  int32_t bootMode = 0;
  if (const ResultCode rc = ReadDeviceMode(rig.session, &bootMode, nullptr, nullptr); rc != 0) {
    run.failure = "connect: " + std::to_string(rc);
    return run;
  }
  run.connect = rig.clock.Now() - t0;

  std::span<const uint8_t> relay;
  if (rig.session.relayBuffer)
    relay = std::span<const uint8_t>(*rig.session.relayBuffer);

  // Timing the calls costs a little: only where CPU time isn't the figure.
  rig.simSide.TimeInside(line == Line::Modeled);
  const double wall0 = WallSeconds();
  const double cpu0 = CpuSeconds();
  const uint64_t faults0 = MinorFaults();

  // HandController.
  ChunkWindow hcWindow;
  rig.simSide.Watch(hcImage, relay);
  const size_t mark = chip.Transcript().size();
  Clock::Duration start = rig.clock.Now();
  const ResultCode hcRc = UploadHcFirmware(rig.session, hcImage.data(),
                                           static_cast<int32_t>(hcImage.size()), 0x1111, &hcWindow);
  run.hc.modeled = rig.clock.Now() - start;
  AllocCount().counting = false;
  const uint64_t hcFromImage = rig.simSide.fromImage;
  const uint64_t hcFromRelay = rig.simSide.fromRelay;

  // Camera.
  ChunkWindow cameraWindow;
  const size_t cameraMark = chip.Transcript().size();
  start = rig.clock.Now();
  ResultCode cameraRc = -1;
  if (hcRc == 0) {
    rig.simSide.Watch(cameraImage, relay);
    cameraRc =
        UploadCameraFirmware(rig.session, cameraImage.data(),
                             static_cast<int32_t>(cameraImage.size()), 0x2222, &cameraWindow);
  }
  run.camera.modeled = rig.clock.Now() - start;
  AllocCount().counting = false;

  run.cpuSeconds = CpuSeconds() - cpu0;
  run.pageFaults = MinorFaults() - faults0;
  run.wallSeconds = WallSeconds() - wall0;
  run.simSeconds = rig.simSide.insideSeconds;

  // Bookkeeping after the clocks have stopped.
  CountLineBytes(chip, mark, cameraMark, &run.hc);
  CountLineBytes(chip, cameraMark, chip.Transcript().size(), &run.camera);
  run.hc.payload = hcImage.size();
  run.camera.payload = cameraImage.size();
  run.hc.chunks = hcWindow.chunks;
  run.camera.chunks = cameraWindow.chunks;
  run.hc.fromImage = hcFromImage;
  run.hc.fromRelay = hcFromRelay;
  run.camera.fromImage = rig.simSide.fromImage - hcFromImage;
  run.camera.fromRelay = rig.simSide.fromRelay - hcFromRelay;
  run.hostAllocs = AllocCount().host;
  run.simAllocs = AllocCount().sim;
  run.windowChunks = (hcWindow.chunks > 0 ? hcWindow.chunks - 1 : 0) +
                     (cameraWindow.chunks > 0 ? cameraWindow.chunks - 1 : 0);
  AllocCount().host = 0;
  AllocCount().sim = 0;

  if (hcRc != 0)
    run.failure = "HandController upload: " + std::to_string(hcRc);
  else if (cameraRc != 0)
    run.failure = "Camera upload: " + std::to_string(cameraRc);
  else if (rig.hc.Flash(sim::Unit::HandController) != hcImage)
    run.failure = "HandController flash differs from the image";
  else if (rig.hc.Flash(sim::Unit::Camera) != cameraImage)
    run.failure = "Camera flash differs from the image";
  return run;
}

// ------------------------------------------------------------ Package load

struct LoadRun {
  std::string failure;
  uint64_t fileBytes = 0;
  double loadSeconds = 0;  // best LoadPackage
  double readSeconds = 0;  // best plain read of the same file
};

// What any program pays to have the file in memory: one buffer of the file's
// size, one fread.
bool PlainRead(const std::string& path, uint64_t* bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr)
    return false;
  bool ok = std::fseek(file, 0, SEEK_END) == 0;
  const long size = ok ? std::ftell(file) : -1;
  ok = ok && size >= 0 && std::fseek(file, 0, SEEK_SET) == 0;
  if (ok) {
    std::unique_ptr<uint8_t[]> data(new uint8_t[static_cast<size_t>(size) + 1]);
    ok = std::fread(data.get(), 1, static_cast<size_t>(size), file) == static_cast<size_t>(size);
    *bytes = static_cast<uint64_t>(size);
  }
  std::fclose(file);
  return ok;
}

LoadRun RunLoad(const std::vector<uint8_t>& hcImage, const std::vector<uint8_t>& cameraImage) {
  LoadRun run;
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("vexo3_update_bench_" + std::to_string(::getpid()) + ".bin"))
                               .string();
  const std::vector<sim::PackageRecord> records = {
      {"HC", 0x0207, 0x5000, 0x1111, "bench HC", hcImage, std::nullopt},
      {"CA", 0x0309, 0x6010, 0x2222, "bench Camera", cameraImage, std::nullopt},
  };
  if (!sim::WritePackage(path, records)) {
    run.failure = "can't write " + path;
    return run;
  }

  // Warm up both so that each reads from the page cache, then alternate.
  FirmwarePackage package;
  bool ok = package.LoadPackage(path) == 0 && PlainRead(path, &run.fileBytes);
  run.loadSeconds = 1e9;
  run.readSeconds = 1e9;
  for (int i = 0; ok && i < kLoadRuns; ++i) {
    double t = WallSeconds();
    ok = package.LoadPackage(path) == 0;
    run.loadSeconds = std::min(run.loadSeconds, WallSeconds() - t);
    t = WallSeconds();
    ok = ok && PlainRead(path, &run.fileBytes);
    run.readSeconds = std::min(run.readSeconds, WallSeconds() - t);
  }
  std::remove(path.c_str());
  if (!ok) {
    run.failure = "LoadPackage or the plain read failed";
    return run;
  }
  if (package.hcImage.length != hcImage.size() || package.cameraImage.length != cameraImage.size())
    run.failure = "LoadPackage lost an image";
  return run;
}

// ------------------------------------------------------------ Report

std::string Ratio(double v, int decimals = 3) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

// Allocations per chunk: a whole number when it is one.
std::string PerChunk(uint64_t allocs, uint32_t chunks) {
  if (chunks == 0)
    return "0";
  if (allocs % chunks == 0)
    return std::to_string(allocs / chunks);
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(allocs) / chunks);
  return text;
}

void Row(const char* label, const std::string& hc, const std::string& camera,
         const std::string& total) {
  std::printf("  %-40s %14s %14s %14s\n", label, hc.c_str(), camera.c_str(), total.c_str());
}

void PrintUnitTable(const UpdateRun& run) {
  const UnitRun total = run.Total();
  const UnitRun* units[3] = {&run.hc, &run.camera, &total};
  auto row = [&](const char* label, auto value) {
    Row(label, value(*units[0]), value(*units[1]), value(*units[2]));
  };
  auto fixed = [](double v, const char* format) {
    char text[32];
    std::snprintf(text, sizeof text, format, v);
    return std::string(text);
  };
  Row("", "HandController", "Camera", "update");
  row("chunks", [](const UnitRun& u) { return Grouped(u.chunks); });
  row("payload bytes", [](const UnitRun& u) { return Grouped(u.payload); });
  row("line bytes host -> device", [](const UnitRun& u) { return Grouped(u.toDevice); });
  row("line bytes device -> host", [](const UnitRun& u) { return Grouped(u.toHost); });
  row("wire floor (s, line bytes / 300,000 B/s)",
      [&](const UnitRun& u) { return fixed(u.Floor(), "%.3f"); });
  row("modeled time (s)", [&](const UnitRun& u) { return fixed(Seconds(u.modeled), "%.3f"); });
  row("line efficiency (floor / modeled)", [&](const UnitRun& u) {
    return fixed(u.modeled.count() > 0 ? u.Floor() / Seconds(u.modeled) : 0, "%.3f");
  });
  row("payload throughput (B/s)", [&](const UnitRun& u) {
    return u.modeled.count() > 0
               ? Grouped(static_cast<uint64_t>(static_cast<double>(u.payload) / Seconds(u.modeled)))
               : std::string("-");
  });
  row("  as a share of the line rate", [&](const UnitRun& u) {
    return u.modeled.count() > 0
               ? fixed(static_cast<double>(u.payload) / Seconds(u.modeled) / kLineBytesPerSecond,
                       "%.3f")
               : std::string("-");
  });
}

int Main() {
  const std::vector<uint8_t> hcImage =
      sim::MakeSimImage(0x0207, 0x5000, "bench HC", kImageSize, 11);
  const std::vector<uint8_t> cameraImage =
      sim::MakeSimImage(0x0309, 0x6010, "bench Camera", kImageSize, 22);

  std::printf("Vexo-3 update benchmark: a HandController and a Camera image of %s bytes each\n",
              Grouped(kImageSize).c_str());
  std::printf("line: 3,000,000 baud, 10 bits a byte (300,000 B/s), 2 ms latency timer\n\n");

  const UpdateRun modeled = RunUpdate(Line::Modeled, hcImage, cameraImage);
  if (!modeled.failure.empty()) {
    std::fprintf(stderr, "modeled update failed: %s\n", modeled.failure.c_str());
    return 1;
  }
  const UpdateRun zero = RunUpdate(Line::ZeroLatency, hcImage, cameraImage);
  if (!zero.failure.empty()) {
    std::fprintf(stderr, "zero-latency update failed: %s\n", zero.failure.c_str());
    return 1;
  }
  const LoadRun load = RunLoad(hcImage, cameraImage);
  if (!load.failure.empty()) {
    std::fprintf(stderr, "package load failed: %s\n", load.failure.c_str());
    return 1;
  }

  const UnitRun total = modeled.Total();
  const double modeledSeconds = Seconds(total.modeled);
  const double lineEfficiency = modeledSeconds > 0 ? total.Floor() / modeledSeconds : 0;
  const double cpuShare = modeledSeconds > 0 ? zero.cpuSeconds / modeledSeconds : 0;
  const double loadRatio = load.readSeconds > 0 ? load.loadSeconds / load.readSeconds : 0;

  std::printf("(a) modeled update, connected session (device processing time 0)\n");
  PrintUnitTable(modeled);
  std::printf("  %-40s %14.3f  (open, wake-up, handshake; not in the update)\n",
              "connect (s, modeled)", Seconds(modeled.connect));

  std::printf("\n(b) host cost of the same update, in-process stack with the simulator\n");
  std::printf("  %-40s %14.3f\n", "modeled time on this line (s)", Seconds(zero.Total().modeled));
  std::printf("  %-40s %14.1f\n", "wall time (ms)", zero.wallSeconds * 1e3);
  std::printf("  %-40s %14.1f\n", "CPU time (ms)", zero.cpuSeconds * 1e3);
  std::printf("  %-40s %14s\n", "minor page faults", Grouped(zero.pageFaults).c_str());
  std::printf("  %-40s %14.1f  (wall %.1f ms, of it %.1f ms in the simulator)\n",
              "host stack outside D2XX calls, (a) (ms)",
              (modeled.wallSeconds - modeled.simSeconds) * 1e3, modeled.wallSeconds * 1e3,
              modeled.simSeconds * 1e3);
  std::printf("  %-40s %13.3f%%\n", "CPU / modeled time of (a)", cpuShare * 100);
  std::printf("  %-40s %13.3f%%\n", "CPU / wire floor of (a)",
              total.Floor() > 0 ? zero.cpuSeconds / total.Floor() * 100 : 0);

  // Copies per payload byte, by the code path of each upload, checked
  // against where FT_Write found the bytes: the HandController's chunks are
  // written out of the caller's image (0 copies); the Camera's go image ->
  // work buffer -> relay buffer and are written out of the relay buffer (2).
  auto copies = [](const UnitRun& u) -> std::string {
    // The relay buffer also carried the 2-byte start code of the Camera's
    // opening command; only payload bytes count here.
    if (u.payload == 0 || u.fromImage + u.fromRelay < u.payload)
      return "?";  // written from somewhere the path doesn't account for
    const uint64_t relayed = std::min(u.fromRelay, u.payload - std::min(u.fromImage, u.payload));
    char text[32];
    std::snprintf(text, sizeof text, "%.2f",
                  2.0 * static_cast<double>(relayed) / static_cast<double>(u.payload));
    return text;
  };
  std::printf("\n(c) host bytes copied per payload byte on the upload path\n");
  Row("", "HandController", "Camera", "update");
  Row("written from the caller's image", Grouped(modeled.hc.fromImage),
      Grouped(modeled.camera.fromImage), Grouped(total.fromImage));
  Row("written from the relay buffer (+code)", Grouped(modeled.hc.fromRelay),
      Grouped(modeled.camera.fromRelay), Grouped(total.fromRelay));
  Row("copies per payload byte", copies(modeled.hc), copies(modeled.camera), copies(total));

  std::printf("\n(d) heap allocations per chunk, chunks 2 to last of each upload (%u chunks)\n",
              modeled.windowChunks);
  std::printf("  %-40s %14s\n", "host (link, session, device code)",
              PerChunk(modeled.hostAllocs, modeled.windowChunks).c_str());
  std::printf("  %-40s %14s\n", "simulator (inside D2XX calls)",
              PerChunk(modeled.simAllocs, modeled.windowChunks).c_str());

  std::printf("\n(e) LoadPackage of a %s-byte package (two images), best of %d after a warm-up\n",
              Grouped(load.fileBytes).c_str(), kLoadRuns);
  std::printf("  %-40s %14.3f\n", "LoadPackage (ms)", load.loadSeconds * 1e3);
  std::printf("  %-40s %14.3f\n", "plain read of the file (ms)", load.readSeconds * 1e3);
  std::printf("  %-40s %14.3f\n", "LoadPackage / plain read", loadRatio);

  std::printf("\nline_efficiency=%s host_cpu_share=%s load_ratio=%s allocs_per_chunk=%s\n",
              Ratio(lineEfficiency).c_str(), Ratio(cpuShare, 5).c_str(), Ratio(loadRatio).c_str(),
              PerChunk(modeled.hostAllocs, modeled.windowChunks).c_str());
  return 0;
}

}  // namespace
}  // namespace vexo3

int main() {
  return vexo3::Main();
}
