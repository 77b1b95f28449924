#include "link/ftdi_device.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sim/bus/sim_bus.h"
#include "support/interposer.h"

namespace vexo3 {
namespace {

using sim::ChipInfo;
using sim::D2xxCall;
using std::chrono::milliseconds;

ChipInfo Chip(std::string description, std::string serial = "VX300001",
              ULONG usbId = FtdiDevice::kUsbId) {
  ChipInfo info;
  info.description = std::move(description);
  info.serial = std::move(serial);
  info.usbId = usbId;
  return info;
}

class FtdiDeviceTest : public testing::Test {
 protected:
  // Opens like the session does, with its time-outs.
  void OpenConfigured(uint32_t readMs = 1000, uint32_t writeMs = 1000) {
    link.deviceSelector = 3;
    ASSERT_EQ(link.OpenDevice(), 0) << link.errorText;
    ASSERT_EQ(link.SetTimeouts(readMs, writeMs), 0);
    ASSERT_EQ(link.SetBaudRate(3000000), 0);
  }

  VirtualClock clock;
  test::Interposer peer;  // outlives the link, which closes its chip on the way out
  sim::SimulatedBus bus{clock};
  FtdiDevice link{bus};
};

TEST_F(FtdiDeviceTest, StartsInTheDocumentedState) {
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(link.deviceSelector, 0);
  EXPECT_STREQ(link.errorText, "");
  EXPECT_EQ(link.readTimeout, 5000u);
  EXPECT_EQ(link.writeTimeout, 5000u);
}

TEST_F(FtdiDeviceTest, NoDeviceFindsNothingWithoutErrorText) {
  EXPECT_EQ(link.FindDevice(), -1);
  EXPECT_STREQ(link.errorText, "");
  EXPECT_EQ(link.OpenDevice(), 1);
  EXPECT_STREQ(link.errorText, "");
  EXPECT_FALSE(link.IsOpen());
}

TEST_F(FtdiDeviceTest, TwoMatchingChipsOpenTheFirst) {
  bus.AddChip(Chip("Vexo-3 HandController", "FIRST"), nullptr);
  bus.AddChip(Chip("Vexo-3 HandController", "SECOND"), nullptr);
  link.deviceSelector = 3;
  ASSERT_EQ(link.OpenDevice(), 0);
  EXPECT_TRUE(bus.Chip(0).IsOpen());
  EXPECT_FALSE(bus.Chip(1).IsOpen());
  EXPECT_STREQ(link.QuerySerial(), "FIRST");
}

TEST_F(FtdiDeviceTest, HandControllerSelectorSkipsAPrototype) {
  bus.AddChip(Chip("Vexo-3 Prototype"), nullptr);
  link.deviceSelector = 3;
  EXPECT_EQ(link.FindDevice(), -1);
  EXPECT_EQ(link.OpenDevice(), 1);
  EXPECT_FALSE(bus.Chip(0).IsOpen());

  bus.AddChip(Chip("Vexo-3 HandController"), nullptr);
  EXPECT_EQ(link.FindDevice(), 1);
}

struct SelectorCase {
  int32_t selector;
  const char* description;
  ULONG usbId;
  bool found;
};

class SelectorTest : public FtdiDeviceTest, public testing::WithParamInterface<SelectorCase> {};

TEST_P(SelectorTest, AcceptsExactlyItsDescriptions) {
  const SelectorCase& c = GetParam();
  bus.AddChip(Chip(c.description, "S", c.usbId), nullptr);
  link.deviceSelector = c.selector;
  EXPECT_EQ(link.FindDevice(), c.found ? 0 : -1);
}

constexpr ULONG kOtherId = 0x04036001;

INSTANTIATE_TEST_SUITE_P(
    Table, SelectorTest,
    testing::Values(SelectorCase{0, "anything at all", FtdiDevice::kUsbId, true},
                    SelectorCase{0, "", FtdiDevice::kUsbId, true},
                    SelectorCase{0, "Vexo-3 HandController", kOtherId, false},
                    SelectorCase{1, "Vexo-3 Prototype", FtdiDevice::kUsbId, true},
                    SelectorCase{1, "KORVANT Vexo-3 proto demo", FtdiDevice::kUsbId, true},
                    SelectorCase{1, "Vexo-3 HandController", FtdiDevice::kUsbId, true},
                    SelectorCase{1, "USB <-> Serial Converter", FtdiDevice::kUsbId, false},
                    SelectorCase{2, "USB <-> Serial Converter", FtdiDevice::kUsbId, true},
                    SelectorCase{2, "Vexo-3 HandController", FtdiDevice::kUsbId, false},
                    SelectorCase{3, "Vexo-3 HandController", FtdiDevice::kUsbId, true},
                    SelectorCase{3, "Vexo-3 HandController", kOtherId, false},
                    SelectorCase{3, "Vexo-3 Prototype", FtdiDevice::kUsbId, false},
                    SelectorCase{3, "vexo-3 handcontroller", FtdiDevice::kUsbId, false},
                    SelectorCase{3, "Vexo-3 HandController ", FtdiDevice::kUsbId, false},
                    SelectorCase{3, "Vexo-3 HandControlle", FtdiDevice::kUsbId, false},
                    SelectorCase{4, "Vexo-3 HandController", FtdiDevice::kUsbId, false},
                    SelectorCase{-1, "Vexo-3 HandController", FtdiDevice::kUsbId, false}));

TEST_F(FtdiDeviceTest, SerialFilterPicksTheSecondOfTwo) {
  bus.AddChip(Chip("Vexo-3 HandController", "VX300001"), nullptr);
  bus.AddChip(Chip("Vexo-3 HandController", "VX300002"), nullptr);
  link.deviceSelector = 3;
  link.SetSerialFilter("VX300002");
  EXPECT_EQ(link.FindDevice(), 1);
  link.SetSerialFilter("VX3000");  // whole text only
  EXPECT_EQ(link.FindDevice(), -1);
  link.SetSerialFilter("");
  EXPECT_EQ(link.FindDevice(), 0);
}

TEST_F(FtdiDeviceTest, InaccessibleChipIsNotChosen) {
  ChipInfo busy = Chip("Vexo-3 HandController");
  busy.inaccessible = true;
  bus.AddChip(busy, nullptr);
  link.deviceSelector = 3;
  EXPECT_EQ(link.OpenDevice(), 1);
  link.deviceSelector = 0;  // the id alone picks it, but it can't be opened
  EXPECT_EQ(link.OpenDevice(), static_cast<int32_t>(FT_DEVICE_NOT_OPENED));
  EXPECT_STREQ(link.errorText, "FT_Open failed (code 3 ($3))");
  EXPECT_FALSE(link.IsOpen());
}

// The link's verdict on each kind of chip the driver may list, as the
// session's link (selector 3, serial filter VX300001) sees it; FindDevice
// takes exactly the chips judged kOpens.
TEST_F(FtdiDeviceTest, ListChipsJudgesEachRecordAsFindDeviceDoes) {
  using V = FtdiDevice::ChipVerdict;
  struct Row {
    const char* name;
    ChipInfo chip;
    bool inaccessible, openElsewhere, listedBlank;
    V verdict;
    ULONG listedId;  // what the driver's record says
  };
  // clang-format off
  const Row rows[] = {
      {"HandController",          Chip("Vexo-3 HandController"),               false, false, false, V::kOpens,            FtdiDevice::kUsbId},
      {"can't be read",           Chip("Vexo-3 HandController"),               true,  false, false, V::kUnreadable,       FtdiDevice::kUsbId},
      {"in use, listed blank",    Chip("Vexo-3 HandController"),               false, true,  true,  V::kInUseElsewhere,   0},
      {"in use, strings listed",  Chip("Vexo-3 HandController"),               false, true,  false, V::kOpens,            FtdiDevice::kUsbId},
      {"other description",       Chip("Vexo-3 Prototype"),                    false, false, false, V::kOtherDescription, FtdiDevice::kUsbId},
      {"other USB id",            Chip("Vexo-3 HandController", "VX300001", kOtherId), false, false, false, V::kOtherUsbId, kOtherId},
      {"other serial",            Chip("Vexo-3 HandController", "VX300002"),   false, false, false, V::kOtherSerial,      FtdiDevice::kUsbId},
  };
  // clang-format on
  for (const Row& row : rows) {
    ChipInfo info = row.chip;
    info.inaccessible = row.inaccessible;
    info.openElsewhere = row.openElsewhere;
    info.listedBlank = row.listedBlank;
    bus.AddChip(info, nullptr);
  }
  link.deviceSelector = FtdiDevice::kHandControllerSelector;
  link.SetSerialFilter("VX300001");
  std::vector<FtdiDevice::ChipRecord> chips;
  ASSERT_EQ(link.ListChips(&chips), 0) << link.errorText;
  ASSERT_EQ(chips.size(), std::size(rows));
  for (size_t i = 0; i < chips.size(); ++i) {
    SCOPED_TRACE(rows[i].name);
    EXPECT_EQ(chips[i].index, static_cast<int32_t>(i));
    EXPECT_EQ(chips[i].node.ID, rows[i].listedId);
    EXPECT_EQ(FtdiDevice::Judge(chips[i].node, link.deviceSelector, link.SerialFilter()),
              rows[i].verdict);
  }
  EXPECT_EQ(link.FindDevice(), 0);
  // Without the first chip FindDevice moves on to the next kOpens, past the
  // unreadable and the blank one.
  bus.Chip(0).MutableInfo().description = "Vexo-3 Prototype";
  EXPECT_EQ(link.FindDevice(), 3);
  EXPECT_EQ(link.OpenDevice(), static_cast<int32_t>(FT_DEVICE_NOT_OPENED));
}

TEST_F(FtdiDeviceTest, OpenReadsThePinsAndPurgesBothQueues) {
  bus.AddChip(Chip("Vexo-3 HandController"), nullptr);
  link.deviceSelector = 3;
  ASSERT_EQ(link.OpenDevice(), 0);
  EXPECT_EQ(bus.Chip(0).CallCount(D2xxCall::GetBitMode), 1u);
  EXPECT_EQ(bus.Chip(0).CallLog(), (std::vector<std::string>{"FT_Open(0)", "FT_Purge(3)"}));
}

TEST_F(FtdiDeviceTest, FindDeviceOnAnOpenObjectReopens) {
  bus.AddChip(Chip("Vexo-3 HandController"), nullptr);
  link.deviceSelector = 3;
  ASSERT_EQ(link.OpenDevice(), 0);
  ASSERT_EQ(link.OpenDevice(), 0);
  EXPECT_EQ(bus.Chip(0).CallCount(D2xxCall::Close), 1u);
  EXPECT_EQ(bus.Chip(0).CallCount(D2xxCall::Open), 2u);
  EXPECT_TRUE(link.IsOpen());
}

TEST_F(FtdiDeviceTest, ConfigurationCallsPassTheirValuesInTheSessionOrder) {
  bus.AddChip(Chip("Vexo-3 HandController"), nullptr);
  link.deviceSelector = 3;
  ASSERT_EQ(link.OpenDevice(), 0);
  bus.Chip(0).ClearRecords();
  EXPECT_EQ(link.FlushInBuffer(), 0);
  EXPECT_EQ(link.FlushOutBuffer(), 0);
  EXPECT_EQ(link.SetLatencyTimer(), 0);
  EXPECT_EQ(link.SetTimeouts(1000, 1000), 0);
  EXPECT_EQ(link.SetBitInput(), 0);
  EXPECT_EQ(link.SetRTSCTS(), 0);
  EXPECT_EQ(link.SetDataFormat(), 0);
  EXPECT_EQ(link.SetBaudRate(9600), 0);
  EXPECT_EQ(link.SetBaudRate(3000000), 0);
  EXPECT_EQ(
      bus.Chip(0).CallLog(),
      (std::vector<std::string>{"FT_Purge(1)", "FT_Purge(2)", "FT_SetLatencyTimer(2)",
                                "FT_SetTimeouts(1000,1000)", "FT_SetBitMode(0x00,0x20)",
                                "FT_SetFlowControl(0x0100)", "FT_SetDataCharacteristics(8,0,0)",
                                "FT_SetBaudRate(9600)", "FT_SetBaudRate(3000000)"}));
  const sim::LineSettings& line = bus.Chip(0).Line();
  EXPECT_EQ(line.baudRate, 3000000u);
  EXPECT_EQ(line.flowControl, FT_FLOW_RTS_CTS);
  EXPECT_EQ(line.latencyMs, 2);
  EXPECT_EQ(line.bitMode, FT_BITMODE_CBUS_BITBANG);
  EXPECT_EQ(link.readTimeout, 1000u);
  EXPECT_EQ(link.writeTimeout, 1000u);
}

struct ConfigFailureCase {
  const char* name;
  D2xxCall call;
  std::function<int32_t(FtdiDevice&)> op;
  const char* text;
};

class ConfigFailureTest : public FtdiDeviceTest,
                          public testing::WithParamInterface<ConfigFailureCase> {};

TEST_P(ConfigFailureTest, RecordsTheStatusAndReturnsOne) {
  bus.AddChip(Chip("Vexo-3 HandController"), nullptr);
  OpenConfigured(700, 800);
  bus.FailCall(GetParam().call, FT_IO_ERROR);
  EXPECT_EQ(GetParam().op(link), 1);
  EXPECT_STREQ(link.errorText, GetParam().text);
  EXPECT_EQ(link.lastStatus, FT_IO_ERROR);
  // A refused time-out leaves the last applied one.
  EXPECT_EQ(link.readTimeout, 700u);
  EXPECT_EQ(link.writeTimeout, 800u);
  EXPECT_TRUE(link.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConfigFailureTest,
    testing::Values(
        ConfigFailureCase{"DataFormat", D2xxCall::SetDataCharacteristics,
                          [](FtdiDevice& d) { return d.SetDataFormat(); },
                          "FT_SetDataCharacteristics failed (code 4 ($4))"},
        ConfigFailureCase{"BaudRate", D2xxCall::SetBaudRate,
                          [](FtdiDevice& d) { return d.SetBaudRate(9600); },
                          "FT_SetBaudRate failed (code 4 ($4))"},
        ConfigFailureCase{"RtsCts", D2xxCall::SetFlowControl,
                          [](FtdiDevice& d) { return d.SetRTSCTS(); },
                          "FT_SetFlowControl failed (code 4 ($4))"},
        ConfigFailureCase{"Timeouts", D2xxCall::SetTimeouts,
                          [](FtdiDevice& d) { return d.SetTimeouts(1, 2); },
                          "FT_SetTimeouts failed (code 4 ($4))"},
        ConfigFailureCase{"Latency", D2xxCall::SetLatencyTimer,
                          [](FtdiDevice& d) { return d.SetLatencyTimer(); },
                          "FT_SetLatencyTimer failed (code 4 ($4))"},
        ConfigFailureCase{"BitInput", D2xxCall::SetBitMode,
                          [](FtdiDevice& d) { return d.SetBitInput(); },
                          "FT_SetBitMode failed (code 4 ($4))"},
        ConfigFailureCase{"FlushIn", D2xxCall::Purge,
                          [](FtdiDevice& d) { return d.FlushInBuffer(); },
                          "FT_Purge failed (code 4 ($4))"},
        ConfigFailureCase{"FlushOut", D2xxCall::Purge,
                          [](FtdiDevice& d) { return d.FlushOutBuffer(); },
                          "FT_Purge failed (code 4 ($4))"},
        ConfigFailureCase{"Write", D2xxCall::Write,
                          [](FtdiDevice& d) { return d.Write("ab", 2) == 0 ? 1 : 0; },
                          "FT_Write failed (code 4 ($4))"},
        ConfigFailureCase{"Read", D2xxCall::Read,
                          [](FtdiDevice& d) {
                            char b[4];
                            return d.Read(4, b) == 0 ? 1 : 0;
                          },
                          "FT_Read failed (code 4 ($4))"},
        ConfigFailureCase{"QueryReadBufLen", D2xxCall::GetQueueStatus,
                          [](FtdiDevice& d) { return d.QueryReadBufLen() == 0 ? 1 : 0; },
                          "FT_GetQueueStatus failed (code 4 ($4))"},
        ConfigFailureCase{"QueryWriteBufLen", D2xxCall::GetStatus,
                          [](FtdiDevice& d) { return d.QueryWriteBufLen() == 0 ? 1 : 0; },
                          "FT_GetStatus failed (code 4 ($4))"},
        ConfigFailureCase{"QuerySerial", D2xxCall::GetDeviceInfo,
                          [](FtdiDevice& d) { return *d.QuerySerial() == '\0' ? 1 : 0; },
                          "FT_GetDeviceInfo failed (code 4 ($4))"}),
    [](const testing::TestParamInfo<ConfigFailureCase>& info) { return info.param.name; });

struct NotOpenCase {
  const char* name;
  std::function<int32_t(FtdiDevice&)> op;  // 1 when the op reported failure
  const char* text;
};

class NotOpenTest : public FtdiDeviceTest, public testing::WithParamInterface<NotOpenCase> {};

TEST_P(NotOpenTest, FailsWithItsOwnText) {
  link.lastStatus = FT_IO_ERROR;
  EXPECT_EQ(GetParam().op(link), 1);
  EXPECT_STREQ(link.errorText, GetParam().text);
  // Fixed texts leave the recorded status alone.
  EXPECT_EQ(link.lastStatus, FT_IO_ERROR);
  EXPECT_EQ(bus.CallCount(D2xxCall::Write) + bus.CallCount(D2xxCall::Read), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NotOpenTest,
    testing::Values(
        NotOpenCase{"SetDataFormat", [](FtdiDevice& d) { return d.SetDataFormat(); },
                    "Device not open in SetDataFormat()"},
        NotOpenCase{"SetBaudRate", [](FtdiDevice& d) { return d.SetBaudRate(3000000); },
                    "Device not open in SetBaudRate()"},
        NotOpenCase{"SetRTSCTS", [](FtdiDevice& d) { return d.SetRTSCTS(); },
                    "Device not open in SetRTSCTS()"},
        NotOpenCase{"SetTimeouts", [](FtdiDevice& d) { return d.SetTimeouts(1, 1); },
                    "Device not open in SetTimeouts()"},
        NotOpenCase{"SetLatencyTimer", [](FtdiDevice& d) { return d.SetLatencyTimer(); },
                    "Device not open in SetLatencyTimer()"},
        NotOpenCase{"SetBitInput", [](FtdiDevice& d) { return d.SetBitInput(); },
                    "Device not open in SetBitInput()"},
        NotOpenCase{"FlushInBuffer", [](FtdiDevice& d) { return d.FlushInBuffer(); },
                    "Device not open in FlushInBuffer()"},
        NotOpenCase{"FlushOutBuffer", [](FtdiDevice& d) { return d.FlushOutBuffer(); },
                    "Device not open in FlushOutBuffer()"},
        NotOpenCase{"Write", [](FtdiDevice& d) { return d.Write("x", 1) == 0 ? 1 : 0; },
                    "Device not open in Write()"},
        NotOpenCase{"Read",
                    [](FtdiDevice& d) {
                      char b[1];
                      return d.Read(1, b) == 0 ? 1 : 0;
                    },
                    "Device not open in Read()"},
        NotOpenCase{"QueryReadBufLen",
                    [](FtdiDevice& d) { return d.QueryReadBufLen() == 0 ? 1 : 0; },
                    "Device not open in QueryReadBufLen()"},
        NotOpenCase{"QueryWriteBufLen",
                    [](FtdiDevice& d) { return d.QueryWriteBufLen() == 0 ? 1 : 0; },
                    "Device not open in QueryWriteBufLen()"},
        NotOpenCase{"QuerySerial", [](FtdiDevice& d) { return *d.QuerySerial() == '\0' ? 1 : 0; },
                    "Device not open in QuerySerial()"},
        NotOpenCase{"QueryDescr", [](FtdiDevice& d) { return *d.QueryDescr() == '\0' ? 1 : 0; },
                    "Device not open in QueryDescr()"}),
    [](const testing::TestParamInfo<NotOpenCase>& info) { return info.param.name; });

TEST_F(FtdiDeviceTest, CloseOnAClosedObjectSucceedsAndDoesNothing) {
  EXPECT_EQ(link.CloseDevice(), 0);
  EXPECT_STREQ(link.errorText, "");
  EXPECT_EQ(bus.CallCount(D2xxCall::Close), 0u);
}

TEST_F(FtdiDeviceTest, FailedCloseKeepsTheHandle) {
  bus.AddChip(Chip("Vexo-3 HandController"), nullptr);
  OpenConfigured();
  bus.FailCall(D2xxCall::Close, FT_IO_ERROR);
  EXPECT_EQ(link.CloseDevice(), 1);
  EXPECT_STREQ(link.errorText, "FT_Close failed");
  EXPECT_TRUE(link.IsOpen());
  EXPECT_EQ(link.CloseDevice(), 0);
  EXPECT_FALSE(link.IsOpen());
  EXPECT_FALSE(bus.Chip(0).IsOpen());
}

TEST_F(FtdiDeviceTest, FindDeviceStopsWhenTheOpenHandleWontClose) {
  bus.AddChip(Chip("Vexo-3 HandController"), nullptr);
  OpenConfigured();
  bus.FailCall(D2xxCall::Close, FT_IO_ERROR);
  EXPECT_EQ(link.OpenDevice(), 1);
  EXPECT_STREQ(link.errorText, "FT_Close failed");
  EXPECT_EQ(bus.CallCount(D2xxCall::CreateDeviceInfoList), 1u);
}

TEST_F(FtdiDeviceTest, FailedOpenReturnsTheStatus) {
  bus.AddChip(Chip("Vexo-3 HandController"), nullptr);
  link.deviceSelector = 3;
  bus.FailCall(D2xxCall::Open, FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(link.OpenDevice(), 2);
  EXPECT_STREQ(link.errorText, "FT_Open failed (code 2 ($2))");
  EXPECT_EQ(link.lastStatus, FT_DEVICE_NOT_FOUND);
  EXPECT_FALSE(link.IsOpen());
}

TEST_F(FtdiDeviceTest, FailedGetBitModeLeavesTheHandleOpen) {
  bus.AddChip(Chip("Vexo-3 HandController"), nullptr);
  link.deviceSelector = 3;
  bus.FailCall(D2xxCall::GetBitMode, FT_IO_ERROR);
  EXPECT_EQ(link.OpenDevice(), 4);
  EXPECT_STREQ(link.errorText, "FT_GetBitMode failed (code 4 ($4))");
  EXPECT_TRUE(link.IsOpen());
  EXPECT_TRUE(bus.Chip(0).IsOpen());
}

TEST_F(FtdiDeviceTest, FailedEnumerationIsRecorded) {
  bus.AddChip(Chip("Vexo-3 HandController"), nullptr);
  bus.FailCall(D2xxCall::CreateDeviceInfoList, FT_IO_ERROR);
  EXPECT_EQ(link.FindDevice(), -1);
  EXPECT_STREQ(link.errorText, "FT_CreateDeviceInfoList failed (code 4 ($4))");
  bus.FailCall(D2xxCall::GetDeviceInfoList, FT_OTHER_ERROR);
  EXPECT_EQ(link.FindDevice(), -1);
  EXPECT_STREQ(link.errorText, "FT_GetDeviceInfoList failed (code 18 ($12))");
  // ListChips fails the same way, and names the call.
  std::vector<FtdiDevice::ChipRecord> chips;
  const char* failed = nullptr;
  bus.FailCall(D2xxCall::GetDeviceInfoList, FT_OTHER_ERROR);
  EXPECT_EQ(link.ListChips(&chips, &failed), 1);
  EXPECT_STREQ(failed, "FT_GetDeviceInfoList");
  EXPECT_STREQ(link.errorText, "FT_GetDeviceInfoList failed (code 18 ($12))");
  EXPECT_EQ(link.FindDevice(), 0);
  EXPECT_STREQ(link.errorText, "");
}

TEST_F(FtdiDeviceTest, EmptyAndNegativeCountsMoveNothing) {
  bus.AddChip(Chip("Vexo-3 HandController"), nullptr);
  OpenConfigured();
  char buffer[4] = {};
  EXPECT_EQ(link.Write(buffer, 0), 0);
  EXPECT_STREQ(link.errorText, "0 bytes written");
  EXPECT_EQ(link.Write(buffer, -5), 0);
  EXPECT_STREQ(link.errorText, "0 bytes written");
  EXPECT_EQ(link.Read(0, buffer), 0);
  EXPECT_STREQ(link.errorText, "0 bytes read");
  EXPECT_EQ(link.Read(-1, buffer), 0);
  EXPECT_STREQ(link.errorText, "0 bytes read");
  EXPECT_EQ(bus.CallCount(D2xxCall::Write), 0u);
  EXPECT_EQ(bus.CallCount(D2xxCall::Read), 0u);
}

TEST_F(FtdiDeviceTest, ShortReadIsNotAFailure) {
  peer.Expect({0x01}, {1, 2, 3, 4, 5, 6, 7}, milliseconds(3));
  bus.AddChip(Chip("Vexo-3 HandController"), &peer);
  OpenConfigured(250, 250);
  ASSERT_EQ(link.Write("\x01", 1), 1);
  const auto start = clock.Now();
  uint8_t buffer[11] = {};
  EXPECT_EQ(link.Read(11, buffer), 7);
  EXPECT_EQ(buffer[6], 7);
  EXPECT_STREQ(link.errorText, "");
  EXPECT_EQ(clock.Now() - start, milliseconds(250));
}

TEST_F(FtdiDeviceTest, ReadOfNothingTimesOut) {
  bus.AddChip(Chip("Vexo-3 HandController"), nullptr);
  OpenConfigured(1000, 1000);
  uint8_t buffer[11];
  EXPECT_EQ(link.Read(11, buffer), 0);
  EXPECT_STREQ(link.errorText, "FT_Read timed out (code 0 ($0))");
}

TEST_F(FtdiDeviceTest, StalledWriteTimesOut) {
  peer.Stall();
  bus.AddChip(Chip("Vexo-3 HandController"), &peer);
  OpenConfigured(1000, 300);
  const std::vector<uint8_t> data(sim::SimulatedBus::kTxQueueCapacity + 100, 0x55);
  const auto start = clock.Now();
  EXPECT_EQ(link.Write(data.data(), static_cast<int32_t>(data.size())), 0);
  EXPECT_STREQ(link.errorText, "FT_Write timed out (code 0 ($0))");
  // The queue took what it could, then the rest timed out twice.
  EXPECT_EQ(bus.Chip(0).WriteCallSizes(), (std::vector<uint32_t>{612, 100}));
  EXPECT_EQ(clock.Now() - start, milliseconds(600));
}

TEST_F(FtdiDeviceTest, LongWriteLeavesInPiecesOf16K) {
  bus.AddChip(Chip("Vexo-3 HandController"), nullptr);
  OpenConfigured();
  std::vector<uint8_t> data(40000);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(link.Write(data.data(), 40000), 40000);
  EXPECT_EQ(bus.Chip(0).WriteCallSizes(), (std::vector<uint32_t>{16384, 16384, 7232}));
  EXPECT_EQ(bus.Chip(0).HostWrittenBytes(), data);
}

TEST_F(FtdiDeviceTest, PartialPiecesAreResumed) {
  bus.AddChip(Chip("Vexo-3 HandController"), nullptr);
  OpenConfigured(1000, 10);
  ASSERT_EQ(link.SetBaudRate(9600), 0);
  // Each 10 ms time-out at 9600 baud moves about 9 bytes beyond the queue.
  std::vector<uint8_t> data(600);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(link.Write(data.data(), 600), 600);
  const std::vector<uint32_t>& sizes = bus.Chip(0).WriteCallSizes();
  ASSERT_GE(sizes.size(), 9u);
  EXPECT_EQ(sizes[0], 600u);
  EXPECT_EQ(sizes[1], 600u - 521u);
  EXPECT_EQ(bus.Chip(0).HostWrittenBytes(), data);
}

TEST_F(FtdiDeviceTest, QueueLengths) {
  peer.Expect({0x10}, {1, 2, 3});
  bus.AddChip(Chip("Vexo-3 HandController"), &peer);
  OpenConfigured();
  ASSERT_EQ(link.SetBaudRate(9600), 0);
  EXPECT_EQ(link.QueryReadBufLen(), 0);
  ASSERT_EQ(link.Write("\x10", 1), 1);
  EXPECT_EQ(link.QueryWriteBufLen(), 0);  // in the chip: D2XX counts the host's queue
  EXPECT_EQ(link.QueryReadBufLen(), 0);   // the answer is still on its way
  clock.Advance(milliseconds(2));
  // Out at 1 ms, back at 4 ms (9600 baud), to the host with the chip's
  // 16 ms latency timer.
  clock.Advance(milliseconds(14));
  EXPECT_EQ(link.QueryReadBufLen(), 3);
}

TEST_F(FtdiDeviceTest, QueriesReturnTheChipsTexts) {
  ChipInfo info = Chip("Vexo-3 HandController", "VX3SERIAL0000001");  // 16: fills the field
  bus.AddChip(info, nullptr);
  OpenConfigured();
  EXPECT_STREQ(link.QueryDescr(), "Vexo-3 HandController");
  EXPECT_STREQ(link.QuerySerial(), "VX3SERIAL000000");  // the driver keeps 15 and a zero
}

}  // namespace
}  // namespace vexo3
