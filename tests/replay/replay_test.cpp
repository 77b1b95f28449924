// Recorded sessions replayed through the whole program; record and replay of
// every fault of the simulated device; and what the replay reports when the
// program and the trace part ways.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "link/trace_format.h"
#include "replay/replay_rig.h"
#include "support/fixtures.h"

namespace vexo3 {
namespace {

using test::ReplayFile;
using test::RunInReplayDir;
using test::RunResult;
using test::ScratchDir;
using test::WithoutTimes;

namespace fs = std::filesystem;

std::string Expected(const RunResult& r) {
  return "exit " + std::to_string(r.exitCode) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

std::vector<std::string> Join(std::vector<std::string> head, const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// Each recorded session replays to what the program printed when it was
// recorded, and the replayed run's own trace is the recorded one.
TEST(RecordedSessions, ReplayToTheirRecordedOutputAndTrace) {
  const auto cases = test::RecordedCases();
  ASSERT_GE(cases.size(), 10u);
  for (const test::RecordedCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string trace = "traces/" + c.name + ".trace";
    ScratchDir dir;
    const std::string again = dir.File(c.name + ".trace");
    const RunResult r = RunInReplayDir(Join({"--replay=" + trace, "--trace=" + again}, c.args));
    EXPECT_EQ(Expected(r), ReplayFile("expected/" + c.name + ".txt"));
    EXPECT_EQ(WithoutTimes(ReplayFile(again)), WithoutTimes(ReplayFile(trace)));
  }
}

// The first half of an update's trace, cut inside a call: the update runs up
// to there, then the replay says where the trace ended.
TEST(RecordedSessions, ACutShortTraceReplaysToItsEnd) {
  Trace whole;
  Trace cut;
  std::string error;
  ASSERT_TRUE(ParseTrace(ReplayFile("traces/update.trace"), &whole, &error)) << error;
  ASSERT_TRUE(ParseTrace(ReplayFile("traces/update-cut-short.trace"), &cut, &error)) << error;
  ASSERT_TRUE(cut.cutShort);
  const RunResult r = RunInReplayDir({"--replay=traces/update-cut-short.trace", "update",
                                      "packages/small.bin", "--yes", "--no-verify"});
  EXPECT_EQ(r.exitCode, 5);
  const std::string report = "replay: call " + std::to_string(cut.calls.size() + 1) +
                             ": trace ends here (it holds " + std::to_string(cut.calls.size()) +
                             " calls and was cut short)\n";
  EXPECT_NE(r.err.find(report), std::string::npos) << r.err;
  EXPECT_EQ(r.out.rfind("Reading device state...\nUploading HC firmware...\n", 0), 0u) << r.out;
  EXPECT_LT(cut.calls.size(), whole.calls.size());
}

// --trace empties its file: never the one being replayed.
TEST(RecordedSessions, TheReplayedTraceIsNeverOverwritten) {
  ScratchDir dir;
  const std::string recorded = ReplayFile("traces/info.trace");
  const std::string copy = dir.Write("own.trace", recorded);
  const RunResult r = RunInReplayDir({"--replay=" + copy, "--trace=" + copy, "info"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("names the trace being replayed"), std::string::npos) << r.err;
  EXPECT_EQ(ReplayFile(copy), recorded);
}

std::string Text(const Trace& trace) {
  std::string text = std::string(kTraceVersionLine) + "\n";
  for (const TraceCall& c : trace.calls)
    text += FormatTraceLine(c);
  return text;
}

// The n-th call (0-based) of the trace whose function is fn.
size_t Nth(const Trace& t, D2xxCall fn, int n) {
  for (size_t i = 0; i < t.calls.size(); ++i) {
    if (t.calls[i].fn == fn && n-- == 0)
      return i;
  }
  return t.calls.size();
}

struct Divergence {
  const char* name;
  // Changes the recorded update's trace; returns the changed file and the
  // start of the report expected.
  std::pair<std::string, std::string> (*change)(Trace t);
  int exitCode;
};

std::string At(const Trace& t, size_t i) {
  return "replay: call " + std::to_string(i + 1) + " (line " + std::to_string(t.lines[i]) +
         " of the trace): ";
}

// clang-format off
constexpr Divergence kDivergences[] = {
  {"a written byte changed", [](Trace t) {
     const size_t i = Nth(t, D2xxCall::Write, 5);  // a command after the handshake
     t.calls[i].bytes[2] ^= 0x01;
     return std::pair{Text(t), At(t, i) + "the program wrote other bytes: FT_Write(" +
                                   std::to_string(t.calls[i].args[0]) + " bytes)\n  first difference at byte 2\n"};
   }, 5},
  {"a call missing", [](Trace t) {
     const size_t i = Nth(t, D2xxCall::Read, 7);
     const std::string expected = At(t, i) + "the program made another call\n  trace:   " +
                                  TraceRequestText(t.calls[i + 1]) + "\n  program: " + TraceRequestText(t.calls[i]) + "\n";
     t.calls.erase(t.calls.begin() + static_cast<long>(i));
     return std::pair{Text(t), expected};
   }, 5},
  {"an extra call", [](Trace t) {
     const size_t i = Nth(t, D2xxCall::Write, 9);
     TraceCall extra;
     extra.fn = D2xxCall::GetQueueStatus;
     const std::string expected = At(t, i) + "the program made another call\n  trace:   FT_GetQueueStatus()\n  program: " +
                                  TraceRequestText(t.calls[i]) + "\n";
     t.calls.insert(t.calls.begin() + static_cast<long>(i), extra);
     return std::pair{Text(t), expected};
   }, 5},
  {"the last call missing", [](Trace t) {
     const size_t n = t.calls.size();
     t.calls.pop_back();
     return std::pair{Text(t), "replay: call " + std::to_string(n) + ": trace ends here (it holds " +
                                   std::to_string(n - 1) + " calls)\n  program: FT_Close()\n"};
   }, 5},
  {"a truncated file", [](Trace t) {
     const std::string text = Text(t);
     return std::pair{text.substr(0, text.size() / 3), std::string(": trace ends here (it holds ")};
   }, 5},
  {"another version", [](Trace t) {
     return std::pair{"vexo3-trace 7" + Text(t).substr(kTraceVersionLine.size()),
                      std::string("vexo3: \"@\": line 1: a trace of format \"7\"; this program reads format \"1\"\n")};
   }, 2},
  {"random bytes", [](Trace) {
     std::string noise;
     uint32_t x = 12345;
     for (int i = 0; i < 4000; ++i) {
       x = x * 1103515245 + 12345;
       noise.push_back(static_cast<char>(x >> 16));
     }
     return std::pair{noise, std::string("vexo3: \"@\": line 1: not a vexo3 wire trace")};
   }, 2},
};
// clang-format on

TEST(ReplayDivergence, IsReportedAtTheExactCall) {
  Trace recorded;
  std::string error;
  ASSERT_TRUE(ParseTrace(ReplayFile("traces/update.trace"), &recorded, &error)) << error;
  for (const Divergence& d : kDivergences) {
    SCOPED_TRACE(d.name);
    auto [text, report] = d.change(recorded);
    ScratchDir dir;
    const std::string file = dir.Write("changed.trace", text);
    if (const size_t at = report.find('@'); at != std::string::npos)
      report.replace(at, 1, file);
    const RunResult r = RunInReplayDir(
        {"--replay=" + file, "update", "packages/small.bin", "--yes", "--no-verify"});
    EXPECT_EQ(r.exitCode, d.exitCode) << r.err;
    EXPECT_NE(r.err.find(report), std::string::npos) << "expected:\n"
                                                     << report << "\ngot:\n"
                                                     << r.err;
  }
}

// Record against the simulated device, replay, and compare: the same output,
// exit status and trace, for every fault the simulator can inject at every
// exchange of both actions (occurrences count from the start of the run).
struct Place {
  const char* name;
  const char* unit;
  int command;
  int parameter;
  int occurrence;
  bool update;  // reached by the update (else by info)
};

// clang-format off
const Place kPlaces[] = {
  {"HandshakeVersion",   "hc",     248,   1, 1, false},
  {"HandshakeCatalog",   "hc",     248,  10, 1, false},
  {"ReadDeviceMode",     "hc",     248,   1, 2, false},
  {"ReadUniqueId",       "hc",     248,  16, 1, false},
  {"ReadPcbId",          "hc",     248,  17, 1, false},
  {"ReadDeviceText",     "hc",     248, 209, 1, false},
  {"ReadFirmwareInfo",   "hc",     247,  16, 1, false},
  {"StartCamera",        "hc",     244, 193, 1, false},
  {"StopCamera",         "hc",     244, 192, 1, false},
  {"CameraMode",         "camera", 248,   1, 1, false},
  {"CameraUniqueId",     "camera", 248,  16, 1, false},
  {"CameraPcbId",        "camera", 248,  17, 1, false},
  {"CameraFirmwareInfo", "camera", 247,  16, 1, false},
  {"FirstRelay",         "hc",     244,  60, 1, false},
  {"LastRelay",          "hc",     244,  60, 4, false},
  {"UpdateDeviceMode",   "hc",     248,   1, 2, true},
  {"HcOpen",             "hc",     247,  48, 1, true},
  {"HcStart",            "hc",     247, 138, 1, true},
  {"HcPoll",             "hc",     247, 218, 1, true},
  {"HcChunkFirst",       "hc",     247, 218, 2, true},
  {"HcChunkLast",        "hc",     247, 218, 3, true},
  {"HcEnd",              "hc",     247, 143, 1, true},
  {"CameraEndAccess",    "hc",     244, 192, 1, true},
  {"CameraStartAccess",  "hc",     244, 193, 1, true},
  {"CameraOpen",         "camera", 247,  48, 1, true},
  {"CameraChunkFirst",   "camera", 247, 218, 1, true},
  {"CameraChunkLast",    "camera", 247, 218, 2, true},
  {"CameraFinalEnd",     "hc",     244, 192, 2, true},
  {"UploadRelay",        "hc",     244,  60, 2, true},
};
const char* const kActions[] = {
  "timeout", "short-frame", "wrong-id", "wrong-counter", "invalid-counter",
  "answer-type:16", "answer-type:17", "answer-type:18", "answer-type:19", "answer-type:20",
  "answer-type:32", "answer-type:66", "async-mode-change", "async-unknown:85", "async-power-off",
  "corrupt-byte:4", "oversized-bulk:1000", "oversized-bulk:200000",
  "status:0", "status:1", "status:2", "status:7", "status:13", "status:239",
};
// clang-format on

// Test names in ctest show the place, not its bytes.
void PrintTo(const Place& p, std::ostream* os) {
  *os << p.name;
}

class ReplayRoundTrip : public testing::TestWithParam<Place> {};

TEST_P(ReplayRoundTrip, EveryFaultReplaysToTheSameRun) {
  const Place& p = GetParam();
  ScratchDir dir;
  const std::string recorded = dir.File("recorded.trace");
  const std::string replayed = dir.File("replayed.trace");
  const std::vector<std::string> args =
      p.update ? std::vector<std::string>{"update", "packages/small.bin", "--yes", "--no-verify"}
               : std::vector<std::string>{"info"};
  int failures = 0;
  for (const char* action : kActions) {
    SCOPED_TRACE(action);
    const std::string profile =
        dir.Write("profile.json", std::string(R"({"faults":[{"unit":")") + p.unit +
                                      "\",\"command\":" + std::to_string(p.command) +
                                      ",\"parameter\":" + std::to_string(p.parameter) +
                                      ",\"occurrence\":" + std::to_string(p.occurrence) +
                                      ",\"action\":\"" + action + "\"}]}");
    const RunResult live = RunInReplayDir(
        Join({"--simulate=" + profile, "--virtual-time", "--trace=" + recorded}, args));
    const RunResult again =
        RunInReplayDir(Join({"--replay=" + recorded, "--trace=" + replayed}, args));
    EXPECT_EQ(Expected(again), Expected(live));
    EXPECT_EQ(WithoutTimes(ReplayFile(replayed)), WithoutTimes(ReplayFile(recorded)));
    failures += live.exitCode != 0;
  }
  // The place is reached: most faults there make the run fail.
  EXPECT_GT(failures, 12);
}

INSTANTIATE_TEST_SUITE_P(Faults, ReplayRoundTrip, testing::ValuesIn(kPlaces),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vexo3
