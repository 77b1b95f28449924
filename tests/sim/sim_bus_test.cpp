#include "sim/sim_bus.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace vexo3::sim {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using Bytes = std::vector<uint8_t>;

// Records what the host sent and answers each write with a fixed reply.
class EchoPeer : public SimPeer {
 public:
  void OnHostBytes(SimChip& port, std::span<const uint8_t> bytes) override {
    received.insert(received.end(), bytes.begin(), bytes.end());
    bauds.push_back(port.Line().baudRate);
    if (!reply.empty())
      port.Send(reply, delay);
  }
  void OnOpen(SimChip&) override { ++opens; }
  void OnClose(SimChip&) override { ++closes; }

  Bytes reply;
  Clock::Duration delay{0};
  Bytes received;
  std::vector<uint32_t> bauds;
  int opens = 0;
  int closes = 0;
};

class SimBusTest : public testing::Test {
 protected:
  FT_HANDLE Open(size_t index = 0) {
    DWORD count = 0;
    EXPECT_EQ(bus.FT_CreateDeviceInfoList(&count), FT_OK);
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(bus.FT_Open(static_cast<int>(index), &handle), FT_OK);
    return handle;
  }

  VirtualClock clock;
  EchoPeer peer;
  SimulatedBus bus{clock};
};

TEST_F(SimBusTest, EnumerationListsChipsInOrderWithTheirFields) {
  ChipInfo first;
  first.serial = "A0000001";
  ChipInfo second;
  second.description = std::string(70, 'D');  // longer than the field
  second.serial = "B00000000000000002";
  second.usbId = 0x04036001;
  ChipInfo hidden;
  hidden.inaccessible = true;
  bus.AddChip(first, &peer);
  bus.AddChip(second, nullptr);
  bus.AddChip(hidden, nullptr);

  DWORD count = 0;
  ASSERT_EQ(bus.FT_CreateDeviceInfoList(&count), FT_OK);
  ASSERT_EQ(count, 3u);
  FT_HANDLE handle = nullptr;
  ASSERT_EQ(bus.FT_Open(0, &handle), FT_OK);
  EXPECT_NE(handle, nullptr);

  FT_DEVICE_LIST_INFO_NODE nodes[3];
  std::memset(nodes, 0x7F, sizeof nodes);
  ASSERT_EQ(bus.FT_GetDeviceInfoList(nodes, &count), FT_OK);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(nodes[0].Flags, FT_FLAGS_OPENED);
  EXPECT_EQ(nodes[0].ftHandle, handle);
  EXPECT_EQ(nodes[0].ID, 0x04036015u);
  EXPECT_EQ(nodes[0].Type, FT_DEVICE_X_SERIES);
  EXPECT_STREQ(nodes[0].Description, "Vexo-3 HandController");
  EXPECT_STREQ(nodes[0].SerialNumber, "A0000001");
  EXPECT_EQ(nodes[1].Flags, 0u);
  EXPECT_EQ(nodes[1].ftHandle, nullptr);
  EXPECT_EQ(nodes[1].ID, 0x04036001u);
  EXPECT_EQ(std::string(nodes[1].Description), std::string(63, 'D'));
  EXPECT_STREQ(nodes[1].SerialNumber, "B00000000000000");
  EXPECT_STREQ(nodes[2].Description, "");
  EXPECT_STREQ(nodes[2].SerialNumber, "");
  EXPECT_EQ(bus.FT_Open(2, &handle), FT_DEVICE_NOT_OPENED);

  // A short destination gets only what fits.
  count = 1;
  ASSERT_EQ(bus.FT_GetDeviceInfoList(nodes, &count), FT_OK);
  EXPECT_EQ(count, 1u);
}

TEST_F(SimBusTest, OpenIndexRefersToTheLastList) {
  ChipInfo a;
  a.serial = "A";
  bus.AddChip(a, nullptr).SetUnplugged(true);
  ChipInfo b;
  b.serial = "B";
  bus.AddChip(b, nullptr);
  DWORD count = 0;
  ASSERT_EQ(bus.FT_CreateDeviceInfoList(&count), FT_OK);
  ASSERT_EQ(count, 1u);
  bus.Chip(0).SetUnplugged(false);  // plugged in after the list was made
  FT_HANDLE handle = nullptr;
  ASSERT_EQ(bus.FT_Open(0, &handle), FT_OK);
  EXPECT_TRUE(bus.Chip(1).IsOpen());
  EXPECT_EQ(bus.FT_Open(1, &handle), FT_DEVICE_NOT_FOUND);
}

