#include "sim/bus/sim_bus.h"

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
    times.push_back(port.Now());
    if (!reply.empty())
      port.Send(reply, delay);
  }
  void OnOpen(SimChip&) override { ++opens; }
  void OnClose(SimChip&) override { ++closes; }

  Bytes reply;
  Clock::Duration delay{0};
  Bytes received;
  std::vector<uint32_t> bauds;
  std::vector<Clock::Duration> times;  // the peer's Now() at each piece
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
  // The session's line: 3 Mbaud, the given latency timer, 1 s time-outs.
  FT_HANDLE OpenFast(uint8_t latencyMs) {
    FT_HANDLE h = Open();
    EXPECT_EQ(bus.FT_SetBaudRate(h, 3000000), FT_OK);
    EXPECT_EQ(bus.FT_SetLatencyTimer(h, latencyMs), FT_OK);
    EXPECT_EQ(bus.FT_SetTimeouts(h, 1000, 1000), FT_OK);
    return h;
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
  ASSERT_EQ(bus.FT_SetLatencyTimer(h, 0), FT_OK);
  ASSERT_EQ(bus.FT_SetBaudRate(h, 3000000), FT_OK);
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
  EXPECT_EQ(clock.Now(), milliseconds(20) + microseconds(7));  // 2 bytes at 3 Mbaud
  EXPECT_EQ(Bytes(buffer, buffer + 6), (Bytes{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(bus.Chip(0).HostReadBytes(), (Bytes{1, 2, 3, 4, 5, 6}));
}

TEST_F(SimBusTest, ShortReadReturnsWhatArrivedAtTheDeadline) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  ASSERT_EQ(bus.FT_SetTimeouts(h, 100, 100), FT_OK);
  ASSERT_EQ(bus.FT_SetLatencyTimer(h, 0), FT_OK);
  bus.Chip(0).Send(Bytes{1, 2, 3}, milliseconds(10));
  bus.Chip(0).Send(Bytes{4}, milliseconds(150) - microseconds(1042));  // one byte at 9600
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
  // 2 bytes at 9600, then the default 16 ms latency timer's next expiry.
  EXPECT_EQ(clock.Now(), milliseconds(5008));
}

TEST_F(SimBusTest, DeliveriesKeepTheirOrder) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = OpenFast(0);
  bus.Chip(0).Send(Bytes{1}, milliseconds(30));
  bus.Chip(0).Send(Bytes{2}, milliseconds(5));  // can't overtake
  uint8_t buffer[2];
  DWORD got = 0;
  ASSERT_EQ(bus.FT_Read(h, buffer, 2, &got), FT_OK);
  EXPECT_EQ(Bytes(buffer, buffer + got), (Bytes{1, 2}));
  EXPECT_EQ(clock.Now(), milliseconds(30) + microseconds(8));  // behind the first byte
}

TEST_F(SimBusTest, PurgeRxDropsArrivedAndInFlightBytes) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  ASSERT_EQ(bus.FT_SetTimeouts(h, 50, 50), FT_OK);
  ASSERT_EQ(bus.FT_SetLatencyTimer(h, 2), FT_OK);
  bus.Chip(0).Send(Bytes{1, 2});
  bus.Chip(0).Send(Bytes{3}, milliseconds(10));
  clock.Advance(milliseconds(4));
  DWORD rx = 0;
  ASSERT_EQ(bus.FT_GetQueueStatus(h, &rx), FT_OK);
  EXPECT_EQ(rx, 2u);
  ASSERT_EQ(bus.FT_Purge(h, FT_PURGE_RX), FT_OK);
  uint8_t buffer[3];
  DWORD got = 9;
  ASSERT_EQ(bus.FT_Read(h, buffer, 3, &got), FT_OK);
  EXPECT_EQ(got, 0u);
}

