// Host-side cost of the protocol: parsing the descriptor block, and a whole
// HandController upload against the simulated device on a virtual clock (so
// the figure is our CPU time per image, not line time).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "device/hand_controller.h"
#include "platform/clock.h"
#include "protocol/command_catalog.h"
#include "protocol/device_session.h"
#include "sim/sim_bus.h"
#include "sim/sim_device.h"
#include "sim/sim_image.h"

namespace {

using namespace vexo3;

// The largest well-formed block: 255 commands of 255 parameters each.
std::vector<uint8_t> LargestCatalogBlock() {
  std::vector<uint8_t> block{255};
  for (int command = 0; command < 255; ++command) {
    block.push_back(static_cast<uint8_t>(command));
    block.push_back(255);
    for (int parameter = 0; parameter < 255; ++parameter) {
      block.push_back(static_cast<uint8_t>(parameter));
      block.push_back(static_cast<uint8_t>(parameter % 8));
    }
  }
  return block;
}

void BM_LoadLargestCatalog(benchmark::State& state) {
  const std::vector<uint8_t> block = LargestCatalogBlock();
  CommandCatalog catalog;
  for (auto _ : state) {
    benchmark::DoNotOptimize(catalog.LoadCatalog(block.data(), block.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block.size()));
}
BENCHMARK(BM_LoadLargestCatalog);

void BM_HcUpload(benchmark::State& state) {
  const auto length = static_cast<uint32_t>(state.range(0));
  const std::vector<uint8_t> image = sim::MakeSimImage(0x0203, 0x1000, "bench", length);
  for (auto _ : state) {
    VirtualClock clock;
    sim::SimHandController hc;
    sim::SimulatedBus bus(clock);
    bus.AddChip(sim::ChipInfo{}, &hc);
    DeviceSession session(bus, clock);
    const ResultCode rc =
        UploadHcFirmware(session, image.data(), static_cast<int32_t>(image.size()), 0x5A5A);
    if (rc != 0 || hc.Flash(sim::Unit::HandController).size() != image.size()) {
      state.SkipWithError("upload failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * length));
}
BENCHMARK(BM_HcUpload)->Arg(64 * 1024)->Arg(2097151)->Unit(benchmark::kMillisecond);

}  // namespace
