#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/nearest_name.h"
#include "platform/text_codec.h"

namespace vexo3 {
namespace {

TEST(VirtualClock, SleepAdvancesWithoutWaiting) {
  VirtualClock clock;
  const auto wallStart = std::chrono::steady_clock::now();
  clock.Sleep(3000);
  clock.SleepFor(std::chrono::microseconds(250));
  clock.SleepFor(std::chrono::microseconds(-5));  // never goes back
  EXPECT_EQ(clock.Now(), std::chrono::microseconds(3000250));
  EXPECT_EQ(clock.NowMs(), 3000u);
  EXPECT_LT(std::chrono::steady_clock::now() - wallStart, std::chrono::seconds(1));
}

TEST(RealClock, IsMonotonicAndSleeps) {
  RealClock clock;
  const auto before = clock.Now();
  clock.Sleep(2);
  EXPECT_GE(clock.Now() - before, std::chrono::milliseconds(2));
}

struct DecodeCase {
  std::vector<uint8_t> bytes;
  std::string utf8;
};

TEST(DecodeCp1252, Table) {
  const DecodeCase cases[] = {
      {{}, ""},
      {{'A', 'b', ' ', '1'}, "Ab 1"},
      {{'A', 0, 'B'}, "A"},                // ends at the first zero byte
      {{0x80}, "\xE2\x82\xAC"},            // euro sign
      {{0x81, 0x8D}, "\xC2\x81\xC2\x8D"},  // undefined: kept as C1 controls
      {{0x99}, "\xE2\x84\xA2"},            // trade mark
      {{0x9F}, "\xC5\xB8"},                // Y with diaeresis
      {{0xA0, 0xE9, 0xFF}, "\xC2\xA0\xC3\xA9\xC3\xBF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeCp1252(std::span<const uint8_t>(c.bytes)), c.utf8);
  }
}

TEST(DecodeCp1252, StopsAtFieldEndWithoutTerminator) {
  const char field[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(DecodeCp1252(field, sizeof field), "abcd");
  EXPECT_EQ(DecodeCp1252(nullptr, 10), "");
}

TEST(NearestName, Table) {
  const std::string_view commands[] = {"devices", "info", "inspect", "update"};
  const struct {
    const char* typed;
    size_t distanceToUpdate;
    const char* nearest;  // among the commands
  } cases[] = {
      // clang-format off
      {"updaet",  1, "update"},   // two neighbours swapped count once
      {"upate",   1, "update"},
      {"updatte", 1, "update"},
      {"udpaet",  2, "update"},   // two edits in six letters: still near
      {"inof",    6, "info"},
      {"inspcet", 6, "inspect"},
      {"info",    6, ""},         // a known name is not corrected
      {"help",    6, ""},
      {"x",       6, ""},         // one letter is never a typo of another word
      {"",        6, ""},
      {"INFO",    6, ""},         // case counts
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    EXPECT_EQ(EditDistance(c.typed, "update"), c.distanceToUpdate);
    EXPECT_EQ(EditDistance("update", c.typed), c.distanceToUpdate);
    EXPECT_EQ(NearestName(c.typed, commands), c.nearest);
  }
  EXPECT_EQ(DidYouMean("infp", commands), "; did you mean \"info\"?");
  EXPECT_EQ(DidYouMean("frobnicate", commands), "");
}

}  // namespace
}  // namespace vexo3