TEST_F(SimBusTest, StatusCountsOnlyTheHostQueue) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  ASSERT_EQ(bus.FT_SetBaudRate(h, 9600), FT_OK);
  DWORD n = 0;
  DWORD rx = 0;
  DWORD tx = 0;
  DWORD event = 0;
  // The byte takes 1.04 ms on the line at 9600 baud, but it is in the chip
  // as the write returns: D2XX counts only what the host still holds.
  ASSERT_EQ(bus.FT_Write(h, "\x00", 1, &n), FT_OK);
  ASSERT_EQ(n, 1u);
  ASSERT_EQ(bus.FT_GetStatus(h, &rx, &tx, &event), FT_OK);
  EXPECT_EQ(tx, 0u);
  bus.Chip(0).SetCtsHeld(true);
  ASSERT_EQ(bus.FT_Write(h, "0123456789", 10, &n), FT_OK);
  EXPECT_EQ(n, 10u);
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
  EXPECT_EQ(tx, 0u);  // the last 512 are in the chip, not the host's queue
  EXPECT_EQ(peer.received, data);
  // In 64-byte USB packets.
  EXPECT_EQ(peer.bauds, std::vector<uint32_t>(16384 / 64, 3000000));
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
  clock.Advance(milliseconds(1000));  // nothing drains while held
  ASSERT_EQ(bus.FT_Write(h, data.data(), 10, &n), FT_OK);
  EXPECT_EQ(n, 0u);

  bus.Chip(0).SetCtsHeld(false);
  EXPECT_EQ(peer.received.size(), SimulatedBus::kTxQueueCapacity);
  // 512 bytes at 9600 baud take 533 ms: until then the buffer has no room
  // for a whole one more, after that a write of 512 returns at once.
  ASSERT_EQ(bus.FT_SetTimeouts(h, 1000, 0), FT_OK);
  const auto released = clock.Now();
  ASSERT_EQ(bus.FT_Write(h, data.data(), 512, &n), FT_OK);
  EXPECT_GE(clock.Now() - released, milliseconds(533));
  EXPECT_LT(clock.Now() - released, milliseconds(534));
  clock.Advance(milliseconds(600));
  const auto drained = clock.Now();
  ASSERT_EQ(bus.FT_Write(h, data.data(), 512, &n), FT_OK);
  EXPECT_EQ(n, 512u);
  EXPECT_EQ(clock.Now(), drained);
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
  clock.Advance(milliseconds(20));  // the reply's packet leaves at 16 ms
  uint8_t buffer[2];
  ASSERT_EQ(bus.FT_Read(h, buffer, 2, &n), FT_OK);

  const auto& t = bus.Chip(0).Transcript();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].direction, TranscriptEntry::Direction::HostToDevice);
  EXPECT_EQ(t[0].time, microseconds(0));
  EXPECT_EQ(t[0].baudRate, 9600u);
  EXPECT_EQ(t[0].bytes, (Bytes{0}));
  EXPECT_EQ(t[1].direction, TranscriptEntry::Direction::DeviceToHost);
  EXPECT_EQ(t[1].time, milliseconds(20));  // when the host read them
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

// A real clock reads hours since the machine started: the timeline counts
// from when the chip joined the bus, so a plugged-in time still lies ahead.
TEST(SimBusTimeline, CountsFromWhenTheChipJoinedTheBus) {
  VirtualClock clock(std::chrono::hours(5));
  SimulatedBus bus(clock);
  ChipInfo info;
  info.plugInMs = 1000;
  info.unplugMs = 2000;
  bus.AddChip(info, nullptr);
  // {ms since the last listing, chips listed}: at 0, 1000, 1999 and 2000 ms.
  for (const auto& [ms, count] : {std::pair<int, DWORD>{0, 0}, {1000, 1}, {999, 1}, {1, 0}}) {
    clock.Advance(std::chrono::milliseconds(ms));
    DWORD n = 9;
    ASSERT_EQ(bus.FT_CreateDeviceInfoList(&n), FT_OK);
    EXPECT_EQ(n, count) << "after " << ms << " ms more";
  }
}

TEST_F(SimBusTest, BaudRateOutOfRangeIsRefused) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  EXPECT_EQ(bus.FT_SetBaudRate(h, 0), FT_INVALID_BAUD_RATE);
  EXPECT_EQ(bus.FT_SetBaudRate(h, 3000001), FT_INVALID_BAUD_RATE);
  EXPECT_EQ(bus.Chip(0).Line().baudRate, 9600u);
}

// ------------------------------------------------------ line timing model

// Answers once, when `answerAfter` bytes have come in.
class CountingPeer : public SimPeer {
 public:
  void OnHostBytes(SimChip& port, std::span<const uint8_t> bytes) override {
    const size_t before = received;
    received += bytes.size();
    if (before < answerAfter && received >= answerAfter) {
      answeredAt = port.Now();
      port.Send(reply);
    }
  }
  size_t answerAfter = 0;
  size_t received = 0;
  Bytes reply;
  Clock::Duration answeredAt{-1};
};

struct ByteCostCase {
  uint32_t baud;
  size_t bytes;
  std::vector<int64_t> peerTimesUs;  // the peer's Now() at each piece
  int64_t readableAtUs;              // the same count sent back, latency 0
};

class ByteCostTest : public SimBusTest, public testing::WithParamInterface<ByteCostCase> {};

