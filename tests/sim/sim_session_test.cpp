// The host's real session and link against the simulated device: the model
// must satisfy the handshake and the exchange exactly as a device would.

#include <gtest/gtest.h>

#include <chrono>

#include "sim/units/sim_image.h"
#include "support/sim_rig.h"

namespace vexo3 {
namespace {

using sim::Unit;

TEST(SimSessionTest, HandshakeConnectsAndLoadsTheAdvertisedCatalog) {
  SimRig rig;
  ASSERT_EQ(rig.session.OpenSession(), 0);
  EXPECT_EQ(rig.session.protocolVersion, 0x0005);
  EXPECT_EQ(rig.session.protocolVersion2, 0x0001);
  EXPECT_EQ(rig.session.bootMode, 1);
  const ParameterTable* relay = rig.session.catalog.FindCommand(0xF4);
  ASSERT_NE(relay, nullptr);
  EXPECT_EQ(CommandCatalog::FindParameter(*relay, 0x3C), 2);
  EXPECT_EQ(rig.session.catalog.Commands().size(), 3u);
  EXPECT_TRUE(rig.hc.IsAwake());
  // One wake-up byte at 9600, everything else at the line speed.
  const auto& transcript = rig.chip.Transcript();
  ASSERT_FALSE(transcript.empty());
  EXPECT_EQ(transcript.front().baudRate, 9600u);
  EXPECT_EQ(transcript.front().bytes, std::vector<uint8_t>{0x00});
  for (size_t i = 1; i < transcript.size(); ++i)
    EXPECT_EQ(transcript[i].baudRate, 3000000u);
}

TEST(SimSessionTest, AppModeHandshake) {
  sim::HandControllerConfig config;
  config.mode = sim::UnitMode::App;
  SimRig rig(config);
  ASSERT_EQ(rig.session.OpenSession(), 0);
  EXPECT_EQ(rig.session.bootMode, 0);
}

// Sends 247/218 with a block through the host's exchange and returns the status.
int SendChunk(DeviceSession& s, const std::vector<uint8_t>& chunk) {
  if (s.BeginCommand(0xF7) != 0 || s.AttachBulkData(chunk.data(), chunk.size()) != 0 ||
      s.AddParameter(0xDA, nullptr, 0) != 0 || s.SendCommand() != 0 || s.ReceiveAnswer() != 0) {
    return -1;
  }
  const uint8_t* item = s.FindAnswerParameter(0xDA);
  return item != nullptr && item[1] == 1 ? item[2] : -2;
}

TEST(SimSessionTest, RelayedCameraAnswerArrivesAsBulkData) {
  SimRig rig;
  DeviceSession& s = rig.session;
  ASSERT_EQ(s.BeginCommand(0xF4), 0);
  ASSERT_EQ(s.AddParameter(0xC1, nullptr, 0), 0);
  ASSERT_EQ(s.SendCommand(), 0);
  ASSERT_EQ(s.ReceiveAnswer(), 0);
  const uint8_t inner[2] = {0x01, 0xF8};
  ASSERT_EQ(s.BeginCommand(0xF4), 0);
  ASSERT_EQ(s.AddParameter(0x3C, inner, 2), 0);
  ASSERT_EQ(s.AttachBulkData(nullptr, 0), 0);
  ASSERT_EQ(s.SendCommand(), 0);
  ASSERT_EQ(s.ReceiveAnswer(), 0);
  const uint8_t* status = s.FindAnswerParameter(0x3C);
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status[2], 0);
  const auto mode = s.receivedBulk.Bytes();
  ASSERT_EQ(mode.size(), 4u);
  EXPECT_EQ(mode[0] | mode[1] << 8, 0xB102);
}

TEST(SimSessionTest, HostExchangeUpdatesTheHandController) {
  SimRig rig;
  DeviceSession& s = rig.session;
  const uint8_t startCode[2] = {0x34, 0x12};
  const uint8_t zeros[3] = {};
  ASSERT_EQ(s.BeginCommand(0xF7), 0);
  ASSERT_EQ(s.AddParameter(0x30, startCode, 2), 0);
  ASSERT_EQ(s.SendCommand(), 0);
  ASSERT_EQ(s.ReceiveAnswer(), 0);
  ASSERT_EQ(s.BeginCommand(0xF7), 0);
  ASSERT_EQ(s.AddParameter(0x8A, zeros, 3), 0);
  ASSERT_EQ(s.SendCommand(), 0);
  ASSERT_EQ(s.ReceiveAnswer(), 0);
  EXPECT_EQ(SendChunk(s, {}), 0);  // ready

  const auto image = sim::MakeSimImage(0x0900, 0x2000, "Over the wire", 9000);
  std::vector<int> statuses;
  for (size_t at = 0; at < image.size(); at += 4096) {
    const size_t n = std::min<size_t>(4096, image.size() - at);
    statuses.push_back(SendChunk(s, {image.begin() + at, image.begin() + at + n}));
  }
  EXPECT_EQ(statuses, (std::vector<int>{0, 0, 13}));
  ASSERT_EQ(s.BeginCommand(0xF7), 0);
  ASSERT_EQ(s.AddParameter(0x8F, nullptr, 0), 0);
  ASSERT_EQ(s.SendCommand(), 0);
  ASSERT_EQ(s.ReceiveAnswer(), 0);
  EXPECT_EQ(rig.hc.Flash(Unit::HandController), image);
  EXPECT_EQ(rig.hc.Firmware(Unit::HandController)->version, 0x0900);
}

TEST(SimSessionTest, LargestPackageImageTakes512Chunks) {
  SimRig rig;
  DeviceSession& s = rig.session;
  const uint8_t startCode[2] = {0x01, 0x00};
  const uint8_t zeros[3] = {};
  ASSERT_EQ(s.BeginCommand(0xF7), 0);
  ASSERT_EQ(s.AddParameter(0x30, startCode, 2), 0);
  ASSERT_EQ(s.SendCommand(), 0);
  ASSERT_EQ(s.ReceiveAnswer(), 0);
  ASSERT_EQ(s.BeginCommand(0xF7), 0);
  ASSERT_EQ(s.AddParameter(0x8A, zeros, 3), 0);
  ASSERT_EQ(s.SendCommand(), 0);
  ASSERT_EQ(s.ReceiveAnswer(), 0);
  const auto image = sim::MakeSimImage(0x0101, 0, "Largest", 2097151);
  const auto before = rig.clock.Now();
  int chunks = 0;
  int last = -1;
  for (size_t at = 0; at < image.size(); at += 4096, ++chunks) {
    const size_t n = std::min<size_t>(4096, image.size() - at);
    last = SendChunk(s, {image.begin() + at, image.begin() + at + n});
    if (last != 0)
      break;
  }
  // Line time at 3,000,000 baud, as the simulated bus counts it.
  RecordProperty(
      "virtual_ms",
      static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(rig.clock.Now() - before).count()));
  EXPECT_EQ(chunks + 1, 512);
  EXPECT_EQ(last, 13);
  EXPECT_EQ(rig.hc.Flash(Unit::HandController).size(), 2097151u);
}

