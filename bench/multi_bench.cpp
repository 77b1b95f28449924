// Several devices updated together against one: "vexo3 update --all" in
// this process, on the simulated line in real time (3,000,000 baud, the
// latency timer, each chip's line its own), with a 2 MiB HandController
// image and a 2 MiB Camera image. The ratio of the two wall times says
// whether the devices wait for each other; the CPU time says what the host
// spends per device (our stack and the simulator both).
//   vexo3_multi_bench [DEVICES]    default 8

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/cli_app.h"
#include "cpu_time.h"
#include "firmware/firmware_package.h"
#include "sim/units/package_writer.h"
#include "sim/units/sim_image.h"

namespace {

using vexo3::CpuSeconds;
using vexo3::FirmwareImage;
namespace sim = vexo3::sim;

constexpr uint32_t kImageSize = FirmwareImage::kMaxLength;  // 2,097,151

struct Run {
  int exitCode = -1;
  double wall = 0;
  double cpu = 0;
};

Run UpdateAll(const std::string& dir, const std::string& package, int devices) {
  std::string profile = R"({"chips": [)";
  for (int i = 1; i <= devices; ++i) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "VX3B%04d", i);
    profile += std::string(i > 1 ? ", " : "") + R"({"serial": ")" + serial + R"("})";
  }
  profile += "]}";
  const std::string profilePath = dir + "/profile" + std::to_string(devices) + ".json";
  std::FILE* f = std::fopen(profilePath.c_str(), "w");
  if (f == nullptr)
    return {};
  std::fputs(profile.c_str(), f);
  std::fclose(f);

  const std::string simulate = "--simulate=" + profilePath;
  const char* argv[] = {"vexo3", simulate.c_str(), "update", package.c_str(), "--all", "--yes"};
  std::FILE* null = std::fopen("/dev/null", "w");
  vexo3::cli::CliStreams io;
  io.out = null;
  io.err = null;
  io.in = nullptr;
  Run run;
  const double cpu = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  run.exitCode = vexo3::cli::RunCli(static_cast<int>(std::size(argv)), argv, io);
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu = CpuSeconds() - cpu;
  std::fclose(null);
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  const int devices = argc > 1 ? std::atoi(argv[1]) : 8;
  if (devices < 2 || devices > 64) {
    std::fprintf(stderr, "usage: vexo3_multi_bench [DEVICES 2..64]\n");
    return 2;
  }
  const std::string dir =
      (std::filesystem::temp_directory_path() / ("vexo3_multi_bench_" + std::to_string(getpid())))
          .string();
  std::filesystem::create_directories(dir);
  const std::string package = dir + "/package.bin";
  const std::vector<sim::PackageRecord> records = {
      {"HC", 0x0907, 0x1000, 0x1111, "bench HC",
       sim::MakeSimImage(0x0907, 0x1000, "bench HC", kImageSize, 11), std::nullopt},
      {"CA", 0x0909, 0x2000, 0x2222, "bench Camera",
       sim::MakeSimImage(0x0909, 0x2000, "bench Camera", kImageSize, 22), std::nullopt},
  };
  if (!sim::WritePackage(package, records)) {
    std::fprintf(stderr, "can't write %s\n", package.c_str());
    return 1;
  }

  std::printf(
      "Several devices: update --all of a HandController and a Camera image of "
      "2,097,151 bytes each,\nthe simulated line in real time (3,000,000 baud, "
      "2 ms latency timer)\n\n");
  std::fflush(stdout);
  const Run one = UpdateAll(dir, package, 1);
  const Run many = UpdateAll(dir, package, devices);
  std::filesystem::remove_all(dir);
  if (one.exitCode != 0 || many.exitCode != 0) {
    std::fprintf(stderr, "an update failed: exit %d (one), %d (%d devices)\n", one.exitCode,
                 many.exitCode, devices);
    return 1;
  }
  const double ratio = many.wall / one.wall;
  const double cpuShare = many.cpu / many.wall / devices;
  std::printf("                                   1 device   %d devices\n", devices);
  std::printf("  wall time (s)                   %8.2f   %9.2f\n", one.wall, many.wall);
  std::printf("  CPU time (s)                    %8.3f   %9.3f\n", one.cpu, many.cpu);
  std::printf("  CPU per device, share of a core %7.3f%%   %8.3f%%\n", 100 * one.cpu / one.wall,
              100 * cpuShare);
  std::printf("  wall time / one device's                 %9.3f\n\n", ratio);
  std::printf("devices=%d ratio=%.3f cpu_share_per_device=%.5f\n", devices, ratio, cpuShare);
  return 0;
}
