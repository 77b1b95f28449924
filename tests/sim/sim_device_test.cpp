// The simulated HandController and Camera, driven through the simulated bus
// with hand-written wire bytes (never the host's frame code).

#include "sim/units/hand_controller.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sim/bus/sim_bus.h"
#include "sim/units/package_writer.h"
#include "sim/units/sim_image.h"

namespace vexo3::sim {
namespace {

using Bytes = std::vector<uint8_t>;

// "F8 01 01 FF" -> bytes.
Bytes Hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  std::string token;
  while (in >> token)
    out.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts)
    out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes U32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

// A frame of command 247/218 carrying `data` as bulk: F7 cc FC n DA FF + data.
Bytes DataFrame(uint8_t counter, const Bytes& data) {
  return Cat({{0xF7, counter, 0xFC}, U32(static_cast<uint32_t>(data.size())), {0xDA, 0xFF}, data});
}

// A relayed Camera command: F4 cc 3C p c FC n FF + data.
Bytes RelayFrame(uint8_t counter, uint8_t command, uint8_t parameter, const Bytes& data) {
  return Cat({{0xF4, counter, 0x3C, parameter, command, 0xFC},
              U32(static_cast<uint32_t>(data.size())),
              {0xFF},
              data});
}

class SimDeviceTest : public ::testing::Test {
 protected:
  void Start(HandControllerConfig config = {}, bool wake = true) {
    hc_ = std::make_unique<SimHandController>(std::move(config));
    bus_ = std::make_unique<SimulatedBus>(clock_);
    chip_ = &bus_->AddChip(ChipInfo{}, hc_.get());
    DWORD n = 0;
    ASSERT_EQ(bus_->FT_CreateDeviceInfoList(&n), FT_OK);
    ASSERT_EQ(bus_->FT_Open(0, &handle_), FT_OK);
    ASSERT_EQ(bus_->FT_SetTimeouts(handle_, 100, 100), FT_OK);
    if (wake) {
      Baud(9600);
      Write({0x00});
      Baud(3000000);
    }
  }
  void Baud(uint32_t baud) { ASSERT_EQ(bus_->FT_SetBaudRate(handle_, baud), FT_OK); }
  void Write(const Bytes& bytes) {
    DWORD written = 0;
    ASSERT_EQ(bus_->FT_Write(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written),
              FT_OK);
    ASSERT_EQ(written, bytes.size());
  }
  // Everything that arrives until the line stays quiet for the read time-out
  // (a long answer reaches the host in several USB packets).
  Bytes ReadAll() {
    Bytes all;
    for (;;) {
      Bytes buffer(1);
      DWORD got = 0;
      EXPECT_EQ(bus_->FT_Read(handle_, buffer.data(), 1, &got), FT_OK);
      if (got == 0)
        return all;
      DWORD queued = 0;
      EXPECT_EQ(bus_->FT_GetQueueStatus(handle_, &queued), FT_OK);
      buffer.resize(1 + queued);
      EXPECT_EQ(bus_->FT_Read(handle_, buffer.data() + 1, queued, &got), FT_OK);
      buffer.resize(1 + got);
      all.insert(all.end(), buffer.begin(), buffer.end());
    }
  }
  Bytes Exchange(const Bytes& command) {
    Write(command);
    return ReadAll();
  }
  // Open (startCode 0x1234) and start the HC's update procedure.
  void OpenAndStartHc() {
    ASSERT_EQ(Exchange(Hex("F7 01 30 34 12 FF")), Hex("F7 01 00 08 00 30 01 00"));
    ASSERT_EQ(Exchange(Hex("F7 02 8A 00 00 00 FF")), Hex("F7 02 00 08 00 8A 01 00"));
  }
  // Sends the image in chunks of 4,096 bytes and returns the chunk statuses.
  std::vector<int> SendHcImage(const Bytes& image, uint8_t counter = 0x10) {
    std::vector<int> statuses;
    for (size_t at = 0; at < image.size(); at += kSimChunkSize) {
      const size_t n = std::min<size_t>(kSimChunkSize, image.size() - at);
      const Bytes answer =
          Exchange(DataFrame(counter, Bytes(image.begin() + at, image.begin() + at + n)));
      EXPECT_EQ(answer.size(), 8u);
      if (answer.size() != 8)
        break;
      EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 7),
                Cat({{0xF7, counter}, Hex("00 08 00 DA 01")}));
      statuses.push_back(answer[7]);
      ++counter;
    }
    return statuses;
  }
  std::vector<int> SendCameraImage(const Bytes& image, uint8_t counter = 0x40) {
    std::vector<int> statuses;
    for (size_t at = 0; at < image.size(); at += kSimChunkSize) {
      const size_t n = std::min<size_t>(kSimChunkSize, image.size() - at);
      const Bytes answer = Exchange(
          RelayFrame(counter, 0xF7, 0xDA, Bytes(image.begin() + at, image.begin() + at + n)));
      // F4 cc 00 14 00 3C 01 00 FC 04 02 00 00 00 FD 00 + [status 00]
      EXPECT_EQ(answer.size(), 18u);
      if (answer.size() != 18)
        break;
      EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 16),
                Cat({{0xF4, counter}, Hex("00 10 00 3C 01 00 FC 04 02 00 00 00 FD 00")}));
      EXPECT_EQ(answer[17], 0);
      statuses.push_back(answer[16]);
      ++counter;
    }
    return statuses;
  }

  VirtualClock clock_;
  std::unique_ptr<SimHandController> hc_;  // outlives the bus
  std::unique_ptr<SimulatedBus> bus_;
  SimChip* chip_ = nullptr;
  FT_HANDLE handle_ = nullptr;
};

