// Whole operations over the real libusb: the command-line tool's devices,
// info and update, traces recorded over it, several chips at once, chips
// that come and go under the station and the watch, and an HC upload with
// its line efficiency and USB transfers per answer.

#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <future>
#include <sstream>
#include <string>

#include "cli/cli_app.h"
#include "device/hand_controller.h"
#include "firmware/firmware_package.h"
#include "link/trace_format.h"
#include "protocol/device_session.h"
#include "sim/units/package_writer.h"
#include "sim/units/sim_image.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"
#include "umockdev_rig.h"

namespace vexo3 {
namespace {

TEST(UmockdevCli, DevicesInfoAndUpdateOfBothUnits) {
  UmockRig rig;
  const test::RunResult devices = test::RunInProcess({"devices"});
  EXPECT_EQ(devices.exitCode, 0) << devices.err;
  EXPECT_NE(devices.out.find("VX300001"), std::string::npos) << devices.out;

  const test::RunResult info = test::RunInProcess({"info"});
  ASSERT_EQ(info.exitCode, 0) << info.err;
  EXPECT_NE(info.out.find("VX3HC"), std::string::npos) << info.out;

  const auto hcImage = sim::MakeSimImage(0x0207, 0x5000, "HC over USB", 96 * 1024, 31);
  const auto caImage = sim::MakeSimImage(0x0309, 0x6010, "Camera over USB", 64 * 1024, 32);
  const std::vector<sim::PackageRecord> records = {
      {"HC", 0x0207, 0x5000, 0x1111, "HC over USB", hcImage, std::nullopt},
      {"CA", 0x0309, 0x6010, 0x2222, "Camera over USB", caImage, std::nullopt},
  };
  const std::string path = (std::filesystem::path(testing::TempDir()) /
                            ("vexo3_umockdev_" + std::to_string(::getpid()) + ".bin"))
                               .string();
  ASSERT_TRUE(sim::WritePackage(path, records));
  const test::RunResult update = test::RunInProcess({"update", path.c_str(), "--yes"});
  std::remove(path.c_str());
  ASSERT_EQ(update.exitCode, 0) << update.out << update.err;
  EXPECT_NE(update.out.find("DONE ok"), std::string::npos) << update.out;
  EXPECT_TRUE(rig.hc.Flash(sim::Unit::HandController) == hcImage);
  EXPECT_TRUE(rig.hc.Flash(sim::Unit::Camera) == caImage);
  const usbtest::KernelDriverState driver = rig.bed.Driver(rig.chip);
  EXPECT_TRUE(driver.bound);
  EXPECT_EQ(driver.detaches, driver.reattaches);
}

// The calls of a trace file without their times; "" when it can't be read.
std::string CallsOf(const std::string& path) {
  Trace trace;
  std::string error;
  if (!LoadTraceFile(path, &trace, &error))
    return "";
  std::string text;
  for (const TraceCall& c : trace.calls)
    text += FormatTraceCall(c) + "\n";
  return text;
}

// Progress lines carry rates measured on the clock of the run: leave them out.
std::string WithoutProgress(const std::string& out) {
  std::istringstream lines(out);
  std::string kept;
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("  "))
      kept += line + "\n";
  }
  return kept;
}

