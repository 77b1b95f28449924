#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "device/hand_controller.h"
#include "sim/units/sim_image.h"
#include "support/interposer.h"

namespace vexo3 {
namespace {

using test::Interposer;
using test::SeenFrame;

struct Progress final : ProgressObserver {
  std::vector<std::pair<uint64_t, uint64_t>> calls;
  void OnProgress(uint64_t done, uint64_t total) override { calls.emplace_back(done, total); }
};

// Bulk sizes of the 218 frames: the polls (0 bytes) and the chunks.
std::vector<size_t> TransferSizes(const Interposer& wire) {
  std::vector<size_t> sizes;
  for (const SeenFrame* f : wire.FramesWith(247, 218))
    sizes.push_back(f->frame.bulk.size());
  return sizes;
}

enum class Image { None, Null, Sim, Raw };

struct UploadCase {
  const char* name;
  Image image;
  uint32_t length;
  std::function<void(sim::HandControllerConfig&)> configure;
  std::vector<sim::Fault> faults;
  ResultCode rc;
  std::vector<size_t> transfers;  // 0 = a poll
  size_t endUpdates;
  size_t starts;
};

sim::Fault StatusOn218(uint32_t occurrence, int32_t status) {
  return {sim::Unit::HandController, 247, 218, occurrence, sim::FaultAction::Status, status};
}

TEST(UploadHcFirmware, Table) {
  const UploadCase cases[] = {
      {"APP mode",
       Image::Sim,
       5000,
       [](auto& c) { c.mode = sim::UnitMode::App; },
       {},
       90,
       {},
       0,
       0},
      {"open refused",
       Image::Sim,
       5000,
       [](auto& c) { c.update.refuseOpen = true; },
       {},
       102,
       {},
       0,
       0},
      {"start refused",
       Image::Sim,
       5000,
       [](auto& c) { c.update.refuseStart = true; },
       {},
       104,
       {},
       0,
       1},
      {"three 102 polls, then ready",
       Image::Sim,
       5000,
       [](auto& c) { c.update.notReadyPolls = 3; },
       {},
       0,
       {0, 0, 0, 0, 4096, 904},
       1,
       1},
      {"239: no space",
       Image::Sim,
       5000,
       [](auto& c) { c.update.noSpace = true; },
       {},
       107,
       {0},
       0,
       1},
      {"status 5 ends the wait",
       Image::Sim,
       5000,
       nullptr,
       {StatusOn218(1, 5)},
       0,
       {0, 4096, 904},
       1,
       1},
      {"4,096 bytes, 13", Image::Sim, 4096, nullptr, {}, 0, {0, 4096}, 1, 1},
      {"4,096 bytes, 0 after the last", Image::Raw, 4096, nullptr, {}, 104, {0, 4096}, 1, 1},
      {"4,097 bytes", Image::Sim, 4097, nullptr, {}, 0, {0, 4096, 1}, 1, 1},
      {"13 after the first of two",
       Image::Sim,
       8192,
       nullptr,
       {StatusOn218(2, 13)},
       100,
       {0, 4096},
       0,
       1},
      {"1 after the last", Image::Sim, 4097, nullptr, {StatusOn218(3, 1)}, 100, {0, 4096, 1}, 0, 1},
      {"7 after a chunk", Image::Sim, 8192, nullptr, {StatusOn218(2, 7)}, 104, {0, 4096}, 0, 1},
      {"null image", Image::Null, 100, nullptr, {}, 0, {0}, 1, 1},
      {"0 bytes", Image::None, 0, nullptr, {}, 0, {0}, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::HandControllerConfig cfg;
    if (c.configure)
      c.configure(cfg);
    SimRig rig(cfg);
    for (const auto& f : c.faults)
      rig.hc.AddFault(f);
    Interposer wire(rig);
    std::vector<uint8_t> image;
    if (c.image == Image::Sim)
      image = sim::MakeSimImage(0x0203, 0x1000, "new", c.length);
    if (c.image == Image::Raw)
      image = sim::MakeRawImage(c.length);
    const uint8_t* data = c.image == Image::Null ? nullptr : image.data();

    EXPECT_EQ(UploadHcFirmware(rig.session, data, static_cast<int32_t>(c.length), 0xA55A), c.rc);

    const auto opens = wire.FramesWith(247, 48);
    EXPECT_EQ(opens.size(), c.rc == 90 ? 0u : 1u);
    if (!opens.empty()) {
      ASSERT_EQ(opens[0]->frame.items[0].data, (std::vector<uint8_t>{0x5A, 0xA5}));
    }
    EXPECT_EQ(wire.FramesWith(247, 138).size(), c.starts);
    EXPECT_EQ(TransferSizes(wire), c.transfers);
    EXPECT_EQ(wire.FramesWith(247, 143).size(), c.endUpdates);
  }
}

TEST(UploadHcFirmware, ChunksCarryTheImageAndReportProgress) {
  SimRig rig;
  Interposer wire(rig);
  const auto image = sim::MakeSimImage(0x0203, 0x1000, "new", 8193);
  Progress progress;
  ASSERT_EQ(
      UploadHcFirmware(rig.session, image.data(), static_cast<int32_t>(image.size()), 1, &progress),
      0);
  std::vector<uint8_t> sent;
  for (const SeenFrame* f : wire.FramesWith(247, 218)) {
    sent.insert(sent.end(), f->frame.bulk.begin(), f->frame.bulk.end());
  }
  EXPECT_EQ(sent, image);
  EXPECT_EQ(rig.hc.Flash(sim::Unit::HandController), image);
  const std::vector<std::pair<uint64_t, uint64_t>> want = {
      {4096, 8193}, {8192, 8193}, {8193, 8193}};
  EXPECT_EQ(progress.calls, want);
}

// A unit that answers "not ready" for ever must not hang the program.
TEST(UploadHcFirmware, ReadinessWaitIsBounded) {
  SimRig rig;
  Interposer wire(rig);
  ASSERT_EQ(rig.session.OpenSession(), 0);
  wire.Script({.command = 247,
               .parameter = 218,
               .occurrence = 0,
               .items = {{218, {102}}},
               .delay = std::chrono::milliseconds(100)});
  const auto image = sim::MakeSimImage(1, 0, "x", 100);
  const auto start = rig.clock.NowMs();
  EXPECT_EQ(UploadHcFirmware(rig.session, image.data(), 100, 1), 104);
  const auto waited = rig.clock.NowMs() - start;
  EXPECT_GE(waited, 60000u);
  EXPECT_LT(waited, 61000u);
  for (size_t size : TransferSizes(wire))
    EXPECT_EQ(size, 0u);                           // no data went out
  EXPECT_TRUE(wire.FramesWith(247, 143).empty());  // the workflow ends it
  // The session still works afterwards.
  EXPECT_EQ(EndUpdate(rig.session), 0);
}

TEST(UploadHcFirmware, MalformedAnswers) {
  struct Case {
    const char* name;
    uint8_t parameter;
    std::vector<sim::AnswerItem> items;
    ResultCode rc;
  };
  const Case cases[] = {
      {"138 with 2 bytes", 138, {{138, {0, 0}}}, 101},
      {"138 missing", 138, {{139, {0}}}, 102},
      {"218 missing", 218, {{1, {0}}}, 102},
      {"218 with 0 bytes", 218, {{218, {}}}, 101},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimRig rig;
    Interposer wire(rig);
    wire.Script({.command = 247, .parameter = c.parameter, .items = c.items});
    const auto image = sim::MakeSimImage(1, 0, "x", 100);
    EXPECT_EQ(UploadHcFirmware(rig.session, image.data(), 100, 1), c.rc);
  }
}

}  // namespace
}  // namespace vexo3
