#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/camera.h"
#include "sim/units/sim_image.h"
#include "support/interposer.h"

namespace vexo3 {
namespace {

using test::Interposer;
using test::ScriptedAnswer;
using test::SeenFrame;

constexpr std::pair<uint8_t, uint8_t> kOpen{247, 48};
constexpr std::pair<uint8_t, uint8_t> kChunk{247, 218};

struct Progress final : ProgressObserver {
  std::vector<std::pair<uint64_t, uint64_t>> calls;
  void OnProgress(uint64_t done, uint64_t total) override { calls.emplace_back(done, total); }
};

// The procedure's frames in order, as short names.
std::vector<std::string> Steps(const Interposer& wire) {
  std::vector<std::string> steps;
  for (const auto& f : wire.Frames()) {
    if (f.frame.code != 244)
      continue;
    if (f.Has(192))
      steps.push_back("end");
    if (f.Has(193))
      steps.push_back("start");
    if (f.Inner() == kOpen)
      steps.push_back("open");
    if (f.Inner() == kChunk)
      steps.push_back(std::to_string(f.frame.bulk.size()));
  }
  return steps;
}

ScriptedAnswer ChunkAnswer(uint32_t occurrence, uint8_t relayStatus, std::vector<uint8_t> bulk) {
  return {.command = 244,
          .parameter = 60,
          .inner = kChunk,
          .occurrence = occurrence,
          .items = {{60, {relayStatus}}},
          .bulk = std::move(bulk)};
}

TEST(UploadCameraFirmware, RefusedBeforeAnythingIsSent) {
  struct Case {
    const char* name;
    sim::UnitMode mode;
    bool nullData;
    ResultCode rc;
  };
  for (const Case& c : {Case{"APP mode", sim::UnitMode::App, false, 90},
                        Case{"null data, length > 0", sim::UnitMode::Boot, true, 200}}) {
    SCOPED_TRACE(c.name);
    sim::HandControllerConfig cfg;
    cfg.mode = c.mode;
    SimRig rig(cfg);
    Interposer wire(rig);
    ASSERT_EQ(rig.session.OpenSession(), 0);
    const auto image = sim::MakeRawImage(100);
    EXPECT_EQ(UploadCameraFirmware(rig.session, c.nullData ? nullptr : image.data(), 100, 1), c.rc);
    EXPECT_TRUE(Steps(wire).empty());
    EXPECT_EQ(rig.chip.Line().readTimeoutMs, 1000u);
  }
}

TEST(UploadCameraFirmware, RefusedStart) {
  sim::HandControllerConfig cfg;
  cfg.camera.update.refuseStart = true;
  SimRig rig(cfg);
  Interposer wire(rig);
  const auto image = sim::MakeRawImage(100);
  EXPECT_EQ(UploadCameraFirmware(rig.session, image.data(), 100, 1), 106);
  EXPECT_EQ(Steps(wire), (std::vector<std::string>{"end", "start"}));
  const auto& frames = wire.Frames();
  const SeenFrame& start = frames.back();
  const SeenFrame& end = frames[frames.size() - 2];
  EXPECT_GE(start.time - end.time, std::chrono::milliseconds(200));
  for (const SeenFrame* f : {&start, &end}) {
    EXPECT_EQ(f->readTimeoutMs, 3000u);
    EXPECT_EQ(f->writeTimeoutMs, 1000u);
  }
  EXPECT_EQ(rig.session.link->readTimeout, 1000u);
  EXPECT_EQ(rig.chip.Line().readTimeoutMs, 1000u);
}

struct FlowCase {
  const char* name;
  uint32_t length;
  std::vector<ScriptedAnswer> scripts;
  ResultCode rc;
  std::vector<std::string> steps;
};

TEST(UploadCameraFirmware, ChunkStatusTable) {
  const std::vector<std::string> one = {"end", "start", "open", "4096", "end"};
  const std::vector<std::string> oneFailed = {"end", "start", "open", "4096"};
  const std::vector<std::string> firstOfTwo = {"end", "start", "open", "4096"};
  const FlowCase cases[] = {
      {"0 on the last chunk", 4096, {ChunkAnswer(1, 0, {0, 0})}, 0, one},
      {"1 on the last, relay 0", 4096, {ChunkAnswer(1, 0, {1, 0})}, 0, one},
      {"1 on the last, relay 1", 4096, {ChunkAnswer(1, 1, {1, 0})}, 100, oneFailed},
      {"13 on the last, relay 0", 4096, {ChunkAnswer(1, 0, {13, 0})}, 0, one},
      {"13 on the last, relay 1", 4096, {ChunkAnswer(1, 1, {13, 0})}, 100, oneFailed},
      {"13 after the first of two", 8192, {ChunkAnswer(1, 0, {13, 0})}, 100, firstOfTwo},
      {"1 after the first of two", 8192, {ChunkAnswer(1, 0, {1, 0})}, 100, firstOfTwo},
      {"9 with relay 4", 4096, {ChunkAnswer(1, 4, {9, 0})}, 104, oneFailed},
      {"2 with relay 0", 8192, {ChunkAnswer(1, 0, {2, 0})}, 104, firstOfTwo},
      {"3 bulk bytes", 4096, {ChunkAnswer(1, 0, {0, 0, 0})}, 101, oneFailed},
      {"1 bulk byte", 4096, {ChunkAnswer(1, 0, {0})}, 101, oneFailed},
      {"parameter 60 missing",
       4096,
       {{.command = 244, .parameter = 60, .inner = kChunk, .items = {{61, {0}}}, .bulk = {{0, 0}}}},
       101,
       oneFailed},
      {"0-byte image", 0, {}, 0, {"end", "start", "open", "end"}},
      {"8,193 bytes", 8193, {}, 0, {"end", "start", "open", "4096", "4096", "1", "end"}},
      {"open: relay status 3",
       10,
       {{.command = 244, .parameter = 60, .inner = kOpen, .items = {{60, {3}}}, .bulk = {{0}}}},
       104,
       {"end", "start", "open"}},
      {"open: byte 1",
       10,
       {{.command = 244, .parameter = 60, .inner = kOpen, .items = {{60, {0}}}, .bulk = {{1}}}},
       104,
       {"end", "start", "open"}},
      {"open: 2 bytes",
       10,
       {{.command = 244, .parameter = 60, .inner = kOpen, .items = {{60, {0}}}, .bulk = {{0, 0}}}},
       101,
       {"end", "start", "open"}},
      {"first end access: 192 missing",
       10,
       {{.command = 244, .parameter = 192, .items = {{193, {}}}}},
       102,
       {"end"}},
      {"first end access: 192 with a byte",
       10,
       {{.command = 244, .parameter = 192, .items = {{192, {0}}}}},
       101,
       {"end"}},
      {"final end access: 192 missing",
       10,
       {{.command = 244, .parameter = 192, .occurrence = 2, .items = {{193, {}}}}},
       102,
       {"end", "start", "open", "10", "end"}},
      {"start: 193 with 2 bytes",
       10,
       {{.command = 244, .parameter = 193, .items = {{193, {0, 0}}}}},
       101,
       {"end", "start"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimRig rig;
    Interposer wire(rig);
    ASSERT_EQ(rig.session.OpenSession(), 0);
    for (const auto& s : c.scripts)
      wire.Script(s);
    const auto image = sim::MakeSimImage(0x0305, 0, "cam", std::max<uint32_t>(c.length, 56));
    EXPECT_EQ(
        UploadCameraFirmware(rig.session, image.data(), static_cast<int32_t>(c.length), 0x1234),
        c.rc);
    EXPECT_EQ(Steps(wire), c.steps);
    for (const auto& f : wire.Frames()) {
      if (f.frame.code != 244)
        continue;
      EXPECT_EQ(f.readTimeoutMs, 3000u);
      EXPECT_EQ(f.writeTimeoutMs, 1000u);
    }
    EXPECT_EQ(rig.chip.Line().readTimeoutMs, 1000u);
    EXPECT_EQ(rig.chip.Line().writeTimeoutMs, 1000u);
  }
}

TEST(UploadCameraFirmware, ChunksCarryTheImageAndReportProgress) {
  SimRig rig;
  Interposer wire(rig);
  const auto image = sim::MakeSimImage(0x0305, 0x3000, "cam", 8193);
  Progress progress;
  ASSERT_EQ(UploadCameraFirmware(rig.session, image.data(), static_cast<int32_t>(image.size()),
                                 0xBEEF, &progress),
            0);
  const auto opens = wire.FramesWith(244, 60, kOpen);
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0]->frame.bulk, (std::vector<uint8_t>{0xEF, 0xBE}));
  std::vector<uint8_t> sent;
  for (const SeenFrame* f : wire.FramesWith(244, 60, kChunk)) {
    sent.insert(sent.end(), f->frame.bulk.begin(), f->frame.bulk.end());
  }
  EXPECT_EQ(sent, image);
  EXPECT_EQ(rig.hc.Flash(sim::Unit::Camera), image);
  const std::vector<std::pair<uint64_t, uint64_t>> want = {
      {4096, 8193}, {8192, 8193}, {8193, 8193}};
  EXPECT_EQ(progress.calls, want);
}

}  // namespace
}  // namespace vexo3