const Bytes kVersionRequest = {0xF8, 0x01, 0x01, 0xFF};
const Bytes kBootVersionAnswer = Hex("F8 01 00 0B 00 03 04 05 00 01 00");

// --- Wake-up and baud rate ---

struct WakeCase {
  const char* name;
  bool requireWakeUp;
  uint32_t wakeBaud;  // 0: no wake-up byte
  uint8_t wakeByte;
  bool answers;
};

class WakeUpTest : public SimDeviceTest, public ::testing::WithParamInterface<WakeCase> {};

TEST_P(WakeUpTest, AnswersOnlyAfterTheWakeUpByteAt9600) {
  const WakeCase& c = GetParam();
  HandControllerConfig config;
  config.requireWakeUp = c.requireWakeUp;
  Start(config, /*wake=*/false);
  if (c.wakeBaud != 0) {
    Baud(c.wakeBaud);
    Write({c.wakeByte});
  }
  Baud(3000000);
  EXPECT_EQ(Exchange(kVersionRequest), c.answers ? kBootVersionAnswer : Bytes{});
  EXPECT_EQ(hc_->IsAwake(), c.answers);
}

INSTANTIATE_TEST_SUITE_P(Cases, WakeUpTest,
                         ::testing::Values(WakeCase{"ZeroAt9600", true, 9600, 0x00, true},
                                           WakeCase{"NoWakeUp", true, 0, 0, false},
                                           WakeCase{"ZeroAtLineSpeed", true, 3000000, 0x00, false},
                                           WakeCase{"OtherByteAt9600", true, 9600, 0x55, false},
                                           WakeCase{"ZeroAt115200", true, 115200, 0x00, false},
                                           WakeCase{"NotRequired", false, 0, 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimDeviceTest, IgnoresFramesAtAnyOtherBaudRate) {
  Start();
  for (uint32_t baud : {9600u, 115200u, 1000000u}) {
    Baud(baud);
    EXPECT_EQ(Exchange(kVersionRequest), Bytes{}) << baud;
  }
  Baud(3000000);
  EXPECT_EQ(Exchange(kVersionRequest), kBootVersionAnswer);
  EXPECT_EQ(hc_->CommandCount(Unit::HandController, 0xF8, 0x01), 1u);
}

// --- Handshake ---

TEST_F(SimDeviceTest, VersionAnswerGivesModeAndBothWords) {
  HandControllerConfig config;
  config.mode = UnitMode::App;
  config.protocolVersion = 0x0203;
  config.protocolVersion2 = 0xBEEF;
  Start(config);
  EXPECT_EQ(Exchange(kVersionRequest), Hex("F8 01 00 0B 00 01 04 03 02 EF BE"));
  hc_->SetMode(Unit::HandController, UnitMode::Boot);
  EXPECT_EQ(Exchange(kVersionRequest), Hex("F8 01 00 0B 00 03 04 03 02 EF BE"));
}

TEST_F(SimDeviceTest, CatalogAnswerAnnouncesAndSendsTheDescriptorBlock) {
  Start();
  const Bytes block =
      Hex("03  F4 03 3C 02 C0 00 C1 00  F7 05 10 00 30 02 8A 03 8F 00 DA 00"
          "    F8 04 01 00 10 00 11 00 D1 00");
  EXPECT_EQ(Exchange(Hex("F8 02 0A FF")),
            Cat({Hex("F8 02 00 0F 00 0A 00 FC 04"), U32(static_cast<uint32_t>(block.size())),
                 Hex("FD 00"), block}));
}

TEST_F(SimDeviceTest, BulkAnswerLongerThanOneFrameGoesInPiecesWithFollowUpFrames) {
  HandControllerConfig config;
  Bytes block(70000);
  for (size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<uint8_t>(i * 7);
  config.catalogBlock = block;
  Start(config);
  const Bytes frame = Cat({Hex("F8 02 00 0F 00 0A 00 FC 04"), U32(70000), Hex("FD 00")});
  const size_t first = 65535 - frame.size();  // 65,520
  EXPECT_EQ(Exchange(Hex("F8 02 0A FF")), Cat({frame, Bytes(block.begin(), block.begin() + first),
                                               frame, Bytes(block.begin() + first, block.end())}));
}

// --- Queries ---

struct QueryCase {
  const char* name;
  Bytes command;
  Bytes answer;
};

class QueryTest : public SimDeviceTest, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(QueryTest, AnswersWithItsItems) {
  HandControllerConfig config;
  config.uniqueId = "AB";
  config.uniqueId += '\0';
  config.uniqueId += "CD";
  config.pcbId = 0x13;
  config.deviceText = "Hello";
  config.firmware = FirmwareConfig{0, 0x4010, 0x0123, 96, "Main"};
  Start(config);
  EXPECT_EQ(Exchange(GetParam().command), GetParam().answer);
}

Bytes FirmwareAnswer() {
  Bytes a = Hex("F7 07 00 38 00 10 31 00 10 40 23 01 60 00 00 00 4D 61 69 6E");
  a.resize(a.size() + 36, 0);
  return a;
}

Bytes DeviceTextAnswer() {
  Bytes a = Hex("F8 09 00 27 00 D1 20 48 65 6C 6C 6F");
  a.resize(a.size() + 27, 0);
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QueryTest,
    ::testing::Values(
        QueryCase{"Mode", Hex("F8 2A 01 FF"), Hex("F8 2A 00 0B 00 03 04 05 00 01 00")},
        QueryCase{"PcbId", Hex("F8 05 11 FF"), Hex("F8 05 00 08 00 11 01 13")},
        QueryCase{"UniqueId", Hex("F8 06 10 FF"),
                  Cat({Hex("F8 06 00 1F 00 10 18 56 58 33 00"),
                       U32(static_cast<uint32_t>(FlashDigest(Bytes{'A', 'B', 0, 'C', 'D'}))),
                       Hex("41 42 00 43 44 00 00 00 00 00 00 00 00 00 00 00")})},
        QueryCase{"DeviceText", Hex("F8 09 D1 FF"), DeviceTextAnswer()},
        QueryCase{"FirmwareInfo", Hex("F7 07 10 FF"), FirmwareAnswer()},
        QueryCase{"TwoParameters", Hex("F8 0B 11 01 FF"),
                  Hex("F8 0B 00 0E 00 11 01 13 03 04 05 00 01 00")},
        QueryCase{"UnknownCommand", Hex("99 0C 01 FF"), Hex("99 F0 10 05 00")},
        QueryCase{"UnknownParameter", Hex("F8 0D 77 FF"), Hex("F8 0D 12 05 00")},
        QueryCase{"RawByte", Hex("00"), Hex("00")}),
    [](const auto& info) { return std::string(info.param.name); });

struct FirmwareRecordCase {
  const char* name;
  std::optional<FirmwareConfig> firmware;
  Bytes answer;
};

class FirmwareRecordTest : public SimDeviceTest,
                           public ::testing::WithParamInterface<FirmwareRecordCase> {};

TEST_P(FirmwareRecordTest, StatusOnlyOrNoParameter) {
  HandControllerConfig config;
  config.firmware = GetParam().firmware;
  Start(config);
  EXPECT_EQ(Exchange(Hex("F7 03 10 FF")), GetParam().answer);
}

INSTANTIATE_TEST_SUITE_P(Cases, FirmwareRecordTest,
                         ::testing::Values(FirmwareRecordCase{"StatusOnly", FirmwareConfig{15},
                                                              Hex("F7 03 00 08 00 10 01 0F")},
                                           FirmwareRecordCase{"Absent", std::nullopt,
                                                              Hex("F7 03 00 05 00")}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimDeviceTest, FrameSplitOverManyWritesIsAnsweredOnce) {
  Start();
  const Bytes frame = DataFrame(0x21, Bytes(300, 0xFF));  // 0xFF inside the bulk block
  for (uint8_t b : frame)
    Write({b});
  EXPECT_EQ(ReadAll(), Hex("F7 21 00 08 00 DA 01 05"));  // not started
  ASSERT_FALSE(hc_->LastCommands().empty());
  const ParsedCommand& parsed = hc_->LastCommands().back();
  EXPECT_EQ(parsed.code, 0xF7);
  EXPECT_EQ(parsed.counter, 0x21);
  ASSERT_EQ(parsed.items.size(), 1u);
  EXPECT_EQ(parsed.items[0].code, 0xDA);
  EXPECT_TRUE(parsed.hasBulk);
  EXPECT_EQ(parsed.bulk, Bytes(300, 0xFF));
}

TEST_F(SimDeviceTest, UnknownParameterSkipsToTheEndMarkerAndResyncs) {
  Start();
  Write(Hex("F8 0D 77 12 34 FF"));
  EXPECT_EQ(Exchange(Hex("F8 0E 11 FF")), Hex("F8 0D 12 05 00 F8 0E 00 08 00 11 01 02"));
}

// --- HandController update ---

TEST_F(SimDeviceTest, HcUpdatePollsThenTakesTheImageAndReportsItsHeader) {
  HandControllerConfig config;
  config.update.notReadyPolls = 2;
  Start(config);
  OpenAndStartHc();
  const Bytes poll = DataFrame(0x03, {});
  EXPECT_EQ(Exchange(poll), Hex("F7 03 00 08 00 DA 01 66"));
  EXPECT_EQ(Exchange(poll), Hex("F7 03 00 08 00 DA 01 66"));
  EXPECT_EQ(Exchange(poll), Hex("F7 03 00 08 00 DA 01 00"));

  const Bytes image = MakeSimImage(0x0207, 0x3010, "New HC firmware", 5000);
  EXPECT_EQ(SendHcImage(image), (std::vector<int>{0, 13}));
  // The first chunk erased the old firmware; the new one counts from the end.
  EXPECT_EQ(hc_->Firmware(Unit::HandController)->status, 15);
  EXPECT_EQ(Exchange(Hex("F7 30 8F FF")), Hex("F7 30 00 05 00"));

  EXPECT_EQ(hc_->Flash(Unit::HandController), image);
  const FirmwareConfig& fw = *hc_->Firmware(Unit::HandController);
  EXPECT_EQ(fw.status, 0);
  EXPECT_EQ(fw.version, 0x0207);
  EXPECT_EQ(fw.flags, 0x3010);
  EXPECT_EQ(fw.sizeBlocks, 10u);  // 5,000 bytes rounded up to 512-byte blocks
  EXPECT_EQ(fw.description, "New HC firmware");
  Bytes info = Exchange(Hex("F7 31 10 FF"));
  ASSERT_EQ(info.size(), 56u);
  EXPECT_EQ(Bytes(info.begin() + 5, info.begin() + 16), Hex("10 31 00 10 30 07 02 0A 00 00 00"));
}

struct ChunkCase {
  const char* name;
  Bytes image;
  std::vector<int> statuses;
  uint8_t statusAfterEnd;  // firmware status once the procedure ended
};

std::vector<ChunkCase> ChunkCases() {
  Bytes longerThanHeader = MakeSimImage(1, 0, "x", 8192);
  longerThanHeader[8] = 0x88;  // header says 5,000 bytes
  longerThanHeader[9] = 0x13;
  Bytes shorterThanHeader = MakeSimImage(1, 0, "x", 2000);
  shorterThanHeader[8] = 0xB8;  // header says 3,000 bytes
  shorterThanHeader[9] = 0x0B;
  return {
      {"HeaderExact", MakeSimImage(1, 0, "x", 8193), {0, 0, 13}, 0},
      {"HeaderOneChunk", MakeSimImage(1, 0, "x", 4096), {13}, 0},
      {"MoreThanHeaderSays", longerThanHeader, {0, 1}, 9},
      {"LessThanHeaderSays", shorterThanHeader, {0}, 9},
      {"RawShortLastChunk", MakeRawImage(4097), {0, 13}, 0},
      {"RawMultipleOfChunk", MakeRawImage(8192), {0, 0}, 9},  // never saw its end
  };
}

class HcChunkTest : public SimDeviceTest, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(HcChunkTest, ChunkStatusesFollowTheImageLength) {
  const ChunkCase& c = GetParam();
  Start();
  OpenAndStartHc();
  EXPECT_EQ(SendHcImage(c.image), c.statuses);
  Exchange(Hex("F7 30 8F FF"));
  EXPECT_EQ(hc_->Firmware(Unit::HandController)->status, c.statusAfterEnd);
  EXPECT_EQ(hc_->Flash(Unit::HandController), c.image);
}

TEST_P(HcChunkTest, CameraChunksFollowTheSameRule) {
  const ChunkCase& c = GetParam();
  Start();
  ASSERT_EQ(Exchange(Hex("F4 01 C1 FF")), Hex("F4 01 00 08 00 C1 01 00"));
  ASSERT_EQ(Exchange(RelayFrame(0x02, 0xF7, 0x30, Hex("34 12"))),
            Hex("F4 02 00 10 00 3C 01 00 FC 04 01 00 00 00 FD 00 00"));
  EXPECT_EQ(SendCameraImage(c.image), c.statuses);
  EXPECT_EQ(hc_->Firmware(Unit::Camera)->status, 15);  // erased, not yet ended
  EXPECT_EQ(Exchange(Hex("F4 03 C0 FF")), Hex("F4 03 00 07 00 C0 00"));
  EXPECT_EQ(hc_->Firmware(Unit::Camera)->status, c.statusAfterEnd);
  EXPECT_EQ(hc_->Flash(Unit::Camera), c.image);
  EXPECT_FALSE(hc_->CameraStarted());
}

INSTANTIATE_TEST_SUITE_P(Cases, HcChunkTest, ::testing::ValuesIn(ChunkCases()),
                         [](const auto& info) { return std::string(info.param.name); });

struct RefusalCase {
  const char* name;
  UpdateConfig update;
  Bytes command;
  Bytes answer;
};

class HcRefusalTest : public SimDeviceTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(HcRefusalTest, RefusesAsConfigured) {
  HandControllerConfig config;
  config.update = GetParam().update;
  Start(config);
  Exchange(Hex("F7 01 30 34 12 FF"));
  Exchange(Hex("F7 02 8A 00 00 00 FF"));
  EXPECT_EQ(Exchange(GetParam().command), GetParam().answer);
}

INSTANTIATE_TEST_SUITE_P(Cases, HcRefusalTest,
                         ::testing::Values(RefusalCase{"RefuseOpen",
                                                       {0, false, true, false},
                                                       Hex("F7 05 30 34 12 FF"),
                                                       Hex("F7 05 00 05 00")},
                                           RefusalCase{"RefuseStart",
                                                       {0, false, false, true},
                                                       Hex("F7 05 8A 00 00 00 FF"),
                                                       Hex("F7 05 00 08 00 8A 01 01")},
                                           RefusalCase{"NoSpace",
                                                       {0, true, false, false},
                                                       DataFrame(0x05, {}),
                                                       Hex("F7 05 00 08 00 DA 01 EF")}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimDeviceTest, AppModeRefusesTheUpdateAndCameraCommands) {
  HandControllerConfig config;
  config.mode = UnitMode::App;
  Start(config);
  EXPECT_EQ(Exchange(Hex("F7 01 30 34 12 FF")), Hex("F7 01 20 05 00"));
  EXPECT_EQ(Exchange(Hex("F4 02 C1 FF")), Hex("F4 02 20 05 00"));
}

// --- Camera through the relay ---

TEST_F(SimDeviceTest, CameraQueriesThroughTheRelay) {
  Start();
  EXPECT_EQ(Exchange(RelayFrame(0x01, 0xF8, 0x01, {})), Hex("F4 01 00 08 00 3C 01 02"));
  EXPECT_EQ(Exchange(Hex("F4 02 C1 FF")), Hex("F4 02 00 08 00 C1 01 00"));
  EXPECT_TRUE(hc_->CameraStarted());
  EXPECT_EQ(Exchange(RelayFrame(0x03, 0xF8, 0x01, Bytes(16, 0))),
            Hex("F4 03 00 10 00 3C 01 00 FC 04 04 00 00 00 FD 00 02 B1 01 00"));
  EXPECT_EQ(Exchange(RelayFrame(0x04, 0xF8, 0x11, {})),
            Hex("F4 04 00 10 00 3C 01 00 FC 04 01 00 00 00 FD 00 01"));
  const Bytes info = Exchange(RelayFrame(0x05, 0xF7, 0x10, {}));
  ASSERT_EQ(info.size(), 16u + 49u);
  EXPECT_EQ(Bytes(info.begin() + 16, info.begin() + 25), Hex("00 00 20 04 01 80 00 00 00"));
  EXPECT_EQ(Exchange(RelayFrame(0x06, 0xF8, 0xD1, {})), Hex("F4 06 00 08 00 3C 01 04"));
  EXPECT_EQ(hc_->CommandCount(Unit::Camera, 0xF8, 0x01), 1u);
  EXPECT_EQ(hc_->CommandCount(Unit::HandController, 0xF4, 0x3C), 5u);
}

struct CameraStartCase {
  const char* name;
  bool present;
  bool refuseStart;
  uint8_t answer;
};

class CameraStartTest : public SimDeviceTest,
                        public ::testing::WithParamInterface<CameraStartCase> {};

TEST_P(CameraStartTest, StartAccessByte) {
  HandControllerConfig config;
  config.camera.present = GetParam().present;
  config.camera.update.refuseStart = GetParam().refuseStart;
  Start(config);
  EXPECT_EQ(Exchange(Hex("F4 07 C1 FF")), Cat({Hex("F4 07 00 08 00 C1 01"), {GetParam().answer}}));
  EXPECT_EQ(hc_->CameraStarted(), GetParam().answer == 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, CameraStartTest,
                         ::testing::Values(CameraStartCase{"Present", true, false, 0},
                                           CameraStartCase{"Absent", false, false, 1},
                                           CameraStartCase{"Refuses", true, true, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimDeviceTest, CameraUpdateReportsTheNewImageAfterEndAccess) {
  Start();
  Exchange(Hex("F4 01 C0 FF"));
  Exchange(Hex("F4 02 C1 FF"));
  Exchange(RelayFrame(0x03, 0xF7, 0x30, Hex("01 00")));
  const Bytes image = MakeSimImage(0x0310, 0x1000, "Cam fw 3.10", 6000);
  EXPECT_EQ(SendCameraImage(image), (std::vector<int>{0, 13}));
  Exchange(Hex("F4 05 C0 FF"));
  const FirmwareConfig& fw = *hc_->Firmware(Unit::Camera);
  EXPECT_EQ(fw.status, 0);
  EXPECT_EQ(fw.version, 0x0310);
  EXPECT_EQ(fw.flags, 0x1000);
  EXPECT_EQ(fw.sizeBlocks, 12u);
  EXPECT_EQ(fw.description, "Cam fw 3.10");
  // The HandController's own firmware is untouched.
  EXPECT_EQ(hc_->Firmware(Unit::HandController)->version, 0x0102);
  EXPECT_TRUE(hc_->Flash(Unit::HandController).empty());
}

// --- Faults ---

TEST_F(SimDeviceTest, FaultFiresOnTheThirdOccurrenceOnly) {
  Start();
  hc_->AddFault({Unit::HandController, 0xF7, 0xDA, 3, FaultAction::Timeout, 0});
  OpenAndStartHc();
  EXPECT_EQ(Exchange(DataFrame(0x03, {})), Hex("F7 03 00 08 00 DA 01 00"));  // 1st
  const Bytes image = MakeRawImage(9000);
  const Bytes chunk(image.begin(), image.begin() + 4096);
  EXPECT_EQ(Exchange(DataFrame(0x04, chunk)), Hex("F7 04 00 08 00 DA 01 00"));  // 2nd
  EXPECT_EQ(Exchange(DataFrame(0x05, chunk)), Bytes{});                         // 3rd: lost
  EXPECT_EQ(Exchange(DataFrame(0x06, chunk)), Hex("F7 06 00 08 00 DA 01 00"));  // 4th
  // The lost chunk never reached the flash.
  EXPECT_EQ(hc_->Flash(Unit::HandController).size(), 8192u);
}

struct FaultCase {
  const char* name;
  FaultAction action;
  int32_t value;
  Bytes answer;  // to the version request F8 01 01 FF
};

class FaultShapeTest : public SimDeviceTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultShapeTest, ShapesTheAnswer) {
  Start();
  hc_->AddFault({Unit::HandController, 0xF8, 0x01, 1, GetParam().action, GetParam().value});
  EXPECT_EQ(Exchange(kVersionRequest), GetParam().answer);
  EXPECT_EQ(Exchange(kVersionRequest), kBootVersionAnswer);  // once only
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FaultShapeTest,
    ::testing::Values(
        FaultCase{"Timeout", FaultAction::Timeout, 0, {}},
        FaultCase{"ShortFrame", FaultAction::ShortFrame, 0, Hex("F8 01 00 0B 00 03 04 05 00 01")},
        FaultCase{"ShortFrameBy6", FaultAction::ShortFrame, 6, Hex("F8 01 00 0B 00")},
        FaultCase{"ModeChange", FaultAction::AsyncModeChange, 0, Hex("FB AA 00 00 00")},
        FaultCase{"PowerOff", FaultAction::AsyncPowerOff, 0, Hex("FB 36 00 00 00")},
        FaultCase{"UnknownMessage", FaultAction::AsyncUnknown, 0x42, Hex("FB 42 00 00 00")},
        FaultCase{"AnswerType", FaultAction::AnswerType, 0x13, Hex("F8 01 13 05 00")},
        FaultCase{"InvalidCounter", FaultAction::InvalidCounter, 0,
                  Hex("F8 F0 00 0B 00 03 04 05 00 01 00")},
        FaultCase{"WrongId", FaultAction::WrongId, 0, Hex("F9 01 00 0B 00 03 04 05 00 01 00")},
        FaultCase{"WrongCounter", FaultAction::WrongCounter, 0,
                  Hex("F8 02 00 0B 00 03 04 05 00 01 00")},
        FaultCase{"BadHandshakeByte", FaultAction::CorruptByte, 6,
                  Hex("F8 01 00 0B 00 03 FB 05 00 01 00")},
        FaultCase{"Status", FaultAction::Status, 0x77, Hex("F8 01 00 0B 00 03 04 77 00 01 00")},
        FaultCase{"OversizedBulk", FaultAction::OversizedBulk, 200000,
                  Cat({Hex("F8 01 00 13 00 03 04 05 00 01 00 FC 04"), U32(200000), Hex("FD 00")})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimDeviceTest, CameraFaultsShapeTheRelayedAnswer) {
  Start();
  hc_->AddFault({Unit::Camera, 0xF7, 0xDA, 2, FaultAction::Status, 9});
  hc_->AddFault({Unit::Camera, 0xF8, 0x11, 1, FaultAction::Timeout, 0});
  hc_->AddFault({Unit::HandController, 0xF4, 0x3C, 5, FaultAction::Status, 1});
  Exchange(Hex("F4 01 C1 FF"));
  EXPECT_EQ(Exchange(RelayFrame(0x02, 0xF8, 0x11, {})), Hex("F4 02 00 08 00 3C 01 03"));  // 1st 60
  Exchange(RelayFrame(0x03, 0xF7, 0x30, Hex("01 00")));                                   // 2nd
  const Bytes image = MakeRawImage(5000);
  EXPECT_EQ(SendCameraImage(Bytes(image.begin(), image.begin() + 4096), 0x04),
            (std::vector<int>{0}));
  EXPECT_EQ(SendCameraImage(Bytes(image.begin() + 4096, image.end()), 0x05), (std::vector<int>{9}));
  // 5th relay: the relay status is overridden, the Camera's answer still follows.
  EXPECT_EQ(Exchange(RelayFrame(0x06, 0xF8, 0x11, {})),
            Hex("F4 06 00 10 00 3C 01 01 FC 04 01 00 00 00 FD 00 01"));
}

TEST_F(SimDeviceTest, InjectNextHitsWhateverComesNext) {
  Start();
  hc_->InjectNext(FaultAction::AsyncPowerOff);
  EXPECT_EQ(Exchange(Hex("F8 05 11 FF")), Hex("FB 36 00 00 00"));
  EXPECT_EQ(Exchange(Hex("F8 06 11 FF")), Hex("F8 06 00 08 00 11 01 02"));
}

TEST_F(SimDeviceTest, ChunkDelayHoldsBackTheChunkAnswer) {
  HandControllerConfig config;
  config.chunkDelayMs = 40;
  Start(config);
  OpenAndStartHc();
  const auto before = clock_.Now();
  Write(DataFrame(0x03, Bytes(100, 1)));
  Bytes answer(8);
  DWORD got = 0;
  ASSERT_EQ(bus_->FT_Read(handle_, answer.data(), 8, &got), FT_OK);
  EXPECT_EQ(got, 8u);
  EXPECT_GE(clock_.Now() - before, std::chrono::milliseconds(40));
}

// --- State ---

TEST_F(SimDeviceTest, FirmwareStateSurvivesSaveAndLoad) {
  Start();
  OpenAndStartHc();
  const Bytes image = MakeSimImage(0x0400, 0, "Saved", 300);
  SendHcImage(image);
  Exchange(Hex("F7 30 8F FF"));
  const SimFirmwareState saved = hc_->SaveFirmwareState();
  EXPECT_EQ(saved.handController.flashSize, 300u);
  EXPECT_EQ(saved.handController.flashDigest, FlashDigest(image));

  SimHandController other;
  other.LoadFirmwareState(saved);
  EXPECT_EQ(other.Firmware(Unit::HandController)->version, 0x0400);
  EXPECT_EQ(other.Firmware(Unit::HandController)->description, "Saved");
  EXPECT_EQ(other.FlashDigestOf(Unit::HandController), FlashDigest(image));
  const SimFirmwareState again = other.SaveFirmwareState();
  EXPECT_EQ(again.handController.flashSize, 300u);
  EXPECT_EQ(again.camera.firmware->version, saved.camera.firmware->version);
}

// --- Image convention and package writer ---

TEST(SimImageTest, HeaderRoundTripsAndRawImagesHaveNone) {
  const Bytes image = MakeSimImage(0x0123, 0x4010, "Desc", 1000, 7);
  ASSERT_EQ(image.size(), 1000u);
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 16),
            Hex("56 58 33 2D 53 49 4D 1A E8 03 00 00 10 40 23 01"));
  const auto header = ParseSimImage(image);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->length, 1000u);
  EXPECT_EQ(header->flags, 0x4010);
  EXPECT_EQ(header->version, 0x0123);
  EXPECT_EQ(header->description, "Desc");
  EXPECT_EQ(image, MakeSimImage(0x0123, 0x4010, "Desc", 1000, 7));  // deterministic
  EXPECT_EQ(MakeSimImage(1, 1, "", 10).size(), kSimImageHeaderSize);
  EXPECT_FALSE(ParseSimImage(MakeRawImage(5000)));
  EXPECT_FALSE(ParseSimImage(Bytes(image.begin(), image.begin() + 55)));
}

TEST(PackageWriterTest, WritesHeaderAndRecordsByteForByte) {
  PackageRecord hc;
  hc.kind = "HC";
  hc.version = 0x0123;
  hc.flags = 0x4040;
  hc.startCode = 0xA55A;
  hc.description = "HC";
  hc.data = {1, 2, 3};
  PackageRecord ca;
  ca.kind = "CA";
  ca.lengthField = 0x200000;
  const std::vector<PackageRecord> records = {hc, ca};
  Bytes expected = Hex("56 58 33 66 77 00  48 43 23 01 40 40 5A A5 48 43");
  expected.resize(expected.size() + 38, 0);
  expected = Cat({expected, Hex("03 00 00 00 01 02 03  43 41 00 00 00 00 00 00")});
  expected.resize(expected.size() + 40, 0);
  expected = Cat({expected, Hex("00 00 20 00")});
  EXPECT_EQ(BuildPackage(records), expected);

  const std::string path = ::testing::TempDir() + "/vexo3_package_writer_test.bin";
  ASSERT_TRUE(WritePackage(path, records, 10));
  std::ifstream in(path, std::ios::binary);
  const Bytes onDisk{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_EQ(onDisk, Bytes(expected.begin(), expected.begin() + 10));
  std::remove(path.c_str());
}

TEST(FaultSpellingTest, ParsesProfileActions) {
  struct Case {
    const char* text;
    bool ok;
    FaultAction action;
    int32_t value;
  };
  const Case cases[] = {
      {"timeout", true, FaultAction::Timeout, 0},
      {"answer-type:0x12", true, FaultAction::AnswerType, 0x12},
      {"status:239", true, FaultAction::Status, 239},
      {"short-frame", true, FaultAction::ShortFrame, 0},
      {"short-frame:3", true, FaultAction::ShortFrame, 3},
      {"async-power-off", true, FaultAction::AsyncPowerOff, 0},
      {"status", false, FaultAction::Timeout, 0},
      {"status:x", false, FaultAction::Timeout, 0},
      {"timeout:1", false, FaultAction::Timeout, 0},
      {"explode", false, FaultAction::Timeout, 0},
  };
  for (const Case& c : cases) {
    FaultAction action = FaultAction::Timeout;
    int32_t value = 0;
    EXPECT_EQ(ParseFaultAction(c.text, &action, &value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(action, c.action) << c.text;
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

}  // namespace
}  // namespace vexo3::sim