TEST_F(SimBusTest, SecondOpenIsRefusedAndStaleHandlesAreInvalid) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE first = Open();
  FT_HANDLE again = nullptr;
  EXPECT_EQ(bus.FT_Open(0, &again), FT_DEVICE_NOT_OPENED);
  EXPECT_EQ(again, nullptr);
  EXPECT_EQ(peer.opens, 1);

  ASSERT_EQ(bus.FT_Close(first), FT_OK);
  EXPECT_EQ(peer.closes, 1);
  EXPECT_EQ(bus.FT_Close(first), FT_INVALID_HANDLE);
  FT_HANDLE second = Open();
  EXPECT_NE(second, first);
  DWORD rx = 0;
  EXPECT_EQ(bus.FT_GetQueueStatus(first, &rx), FT_INVALID_HANDLE);
  EXPECT_EQ(bus.FT_GetQueueStatus(second, &rx), FT_OK);
  EXPECT_EQ(bus.FT_GetQueueStatus(nullptr, &rx), FT_INVALID_HANDLE);
}

TEST_F(SimBusTest, OpenResetsTheLineSettings) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  ASSERT_EQ(bus.FT_SetBaudRate(h, 3000000), FT_OK);
  ASSERT_EQ(bus.FT_SetTimeouts(h, 10, 20), FT_OK);
  ASSERT_EQ(bus.FT_Close(h), FT_OK);
  Open();
  EXPECT_EQ(bus.Chip(0).Line().baudRate, 9600u);
  EXPECT_EQ(bus.Chip(0).Line().readTimeoutMs, 0u);
}

TEST_F(SimBusTest, ReadOfNothingTakesExactlyTheReadTimeout) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  ASSERT_EQ(bus.FT_SetTimeouts(h, 1234, 1000), FT_OK);
  uint8_t buffer[8];
  DWORD got = 99;
  const auto start = clock.Now();
  ASSERT_EQ(bus.FT_Read(h, buffer, 8, &got), FT_OK);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(clock.Now() - start, milliseconds(1234));
}

TEST_F(SimBusTest, ReadReturnsWhenTheLastByteArrives) {
  peer.reply = {1, 2, 3, 4};
  peer.delay = milliseconds(7);
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  ASSERT_EQ(bus.FT_SetTimeouts(h, 1000, 1000), FT_OK);
  DWORD n = 0;
  ASSERT_EQ(bus.FT_Write(h, "\x01", 1, &n), FT_OK);
  bus.Chip(0).Send(Bytes{5, 6}, milliseconds(20));
  DWORD rx = 9;
  ASSERT_EQ(bus.FT_GetQueueStatus(h, &rx), FT_OK);
  EXPECT_EQ(rx, 0u);  // still in flight

  uint8_t buffer[6];
  DWORD got = 0;
  ASSERT_EQ(bus.FT_Read(h, buffer, 6, &got), FT_OK);
  EXPECT_EQ(got, 6u);
  EXPECT_EQ(clock.Now(), milliseconds(20));
  EXPECT_EQ(Bytes(buffer, buffer + 6), (Bytes{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(bus.Chip(0).HostReadBytes(), (Bytes{1, 2, 3, 4, 5, 6}));
}

TEST_F(SimBusTest, ShortReadReturnsWhatArrivedAtTheDeadline) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  ASSERT_EQ(bus.FT_SetTimeouts(h, 100, 100), FT_OK);
  bus.Chip(0).Send(Bytes{1, 2, 3}, milliseconds(10));
  bus.Chip(0).Send(Bytes{4}, milliseconds(150));
  uint8_t buffer[4];
  DWORD got = 0;
  ASSERT_EQ(bus.FT_Read(h, buffer, 4, &got), FT_OK);
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(clock.Now(), milliseconds(100));
  ASSERT_EQ(bus.FT_Read(h, buffer, 4, &got), FT_OK);
  EXPECT_EQ(got, 1u);
  EXPECT_EQ(clock.Now(), milliseconds(200));
}

TEST_F(SimBusTest, ZeroReadTimeoutWaitsOnlyForBytesInFlight) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();  // time-outs 0 after open
  uint8_t buffer[4];
  DWORD got = 9;
  ASSERT_EQ(bus.FT_Read(h, buffer, 4, &got), FT_OK);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(clock.Now(), microseconds(0));
  bus.Chip(0).Send(Bytes{1, 2}, milliseconds(5000));
  ASSERT_EQ(bus.FT_Read(h, buffer, 4, &got), FT_OK);
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(clock.Now(), milliseconds(5000));
}

TEST_F(SimBusTest, DeliveriesKeepTheirOrder) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  ASSERT_EQ(bus.FT_SetTimeouts(h, 100, 100), FT_OK);
  bus.Chip(0).Send(Bytes{1}, milliseconds(30));
  bus.Chip(0).Send(Bytes{2}, milliseconds(5));  // can't overtake
  uint8_t buffer[2];
  DWORD got = 0;
  ASSERT_EQ(bus.FT_Read(h, buffer, 2, &got), FT_OK);
  EXPECT_EQ(Bytes(buffer, buffer + got), (Bytes{1, 2}));
  EXPECT_EQ(clock.Now(), milliseconds(30));
}

