#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/interposer.h"

namespace vexo3 {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::Concat;
using test::ProtocolRig;
using test::WithEmptyCatalog;

Bytes Pattern(size_t n, uint8_t variant) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i)
    out[i] = static_cast<uint8_t>(variant + i * 7 + (i >> 9));
  return out;
}

// Command 248 with counter 1 built and sent; the answer is up to the test.
void SendIdentity(ProtocolRig& rig) {
  ASSERT_EQ(rig.Connect(), 0);
  ASSERT_EQ(rig.session.BeginCommand(0xF8), 0);
  ASSERT_EQ(rig.session.AddParameter(0x01, nullptr, 0), 0);
  ASSERT_EQ(rig.session.SendCommand(), 0);
}

TEST(Exchange, IdentityRoundTripOnTheWire) {
  ProtocolRig rig;
  SendIdentity(rig);
  EXPECT_EQ(rig.Written(), (Bytes{0xF8, 0x01, 0x01, 0xFF}));
  ASSERT_EQ(rig.session.ReceiveAnswer(), 0);
  const uint8_t* item = rig.session.FindAnswerParameter(0x03);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item[1], 4);
  EXPECT_EQ(item[2], 0x05);
  EXPECT_EQ(item[3], 0x00);
}

TEST(Exchange, CounterRunsFromOneTo239ThenOne) {
  ProtocolRig rig;
  ASSERT_EQ(rig.Connect(), 0);
  for (int i = 1; i <= 240; ++i) {
    rig.chip.ClearRecords();
    ASSERT_EQ(rig.session.BeginCommand(0xF8), 0);
    ASSERT_EQ(rig.session.AddParameter(0x01, nullptr, 0), 0);
    ASSERT_EQ(rig.session.SendCommand(), 0);
    ASSERT_EQ(rig.session.ReceiveAnswer(), 0) << "command " << i;
    const uint8_t expected = static_cast<uint8_t>(i == 240 ? 1 : i);
    ASSERT_EQ(rig.Written(), (Bytes{0xF8, expected, 0x01, 0xFF})) << "command " << i;
  }
  // Reconnecting doesn't restart the count.
  ASSERT_EQ(rig.session.CloseSession(), 0);
  ASSERT_EQ(rig.session.BeginCommand(0xF8), 0);
  EXPECT_EQ(rig.session.commandMessage.buffer[1], 2);
}

struct ParameterCase {
  const char* name;
  uint8_t command;
  uint8_t parameter;
  uint32_t size;
  ResultCode result;
  uint16_t lengthAfter;
};

class ExchangeParameters : public testing::TestWithParam<ParameterCase> {};

TEST_P(ExchangeParameters, CheckedAgainstTheDeviceCatalog) {
  const ParameterCase& c = GetParam();
  ProtocolRig rig;
  ASSERT_EQ(rig.Connect(), 0);
  const Bytes data = {0x11, 0x22, 0x33};
  ASSERT_EQ(rig.session.BeginCommand(c.command), 0);
  EXPECT_EQ(rig.session.AddParameter(c.parameter, c.size ? data.data() : nullptr, c.size),
            c.result);
  EXPECT_EQ(rig.session.commandMessage.length, c.lengthAfter);
}

