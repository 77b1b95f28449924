// Whole operations of the command-line tool over the real backend and the
// emulated chip: what a user with a HandController on USB runs.

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "cli/cli_app.h"
#include "sim/package_writer.h"
#include "sim/sim_image.h"
#include "usb_rig.h"

namespace vexo3 {
namespace {

struct CliRun {
  int exit = -1;
  std::string out;
  std::string err;
};

std::string Slurp(std::FILE* f) {
  std::string text;
  std::rewind(f);
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
    text.append(buffer, n);
  std::fclose(f);
  return text;
}

CliRun RunVexo3(std::vector<const char*> args) {
  cli::CliStreams streams;
  streams.out = std::tmpfile();
  streams.err = std::tmpfile();
  streams.in = std::tmpfile();
  CliRun run;
  run.exit = cli::RunCli(static_cast<int>(args.size()), args.data(), streams);
  run.out = Slurp(streams.out);
  run.err = Slurp(streams.err);
  std::fclose(streams.in);
  return run;
}

TEST(UsbCli, InfoAndFullUpdateOfBothUnits) {
  UsbRig rig;
  const CliRun devices = RunVexo3({"vexo3", "devices"});
  EXPECT_EQ(devices.exit, 0) << devices.err;
  EXPECT_NE(devices.out.find("VX300001"), std::string::npos) << devices.out;

  const CliRun info = RunVexo3({"vexo3", "info"});
  ASSERT_EQ(info.exit, 0) << info.err;
  EXPECT_NE(info.out.find("VX3HC"), std::string::npos) << info.out;

  const auto hcImage = sim::MakeSimImage(0x0207, 0x5000, "HC over USB", 96 * 1024, 31);
  const auto caImage = sim::MakeSimImage(0x0309, 0x6010, "Camera over USB", 64 * 1024, 32);
  const std::vector<sim::PackageRecord> records = {
      {"HC", 0x0207, 0x5000, 0x1111, "HC over USB", hcImage, std::nullopt},
      {"CA", 0x0309, 0x6010, 0x2222, "Camera over USB", caImage, std::nullopt},
  };
  const std::string path = (std::filesystem::path(testing::TempDir()) /
                            ("vexo3_usb_" + std::to_string(::getpid()) + ".bin"))
                               .string();
  ASSERT_TRUE(sim::WritePackage(path, records));
  const CliRun update = RunVexo3({"vexo3", "update", path.c_str(), "--yes"});
  std::remove(path.c_str());
  ASSERT_EQ(update.exit, 0) << update.out << update.err;
  EXPECT_NE(update.out.find("DONE ok"), std::string::npos) << update.out;
  EXPECT_TRUE(rig.hc.Flash(sim::Unit::HandController) == hcImage);
  EXPECT_TRUE(rig.hc.Flash(sim::Unit::Camera) == caImage);
  // At 9600 baud only the wake-up byte of each run went out.
  for (const sim::WireRun& run : rig.chip.Wire()) {
    if (run.baudRate != 3'000'000u) {
      EXPECT_EQ(run.bytes, std::vector<uint8_t>{0x00}) << run.baudRate;
    }
  }
  EXPECT_TRUE(sim::usb::KernelDriver(rig.chip).attached);
}

}  // namespace
}  // namespace vexo3
