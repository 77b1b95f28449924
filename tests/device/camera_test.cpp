#include "device/camera.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/interposer.h"

namespace vexo3 {
namespace {

using test::Interposer;
using test::ScriptedAnswer;

constexpr std::pair<uint8_t, uint8_t> kModeQuery{248, 1};
constexpr std::pair<uint8_t, uint8_t> kIdQuery{248, 16};
constexpr std::pair<uint8_t, uint8_t> kPcbQuery{248, 17};
constexpr std::pair<uint8_t, uint8_t> kFirmwareQuery{247, 16};

ScriptedAnswer Relay(std::pair<uint8_t, uint8_t> inner, uint8_t relayStatus,
                     std::optional<std::vector<uint8_t>> bulk) {
  return {.command = 244,
          .parameter = 60,
          .inner = inner,
          .items = {{60, {relayStatus}}},
          .bulk = std::move(bulk)};
}

TEST(CameraOperations, AppModeSendsNothing) {
  sim::HandControllerConfig cfg;
  cfg.mode = sim::UnitMode::App;
  SimRig rig(cfg);
  Interposer wire(rig);
  DeviceState state;
  FirmwareInfo info;
  EXPECT_EQ(StartCamera(rig.session), 90);
  EXPECT_EQ(StopCamera(rig.session), 90);
  EXPECT_EQ(ReadCameraState(rig.session, &state), 90);
  EXPECT_EQ(ReadCameraFirmwareInfo(rig.session, &info), 90);
  for (const auto& f : wire.Frames())
    EXPECT_NE(f.frame.code, 244);
}

TEST(StartCamera, TimeoutsForTheCallOnly) {
  struct Case {
    const char* name;
    bool refuse;
    ResultCode rc;
  };
  for (const Case& c : {Case{"started", false, 0}, Case{"refused", true, 106}}) {
    SCOPED_TRACE(c.name);
    sim::HandControllerConfig cfg;
    cfg.camera.update.refuseStart = c.refuse;
    SimRig rig(cfg);
    Interposer wire(rig);
    ASSERT_EQ(rig.session.OpenSession(), 0);
    ASSERT_EQ(rig.session.SetSessionTimeouts(1234, 777), 0);
    EXPECT_EQ(StartCamera(rig.session), c.rc);
    const auto frames = wire.FramesWith(244, 193);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->readTimeoutMs, 5000u);
    EXPECT_EQ(frames[0]->writeTimeoutMs, 1000u);
    EXPECT_EQ(rig.session.link->readTimeout, 1234u);
    EXPECT_EQ(rig.session.link->writeTimeout, 777u);
    EXPECT_EQ(rig.chip.Line().readTimeoutMs, 1234u);
    EXPECT_EQ(rig.hc.CameraStarted(), !c.refuse);
  }
}

TEST(StartCamera, MalformedAnswers) {
  for (const auto& items :
       {std::vector<sim::AnswerItem>{{193, {0, 0}}}, std::vector<sim::AnswerItem>{{194, {0}}}}) {
    SimRig rig;
    Interposer wire(rig);
    wire.Script({.command = 244, .parameter = 193, .items = items});
    EXPECT_EQ(StartCamera(rig.session), 30);
  }
}

TEST(StopCamera, WaitsOnlyAfterAGoodAnswer) {
  struct Case {
    const char* name;
    std::optional<std::vector<sim::AnswerItem>> scripted;
    ResultCode rc;
    bool waits;
  };
  const Case cases[] = {
      {"stopped", std::nullopt, 0, true},
      {"192 with a data byte", std::vector<sim::AnswerItem>{{192, {0}}}, 30, false},
      {"192 missing", std::vector<sim::AnswerItem>{{193, {}}}, 30, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimRig rig;
    Interposer wire(rig);
    ASSERT_EQ(StartCamera(rig.session), 0);
    if (c.scripted)
      wire.Script({.command = 244, .parameter = 192, .items = *c.scripted});
    const auto before = rig.clock.NowMs();
    EXPECT_EQ(StopCamera(rig.session), c.rc);
    const auto elapsed = rig.clock.NowMs() - before;
    if (c.waits) {
      EXPECT_GE(elapsed, 200u);
    } else {
      EXPECT_LT(elapsed, 200u);
    }
    const auto frames = wire.FramesWith(244, 192);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->readTimeoutMs, 3000u);
    EXPECT_EQ(frames[0]->writeTimeoutMs, 1000u);
    EXPECT_EQ(rig.chip.Line().readTimeoutMs, 1000u);
  }
}

TEST(ReadCameraState, FromTheModel) {
  sim::HandControllerConfig cfg;
  cfg.camera.uniqueId = std::string("CAM\0\0X", 6);
  cfg.camera.pcbId = 7;
  SimRig rig(cfg);
  Interposer wire(rig);
  ASSERT_EQ(StartCamera(rig.session), 0);
  DeviceState state;
  std::memset(static_cast<void*>(&state), 0x5A, sizeof state);
  ASSERT_EQ(ReadCameraState(rig.session, &state), 0);
  EXPECT_EQ(state.bootMode, 1);
  EXPECT_EQ(state.protocolVersion, 0x0102);
  EXPECT_EQ(state.protocolVersion2, 0x0001);
  EXPECT_EQ(std::string(state.uniqueId), "CAM  X          ");
  EXPECT_EQ(state.hardwareId, 7);
  EXPECT_EQ(state.chipSerial[0], 0);
  EXPECT_EQ(state.chipDescription[0], 0);
  EXPECT_EQ(state.deviceText[0], 0);
  // Mode query without data; each later step sends what the step before got.
  ASSERT_EQ(wire.FramesWith(244, 60, kModeQuery).size(), 1u);
  EXPECT_TRUE(wire.FramesWith(244, 60, kModeQuery)[0]->frame.bulk.empty());
  ASSERT_EQ(wire.FramesWith(244, 60, kIdQuery).size(), 1u);
  EXPECT_EQ(wire.FramesWith(244, 60, kIdQuery)[0]->frame.bulk.size(), 4u);
  ASSERT_EQ(wire.FramesWith(244, 60, kPcbQuery).size(), 1u);
  EXPECT_EQ(wire.FramesWith(244, 60, kPcbQuery)[0]->frame.bulk.size(), 24u);
  EXPECT_EQ(ReadCameraState(rig.session, nullptr), 0);
}

TEST(ReadCameraState, Table) {
  const std::vector<uint8_t> goodMode = {0x02, 0xB1, 0x05, 0x00};
  const std::vector<uint8_t> id24(24, 'I');
  struct Case {
    const char* name;
    std::vector<ScriptedAnswer> scripts;
    ResultCode rc;
    int32_t bootMode;
    uint16_t protocolVersion;
    bool idFilled;
  };
  const Case cases[] = {
      {"0xB nibble", {Relay(kModeQuery, 0, goodMode)}, 0, 1, 0x102, true},
      {"0x3 nibble",
       {Relay(kModeQuery, 0, std::vector<uint8_t>{0x02, 0x31, 5, 0})},
       0,
       0,
       0x102,
       true},
      {"step 1 with 5 bytes",
       {Relay(kModeQuery, 0, std::vector<uint8_t>{2, 0xB1, 5, 0, 9})},
       66,
       0,
       0,
       false},
      {"step 1 relay status 3", {Relay(kModeQuery, 3, goodMode)}, 66, 0, 0, false},
      {"step 1 parameter 60 with 2 bytes",
       {{.command = 244, .parameter = 60, .inner = kModeQuery, .items = {{60, {0, 0}}}}},
       30,
       0,
       0,
       false},
      {"relay status 5 in step 2",
       {Relay(kModeQuery, 0, goodMode), Relay(kIdQuery, 5, id24)},
       66,
       1,
       0x102,
       false},
      {"step 2 with 23 bytes",
       {Relay(kModeQuery, 0, goodMode), Relay(kIdQuery, 0, std::vector<uint8_t>(23, 'I'))},
       66,
       1,
       0x102,
       false},
      {"step 3 with no bulk", {Relay(kPcbQuery, 0, std::nullopt)}, 66, 1, 0x102, true},
      // The buffer still holds an earlier block; it must not pass for this one.
      {"step 2 announces 24 bytes but never starts them",
       {Relay(kModeQuery, 0, goodMode),
        {.command = 244,
         .parameter = 60,
         .inner = kIdQuery,
         .items = {{60, {0}}, {0xFC, {24, 0, 0, 0}}}}},
       66,
       1,
       0x102,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimRig rig;
    Interposer wire(rig);
    ASSERT_EQ(StartCamera(rig.session), 0);
    for (const auto& s : c.scripts)
      wire.Script(s);
    DeviceState state;
    std::memset(static_cast<void*>(&state), 0x5A, sizeof state);
    EXPECT_EQ(ReadCameraState(rig.session, &state), c.rc);
    EXPECT_EQ(state.bootMode, c.bootMode);
    EXPECT_EQ(state.protocolVersion, c.protocolVersion);
    EXPECT_EQ(state.uniqueId[0] != 0, c.idFilled);
    if (c.rc != 0) {
      EXPECT_EQ(state.hardwareId, 0);
    }
  }
}

TEST(ReadCameraFirmwareInfo, Table) {
  FirmwareInfo sentinel;
  sentinel.status = 0xEE;
  sentinel.flags = 0xAAAA;
  sentinel.version = 0xBBBB;
  sentinel.sizeBlocks = 0xCCCCCCCC;
  std::memset(sentinel.description, 'z', sizeof sentinel.description);

  FirmwareInfo model;
  model.flags = 0x2000;
  model.version = 0x0104;
  model.sizeBlocks = 128;
  std::strcpy(model.description, "Vexo-3 Camera firmware");
  FirmwareInfo status15 = sentinel;
  status15.status = 15;
  FirmwareInfo shortRecord;  // beyond the received bytes: zeros
  shortRecord.flags = 0x4010;
  shortRecord.version = 0x0123;
  FirmwareInfo full40;
  std::vector<uint8_t> record = {0, 0x10, 0x40, 0x23, 0x01, 96, 0, 0, 0};
  record.resize(49, 'D');
  full40.flags = 0x4010;
  full40.version = 0x0123;
  full40.sizeBlocks = 96;
  std::memset(full40.description, 'D', 40);  // kept whole: no terminator forced
  FirmwareInfo statusOnly = sentinel;
  statusOnly.status = 0;

  struct Case {
    const char* name;
    std::optional<sim::FirmwareConfig> firmware;
    std::optional<ScriptedAnswer> scripted;
    ResultCode rc;
    FirmwareInfo want;
  };
  const Case cases[] = {
      {"model", sim::CameraConfig{}.firmware, std::nullopt, 0, model},
      {"status 15", sim::FirmwareConfig{15}, std::nullopt, 0, status15},
      {"5 bytes, first 0", std::nullopt,
       Relay(kFirmwareQuery, 0, std::vector<uint8_t>{0, 0x10, 0x40, 0x23, 0x01}), 0, shortRecord},
      {"no bytes", std::nullopt, Relay(kFirmwareQuery, 0, std::nullopt), 0, FirmwareInfo{}},
      {"60 bytes, 49 kept", std::nullopt,
       Relay(kFirmwareQuery, 0,
             [&] {
               auto r = record;
               r.resize(60, 1);
               return r;
             }()),
       0, full40},
      {"relay status 4", std::nullopt, Relay(kFirmwareQuery, 4, record), 66, statusOnly},
      {"parameter 60 missing", std::nullopt,
       ScriptedAnswer{.command = 244, .parameter = 60, .inner = kFirmwareQuery, .items = {}}, 30,
       statusOnly},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::HandControllerConfig cfg;
    cfg.camera.firmware = c.firmware;
    SimRig rig(cfg);
    Interposer wire(rig);
    ASSERT_EQ(StartCamera(rig.session), 0);
    if (c.scripted)
      wire.Script(*c.scripted);
    FirmwareInfo info = sentinel;
    EXPECT_EQ(ReadCameraFirmwareInfo(rig.session, &info), c.rc);
    EXPECT_EQ(info.status, c.want.status);
    EXPECT_EQ(info.flags, c.want.flags);
    EXPECT_EQ(info.version, c.want.version);
    EXPECT_EQ(info.sizeBlocks, c.want.sizeBlocks);
    EXPECT_EQ(std::memcmp(info.description, c.want.description, 40), 0);
    const auto frames = wire.FramesWith(244, 60, kFirmwareQuery);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0]->frame.bulk.empty());
  }
}

