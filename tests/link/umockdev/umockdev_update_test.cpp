// Whole operations over the real libusb: the command-line tool's devices,
// info and update, and an HC upload with its line efficiency and USB
// transfers per answer.

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "cli/cli_app.h"
#include "device/hand_controller.h"
#include "firmware/firmware_package.h"
#include "protocol/device_session.h"
#include "sim/units/package_writer.h"
#include "sim/units/sim_image.h"
#include "support/cli_runner.h"
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