TEST_P(ByteCostTest, TenBitTimesPerByteBothWays) {
  const ByteCostCase& c = GetParam();
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  ASSERT_EQ(bus.FT_SetBaudRate(h, c.baud), FT_OK);
  ASSERT_EQ(bus.FT_SetLatencyTimer(h, 0), FT_OK);
  ASSERT_EQ(bus.FT_SetTimeouts(h, 60000, 60000), FT_OK);
  const Bytes data(c.bytes, 0x5A);
  DWORD n = 0;
  ASSERT_EQ(bus.FT_Write(h, data.data(), static_cast<DWORD>(data.size()), &n), FT_OK);
  std::vector<int64_t> times;
  for (Clock::Duration t : peer.times)
    times.push_back(t.count());
  EXPECT_EQ(times, c.peerTimesUs);

  // The device's line, from an idle start.
  clock.Advance(milliseconds(10000));
  const Clock::Duration sent = clock.Now();
  bus.Chip(0).Send(data);
  Bytes buffer(c.bytes);
  ASSERT_EQ(bus.FT_Read(h, buffer.data(), static_cast<DWORD>(c.bytes), &n), FT_OK);
  EXPECT_EQ(n, c.bytes);
  EXPECT_EQ((clock.Now() - sent).count(), c.readableAtUs);
}

INSTANTIATE_TEST_SUITE_P(
    Bauds, ByteCostTest,
    testing::Values(
        // 1,041.7 us a byte at 9600: the wake-up byte.
        ByteCostCase{9600, 1, {1042}, 1042}, ByteCostCase{9600, 3, {3125}, 3125},
        // 3.33 us a byte at 3 Mbaud; the host's bytes come in 64-byte packets.
        ByteCostCase{3000000, 3, {10}, 10}, ByteCostCase{3000000, 64, {214}, 214},
        ByteCostCase{3000000, 130, {214, 427, 434}, 434}),
    [](const auto& info) {
      return std::to_string(info.param.baud) + "_" + std::to_string(info.param.bytes);
    });

TEST_F(SimBusTest, PeerSeesAWriteNoEarlierThanItsBytesArrive) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = OpenFast(2);
  const Bytes data(4107, 1);
  DWORD n = 0;
  ASSERT_EQ(bus.FT_Write(h, data.data(), 4107, &n), FT_OK);
  ASSERT_EQ(peer.times.size(), 65u);
  EXPECT_EQ(peer.times.back(), microseconds(13690));
  for (size_t i = 1; i < peer.times.size(); ++i)
    EXPECT_GT(peer.times[i], peer.times[i - 1]);
  // The write itself returns with the chip's buffer still full.
  EXPECT_EQ(clock.Now(), microseconds(11984));  // (4107 - 512) x 3.33 us
}

struct PacketCase {
  const char* name;
  uint8_t latencyMs;
  int64_t sendAtUs;  // the chip's last packet left at 0 (the open)
  size_t bytes;
  int64_t firstPacketUs;
  size_t firstPacketBytes;
  int64_t allReadableUs;
};

class UsbPacketTest : public SimBusTest, public testing::WithParamInterface<PacketCase> {};

