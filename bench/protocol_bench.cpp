// Host-side cost of the protocol: parsing the descriptor block, the catalog
// checks, building a chunk frame, finding an answer item, and a whole
// HandController upload against the simulated device on a virtual clock (so
// the figure is our CPU time per image, not line time).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "device/hand_controller.h"
#include "platform/clock.h"
#include "protocol/command_catalog.h"
#include "protocol/device_session.h"
#include "sim/bus/sim_bus.h"
#include "sim/units/hand_controller.h"
#include "sim/units/sim_codec.h"
#include "sim/units/sim_image.h"

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

// One BeginCommand and one AddParameter check, over the largest catalog.
void BM_CatalogLookup(benchmark::State& state) {
  const std::vector<uint8_t> block = LargestCatalogBlock();
  CommandCatalog catalog;
  catalog.LoadCatalog(block.data(), block.size());
  uint8_t code = 0;
  for (auto _ : state) {
    const ParameterTable* table = catalog.FindCommand(code);
    benchmark::DoNotOptimize(table);
    if (table != nullptr)
      benchmark::DoNotOptimize(CommandCatalog::FindParameter(*table, static_cast<uint8_t>(~code)));
    code = static_cast<uint8_t>(code + 37);
  }
}
BENCHMARK(BM_CatalogLookup);

// The frame of one HandController chunk (247, bulk marker, 218), checked
// against the device's own catalog; the 4,096 bytes are only referenced.
void BM_BuildChunkFrame(benchmark::State& state) {
  VirtualClock clock;
  sim::SimulatedBus bus(clock);
  DeviceSession session(bus, clock);
  const std::vector<uint8_t> block = sim::BuiltInCatalogBlock();
  session.catalog.LoadCatalog(block.data(), block.size());
  const std::vector<uint8_t> chunk(4096, 0x5A);
  for (auto _ : state) {
    ResultCode rc = session.BeginCommand(247);
    rc |= session.AttachBulkData(chunk.data(), static_cast<uint32_t>(chunk.size()));
    rc |= session.AddParameter(218, nullptr, 0);
    rc |= session.AppendByte(0xFF);
    benchmark::DoNotOptimize(rc);
    benchmark::DoNotOptimize(session.commandMessage.buffer.data());
  }
}
BENCHMARK(BM_BuildChunkFrame);

// The item walk of a relayed chunk's answer: relay status 60 behind the bulk
// items, as the Camera upload looks for it.
void BM_FindAnswerItem(benchmark::State& state) {
  VirtualClock clock;
  sim::SimulatedBus bus(clock);
  DeviceSession session(bus, clock);
  const uint8_t frame[] = {244,  7, 0x00, 0, 0,               // header, L below
                           0xFC, 4, 2,    0, 0, 0,  0xFD, 0,  // bulk size, bulk start
                           192,  0, 193,  1, 0, 60, 1,    0, 0xFE, 0};
  MessageBuffer& a = session.answerMessage;
  std::copy(std::begin(frame), std::end(frame), a.buffer.begin());
  a.buffer[3] = sizeof frame;
  a.length = sizeof frame;
  for (auto _ : state)
    benchmark::DoNotOptimize(session.FindAnswerParameter(60));
}
BENCHMARK(BM_FindAnswerItem);

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
BENCHMARK(BM_HcUpload)->Arg(int64_t{64} * 1024)->Arg(2097151)->Unit(benchmark::kMillisecond);

}  // namespace
