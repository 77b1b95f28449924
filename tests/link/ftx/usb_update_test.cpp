// Whole operations of the command-line tool over the real backend and the
// emulated chip: what a user with a HandController on USB runs.

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "cli/cli_app.h"
#include "link/trace_format.h"
#include "sim/package_writer.h"
#include "sim/sim_image.h"
#include "support/usb/usb_rig.h"

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
TEST(UsbCli, TracesOfTheRealBackendReplay) {
  UsbRig rig;
  const std::string dir = testing::TempDir();
  const std::string stem = dir + "/vexo3_usb_" + std::to_string(::getpid());
  const std::string package = stem + ".bin";
  const auto image = sim::MakeSimImage(0x0207, 0x5000, "HC over USB", 8 * 1024, 33);
  const std::vector<sim::PackageRecord> records = {
      {"HC", 0x0207, 0x5000, 0x1111, "HC over USB", image, std::nullopt}};
  ASSERT_TRUE(sim::WritePackage(package, records));
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
    const std::string recorded = stem + "-" + run.name + ".trace";
    const std::string replayed = stem + "-" + run.name + "-again.trace";
    const std::string traceArg = "--trace=" + recorded;
    const std::string replayArg = "--replay=" + recorded;
    const std::string againArg = "--trace=" + replayed;
    std::vector<const char*> live = {"vexo3", traceArg.c_str()};
    std::vector<const char*> again = {"vexo3", replayArg.c_str(), againArg.c_str()};
    for (const std::string& a : run.args) {
      live.push_back(a.c_str());
      again.push_back(a.c_str());
    }
    const CliRun first = RunVexo3(live);
    const CliRun second = RunVexo3(again);
    EXPECT_EQ(first.exit, 0) << first.err;
    EXPECT_EQ(second.exit, first.exit) << second.err;
    EXPECT_EQ(WithoutProgress(second.out), WithoutProgress(first.out));
    EXPECT_EQ(second.err, first.err);
    const std::string calls = CallsOf(recorded);
    EXPECT_NE(calls.find("FT_SetBaudRate(3000000)"), std::string::npos);
    EXPECT_EQ(CallsOf(replayed), calls);
    std::remove(recorded.c_str());
    std::remove(replayed.c_str());
  }
  std::remove(package.c_str());
}

}  // namespace
}  // namespace vexo3
