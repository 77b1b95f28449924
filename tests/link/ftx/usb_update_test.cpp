// Whole operations of the command-line tool over the real backend and the
// emulated chip: what a user with a HandController on USB runs.

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "link/trace_format.h"
#include "sim/units/package_writer.h"
#include "sim/units/sim_image.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"
#include "support/usb/usb_rig.h"

namespace vexo3 {
namespace {

using test::RunInProcess;
using test::RunResult;

TEST(UsbCli, InfoAndFullUpdateOfBothUnits) {
  UsbRig rig;
  const RunResult devices = RunInProcess({"devices"});
  EXPECT_EQ(devices.exitCode, 0) << devices.err;
  EXPECT_NE(devices.out.find("VX300001"), std::string::npos) << devices.out;

  const RunResult info = RunInProcess({"info"});
  ASSERT_EQ(info.exitCode, 0) << info.err;
  EXPECT_NE(info.out.find("VX3HC"), std::string::npos) << info.out;

  const std::vector<sim::PackageRecord> records = {
      test::SimRecord("HC", 0x0207, 0x5000, "HC over USB", 96 * 1024, 31, 0x1111),
      test::SimRecord("CA", 0x0309, 0x6010, "Camera over USB", 64 * 1024, 32, 0x2222),
  };
  const test::ScratchDir dir;
  const RunResult update = RunInProcess({"update", dir.Package("p.bin", records), "--yes"});
  ASSERT_EQ(update.exitCode, 0) << update.out << update.err;
  EXPECT_NE(update.out.find("DONE ok"), std::string::npos) << update.out;
  EXPECT_TRUE(rig.hc.Flash(sim::Unit::HandController) == records[0].data);
  EXPECT_TRUE(rig.hc.Flash(sim::Unit::Camera) == records[1].data);
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
    const RunResult first = RunInProcess(live);
    const RunResult second = RunInProcess(again);
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(second.exitCode, first.exitCode) << second.err;
    EXPECT_EQ(WithoutProgress(second.out), WithoutProgress(first.out));
    EXPECT_EQ(second.err, first.err);
    const std::string calls = CallsOf(recorded);
    EXPECT_NE(calls.find("FT_SetBaudRate(3000000)"), std::string::npos);
    EXPECT_EQ(CallsOf(replayed), calls);
  }
}

}  // namespace
}  // namespace vexo3
