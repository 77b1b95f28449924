#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/interposer.h"

namespace vexo3 {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::ProtocolRig;
using Direction = sim::TranscriptEntry::Direction;

const Bytes kVersionRequest = {0xF8, 0x01, 0x01, 0xFF};
const Bytes kCatalogRequest = {0xF8, 0x02, 0x0A, 0xFF};

std::vector<sim::TranscriptEntry> HostWrites(const sim::SimChip& chip) {
  std::vector<sim::TranscriptEntry> out;
  for (const auto& e : chip.Transcript())
    if (e.direction == Direction::HostToDevice)
      out.push_back(e);
  return out;
}

// Index of `entry` in the call log, or -1.
int CallIndex(const sim::SimChip& chip, const std::string& entry, int from = 0) {
  const auto& log = chip.CallLog();
  for (size_t i = static_cast<size_t>(from); i < log.size(); ++i)
    if (log[i] == entry)
      return static_cast<int>(i);
  return -1;
}

TEST(Session, FirstConnectionWakesTheDeviceOnce) {
  ProtocolRig rig;
  ASSERT_EQ(rig.session.OpenSession(), 0);

  const auto writes = HostWrites(rig.chip);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0].baudRate, 9600u);
  EXPECT_EQ(writes[0].bytes, Bytes{0x00});
  EXPECT_EQ(writes[1].baudRate, 3000000u);
  EXPECT_EQ(writes[1].bytes, kVersionRequest);
  EXPECT_EQ(writes[2].baudRate, 3000000u);
  EXPECT_EQ(writes[2].bytes, kCatalogRequest);
  // 550 ms of rest once the byte is in the chip: its 1 ms on the line at
  // 9600 baud lies inside them.
  EXPECT_GE(writes[1].time - writes[0].time, 550ms);
  EXPECT_LT(writes[1].time - writes[0].time, 560ms);

  // Open and configure in order, then the two baud rates.
  int at = 0;
  for (const char* call :
       {"FT_Open(0)", "FT_Purge(1)", "FT_Purge(2)", "FT_SetLatencyTimer(2)",
        "FT_SetTimeouts(1000,1000)", "FT_SetBitMode(0x00,0x20)", "FT_SetFlowControl(0x0100)",
        "FT_SetDataCharacteristics(8,0,0)", "FT_SetBaudRate(9600)", "FT_SetBaudRate(3000000)",
        "FT_SetTimeouts(2000,2000)", "FT_SetTimeouts(1000,1000)"}) {
    const int next = CallIndex(rig.chip, call, at);
    ASSERT_GE(next, 0) << call << " missing or out of order";
    at = next + 1;
  }

  EXPECT_EQ(rig.session.wakeUpPending, 0);
  EXPECT_EQ(rig.session.commandMessage.counter, 1);
  EXPECT_EQ(rig.session.readTimeoutMs, 1000);
  EXPECT_EQ(rig.session.writeTimeoutMs, 1000);
  EXPECT_EQ(rig.session.link->readTimeout, 1000u);
  EXPECT_FALSE(rig.session.catalog.IsEmpty());
}

TEST(Session, ReconnectAfterCloseSendsNoWakeUp) {
  ProtocolRig rig;
  ASSERT_EQ(rig.Connect(), 0);
  ASSERT_EQ(rig.session.CloseSession(), 0);
  EXPECT_FALSE(rig.chip.IsOpen());
  EXPECT_TRUE(rig.session.catalog.IsEmpty());

  ASSERT_EQ(rig.session.OpenSession(), 0);
  const auto writes = HostWrites(rig.chip);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].bytes, kVersionRequest);
  EXPECT_EQ(writes[0].baudRate, 3000000u);
  EXPECT_EQ(writes[1].bytes, kCatalogRequest);
  EXPECT_EQ(CallIndex(rig.chip, "FT_SetBaudRate(9600)"), -1);
}