TEST_F(SimBusTest, PurgeRxDropsArrivedAndInFlightBytes) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  ASSERT_EQ(bus.FT_SetTimeouts(h, 50, 50), FT_OK);
  bus.Chip(0).Send(Bytes{1, 2});
  bus.Chip(0).Send(Bytes{3}, milliseconds(10));
  DWORD rx = 0;
  ASSERT_EQ(bus.FT_GetQueueStatus(h, &rx), FT_OK);
  EXPECT_EQ(rx, 2u);
  ASSERT_EQ(bus.FT_Purge(h, FT_PURGE_RX), FT_OK);
  uint8_t buffer[3];
  DWORD got = 9;
  ASSERT_EQ(bus.FT_Read(h, buffer, 3, &got), FT_OK);
  EXPECT_EQ(got, 0u);
}

TEST_F(SimBusTest, TransmitQueueDrainsAtTheBaudRate) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  ASSERT_EQ(bus.FT_SetBaudRate(h, 9600), FT_OK);
  DWORD n = 0;
  DWORD rx = 0;
  DWORD tx = 0;
  DWORD event = 0;
  ASSERT_EQ(bus.FT_Write(h, "\x00", 1, &n), FT_OK);
  ASSERT_EQ(n, 1u);
  ASSERT_EQ(bus.FT_GetStatus(h, &rx, &tx, &event), FT_OK);
  EXPECT_EQ(tx, 1u);
  clock.Advance(milliseconds(1));
  ASSERT_EQ(bus.FT_GetStatus(h, &rx, &tx, &event), FT_OK);
  EXPECT_EQ(tx, 1u);  // one byte takes 1.04 ms at 9600 baud
  clock.Advance(microseconds(42));
  ASSERT_EQ(bus.FT_GetStatus(h, &rx, &tx, &event), FT_OK);
  EXPECT_EQ(tx, 0u);

  ASSERT_EQ(bus.FT_Write(h, "0123456789", 10, &n), FT_OK);
  clock.Advance(milliseconds(5));
  ASSERT_EQ(bus.FT_GetStatus(h, &rx, &tx, &event), FT_OK);
  EXPECT_EQ(tx, 6u);
  ASSERT_EQ(bus.FT_Purge(h, FT_PURGE_TX), FT_OK);
  ASSERT_EQ(bus.FT_GetStatus(h, &rx, &tx, &event), FT_OK);
  EXPECT_EQ(tx, 0u);
}

TEST_F(SimBusTest, LongWriteReturnsWhenAllButAQueueHaveGone) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  ASSERT_EQ(bus.FT_SetBaudRate(h, 3000000), FT_OK);
  ASSERT_EQ(bus.FT_SetTimeouts(h, 1000, 1000), FT_OK);
  const Bytes data(16384, 0xAB);
  DWORD n = 0;
  ASSERT_EQ(bus.FT_Write(h, data.data(), 16384, &n), FT_OK);
  EXPECT_EQ(n, 16384u);
  // 15,872 bytes at 3.33 us each.
  EXPECT_EQ(clock.Now(), microseconds(52907));
  DWORD rx = 0;
  DWORD tx = 0;
  DWORD event = 0;
  ASSERT_EQ(bus.FT_GetStatus(h, &rx, &tx, &event), FT_OK);
  EXPECT_EQ(tx, SimulatedBus::kTxQueueCapacity);
  EXPECT_EQ(peer.received, data);
  EXPECT_EQ(peer.bauds, (std::vector<uint32_t>{3000000}));
}

TEST_F(SimBusTest, HeldCtsQueuesWritesAndReleasesThem) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  ASSERT_EQ(bus.FT_SetTimeouts(h, 1000, 300), FT_OK);
  bus.Chip(0).SetCtsHeld(true);
  const Bytes data(600, 0x11);
  DWORD n = 0;
  ASSERT_EQ(bus.FT_Write(h, data.data(), 600, &n), FT_OK);
  EXPECT_EQ(n, SimulatedBus::kTxQueueCapacity);
  EXPECT_EQ(clock.Now(), milliseconds(300));
  ASSERT_EQ(bus.FT_Write(h, data.data(), 10, &n), FT_OK);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(clock.Now(), milliseconds(600));
  EXPECT_TRUE(peer.received.empty());
  DWORD rx = 0;
  DWORD tx = 0;
  DWORD event = 0;
  clock.Advance(milliseconds(1000));  // nothing drains while held
  ASSERT_EQ(bus.FT_GetStatus(h, &rx, &tx, &event), FT_OK);
  EXPECT_EQ(tx, SimulatedBus::kTxQueueCapacity);

  bus.Chip(0).SetCtsHeld(false);
  EXPECT_EQ(peer.received.size(), SimulatedBus::kTxQueueCapacity);
  ASSERT_EQ(bus.FT_GetStatus(h, &rx, &tx, &event), FT_OK);
  EXPECT_EQ(tx, SimulatedBus::kTxQueueCapacity);
  clock.Advance(milliseconds(600));  // 512 bytes at 9600 baud take 533 ms
  ASSERT_EQ(bus.FT_GetStatus(h, &rx, &tx, &event), FT_OK);
  EXPECT_EQ(tx, 0u);
}