TEST(CameraCommand, RelaysThroughTheSessionBuffer) {
  SimRig rig;
  Interposer wire(rig);
  ASSERT_EQ(StartCamera(rig.session), 0);
  std::vector<uint8_t> big(5000);
  for (size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<uint8_t>(i);
  // Over 4,096 bytes: cut to 4,096. Negative: nothing. Null with bytes: refused.
  (void)CameraCommand(rig.session, 248, 16, big.data(), 5000);
  (void)CameraCommand(rig.session, 248, 16, big.data(), -3);
  EXPECT_EQ(CameraCommand(rig.session, 248, 16, nullptr, 4), 200);
  const auto frames = wire.FramesWith(244, 60, kIdQuery);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0]->frame.bulk, std::vector<uint8_t>(big.begin(), big.begin() + 4096));
  EXPECT_TRUE(frames[1]->frame.hasBulk);
  EXPECT_TRUE(frames[1]->frame.bulk.empty());
  EXPECT_EQ(frames[0]->frame.items[0].data, (std::vector<uint8_t>{16, 248}));
}

}  // namespace
}  // namespace vexo3

namespace vexo3 {
namespace {

TEST(CameraOperations, TimeoutsRefusedByTheLink) {
  const std::function<ResultCode(DeviceSession&)> ops[] = {
      StartCamera,
      StopCamera,
      [](DeviceSession& s) {
        const uint8_t byte = 0;
        return UploadCameraFirmware(s, &byte, 1, 1);
      },
  };
  for (const auto& op : ops) {
    SimRig rig;
    Interposer wire(rig);
    ASSERT_EQ(rig.session.OpenSession(), 0);
    rig.bus.FailCall(sim::D2xxCall::SetTimeouts, FT_IO_ERROR);
    EXPECT_EQ(op(rig.session), 9);
    for (const auto& f : wire.Frames())
      EXPECT_NE(f.frame.code, 244);
    EXPECT_EQ(rig.chip.Line().readTimeoutMs, 1000u);
  }
}

}  // namespace
}  // namespace vexo3