TEST(Session, ConnectedSessionSendsNothing) {
  ProtocolRig rig;
  ASSERT_EQ(rig.Connect(), 0);
  const auto before = rig.clock.Now();
  EXPECT_EQ(rig.session.OpenSession(), 0);
  EXPECT_TRUE(rig.chip.Transcript().empty());
  EXPECT_EQ(rig.clock.Now(), before);
}

struct VersionCase {
  const char* name;
  sim::UnitMode mode;
  uint16_t version;
  uint16_t version2;
  int32_t bootMode;
};

class SessionVersion : public testing::TestWithParam<VersionCase> {};

TEST_P(SessionVersion, TakesModeAndVersionWords) {
  const VersionCase& c = GetParam();
  sim::HandControllerConfig cfg;
  cfg.mode = c.mode;
  cfg.protocolVersion = c.version;
  cfg.protocolVersion2 = c.version2;
  ProtocolRig rig(cfg);
  ASSERT_EQ(rig.session.OpenSession(), 0);
  EXPECT_EQ(rig.session.bootMode, c.bootMode);
  EXPECT_EQ(rig.session.protocolVersion, c.version);
  EXPECT_EQ(rig.session.protocolVersion2, c.version2);
}

INSTANTIATE_TEST_SUITE_P(Answers, SessionVersion,
                         testing::Values(VersionCase{"Boot261", sim::UnitMode::Boot, 0x0105, 1, 1},
                                         VersionCase{"App261", sim::UnitMode::App, 0x0105, 7, 0},
                                         VersionCase{"BootZero", sim::UnitMode::Boot, 0, 0, 1},
                                         VersionCase{"AppMax", sim::UnitMode::App, 0xFFFF, 0xFFFF,
                                                     0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SessionVersion, WordFiveOneIs261) {
  sim::HandControllerConfig cfg;
  cfg.protocolVersion = 0x0105;
  ProtocolRig rig(cfg);
  ASSERT_EQ(rig.session.OpenSession(), 0);
  EXPECT_EQ(rig.session.protocolVersion, 261);
  // The answer carried 05 01 at bytes 7 and 8.
  const Bytes read = rig.chip.HostReadBytes();
  ASSERT_GE(read.size(), 11u);
  EXPECT_EQ(read[7], 0x05);
  EXPECT_EQ(read[8], 0x01);
}

struct HandshakeFault {
  const char* name;
  uint8_t parameter;  // 1: version request, 10: catalog request
  sim::FaultAction action;
  int32_t value;
  ResultCode result;
};

class SessionHandshakeFault : public testing::TestWithParam<HandshakeFault> {};

TEST_P(SessionHandshakeFault, BadAnswerClosesTheLink) {
  const HandshakeFault& c = GetParam();
  ProtocolRig rig;
  rig.hc.AddFault(sim::Fault{sim::Unit::HandController, 0xF8, c.parameter, 1, c.action, c.value});
  const auto start = rig.clock.Now();
  EXPECT_EQ(rig.session.OpenSession(), c.result);
  if (c.result == 35) {
    EXPECT_FALSE(rig.chip.IsOpen());
    EXPECT_TRUE(rig.session.catalog.IsEmpty());
    // Nothing waits for the full 4 GiB block a device may announce.
    EXPECT_LT(rig.clock.Now() - start, 5000ms);
  } else {
    EXPECT_TRUE(rig.chip.IsOpen());
  }
}

using FA = sim::FaultAction;
INSTANTIATE_TEST_SUITE_P(
    Answers, SessionHandshakeFault,
    testing::Values(HandshakeFault{"VersionTimeout", 1, FA::Timeout, 0, 35},
                    HandshakeFault{"VersionTenBytes", 1, FA::ShortFrame, 1, 35},
                    HandshakeFault{"VersionId", 1, FA::CorruptByte, 0, 35},
                    HandshakeFault{"VersionCounter", 1, FA::CorruptByte, 1, 35},
                    HandshakeFault{"VersionType", 1, FA::CorruptByte, 2, 35},
                    HandshakeFault{"VersionLengthLow", 1, FA::CorruptByte, 3, 35},
                    HandshakeFault{"VersionLengthHigh", 1, FA::CorruptByte, 4, 35},
                    HandshakeFault{"VersionItemLength", 1, FA::CorruptByte, 6, 35},
                    HandshakeFault{"VersionModeIsNotChecked", 1, FA::CorruptByte, 5, 0},
                    HandshakeFault{"CatalogTimeout", 10, FA::Timeout, 0, 35},
                    HandshakeFault{"CatalogShort", 10, FA::ShortFrame, 1, 35},
                    HandshakeFault{"CatalogId", 10, FA::CorruptByte, 0, 35},
                    HandshakeFault{"CatalogLength", 10, FA::CorruptByte, 3, 35},
                    HandshakeFault{"CatalogItem", 10, FA::CorruptByte, 5, 35},
                    HandshakeFault{"CatalogAnnouncement", 10, FA::CorruptByte, 7, 35},
                    HandshakeFault{"CatalogAnnouncementLength", 10, FA::CorruptByte, 8, 35},
                    HandshakeFault{"CatalogBulkStart", 10, FA::CorruptByte, 13, 35},
                    HandshakeFault{"CatalogLastByteIsNotChecked", 10, FA::CorruptByte, 14, 0},
                    HandshakeFault{"CatalogBlockShort", 10, FA::OversizedBulk, 100, 35},
                    HandshakeFault{"CatalogBlockHuge", 10, FA::OversizedBulk, -1, 35},
                    HandshakeFault{"CatalogBlockJustTooLarge", 10, FA::OversizedBulk, 130562, 35}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SessionHandshake, OversizedCatalogIsRefusedBeforeReading) {
  ProtocolRig rig;
  rig.hc.AddFault(sim::Fault{sim::Unit::HandController, 0xF8, 10, 1, FA::OversizedBulk, 130562});
  const auto start = rig.clock.Now();
  ASSERT_EQ(rig.session.OpenSession(), 35);
  // Version answer and catalog answer only: the block itself is never read,
  // so no read time-out runs out either.
  EXPECT_EQ(rig.Reads(), 2u);
  EXPECT_LT(rig.clock.Now() - start, 1000ms);
}

// The largest well-formed block arrives in one piece right after the answer.
TEST(SessionHandshake, LargestWellFormedCatalogIsAccepted) {
  Bytes block{0xFF};
  for (int c = 0; c < 255; ++c) {
    block.push_back(static_cast<uint8_t>(c));
    block.push_back(0xFF);
    for (int p = 0; p < 255; ++p) {
      block.push_back(static_cast<uint8_t>(p));
      block.push_back(1);
    }
  }
  ASSERT_EQ(block.size(), DeviceSession::kMaxCatalogBlock);
  Bytes answer = {0xF8, 0x02, 0x00, 0x0F, 0x00, 0x0A, 0x00, 0xFC,
                  0x04, 0x01, 0xFE, 0x01, 0x00, 0xFD, 0x00};
  answer.insert(answer.end(), block.begin(), block.end());

  VirtualClock clock;
  test::Interposer peer;
  peer.Expect({0x00}, {}, {}, 9600)
      .Expect(kVersionRequest, {0xF8, 0x01, 0x00, 0x0B, 0x00, 0x03, 0x04, 0x05, 0x01, 0x00, 0x00})
      .Expect(kCatalogRequest, answer);
  sim::SimulatedBus bus(clock);
  bus.AddChip(sim::ChipInfo{}, &peer);
  DeviceSession session(bus, clock);
  ASSERT_EQ(session.OpenSession(), 0);
  EXPECT_TRUE(peer.Clean());
  EXPECT_EQ(session.catalog.Commands().size(), 255u);
  EXPECT_EQ(session.protocolVersion, 261);
  EXPECT_EQ(session.bootMode, 1);
}

TEST(SessionHandshake, ZeroSizeCatalogConnectsUnchecked) {
  sim::HandControllerConfig cfg;
  cfg.catalogBlock = Bytes{};
  ProtocolRig rig(cfg);
  ASSERT_EQ(rig.session.OpenSession(), 0);
  EXPECT_TRUE(rig.session.catalog.IsEmpty());
  EXPECT_EQ(rig.Reads(), 2u);
  EXPECT_EQ(rig.session.BeginCommand(0x42), 0);
  EXPECT_EQ(rig.session.AddParameter(0x99, nullptr, 0), 0);
}

TEST(SessionHandshake, MalformedCatalogStillConnects) {
  sim::HandControllerConfig cfg;
  cfg.catalogBlock = Bytes{0x02, 0xF7, 0x01, 0x30, 0x02, 0xF8};
  ProtocolRig rig(cfg);
  ASSERT_EQ(rig.session.OpenSession(), 0);
  EXPECT_EQ(rig.session.BeginCommand(0xF8), 0);
  EXPECT_EQ(rig.session.AddParameter(0x01, nullptr, 0), 202);
  EXPECT_EQ(rig.session.BeginCommand(0xF4), 201);
}

TEST(SessionWakeUp, LineHeldOffThroughTheWakeUpFailsTheHandshake) {
  // D2XX can't tell that the chip holds the byte back: the wake-up goes on,
  // the version request waits behind it and gets no answer.
  ProtocolRig rig;
  rig.chip.SetCtsHeld(true);
  const auto start = rig.clock.Now();
  EXPECT_EQ(rig.session.OpenSession(), 35);
  const auto waited = rig.clock.Now() - start;
  EXPECT_GE(waited, 550ms + 2000ms);  // the rest, then the version answer's time-out
  EXPECT_LT(waited, 2600ms);
  EXPECT_FALSE(rig.chip.IsOpen());
  EXPECT_EQ(rig.session.protocolVersion, -1);
  EXPECT_TRUE(HostWrites(rig.chip).empty());  // nothing reached the unit
}

struct OpenFailure {
  const char* name;
  sim::D2xxCall call;
  uint32_t skip;
  ResultCode result;
  bool linkOpen;
};

class SessionOpenFailure : public testing::TestWithParam<OpenFailure> {};

TEST_P(SessionOpenFailure, ReportsTheStep) {
  const OpenFailure& c = GetParam();
  ProtocolRig rig;
  rig.bus.FailCall(c.call, FT_IO_ERROR, 1, c.skip);
  EXPECT_EQ(rig.session.OpenSession(), c.result);
  EXPECT_EQ(rig.chip.IsOpen(), c.linkOpen);
  EXPECT_EQ(rig.session.protocolVersion, -1);
  // Time-outs of the version request are put back.
  EXPECT_EQ(rig.session.readTimeoutMs, 1000);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SessionOpenFailure,
    testing::Values(OpenFailure{"Open", sim::D2xxCall::Open, 0, 1, false},
                    OpenFailure{"Purge", sim::D2xxCall::Purge, 1, 9, true},
                    OpenFailure{"Latency", sim::D2xxCall::SetLatencyTimer, 0, 9, true},
                    OpenFailure{"Timeouts", sim::D2xxCall::SetTimeouts, 0, 9, true},
                    OpenFailure{"BitMode", sim::D2xxCall::SetBitMode, 0, 9, true},
                    OpenFailure{"Flow", sim::D2xxCall::SetFlowControl, 0, 9, true},
                    OpenFailure{"DataFormat", sim::D2xxCall::SetDataCharacteristics, 0, 9, true},
                    OpenFailure{"WakeUpBaud", sim::D2xxCall::SetBaudRate, 0, 9, true},
                    OpenFailure{"WakeUpWrite", sim::D2xxCall::Write, 0, 9, true},
                    OpenFailure{"LineBaud", sim::D2xxCall::SetBaudRate, 1, 9, true},
                    OpenFailure{"VersionWrite", sim::D2xxCall::Write, 1, 9, true},
                    OpenFailure{"VersionRead", sim::D2xxCall::Read, 0, 35, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SessionOpenFailure, CatalogWriteFailureKeepsTheVersion) {
  ProtocolRig rig;
  rig.bus.FailCall(sim::D2xxCall::Write, FT_IO_ERROR, 1, 2);
  EXPECT_EQ(rig.session.OpenSession(), 9);
  EXPECT_TRUE(rig.chip.IsOpen());
  EXPECT_EQ(rig.session.protocolVersion, 0x0005);
  // Counts as connected: the next OpenSession sends nothing.
  rig.chip.ClearRecords();
  EXPECT_EQ(rig.session.OpenSession(), 0);
  EXPECT_TRUE(rig.chip.Transcript().empty());
}

TEST(SessionOpenFailure, NoDeviceIsOne) {
  VirtualClock clock;
  sim::SimulatedBus bus(clock);
  DeviceSession session(bus, clock);
  EXPECT_EQ(session.OpenSession(), 1);
  sim::ChipInfo prototype;
  prototype.description = "Vexo-3 Prototype";
  bus.AddChip(prototype, nullptr);
  EXPECT_EQ(session.OpenSession(), 1);
}

// One 248/1 exchange, so that the drain reads whole frames afterwards.
void Exchange(ProtocolRig& rig) {
  ASSERT_EQ(rig.session.BeginCommand(0xF8), 0);
  ASSERT_EQ(rig.session.AddParameter(0x01, nullptr, 0), 0);
  ASSERT_EQ(rig.session.SendCommand(), 0);
  ASSERT_EQ(rig.session.ReceiveAnswer(), 0);
  rig.chip.ClearRecords();
}

TEST(SessionAsync, ModeChangeWhileIdleWaitsThreeSecondsAndHandshakesAgain) {
  ProtocolRig rig;
  ASSERT_EQ(rig.Connect(), 0);
  Exchange(rig);
  const Bytes modeChange = {0xFB, 0xAA, 0x00, 0x00, 0x00};
  rig.chip.Send(modeChange);
  rig.clock.Advance(10ms);  // it has reached the host's queue
  const auto start = rig.clock.Now();
  ASSERT_EQ(rig.session.OpenSession(), 0);
  const auto writes = HostWrites(rig.chip);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].bytes, kVersionRequest);
  EXPECT_GE(writes[0].time - start, 3000ms);
  EXPECT_EQ(rig.session.pendingDelayMs, 0);
}

TEST(SessionAsync, PowerOffWhileIdleClosesTheLink) {
  ProtocolRig rig;
  ASSERT_EQ(rig.Connect(), 0);
  Exchange(rig);
  rig.chip.Send(Bytes{0xFB, 0x36, 0x00, 0x00, 0x00});
  rig.clock.Advance(10ms);  // it has reached the host's queue
  EXPECT_EQ(rig.session.OpenSession(), 13);
  EXPECT_FALSE(rig.chip.IsOpen());
  EXPECT_EQ(rig.session.pendingDelayMs, 500);

  // The next attempt waits 500 ms, reopens without a wake-up and connects.
  rig.chip.ClearRecords();
  const auto start = rig.clock.Now();
  ASSERT_EQ(rig.session.OpenSession(), 0);
  const auto writes = HostWrites(rig.chip);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].bytes, kVersionRequest);
  EXPECT_GE(writes[0].time - start, 500ms);
}

TEST(SessionAsync, UnknownMessageWhileIdleIsFourteen) {
  ProtocolRig rig;
  ASSERT_EQ(rig.Connect(), 0);
  Exchange(rig);
  rig.chip.Send(Bytes{0xFB, 0x01, 0x00, 0x00, 0x00});
  rig.clock.Advance(10ms);  // it has reached the host's queue
  EXPECT_EQ(rig.session.OpenSession(), 14);
  EXPECT_TRUE(rig.chip.IsOpen());
  EXPECT_EQ(rig.session.pendingDelayMs, 500);
}

TEST(SessionDrain, StaleBytesBeforeTheFirstCommandGoOneAtATime) {
  ProtocolRig rig;
  ASSERT_EQ(rig.Connect(), 0);
  ASSERT_EQ(rig.session.commandMessage.buffer[0], 0x00);
  rig.chip.Send(Bytes{0x11, 0x22, 0x33});
  rig.clock.Advance(10ms);  // it has reached the host's queue
  const uint32_t reads = rig.Reads();
  EXPECT_EQ(rig.session.OpenSession(), 0);
  EXPECT_EQ(rig.Reads() - reads, 3u);
  EXPECT_TRUE(rig.chip.Transcript().size() == 3u);  // three 1-byte reads, nothing written
}

TEST(SessionDrain, ReadThatKeepsFailingDoesNotSpin) {
  ProtocolRig rig;
  ASSERT_EQ(rig.Connect(), 0);
  rig.chip.Send(Bytes{0x11});
  rig.bus.FailCall(sim::D2xxCall::Read, FT_IO_ERROR, 1000000);
  EXPECT_EQ(rig.session.OpenSession(), 0);
}

TEST(SessionClose, ClosedSessionClosesAgainAndEmptiesTheCatalog) {
  ProtocolRig rig;
  EXPECT_EQ(rig.session.CloseSession(), 0);
  rig.session.catalog.LoadCatalog(Bytes{0x01, 0xF8, 0x00}.data(), 3);
  EXPECT_EQ(rig.session.CloseSession(), 0);
  EXPECT_TRUE(rig.session.catalog.IsEmpty());
}

TEST(SessionClose, FailedCloseKeepsLinkAndCatalog) {
  ProtocolRig rig;
  ASSERT_EQ(rig.Connect(), 0);
  rig.bus.FailCall(sim::D2xxCall::Close, FT_IO_ERROR);
  EXPECT_EQ(rig.session.CloseSession(), 9);
  EXPECT_TRUE(rig.chip.IsOpen());
  EXPECT_FALSE(rig.session.catalog.IsEmpty());
}

TEST(SessionTimeouts, ScopeRestoresOnEveryWayOut) {
  ProtocolRig rig;
  ASSERT_EQ(rig.Connect(), 0);
  {
    TimeoutScope scope(&rig.session);
    EXPECT_EQ(scope.state, 0);
    EXPECT_EQ(rig.session.SetSessionTimeouts(5000, 3000), 0);
    EXPECT_EQ(rig.session.link->readTimeout, 5000u);
  }
  EXPECT_EQ(rig.session.link->readTimeout, 1000u);
  EXPECT_EQ(rig.session.link->writeTimeout, 1000u);
  EXPECT_EQ(rig.session.readTimeoutMs, 1000);

  TimeoutScope scope(&rig.session);
  rig.session.SetSessionTimeouts(4000, 4000);
  rig.bus.FailCall(sim::D2xxCall::SetTimeouts, FT_IO_ERROR);
  scope.End();
  EXPECT_EQ(scope.state, 9);
  scope.End();  // runs once only
  EXPECT_EQ(scope.state, 9);
}

TEST(SessionTimeouts, ClosedLinkOnlyStoresThem) {
  ProtocolRig rig;
  TimeoutScope scope(&rig.session);
  EXPECT_EQ(scope.state, 2);
  EXPECT_EQ(rig.session.SetSessionTimeouts(3000, 4000), 0);
  scope.End();
  EXPECT_EQ(rig.session.readTimeoutMs, 3000);
  EXPECT_EQ(rig.session.writeTimeoutMs, 4000);
  // The next open applies them.
  ASSERT_EQ(rig.session.OpenSession(), 0);
  EXPECT_GE(CallIndex(rig.chip, "FT_SetTimeouts(3000,4000)"), 0);
}

}  // namespace
}  // namespace vexo3

namespace vexo3 {
namespace {

TEST(SessionTeardown, ClosesTheLink) {
  ProtocolRig rig;
  auto session = std::make_unique<DeviceSession>(rig.bus, rig.clock);
  ASSERT_EQ(rig.session.CloseSession(), 0);
  ASSERT_EQ(session->OpenSession(), 0);
  EXPECT_TRUE(rig.chip.IsOpen());
  session.reset();
  EXPECT_FALSE(rig.chip.IsOpen());
}

}  // namespace
}  // namespace vexo3
