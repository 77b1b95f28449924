// Replays the checked-in starting corpus and every input that ever crashed a
// fuzz target through the same target bodies the fuzzers run. A broken
// invariant aborts the test program, as it stops the fuzzer.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/targets.h"
#include "platform/clock.h"
#include "protocol/device_session.h"
#include "sim/bus/sim_bus.h"
#include "sim/scenario/profile.h"
#include "sim/scenario/state_file.h"
#include "support/interposer.h"

namespace vexo3::fuzz {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct Target {
  const char* name;
  int (*body)(const uint8_t*, size_t);
};

// clang-format off
const Target kTargets[] = {
    {"package", FuzzPackage},
    {"catalog", FuzzCatalog},
    {"answer", FuzzAnswer},
    {"profile", FuzzProfile},
    {"trace", FuzzTrace},
};
// clang-format on

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The input files of a target's corpus or regression folder (no READMEs).
std::vector<fs::path> Inputs(const std::string& kind, const std::string& target) {
  std::vector<fs::path> files;
  const fs::path dir = fs::path(VEXO3_FUZZ_DIR) / kind / target;
  if (!fs::is_directory(dir))
    return files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && name != "README" && name != ".gitkeep")
      files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

class Replay : public testing::TestWithParam<Target> {};

TEST_P(Replay, CorpusAndRegressionsPass) {
  const Target& t = GetParam();
  const auto samples = Inputs("corpus", t.name);
  EXPECT_GE(samples.size(), 3u) << "the starting corpus of " << t.name << " went missing";
  auto inputs = samples;
  const auto crashers = Inputs("regressions", t.name);
  inputs.insert(inputs.end(), crashers.begin(), crashers.end());
  for (const fs::path& path : inputs) {
    SCOPED_TRACE(path.string());
    const Bytes bytes = ReadFile(path);
    EXPECT_EQ(t.body(bytes.data(), bytes.size()), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, Replay, testing::ValuesIn(kTargets),
                         [](const auto& info) { return std::string(info.param.name); });

// The answer samples are whole conversations with a working device: each
// operation succeeds on them, so the fuzzer starts past the handshake.
TEST(AnswerCorpus, EveryOperationSucceedsOnItsSample) {
  const auto samples = Inputs("corpus", "answer");
  std::vector<bool> covered(static_cast<size_t>(AnswerOperation::kCount));
  for (const fs::path& path : samples) {
    SCOPED_TRACE(path.string());
    const Bytes bytes = ReadFile(path);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(RunAnswerCase(bytes.data(), bytes.size()), 0);
    covered.at(bytes[0] % covered.size()) = true;
  }
  EXPECT_EQ(std::count(covered.begin(), covered.end(), true), static_cast<long>(covered.size()));
}

// Offsets of the chunks of an answer input (after the operation byte).
std::vector<size_t> ChunkStarts(const Bytes& input) {
  std::vector<size_t> starts;
  size_t pos = 1;
  while (pos + 2 <= input.size()) {
    starts.push_back(pos);
    pos += 2 + (input[pos] | input[pos + 1] << 8);
  }
  return starts;
}

// A device that falls silent at any point of an upload never yields success.
TEST(AnswerCorpus, UploadCutShortNeverSucceeds) {
  for (const char* name : {"hc_upload", "camera_upload"}) {
    SCOPED_TRACE(name);
    const Bytes variant = ReadFile(fs::path(VEXO3_FUZZ_DIR) / "corpus" / "answer" / name);
    const auto starts = ChunkStarts(variant);
    ASSERT_GE(starts.size(), 5u);
    // Keep the chunks before `cut`, then silence.
    for (size_t cut = 0; cut < starts.size(); ++cut) {
      SCOPED_TRACE(cut);
      const Bytes prefix(variant.begin(), variant.begin() + static_cast<long>(starts[cut]));
      EXPECT_NE(RunAnswerCase(prefix.data(), prefix.size()), 0);
    }
  }
}

// Found by the answer fuzzer: an answer announcing more bulk data than the
// store holds, then ending without the block, was taken as success with
// the session promising the announced size.
struct AnnouncementCase {
  const char* name;
  uint32_t announced;
  bool endItem;  // the items end with FE 00 (else they just run out)
  ResultCode expected;
};

class OversizedAnnouncement : public testing::TestWithParam<AnnouncementCase> {};

TEST_P(OversizedAnnouncement, IsRefusedWithoutABlock) {
  const AnnouncementCase& c = GetParam();
  Bytes answer = {0xF8, 0x01, 0x00, 0x00, 0x00, 0xFC, 0x04};
  for (int shift = 0; shift < 32; shift += 8)
    answer.push_back(static_cast<uint8_t>(c.announced >> shift));
  if (c.endItem) {
    answer.push_back(0xFE);
    answer.push_back(0x00);
  }
  answer[3] = static_cast<uint8_t>(answer.size());

  VirtualClock clock;
  test::Interposer peer;
  peer.Expect({0x00}, {}, {}, DeviceSession::kWakeUpBaud)
      .Expect({0xF8, 0x01, 0x01, 0xFF},
              {0xF8, 0x01, 0x00, 0x0B, 0x00, 0x03, 0x04, 0x05, 0x01, 0x01, 0x00})
      .Expect({0xF8, 0x02, 0x0A, 0xFF}, {0xF8, 0x02, 0x00, 0x0F, 0x00, 0x0A, 0x00, 0xFC, 0x04, 0x00,
                                         0x00, 0x00, 0x00, 0xFD, 0x00})
      .Expect({0xF8, 0x01, 0x01, 0xFF}, answer)
      .Silence();
  sim::SimulatedBus bus(clock);
  bus.AddChip(sim::ChipInfo{}, &peer);
  DeviceSession session(bus, clock);
  ASSERT_EQ(session.BeginCommand(0xF8), 0);
  ASSERT_EQ(session.AddParameter(0x01, nullptr, 0), 0);
  ASSERT_EQ(session.SendCommand(), 0);
  EXPECT_EQ(session.ReceiveAnswer(), c.expected);
  // No block followed the announcement.
  EXPECT_TRUE(session.receivedBulk.Bytes().empty());
}

constexpr uint32_t kCapacity = DeviceSession::kBulkReceiveCapacity;

INSTANTIATE_TEST_SUITE_P(
    Exchange, OversizedAnnouncement,
    testing::Values(AnnouncementCase{"FullStoreThenEnd", kCapacity, true, 0},
                    AnnouncementCase{"FullStoreItemsRunOut", kCapacity, false, 0},
                    AnnouncementCase{"OneMoreThenEnd", kCapacity + 1, true, 55},
                    AnnouncementCase{"OneMoreItemsRunOut", kCapacity + 1, false, 55},
                    AnnouncementCase{"HugeItemsRunOut", 0xFFFFFFFF, false, 55}),
    [](const auto& info) { return std::string(info.param.name); });

// Found by the profile fuzzer: a number too large for any JSON number type
// escaped the profile parser as an exception.
TEST(ProfileNumbers, OverflowIsAnErrorNotAnException) {
  const std::string huge = std::string(70, '1') + "E999";
  for (const std::string& text :
       {huge, "{\"chips\":[{\"hand_controller\":{\"pcb_id\":" + huge + "}}]}"}) {
    SCOPED_TRACE(text);
    sim::Profile profile;
    std::string error;
    EXPECT_FALSE(sim::ParseProfile(text, "", &profile, &error));
    EXPECT_NE(error.find("number overflow"), std::string::npos) << error;
    std::vector<sim::ChipFirmwareState> chips;
    error.clear();
    EXPECT_FALSE(sim::FirmwareStateFromJson(text, &chips, &error));
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace vexo3::fuzz