TEST_F(SimBusTest, ChipWithoutPeerSwallowsBytes) {
  bus.AddChip(ChipInfo{}, nullptr);
  FT_HANDLE h = Open();
  DWORD n = 0;
  ASSERT_EQ(bus.FT_Write(h, "abc", 3, &n), FT_OK);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(bus.Chip(0).HostWrittenBytes(), (Bytes{'a', 'b', 'c'}));
}

TEST_F(SimBusTest, TranscriptRecordsBothDirectionsWithTimeAndBaud) {
  peer.reply = {0xAA, 0xBB};
  peer.delay = milliseconds(3);
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  ASSERT_EQ(bus.FT_SetTimeouts(h, 100, 100), FT_OK);
  DWORD n = 0;
  ASSERT_EQ(bus.FT_Write(h, "\x00", 1, &n), FT_OK);
  clock.Advance(milliseconds(10));
  uint8_t buffer[2];
  ASSERT_EQ(bus.FT_Read(h, buffer, 2, &n), FT_OK);

  const auto& t = bus.Chip(0).Transcript();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].direction, TranscriptEntry::Direction::HostToDevice);
  EXPECT_EQ(t[0].time, microseconds(0));
  EXPECT_EQ(t[0].baudRate, 9600u);
  EXPECT_EQ(t[0].bytes, (Bytes{0}));
  EXPECT_EQ(t[1].direction, TranscriptEntry::Direction::DeviceToHost);
  EXPECT_EQ(t[1].time, milliseconds(10));  // when the host read them
  EXPECT_EQ(t[1].bytes, (Bytes{0xAA, 0xBB}));
}

TEST_F(SimBusTest, FailCallSkipsThenFailsThenRecovers) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  bus.FailCall(D2xxCall::SetBaudRate, FT_IO_ERROR, 2, 1);
  std::vector<FT_STATUS> results;
  for (int i = 0; i < 4; ++i)
    results.push_back(bus.FT_SetBaudRate(h, 9600));
  EXPECT_EQ(results, (std::vector<FT_STATUS>{FT_OK, FT_IO_ERROR, FT_IO_ERROR, FT_OK}));
  EXPECT_EQ(bus.Chip(0).CallCount(D2xxCall::SetBaudRate), 4u);

  // A failing write moves nothing.
  bus.FailCall(D2xxCall::Write, FT_IO_ERROR);
  DWORD n = 7;
  EXPECT_EQ(bus.FT_Write(h, "x", 1, &n), FT_IO_ERROR);
  EXPECT_TRUE(peer.received.empty());
  // Calls on a bad handle don't use up an injection.
  bus.FailCall(D2xxCall::Purge, FT_OTHER_ERROR);
  EXPECT_EQ(bus.FT_Purge(nullptr, FT_PURGE_RX), FT_INVALID_HANDLE);
  EXPECT_EQ(bus.FT_Purge(h, FT_PURGE_RX), FT_OTHER_ERROR);
}

TEST_F(SimBusTest, UnpluggedChipFailsItsCallsAndLeavesTheList) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  bus.Chip(0).SetUnplugged(true);
  DWORD n = 0;
  EXPECT_EQ(bus.FT_Write(h, "x", 1, &n), FT_IO_ERROR);
  uint8_t b;
  EXPECT_EQ(bus.FT_Read(h, &b, 1, &n), FT_IO_ERROR);
  EXPECT_EQ(bus.FT_Close(h), FT_OK);
  DWORD count = 9;
  ASSERT_EQ(bus.FT_CreateDeviceInfoList(&count), FT_OK);
  EXPECT_EQ(count, 0u);
}

TEST_F(SimBusTest, BaudRateOutOfRangeIsRefused) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  EXPECT_EQ(bus.FT_SetBaudRate(h, 0), FT_INVALID_BAUD_RATE);
  EXPECT_EQ(bus.FT_SetBaudRate(h, 3000001), FT_INVALID_BAUD_RATE);
  EXPECT_EQ(bus.Chip(0).Line().baudRate, 9600u);
}

}  // namespace
}  // namespace vexo3::sim