TEST_P(UsbPacketTest, FullPacketOrLatencyTimer) {
  const PacketCase& c = GetParam();
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = OpenFast(c.latencyMs);
  clock.Advance(microseconds(c.sendAtUs));
  EXPECT_EQ(bus.NextArrival(h), std::nullopt);
  bus.Chip(0).Send(Bytes(c.bytes, 7));
  // What a port's read waiting for data is told: the first packet's moment.
  EXPECT_EQ(bus.NextArrival(h), microseconds(c.firstPacketUs));
  EXPECT_EQ(bus.NextArrival(nullptr), std::nullopt);

  // Poll the queue every microsecond until the first packet is in.
  DWORD rx = 0;
  while (rx == 0 && clock.Now() < milliseconds(100)) {
    ASSERT_EQ(bus.FT_GetQueueStatus(h, &rx), FT_OK);
    if (rx == 0)
      clock.Advance(microseconds(1));
  }
  EXPECT_EQ(clock.Now().count(), c.firstPacketUs);
  EXPECT_EQ(rx, c.firstPacketBytes);

  Bytes buffer(c.bytes);
  DWORD got = 0;
  ASSERT_EQ(bus.FT_Read(h, buffer.data(), static_cast<DWORD>(c.bytes), &got), FT_OK);
  EXPECT_EQ(got, c.bytes);
  EXPECT_EQ(clock.Now().count(), c.allReadableUs);
  EXPECT_EQ(bus.NextArrival(h), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, UsbPacketTest,
    testing::Values(
        // 62 bytes fill a packet: it leaves with its last byte (206.7 us).
        PacketCase{"FullPacketLeavesAtOnce", 2, 0, 62, 207, 62, 207},
        // A partial packet waits for the timer: one period after the last packet.
        PacketCase{"TenBytesWaitForTheTimer", 2, 0, 10, 2000, 10, 2000},
        // Idle for longer than a period: the next expiry on the timer's beat.
        PacketCase{"IdleChipNextExpiry", 2, 5500, 10, 6000, 10, 6000},
        PacketCase{"ArrivalOnAnExpiryGoesWithIt", 2, 1966, 10, 2000, 10, 2000},
        // The rest of a long answer: one period after the full packet.
        PacketCase{"RestAfterAFullPacket", 2, 0, 100, 207, 62, 2207},
        PacketCase{"TwoFullPackets", 2, 0, 124, 207, 62, 414},
        PacketCase{"DefaultSixteenMs", 16, 0, 10, 16000, 10, 16000},
        PacketCase{"ZeroLatencyShipsOnArrival", 0, 0, 10, 4, 1, 34}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimBusTest, LatencyTimerCountsFromTheLastPacket) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = OpenFast(2);
  clock.Advance(microseconds(100));
  bus.Chip(0).Send(Bytes(62, 1));  // full packet at 307 us
  uint8_t buffer[62];
  DWORD got = 0;
  ASSERT_EQ(bus.FT_Read(h, buffer, 62, &got), FT_OK);
  EXPECT_EQ(clock.Now(), microseconds(307));
  bus.Chip(0).Send(Bytes(10, 2));
  ASSERT_EQ(bus.FT_Read(h, buffer, 10, &got), FT_OK);
  EXPECT_EQ(got, 10u);
  EXPECT_EQ(clock.Now(), microseconds(2307));
}

struct ProcessingCase {
  uint32_t processingUs;
  Clock::Duration peerDelay;
  int64_t readableAtUs;
};

class ProcessingTimeTest : public SimBusTest, public testing::WithParamInterface<ProcessingCase> {};

TEST_P(ProcessingTimeTest, AddsToEveryAnswersStart) {
  const ProcessingCase& c = GetParam();
  ChipInfo info;
  info.processingTimeUs = c.processingUs;
  peer.reply = Bytes(7, 0xEE);
  peer.delay = c.peerDelay;
  bus.AddChip(info, &peer);
  FT_HANDLE h = OpenFast(0);
  DWORD n = 0;
  ASSERT_EQ(bus.FT_Write(h, "\x01", 1, &n), FT_OK);
  uint8_t buffer[7];
  ASSERT_EQ(bus.FT_Read(h, buffer, 7, &n), FT_OK);
  EXPECT_EQ(n, 7u);
  EXPECT_EQ(clock.Now().count(), c.readableAtUs);
}

// 1 byte out (4 us), the wait, 7 bytes back (24 us).
INSTANTIATE_TEST_SUITE_P(Knob, ProcessingTimeTest,
                         testing::Values(ProcessingCase{0, microseconds(0), 28},
                                         ProcessingCase{500, microseconds(0), 528},
                                         ProcessingCase{2000, milliseconds(3), 5028}));

TEST_F(SimBusTest, ChunkAndAnswerRoundTrip) {
  // A 4,096-byte chunk behind its 11-byte frame, answered with 7 bytes.
  CountingPeer device;
  device.answerAfter = 4107;
  device.reply = Bytes(7, 0x33);
  bus.AddChip(ChipInfo{}, &device);
  FT_HANDLE h = OpenFast(2);
  const Bytes chunk(4107, 0x44);
  DWORD n = 0;
  ASSERT_EQ(bus.FT_Write(h, chunk.data(), 4107, &n), FT_OK);
  EXPECT_EQ(device.answeredAt, microseconds(13690));
  uint8_t buffer[7];
  ASSERT_EQ(bus.FT_Read(h, buffer, 7, &n), FT_OK);
  EXPECT_EQ(n, 7u);
  // 13.71 ms of wire both ways, then the latency timer's next beat.
  EXPECT_EQ(clock.Now(), microseconds(14000));
}

TEST_F(SimBusTest, PurgeRxFreesTheDevicesLine) {
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = OpenFast(0);
  bus.Chip(0).Send(Bytes(3000, 1));  // 10 ms on the line
  clock.Advance(milliseconds(1));
  ASSERT_EQ(bus.FT_Purge(h, FT_PURGE_RX), FT_OK);
  bus.Chip(0).Send(Bytes{9});
  uint8_t buffer[1];
  DWORD got = 0;
  ASSERT_EQ(bus.FT_Read(h, buffer, 1, &got), FT_OK);
  EXPECT_EQ(got, 1u);
  EXPECT_EQ(buffer[0], 9);
  EXPECT_EQ(clock.Now(), milliseconds(1) + microseconds(4));
}

}  // namespace
}  // namespace vexo3::sim