// A trace recorded over the real backend replays to the same output and the
// same calls: what a user's bug report carries is a device we can run here.
TEST(UmockdevCli, TracesOfTheRealBackendReplay) {
  UmockRig rig;
  const test::ScratchDir dir;
  const sim::PackageRecord hc =
      test::SimRecord("HC", 0x0207, 0x5000, "HC over USB", 8 * 1024, 33, 0x1111);
  const std::string package = dir.Package("p.bin", {&hc, 1});
  const struct {
    const char* name;
    std::vector<std::string> args;
  } kRuns[] = {
      {"info", {"info"}},
      {"info-json", {"info", "--json"}},
      {"update", {"update", package, "--no-camera", "--yes"}},
  };
  for (const auto& run : kRuns) {
    SCOPED_TRACE(run.name);
    const std::string recorded = dir.File(std::string(run.name) + ".trace");
    const std::string replayed = dir.File(std::string(run.name) + "-again.trace");
    std::vector<std::string> live = {"--trace=" + recorded};
    std::vector<std::string> again = {"--replay=" + recorded, "--trace=" + replayed};
    live.insert(live.end(), run.args.begin(), run.args.end());
    again.insert(again.end(), run.args.begin(), run.args.end());
    const test::RunResult first = test::RunInProcess(live);
    const test::RunResult second = test::RunInProcess(again);
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(second.exitCode, first.exitCode) << second.err;
    EXPECT_EQ(WithoutProgress(second.out), WithoutProgress(first.out));
    EXPECT_EQ(second.err, first.err);
    const std::string calls = CallsOf(recorded);
    EXPECT_NE(calls.find("FT_SetBaudRate(3000000)"), std::string::npos);
    EXPECT_EQ(CallsOf(replayed), calls);
  }
}

// Lines in a file; 0 when it isn't there yet.
size_t LinesIn(const std::string& path) {
  std::istringstream in(test::ReadText(path));
  size_t n = 0;
  for (std::string line; std::getline(in, line);)
    ++n;
  return n;
}

