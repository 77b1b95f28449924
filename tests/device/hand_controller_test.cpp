#include "device/hand_controller.h"

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
using Bytes = std::vector<uint8_t>;

struct ModeCase {
  const char* name;
  std::vector<sim::AnswerItem> items;
  ResultCode rc;
  int32_t bootMode;
  uint16_t word1;
  uint16_t word2;
};

TEST(ReadDeviceMode, AnswerParameterTable) {
  const ModeCase cases[] = {
      {"3 and 1: 3 wins",
       {{3, {0x05, 0x01, 0x02, 0x00}}, {1, {0x07, 0x00, 0x09, 0x00}}},
       0,
       1,
       0x0105,
       2},
      {"1 then 3: 3 still wins",
       {{1, {0x07, 0x00, 0x09, 0x00}}, {3, {0x11, 0x22, 0x33, 0x44}}},
       0,
       1,
       0x2211,
       0x4433},
      {"1 only: APP", {{1, {0x07, 0x00, 0x09, 0x00}}}, 0, 0, 7, 9},
      {"1 with 5 bytes", {{1, {1, 2, 3, 4, 5}}}, 58, -1, 0, 0},
      {"3 with 3 bytes, 1 fine", {{3, {1, 2, 3}}, {1, {1, 2, 3, 4}}}, 58, -1, 0, 0},
      {"neither", {{2, {1, 2, 3, 4}}}, 57, -1, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimRig rig;
    Interposer wire(rig);
    ASSERT_EQ(rig.session.OpenSession(), 0);  // the handshake also asks 248/1
    wire.Script({.command = 248, .parameter = 1, .items = c.items});
    int32_t boot = -1;
    uint16_t w1 = 0;
    uint16_t w2 = 0;
    EXPECT_EQ(ReadDeviceMode(rig.session, &boot, &w1, &w2), c.rc);
    EXPECT_EQ(boot, c.bootMode);
    EXPECT_EQ(w1, c.word1);
    EXPECT_EQ(w2, c.word2);
  }
}

struct StateCase {
  const char* name;
  std::function<void(sim::HandControllerConfig&)> configure;
  std::string chipSerial;  // set on the chip when not empty
  std::string uniqueId;
  std::string wantSerial;
  std::string deviceText;
};

TEST(ReadDeviceState, TextsTable) {
  const std::string letters32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdef";
  const StateCase cases[] = {
      {"defaults", nullptr, "", "VX3HC00000000001", "VX300001", "Vexo-3 HandController"},
      {"unique id with NULs", [](auto& c) { c.uniqueId = std::string("AB\0CD", 5); }, "",
       "AB CD           ", "VX300001", "Vexo-3 HandController"},
      {"12-character chip serial", nullptr, "SERIAL123456", "VX3HC00000000001", "SERIAL12",
       "Vexo-3 HandController"},
      {"erased device text", [](auto& c) { c.deviceText = std::string(32, '\xFF'); }, "",
       "VX3HC00000000001", "VX300001", ""},
      {"32-letter device text", [&](auto& c) { c.deviceText = letters32; }, "", "VX3HC00000000001",
       "VX300001", letters32.substr(0, 31)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::HandControllerConfig cfg;
    cfg.pcbId = 0x23;
    if (c.configure)
      c.configure(cfg);
    SimRig rig(cfg);
    if (!c.chipSerial.empty())
      rig.chip.MutableInfo().serial = c.chipSerial;
    DeviceState state;
    std::memset(static_cast<void*>(&state), 0x5A, sizeof state);  // nothing may survive unwritten
    ASSERT_EQ(ReadDeviceState(rig.session, state), 0);
    EXPECT_EQ(state.bootMode, 1);
    EXPECT_EQ(state.protocolVersion, 0x0005);
    EXPECT_EQ(std::string(state.uniqueId), c.uniqueId);
    EXPECT_EQ(std::strlen(state.uniqueId), 16u);
    EXPECT_EQ(state.hardwareId, 0x23);
    EXPECT_EQ(std::string(state.chipSerial), c.wantSerial);
    EXPECT_EQ(std::string(state.chipDescription), "Vexo-3 HandController");
    EXPECT_EQ(std::string(state.deviceText), c.deviceText);
  }
}

TEST(ReadDeviceState, StopsAtAFailedPcbQuery) {
  sim::HandControllerConfig cfg;
  cfg.uniqueId = std::string("AB\0CD", 5);
  SimRig rig(cfg);
  Interposer wire(rig);
  wire.Script({.command = 248, .parameter = 17, .items = {{18, {1}}}});
  DeviceState state;
  EXPECT_EQ(ReadDeviceState(rig.session, state), 57);
  // The unique id stays raw, and the chip texts were never read.
  EXPECT_EQ(std::memcmp(state.uniqueId, "AB\0CD", 5), 0);
  EXPECT_EQ(state.chipSerial[0], 0);
  EXPECT_EQ(state.chipDescription[0], 0);
  EXPECT_TRUE(wire.FramesWith(248, 209).empty());
}

struct InfoCase {
  const char* name;
  std::optional<sim::FirmwareConfig> firmware;  // the model's record
  std::optional<std::vector<sim::AnswerItem>> scripted;
  ResultCode rc;
  FirmwareInfo want;
};

TEST(ReadFirmwareInfo, Table) {
  const std::string letters40 = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcd";
  // The sentinel record the call starts from; fields it must not touch keep it.
  FirmwareInfo sentinel;
  sentinel.status = 0xEE;
  sentinel.flags = 0xAAAA;
  sentinel.version = 0xBBBB;
  sentinel.sizeBlocks = 0xCCCCCCCC;
  std::memset(sentinel.description, 'z', sizeof sentinel.description);

  FirmwareInfo untouched15 = sentinel;
  untouched15.status = 15;
  FirmwareInfo relocated;  // data bytes 10 40 23 01: revision 4, relocated, 01.23
  relocated.flags = 0x4010;
  relocated.version = 0x0123;
  relocated.sizeBlocks = 96;
  std::memcpy(relocated.description, "main", 4);
  FirmwareInfo long39;
  long39.version = 0x0200;
  std::memcpy(long39.description, letters40.data(), 39);
  FirmwareInfo zeros;

  std::vector<uint8_t> record = {0, 0x10, 0x40, 0x23, 0x01, 96, 0, 0, 0};
  record.resize(49, 0);
  std::vector<uint8_t> record48 = record;
  record48.pop_back();

  const InfoCase cases[] = {
      {"status 15 alone", sim::FirmwareConfig{15}, std::nullopt, 0, untouched15},
      {"10 40 23 01", sim::FirmwareConfig{0, 0x4010, 0x0123, 96, "main"}, std::nullopt, 0,
       relocated},
      {"40-letter description", sim::FirmwareConfig{0, 0, 0x0200, 0, letters40}, std::nullopt, 0,
       long39},
      {"status 0 alone gives zeros", std::nullopt, std::vector<sim::AnswerItem>{{16, {0}}}, 0,
       zeros},
      {"48-byte record", std::nullopt, std::vector<sim::AnswerItem>{{16, record48}}, 58, sentinel},
      {"no parameter 16", std::nullopt, std::vector<sim::AnswerItem>{{17, record}}, 57, sentinel},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::HandControllerConfig cfg;
    cfg.firmware = c.firmware;
    SimRig rig(cfg);
    Interposer wire(rig);
    if (c.scripted)
      wire.Script({.command = 247, .parameter = 16, .items = *c.scripted});
    FirmwareInfo info = sentinel;
    EXPECT_EQ(ReadFirmwareInfo(rig.session, &info), c.rc);
    EXPECT_EQ(info.status, c.want.status);
    EXPECT_EQ(info.flags, c.want.flags);
    EXPECT_EQ(info.version, c.want.version);
    EXPECT_EQ(info.sizeBlocks, c.want.sizeBlocks);
    EXPECT_EQ(std::memcmp(info.description, c.want.description, 40), 0);
  }
}

TEST(HandControllerQueries, CommandsOnTheWire) {
  SimRig rig;
  Interposer wire(rig);
  uint32_t words[2] = {};
  uint8_t id[16] = {};
  uint8_t pcb = 0;
  uint8_t text[32] = {};
  ASSERT_EQ(ReadUniqueId(rig.session, words, id), 0);
  ASSERT_EQ(ReadPcbId(rig.session, &pcb), 0);
  ASSERT_EQ(ReadDeviceText(rig.session, text), 0);
  EXPECT_EQ(std::memcmp(id, "VX3HC00000000001", 16), 0);
  EXPECT_EQ(pcb, 2);
  EXPECT_EQ(ReadDeviceText(rig.session, nullptr), 200);
  for (uint8_t p : {16, 17, 209}) {
    const auto frames = wire.FramesWith(248, p);
    ASSERT_EQ(frames.size(), 1u) << int(p);
    ASSERT_EQ(frames[0]->frame.items.size(), 1u);
    EXPECT_TRUE(frames[0]->frame.items[0].data.empty());
  }
}

}  // namespace
}  // namespace vexo3