INSTANTIATE_TEST_SUITE_P(BuiltInCatalog, ExchangeParameters,
                         testing::Values(ParameterCase{"SizeTwo", 0xF4, 0x3C, 2, 0, 5},
                                         ParameterCase{"SizeOneForTwo", 0xF4, 0x3C, 1, 203, 2},
                                         ParameterCase{"SizeThreeForTwo", 0xF4, 0x3C, 3, 203, 2},
                                         ParameterCase{"NoData", 0xF8, 0x01, 0, 0, 3},
                                         ParameterCase{"DataForNoData", 0xF8, 0x01, 1, 203, 2},
                                         ParameterCase{"UnknownParameter", 0xF8, 0x99, 0, 202, 2},
                                         ParameterCase{"OtherCommandsParameter", 0xF8, 0x3C, 2, 202,
                                                       2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ExchangeParameters, UnknownCommandLeavesFrameAndCounter) {
  ProtocolRig rig;
  ASSERT_EQ(rig.Connect(), 0);
  const uint8_t counter = rig.session.commandMessage.counter;
  EXPECT_EQ(rig.session.BeginCommand(0x42), 201);
  EXPECT_EQ(rig.session.commandMessage.length, 0);
  EXPECT_EQ(rig.session.commandMessage.counter, counter);
  // Without a catalog (closed session) nothing is checked.
  ASSERT_EQ(rig.session.CloseSession(), 0);
  EXPECT_EQ(rig.session.BeginCommand(0x42), 0);
  EXPECT_EQ(rig.session.AddParameter(0x99, Bytes{1, 2, 3, 4}.data(), 4), 0);
  EXPECT_EQ(rig.session.commandMessage.length, 7);
  // Data that isn't there is not announced by its code alone.
  EXPECT_EQ(rig.session.AddParameter(0x98, nullptr, 2), 200);
  EXPECT_EQ(rig.session.commandMessage.length, 7);
}

TEST(ExchangeFrame, Frame527GetsItsEndMarker528IsTooLong) {
  ProtocolRig rig(WithEmptyCatalog());
  ASSERT_EQ(rig.Connect(), 0);
  const Bytes data = Pattern(525, 3);

  ASSERT_EQ(rig.session.BeginCommand(0x20), 0);
  ASSERT_EQ(rig.session.AddParameter(0x01, data.data(), 524), 0);
  ASSERT_EQ(rig.session.commandMessage.length, 527);
  rig.peer.Queue(Bytes{0x20, 0x01, 0x00, 0x05, 0x00});
  ASSERT_EQ(rig.session.SendCommand(), 0);
  const Bytes expected =
      Concat({{0x20, 0x01, 0x01}, Bytes(data.begin(), data.begin() + 524), {0xFF}});
  EXPECT_EQ(rig.Written(), expected);
  EXPECT_EQ(rig.session.ReceiveAnswer(), 0);

  rig.chip.ClearRecords();
  ASSERT_EQ(rig.session.BeginCommand(0x20), 0);
  ASSERT_EQ(rig.session.AddParameter(0x01, data.data(), 525), 0);
  ASSERT_EQ(rig.session.commandMessage.length, 528);
  EXPECT_EQ(rig.session.SendCommand(), 11);
  EXPECT_TRUE(rig.Written().empty());

  ASSERT_EQ(rig.session.BeginCommand(0x20), 0);
  EXPECT_EQ(rig.session.AddParameter(0x01, data.data(), 526), 204);
  EXPECT_EQ(rig.session.commandMessage.length, 528);
  EXPECT_EQ(rig.session.AttachBulkData(data.data(), 1), 204);
}

TEST(ExchangeBulk, EmptyBlockSendsOnlyTheMarker) {
  ProtocolRig rig;
  ASSERT_EQ(rig.Connect(), 0);
  ASSERT_EQ(rig.session.BeginCommand(0xF8), 0);
  ASSERT_EQ(rig.session.AddParameter(0x01, nullptr, 0), 0);
  ASSERT_EQ(rig.session.AttachBulkData(nullptr, 0), 0);
  ASSERT_EQ(rig.session.SendCommand(), 0);
  EXPECT_EQ(rig.Written(), (Bytes{0xF8, 0x01, 0x01, 0xFC, 0x00, 0x00, 0x00, 0x00, 0xFF}));
  EXPECT_EQ(rig.chip.WriteCallSizes(), (std::vector<uint32_t>{9}));
  EXPECT_EQ(rig.session.commandMessage.bulkLength, 0u);
}

TEST(ExchangeBulk, BlockFollowsTheFrame) {
  ProtocolRig rig(WithEmptyCatalog());
  ASSERT_EQ(rig.Connect(), 0);
  const Bytes block = Pattern(20000, 9);
  ASSERT_EQ(rig.session.BeginCommand(0x21), 0);
  ASSERT_EQ(rig.session.AttachBulkData(block.data(), 20000), 0);
  ASSERT_EQ(rig.session.AddParameter(0x07, Bytes{0xAB}.data(), 1), 0);
  rig.peer.Queue(Bytes{0x21, 0x01, 0x00, 0x05, 0x00});
  ASSERT_EQ(rig.session.SendCommand(), 0);
  EXPECT_EQ(rig.Written(),
            Concat({{0x21, 0x01, 0xFC, 0x20, 0x4E, 0x00, 0x00, 0x07, 0xAB, 0xFF}, block}));
  EXPECT_EQ(rig.chip.WriteCallSizes(), (std::vector<uint32_t>{10, 16384, 3616}));
  // A block of bytes without the bytes is refused.
  ASSERT_EQ(rig.session.BeginCommand(0x21), 0);
  EXPECT_EQ(rig.session.AttachBulkData(nullptr, 5), 200);
  EXPECT_EQ(rig.session.commandMessage.length, 2);
}

struct AnswerCase {
  const char* name;
  std::vector<Bytes> answer;  // pieces on the line after the command F8 01 01 FF
  ResultCode result;
  bool linkOpen = true;
  int32_t pendingDelayMs = 0;
};

class ExchangeAnswer : public testing::TestWithParam<AnswerCase> {};

TEST_P(ExchangeAnswer, ChecksInOrder) {
  const AnswerCase& c = GetParam();
  ProtocolRig rig;
  rig.peer.Queue(c.answer);
  SendIdentity(rig);
  EXPECT_EQ(rig.session.ReceiveAnswer(), c.result);
  EXPECT_EQ(rig.peer.Pending(), 0u);
  EXPECT_EQ(rig.chip.IsOpen(), c.linkOpen);
  EXPECT_EQ(rig.session.pendingDelayMs, c.pendingDelayMs);
}

Bytes Answer(uint8_t id, uint8_t counter, uint8_t type, Bytes items = {}) {
  const size_t total = 5 + items.size();
  return Concat(
      {{id, counter, type, static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8)}, items});
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ExchangeAnswer,
    testing::Values(
        AnswerCase{"Ok", {Answer(0xF8, 0x01, 0x00)}, 0},
        AnswerCase{"WrongId", {Answer(0xF9, 0x01, 0x00)}, 31},
        AnswerCase{"WrongIdBeforeInvalidCommand", {Answer(0xF9, 0xF0, 0x00)}, 31},
        AnswerCase{"InvalidCommandCounter", {Answer(0xF8, 0xF0, 0x00)}, 10},
        AnswerCase{"InvalidCommandWhateverType", {Answer(0xF8, 0xF0, 0x12)}, 10},
        AnswerCase{"WrongCounter", {Answer(0xF8, 0x02, 0x00)}, 32},
        AnswerCase{"Type10", {Answer(0xF8, 0x01, 0x10)}, 10},
        AnswerCase{"Type11", {Answer(0xF8, 0x01, 0x11)}, 50},
        AnswerCase{"Type12", {Answer(0xF8, 0x01, 0x12)}, 51},
        AnswerCase{"Type12WhateverCounter", {Answer(0xF8, 0x07, 0x12)}, 51},
        AnswerCase{"Type13", {Answer(0xF8, 0x01, 0x13)}, 52},
        AnswerCase{"Type14", {Answer(0xF8, 0x01, 0x14)}, 53},
        AnswerCase{"Type20", {Answer(0xF8, 0x01, 0x20)}, 66},
        AnswerCase{"TypeUnknown", {Answer(0xF8, 0x01, 0x33)}, 33},
        AnswerCase{"TypeUnknownWrongCounter", {Answer(0xF8, 0x02, 0x01)}, 33},
        AnswerCase{"Nothing", {}, 9}, AnswerCase{"HeaderShort", {{0xF8, 0x01, 0x00}}, 34},
        AnswerCase{"BodyShort", {{0xF8, 0x01, 0x00, 0x08, 0x00, 0x01}}, 34},
        AnswerCase{"BodyMissing", {{0xF8, 0x01, 0x00, 0x08, 0x00}}, 9},
        AnswerCase{"LengthZero", {{0xF8, 0x01, 0x00, 0x00, 0x00}}, 30},
        AnswerCase{"Length529", {{0xF8, 0x01, 0x00, 0x11, 0x02}}, 30},
        AnswerCase{"Length528",
                   {Answer(0xF8, 0x01, 0x00,
                           Concat({{0x01, 0xFF},
                                   Pattern(255, 1),
                                   {0x02, 0xFF},
                                   Pattern(255, 2),
                                   {0x03, 0x07},
                                   Pattern(7, 3)}))},
                   0},
        AnswerCase{"LengthOne", {{0xF8, 0x01, 0x00, 0x01, 0x00}}, 0},
        AnswerCase{"LengthFour", {{0xF8, 0x01, 0x00, 0x04, 0x00}}, 0},
        AnswerCase{"ModeChange", {{0xFB, 0xAA, 0x00, 0x00, 0x00}}, 12, true, 3000},
        AnswerCase{"ModeChangeB7", {{0xFB, 0xB7, 0x01, 0x02, 0x03}}, 12, true, 3000},
        AnswerCase{"PowerOff", {{0xFB, 0x36, 0x00, 0x00, 0x00}}, 13, false, 500},
        AnswerCase{"UnknownAsync", {{0xFB, 0x01, 0x00, 0x00, 0x00}}, 14, true, 500},
        AnswerCase{"ItemPastTheEnd", {Answer(0xF8, 0x01, 0x00, {0x01, 0x05, 0xAA})}, 30},
        AnswerCase{"LoneCodeByte", {Answer(0xF8, 0x01, 0x00, {0x01, 0x00, 0x02})}, 0},
        AnswerCase{"BulkStartWithLength", {Answer(0xF8, 0x01, 0x00, {0xFD, 0x01, 0x00})}, 30},
        AnswerCase{"EndWithLength", {Answer(0xF8, 0x01, 0x00, {0xFE, 0x01, 0x00})}, 30},
        AnswerCase{"EndStopsTheWalk", {Answer(0xF8, 0x01, 0x00, {0xFE, 0x00, 0x01, 0x09})}, 0},
        AnswerCase{
            "AnnouncementCutShort", {Answer(0xF8, 0x01, 0x00, {0xFC, 0x02, 0x10, 0x00})}, 30},
        AnswerCase{"BulkTooLargeForTheBuffer",
                   {Answer(0xF8, 0x01, 0x00, {0xFC, 0x04, 0x51, 0x85, 0x02, 0x00, 0xFD, 0x00})},
                   55},
        AnswerCase{"BulkShort",
                   {Answer(0xF8, 0x01, 0x00, {0xFC, 0x04, 0x64, 0x00, 0x00, 0x00, 0xFD, 0x00}),
                    Pattern(50, 0)},
                   54}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExchangeAnswer, Length529IsRefusedBeforeItsBodyIsRead) {
  ProtocolRig rig;
  rig.peer.Queue(Concat({{0xF8, 0x01, 0x00, 0x11, 0x02}, Bytes(524, 0x01)}));
  SendIdentity(rig);
  const uint32_t reads = rig.Reads();
  EXPECT_EQ(rig.session.ReceiveAnswer(), 30);
  EXPECT_EQ(rig.Reads() - reads, 2u);
}

TEST(ExchangeAsync, ModeChangeDelaysTheNextHandshakeBy3000ms) {
  ProtocolRig rig;
  rig.peer.Queue(Bytes{0xFB, 0xAA, 0x00, 0x00, 0x00});
  SendIdentity(rig);
  ASSERT_EQ(rig.session.ReceiveAnswer(), 12);
  rig.chip.ClearRecords();
  const auto start = rig.clock.Now();
  ASSERT_EQ(rig.session.BeginCommand(0xF8), 0);
  ASSERT_EQ(rig.session.AddParameter(0x01, nullptr, 0), 0);
  ASSERT_EQ(rig.session.SendCommand(), 0);
  ASSERT_FALSE(rig.chip.Transcript().empty());
  const auto& first = rig.chip.Transcript().front();
  EXPECT_EQ(first.bytes, (Bytes{0xF8, 0x01, 0x01, 0xFF}));
  EXPECT_GE(first.time - start, 3000ms);
  EXPECT_EQ(rig.Written(),
            (Bytes{0xF8, 0x01, 0x01, 0xFF, 0xF8, 0x02, 0x0A, 0xFF, 0xF8, 0x02, 0x01, 0xFF}));
  EXPECT_EQ(rig.session.ReceiveAnswer(), 0);
}

TEST(ExchangeAsync, PowerOffFromTheDeviceModel) {
  ProtocolRig rig;
  ASSERT_EQ(rig.Connect(), 0);
  rig.hc.InjectNext(sim::FaultAction::AsyncPowerOff);
  ASSERT_EQ(rig.session.BeginCommand(0xF8), 0);
  ASSERT_EQ(rig.session.AddParameter(0x10, nullptr, 0), 0);
  ASSERT_EQ(rig.session.SendCommand(), 0);
  EXPECT_EQ(rig.session.ReceiveAnswer(), 13);
  EXPECT_FALSE(rig.chip.IsOpen());
  EXPECT_TRUE(rig.session.catalog.IsEmpty());
}

// An answer frame of `total` bytes: id F8, counter 1, item 01 with data,
// item FC with `announced`, FD.
Bytes BulkFrame(size_t total, uint32_t announced) {
  const Bytes tail = {0xFC,
                      0x04,
                      static_cast<uint8_t>(announced),
                      static_cast<uint8_t>(announced >> 8),
                      static_cast<uint8_t>(announced >> 16),
                      static_cast<uint8_t>(announced >> 24),
                      0xFD,
                      0x00};
  const size_t filler = total - 5 - tail.size() - 2;
  return Answer(0xF8, 0x01, 0x00,
                Concat({{0x01, static_cast<uint8_t>(filler)}, Pattern(filler, 5), tail}));
}

TEST(ExchangeBulk, SeventyThousandBytesInTwoPieces) {
  ProtocolRig rig;
  const Bytes block = Pattern(70000, 1);
  const Bytes first = BulkFrame(20, 70000);
  ASSERT_EQ(first.size(), 20u);
  const Bytes follow = Answer(0xF8, 0x01, 0x00, Pattern(15, 0));
  rig.peer.Queue({first, Bytes(block.begin(), block.begin() + 65515), follow,
                  Bytes(block.begin() + 65515, block.end())});
  SendIdentity(rig);
  const uint32_t reads = rig.Reads();
  ASSERT_EQ(rig.session.ReceiveAnswer(), 0);
  // Three reads per frame, one per piece.
  EXPECT_EQ(rig.Reads() - reads, 8u);
  const auto received = rig.session.receivedBulk.Bytes();
  ASSERT_EQ(received.data(), rig.session.bulkReceiveBuffer->data());
  EXPECT_TRUE(std::ranges::equal(received, block));
}

TEST(ExchangeBulk, FullBufferInThreePieces) {
  ProtocolRig rig;
  const uint32_t size = DeviceSession::kBulkReceiveCapacity;
  const Bytes block = Pattern(size, 2);
  const Bytes frame = BulkFrame(16, size);
  const size_t piece = 65535 - 16;
  rig.peer.Queue({frame, Bytes(block.begin(), block.begin() + piece), frame,
                  Bytes(block.begin() + piece, block.begin() + 2 * piece), frame,
                  Bytes(block.begin() + 2 * piece, block.end())});
  SendIdentity(rig);
  ASSERT_EQ(rig.session.ReceiveAnswer(), 0);
  EXPECT_TRUE(std::ranges::equal(rig.session.receivedBulk.Bytes(), block));
}

TEST(ExchangeBulk, TooLargeAnnouncementReadsNothing) {
  ProtocolRig rig;
  rig.peer.Queue({BulkFrame(16, DeviceSession::kBulkReceiveCapacity + 1), Pattern(1000, 0)});
  SendIdentity(rig);
  const uint32_t reads = rig.Reads();
  EXPECT_EQ(rig.session.ReceiveAnswer(), 55);
  EXPECT_EQ(rig.Reads() - reads, 3u);
}

TEST(ExchangeBulk, FollowUpFrameIsChecked) {
  ProtocolRig rig;
  rig.peer.Queue({BulkFrame(20, 70000), Pattern(65515, 0), Answer(0xF8, 0x02, 0x00)});
  SendIdentity(rig);
  EXPECT_EQ(rig.session.ReceiveAnswer(), 32);
}

TEST(ExchangeBulk, StartWithoutAnnouncementReceivesNothing) {
  ProtocolRig rig;
  // A previous answer left a bulk length behind.
  rig.peer.Queue({BulkFrame(16, 3), {0xA, 0xB, 0xC}});
  rig.peer.Queue(Answer(0xF8, 0x02, 0x00, {0x01, 0x00, 0xFD, 0x00}));
  SendIdentity(rig);
  ASSERT_EQ(rig.session.ReceiveAnswer(), 0);
  ASSERT_EQ(rig.session.receivedBulk.Bytes().size(), 3u);
  ASSERT_EQ(rig.session.BeginCommand(0xF8), 0);
  ASSERT_EQ(rig.session.AddParameter(0x01, nullptr, 0), 0);
  ASSERT_EQ(rig.session.SendCommand(), 0);
  EXPECT_EQ(rig.session.ReceiveAnswer(), 0);
  EXPECT_TRUE(rig.session.receivedBulk.Bytes().empty());
}

struct FindCase {
  const char* name;
  Bytes items;
  uint8_t code;
  int offset;  // of the item in the frame; -1: not found
};

class ExchangeFind : public testing::TestWithParam<FindCase> {};

TEST_P(ExchangeFind, WalksItemsWithTheSkipRule) {
  const FindCase& c = GetParam();
  ProtocolRig rig;
  rig.peer.Queue(Answer(0xF8, 0x01, 0x00, c.items));
  SendIdentity(rig);
  rig.session.ReceiveAnswer();
  ASSERT_EQ(rig.peer.Pending(), 0u);
  const uint8_t* found = rig.session.FindAnswerParameter(c.code);
  if (c.offset < 0) {
    EXPECT_EQ(found, nullptr);
  } else {
    EXPECT_EQ(found, rig.session.answerMessage.buffer.data() + c.offset);
  }
}

const Bytes kFourItems = {0x01, 0x02, 0xAA, 0xBB, 0x03, 0x01, 0xCC, 0xFC,
                          0x04, 0x00, 0x00, 0x00, 0x00, 0xFD, 0x00};

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Items, ExchangeFind,
    testing::Values(FindCase{"First", kFourItems, 0x01, 5}, FindCase{"Second", kFourItems, 0x03, 9},
                    FindCase{"Absent", kFourItems, 0x0A, -1},
                    FindCase{"AnnouncementItself", kFourItems, 0xFC, 12},
                    FindCase{"ItemAfterSpecialIsPassedOver",
                             {0x01, 0x00, 0xFC, 0x04, 0, 0, 0, 0, 0x05, 0x00, 0x06, 0x00},
                             0x05,
                             -1},
                    FindCase{"SecondItemAfterSpecial",
                             {0x01, 0x00, 0xFC, 0x04, 0, 0, 0, 0, 0x05, 0x00, 0x06, 0x00},
                             0x06,
                             15},
                    FindCase{"CodeZeroEndsTheSearch", {0x00, 0x00, 0x03, 0x00}, 0x03, -1},
                    FindCase{"DataPastTheFrameIsNotFound", {0x01, 0x05, 0xAA}, 0x01, -1},
                    FindCase{"DataPastTheFrameIsSteppedOverByItsHeader",
                             {0x02, 0x05, 0x03, 0x00, 0x00},
                             0x03,
                             7},
                    FindCase{"OverrunAfterEndItemDoesNotHideTheNextItem",
                             {0xFE, 0x00, 0x03, 0x01, 0x09, 0x01, 0x05, 0x02, 0x01, 0x07},
                             0x02,
                             12},
                    FindCase{"LoneCodeByte", {0x01, 0x00, 0x02}, 0x02, -1},
                    FindCase{"NoItems", {}, 0x01, -1}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(ExchangeFind, ShortLengthsHaveNoItemArea) {
  for (uint8_t length = 1; length <= 5; ++length) {
    ProtocolRig rig;
    // Bytes after the header that L doesn't cover stay unread.
    rig.peer.Queue(Bytes{0xF8, 0x01, 0x00, length, 0x00, 0x01, 0x00});
    SendIdentity(rig);
    EXPECT_EQ(rig.session.ReceiveAnswer(), 0) << int{length};
    EXPECT_TRUE(rig.session.receivedBulk.Bytes().empty());
    EXPECT_EQ(rig.session.FindAnswerParameter(0x01), nullptr) << int{length};
  }
}

TEST(ExchangeRaw, SingleByteCommandsAndAnswers) {
  ProtocolRig rig(WithEmptyCatalog());
  ASSERT_EQ(rig.Connect(), 0);
  for (const uint8_t code : {uint8_t{0x00}, uint8_t{0xFF}}) {
    rig.chip.ClearRecords();
    ASSERT_EQ(rig.session.BeginCommand(code), 0);
    rig.peer.Queue(Bytes{code});
    ASSERT_EQ(rig.session.SendCommand(), 0);
    // No end marker on a raw command.
    EXPECT_EQ(rig.Written(), (Bytes{code, rig.session.commandMessage.buffer[1]}));
    EXPECT_EQ(rig.session.ReceiveAnswer(), 0);
  }
  ASSERT_EQ(rig.session.BeginCommand(0x00), 0);
  rig.peer.Queue(Bytes{0x01});
  ASSERT_EQ(rig.session.SendCommand(), 0);
  EXPECT_EQ(rig.session.ReceiveAnswer(), 30);
}

TEST(ExchangeLink, ReadFrameWithoutLinkObject) {
  ProtocolRig rig;
  rig.session.link.reset();
  EXPECT_EQ(rig.session.ReadFrame(), 2);
  EXPECT_EQ(rig.session.OpenSession(), 2);
  EXPECT_EQ(rig.session.SendCommand(), 2);
}

TEST(ExchangeLink, FailedFrameWriteIsNine) {
  ProtocolRig rig;
  ASSERT_EQ(rig.Connect(), 0);
  ASSERT_EQ(rig.session.BeginCommand(0xF8), 0);
  rig.bus.FailCall(sim::D2xxCall::Write, FT_IO_ERROR);
  EXPECT_EQ(rig.session.SendCommand(), 9);
  EXPECT_TRUE(rig.chip.IsOpen());
}

}  // namespace
}  // namespace vexo3

namespace vexo3 {
namespace {

struct CatalogCheck {
  const char* name;
  Bytes block;
  uint8_t command;
  ResultCode begin;
  uint8_t parameter;
  uint32_t size;
  ResultCode add;
};

class ExchangeCatalogCheck : public testing::TestWithParam<CatalogCheck> {};

// The block the device sends decides what a frame may hold.
TEST_P(ExchangeCatalogCheck, FramesFollowTheDevicesBlock) {
  const CatalogCheck& c = GetParam();
  sim::HandControllerConfig cfg;
  cfg.catalogBlock = c.block;
  ProtocolRig rig(cfg);
  ASSERT_EQ(rig.Connect(), 0);
  const Bytes data = {1, 2, 3};
  EXPECT_EQ(rig.session.BeginCommand(c.command), c.begin);
  if (c.begin == 0) {
    EXPECT_EQ(rig.session.AddParameter(c.parameter, c.size ? data.data() : nullptr, c.size), c.add);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, ExchangeCatalogCheck,
    testing::Values(
        CatalogCheck{"EmptyPassesAll", {0x00}, 0x42, 0, 0x17, 3, 0},
        CatalogCheck{"TrailingByteStillEmpty", {0x00, 0xFF}, 0x42, 0, 0x17, 3, 0},
        CatalogCheck{"NoParameters", {0x01, 0xF8, 0x00}, 0xF8, 0, 0x01, 0, 202},
        CatalogCheck{"SizeMatches", {0x01, 0xF7, 0x01, 0x30, 0x02}, 0xF7, 0, 0x30, 2, 0},
        CatalogCheck{"SizeOne", {0x01, 0xF7, 0x01, 0x30, 0x02}, 0xF7, 0, 0x30, 1, 203},
        CatalogCheck{"SizeThree", {0x01, 0xF7, 0x01, 0x30, 0x02}, 0xF7, 0, 0x30, 3, 203},
        CatalogCheck{"UnlistedCommand", {0x01, 0xF7, 0x01, 0x30, 0x02}, 0xF8, 201, 0, 0, 0},
        CatalogCheck{
            "CutBlockKeepsCommand", {0x02, 0xF7, 0x01, 0x30, 0x02, 0xF8}, 0xF8, 0, 0x01, 0, 202},
        CatalogCheck{"LaterSizeWins",
                     {0x02, 0xF7, 0x01, 0x30, 0x02, 0xF7, 0x01, 0x30, 0x04},
                     0xF7,
                     0,
                     0x30,
                     2,
                     203}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vexo3
