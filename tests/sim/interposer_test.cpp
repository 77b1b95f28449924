// The interposer's steps, alone on a chip as the whole far end.

#include "support/interposer.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/clock.h"

namespace vexo3::sim {
namespace {

using std::chrono::milliseconds;
using test::Bytes;

class InterposerSteps : public testing::Test {
 protected:
  FT_HANDLE Open() {
    DWORD count = 0;
    EXPECT_EQ(bus.FT_CreateDeviceInfoList(&count), FT_OK);
    FT_HANDLE h = nullptr;
    EXPECT_EQ(bus.FT_Open(0, &h), FT_OK);
    EXPECT_EQ(bus.FT_SetTimeouts(h, 100, 100), FT_OK);
    return h;
  }
  void Write(FT_HANDLE h, const Bytes& bytes) {
    DWORD n = 0;
    ASSERT_EQ(bus.FT_Write(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n), FT_OK);
  }
  Bytes Read(FT_HANDLE h, DWORD n) {
    Bytes buffer(n);
    DWORD got = 0;
    EXPECT_EQ(bus.FT_Read(h, buffer.data(), n, &got), FT_OK);
    buffer.resize(got);
    return buffer;
  }

  VirtualClock clock;
  test::Interposer peer;
  SimulatedBus bus{clock};
};

TEST_F(InterposerSteps, RunsCleanWhenTheHostFollowsTheScript) {
  peer.Send({0x55})
      .Expect({0x00}, {}, milliseconds(0), 9600)
      .Expect({0xF8, 0x01, 0x01, 0xFF}, {1, 2, 3}, milliseconds(4), 3000000);
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  ASSERT_EQ(bus.FT_SetLatencyTimer(h, 0), FT_OK);
  EXPECT_EQ(Read(h, 1), (Bytes{0x55}));
  Write(h, {0x00});
  ASSERT_EQ(bus.FT_SetBaudRate(h, 3000000), FT_OK);
  // Split across two writes: the step waits for all four bytes.
  Write(h, {0xF8, 0x01});
  Write(h, {0x01, 0xFF});
  EXPECT_EQ(Read(h, 3), (Bytes{1, 2, 3}));
  // The four bytes are in at 2,098 us (0x55 and 0x00 at 9600 baud first);
  // the reply starts 4 ms later and takes 10 us.
  EXPECT_EQ(clock.Now(), milliseconds(4) + std::chrono::microseconds(2098 + 10));
  EXPECT_TRUE(peer.Clean()) << testing::PrintToString(peer.Mismatches());
}

struct MismatchCase {
  const char* name;
  Bytes sent;
  uint32_t baud;
  std::vector<std::string> mismatches;
};

class InterposerStepsMismatch : public InterposerSteps,
                                public testing::WithParamInterface<MismatchCase> {};

TEST_P(InterposerStepsMismatch, RecordsWhatWentOffScript) {
  peer.Expect({0xF8, 0x01}, {}, milliseconds(0), 9600);
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  ASSERT_EQ(bus.FT_SetBaudRate(h, GetParam().baud), FT_OK);
  Write(h, GetParam().sent);
  EXPECT_EQ(peer.Mismatches(), GetParam().mismatches);
  EXPECT_FALSE(peer.Clean());
}

INSTANTIATE_TEST_SUITE_P(
    Table, InterposerStepsMismatch,
    testing::Values(
        MismatchCase{"WrongBytes", {0xF8, 0x02}, 9600, {"step 1: expected F8 01, got F8 02"}},
        MismatchCase{
            "WrongBaud", {0xF8, 0x01}, 3000000, {"step 1: expected at 9600 baud, got 3000000"}},
        MismatchCase{"TooMuch", {0xF8, 0x01, 0x07}, 9600, {"after the script: got 07"}}),
    [](const testing::TestParamInfo<MismatchCase>& info) { return info.param.name; });

TEST_F(InterposerSteps, UnfinishedScriptIsNotClean) {
  peer.Expect({0x01}).Expect({0x02});
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  Write(h, {0x01});
  EXPECT_TRUE(peer.Mismatches().empty());
  EXPECT_EQ(peer.StepsDone(), 1u);
  EXPECT_FALSE(peer.Clean());
}

TEST_F(InterposerSteps, StallHoldsCtsAndSilenceSwallows) {
  peer.Expect({0x01}).Stall().Silence();
  bus.AddChip(ChipInfo{}, &peer);
  FT_HANDLE h = Open();
  Write(h, {0x01});
  EXPECT_TRUE(bus.Chip(0).CtsHeld());
  bus.Chip(0).SetCtsHeld(false);
  Write(h, {0x02, 0x03});
  EXPECT_TRUE(Read(h, 1).empty());
  EXPECT_TRUE(peer.Clean());
}

}  // namespace
}  // namespace vexo3::sim