struct AsyncCase {
  const char* name;
  sim::FaultAction action;
  ResultCode expected;
  bool linkOpenAfter;
};

class SimSessionAsyncTest : public ::testing::TestWithParam<AsyncCase> {};

TEST_P(SimSessionAsyncTest, MessageInsteadOfTheAnswer) {
  SimRig rig;
  ASSERT_EQ(rig.session.OpenSession(), 0);
  rig.hc.InjectNext(GetParam().action);
  ASSERT_EQ(rig.session.BeginCommand(0xF8), 0);
  ASSERT_EQ(rig.session.AddParameter(0x11, nullptr, 0), 0);
  ASSERT_EQ(rig.session.SendCommand(), 0);
  EXPECT_EQ(rig.session.ReceiveAnswer(), GetParam().expected);
  EXPECT_EQ(rig.chip.IsOpen(), GetParam().linkOpenAfter);
  // The next command reconnects (after the pending delay) and is answered.
  const auto before = rig.clock.Now();
  ASSERT_EQ(rig.session.BeginCommand(0xF8), 0);
  ASSERT_EQ(rig.session.AddParameter(0x11, nullptr, 0), 0);
  ASSERT_EQ(rig.session.SendCommand(), 0);
  ASSERT_EQ(rig.session.ReceiveAnswer(), 0);
  EXPECT_GE(rig.clock.Now() - before, std::chrono::milliseconds(500));
  const uint8_t* pcb = rig.session.FindAnswerParameter(0x11);
  ASSERT_NE(pcb, nullptr);
  EXPECT_EQ(pcb[2], 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimSessionAsyncTest,
    ::testing::Values(AsyncCase{"ModeChange", sim::FaultAction::AsyncModeChange, 12, true},
                      AsyncCase{"PowerOff", sim::FaultAction::AsyncPowerOff, 13, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vexo3