// Waits up to `seconds` until `done` holds.
template <typename Done>
bool WaitFor(Done done, int seconds = 20) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Three chips updated at once, each on its own session over the one
// backend; then the station and the watch as chips come and go on the bus.
TEST(UmockdevSeveral, UpdateAllStationAndWatchOverTheRealBackend) {
  const test::ScratchDir dir;
  const sim::PackageRecord hc =
      test::SimRecord("HC", 0x0207, 0x5000, "HC over USB", 16 * 1024, 34, 0x1111);
  const std::string package = dir.Package("p.bin", {&hc, 1});
  UmockRig rig;
  TestbedChip& second = rig.Plug({.serial = "VX300002"});
  TestbedChip& third = rig.Plug({.serial = "VX300003"});
  ASSERT_TRUE(rig.WaitListed(3));
  const test::RunResult all =
      test::RunInProcess({"update", package, "--all", "--no-camera", "--yes"});
  EXPECT_EQ(all.exitCode, 0) << all.out << all.err;
  for (TestbedChip* c : {&rig.first, &second, &third}) {
    SCOPED_TRACE(c->chip.Identity().serial);
    EXPECT_TRUE(c->hc.Flash(sim::Unit::HandController) == hc.data);
    const usbtest::KernelDriverState driver = rig.bed.Driver(c->chip);
    EXPECT_TRUE(driver.bound);
    EXPECT_EQ(driver.detaches, driver.reattaches);
  }
  rig.bed.Remove(second.chip);
  rig.bed.Remove(third.chip);
  ASSERT_TRUE(rig.WaitListed(1));

  // The station: the chip present is updated once; a chip that isn't a
  // HandController is left alone; a new one is updated as it arrives; the
  // first, unplugged and plugged in again, is updated again.
  const std::string log = dir.File("station.log");
  auto station = std::async(std::launch::async, [&] {
    return test::RunInProcess(
        {"station", package, "--no-camera", "--yes", "--count", "3", "--log", log});
  });
  EXPECT_TRUE(WaitFor([&] { return LinesIn(log) == 1; }));
  rig.Plug({.description = "FT230X Basic UART", .serial = "OTHER1"});
  rig.Plug({.serial = "VX300004"});
  EXPECT_TRUE(WaitFor([&] { return LinesIn(log) == 2; }));
  rig.bed.Remove(rig.chip);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // two listings without it
  TestbedChip& again = rig.Plug({.serial = "VX300001"});
  const test::RunResult run = station.get();
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("OTHER1: FT230X Basic UART: not a HandController"), std::string::npos)
      << run.out;
  std::istringstream lines(test::ReadText(log));
  std::vector<std::string> serials;
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json j = nlohmann::json::parse(line);
    EXPECT_EQ(j["ok"], true) << line;
    serials.push_back(j["serial"]);
  }
  EXPECT_EQ(serials, (std::vector<std::string>{"VX300001", "VX300004", "VX300001"}));
  EXPECT_TRUE(again.hc.Flash(sim::Unit::HandController) == hc.data);

  // The watch sees a chip arrive and go.
  auto watch = std::async(std::launch::async, [] {
    return test::RunInProcess({"devices", "--watch", "--polls", "12"});
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  TestbedChip& fifth = rig.Plug({.serial = "VX300005"});
  std::this_thread::sleep_for(std::chrono::milliseconds(900));
  rig.bed.Remove(fifth.chip);
  const test::RunResult watched = watch.get();
  EXPECT_EQ(watched.exitCode, 0) << watched.err;
  // Each line begins with its time, "17:30:05  ".
  EXPECT_NE(watched.out.find("  arrived   VX300005          Vexo-3 HandController\n"),
            std::string::npos)
      << watched.out;
  EXPECT_NE(watched.out.find("  departed  VX300005          Vexo-3 HandController\n"),
            std::string::npos)
      << watched.out;
}

struct Counter final : public ProgressObserver {
  void OnProgress(uint64_t, uint64_t) override { ++chunks; }
  uint32_t chunks = 0;
};

// An HC upload: the wire floor (every byte both ways at 300,000 bytes/s)
// over the time it took, and the bulk IN URBs per answer. The image size
// comes from VEXO3_UPLOAD_BYTES (default 256 KiB; the largest is 2 MiB).
TEST(UmockdevUpload, HcUploadKeepsTheLineBusy) {
  size_t bytes = 256 * 1024;
  if (const char* env = std::getenv("VEXO3_UPLOAD_BYTES"))
    bytes = std::min<size_t>(std::strtoul(env, nullptr, 10), FirmwareImage::kMaxLength);
  const auto image = sim::MakeSimImage(0x0207, 0x5000, "bench", bytes, 7);
  UmockRig rig;
  DeviceSession session(*rig.d2xx, rig.clock);
  int32_t bootMode = 0;
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(ReadDeviceMode(session, &bootMode, nullptr, nullptr), 0) << session.link->errorText;
  const double connectMs = UmockRig::MsSince(t0);
  const uint64_t line0 = rig.chip.WireBytes().size() + rig.chip.DeviceLineBytes();
  const uint32_t data0 = rig.chip.DataPackets();
  rig.bed.ClearUrbs(rig.chip);
  Counter counter;
  const auto t1 = std::chrono::steady_clock::now();
  ASSERT_EQ(
      UploadHcFirmware(session, image.data(), static_cast<int32_t>(image.size()), 0x1111, &counter),
      0)
      << session.link->errorText;
  const double seconds = UmockRig::MsSince(t1) / 1000.0;
  const uint64_t line = rig.chip.WireBytes().size() + rig.chip.DeviceLineBytes() - line0;
  const usbtest::UrbCounts urbs = rig.bed.Urbs(rig.chip);
  const double efficiency = static_cast<double>(line) / 300000.0 / seconds;
  const double inPerAnswer = static_cast<double>(urbs.bulkIn) / counter.chunks;
  const double dataPerAnswer = static_cast<double>(rig.chip.DataPackets() - data0) / counter.chunks;
  RecordProperty("connect_ms", std::to_string(connectMs));
  RecordProperty("line_efficiency", std::to_string(efficiency));
  RecordProperty("in_urbs_per_answer", std::to_string(inPerAnswer));
  RecordProperty("data_packets_per_answer", std::to_string(dataPerAnswer));
  RecordProperty("out_urbs_per_chunk",
                 std::to_string(static_cast<double>(urbs.bulkOut) / counter.chunks));
  RecordProperty("reaps", std::to_string(urbs.reaps));
  EXPECT_TRUE(rig.hc.Flash(sim::Unit::HandController) == image);
  // Generous: the machine is shared and the sanitizers slow the host side.
  EXPECT_GT(efficiency, 0.5);
}

}  // namespace
}  // namespace vexo3
