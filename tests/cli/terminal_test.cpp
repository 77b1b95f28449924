#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "cli/device_list.h"
#include "cli/progress.h"
#include "cli/terminal_update.h"
#include "link/trace_d2xx.h"
#include "platform/clock.h"
#include "sim/bus/sim_bus.h"

namespace vexo3::cli {
namespace {

TEST(Progress, Lines) {
  const struct {
    uint64_t done, total;
    double seconds, rate;
    bool bar;
    const char* expected;
  } cases[] = {
      {0, 100, 0, 0, false, "  HC:  0/100 bytes    0%  --  --:-- left"},
      {50, 100, 1, 50, false, "  HC:  50/100 bytes   50%  50 B/s  0:01 left"},
      {100, 100, 2, 50, false, "  HC:  100/100 bytes  100%  50 B/s  0:02 total"},
      {0, 0, 0, 0, false, "  HC:  0/0 bytes  100%  --  --:-- left"},
      {3000000, 6000000, 2, 1.5e6, true,
       "  HC [############------------]  3000000/6000000 bytes   50%    1.5 MB/s   0:02 left"},
      {4096, 6000000, 0, 0, true,
       "  HC [------------------------]     4096/6000000 bytes    0%          --  --:-- left"},
      {12500, 1000000, 3, 12500, false, "  HC:  12500/1000000 bytes    1%  12.5 kB/s  1:19 left"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatProgress("HC", c.done, c.total, c.seconds, c.rate, c.bar), c.expected);
  }
  EXPECT_EQ(FormatDuration(3723), "1:02:03");
}

// On a terminal of `width` columns, from the first redraw to the last.
TEST(Progress, FitsTheWidthAndKeepsItsLayout) {
  const struct {
    size_t width;
    const char* expected;  // the line half-way
  } cases[] = {
      // clang-format off
      {79, "  HandController [#######-------]  200000/393216   50%  238.0 kB/s   0:01 left"},
      {59, "  HandController:  200000/393216   50%   0:01 left"},
      {39, "  HandController:  200000/393216   50%"},
      {30, "  HandController:   50%"},
      {20, " 50%"},
      {4,  " 50%"},
      {3,  ""},
      // clang-format on
  };
  const struct {
    uint64_t done;
    double seconds, rate;
  } redraws[] = {{4096, 0.1, 0}, {8192, 0.2, 850}, {200000, 1, 238000}, {393216, 2, 1.2e6}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width);
    EXPECT_EQ(FormatProgress("HandController", 200000, 393216, 1, 238000, true, c.width),
              c.expected);
    // No field moves as the numbers grow: the bar's end and the percent
    // stand in the same column on every redraw.
    const std::string half(c.expected);
    for (const auto& r : redraws) {
      const std::string line =
          FormatProgress("HandController", r.done, 393216, r.seconds, r.rate, true, c.width);
      EXPECT_LE(line.size(), c.width) << line;
      EXPECT_EQ(line.find(']'), half.find(']')) << line;
      EXPECT_EQ(line.find('%'), half.find('%')) << line;
    }
  }
}

// The command line's streams writing into memory; in holds the user's typing.
struct Captured {
  explicit Captured(const char* typed, CliStreams o = {}) : io(o) {
    out = std::tmpfile();
    err = std::tmpfile();
    in = std::tmpfile();
    std::fputs(typed, in);
    std::rewind(in);
    io.out = out;
    io.err = err;
    io.in = in;
  }
  ~Captured() {
    std::fclose(out);
    std::fclose(err);
    std::fclose(in);
  }
  static std::string Read(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    for (int c; (c = std::fgetc(f)) != EOF;)
      s += static_cast<char>(c);
    return s;
  }
  VirtualClock clock;
  std::FILE* out;
  std::FILE* err;
  std::FILE* in;
  CliStreams io;
};

TEST(TerminalQuestions, YesNoAnswers) {
  const struct {
    const char* typed;
    bool inIsTerminal, assumeYes;
    bool expected;
  } cases[] = {
      {"y\n", true, false, true},  {"yes\n", true, false, true}, {"Y\n", true, false, true},
      {"n\n", true, false, false}, {"\n", true, false, false},   {"yeah\n", true, false, false},
      {"", true, false, false},    {"y\n", false, false, false}, {"", false, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    CliStreams o;
    o.inIsTerminal = c.inIsTerminal;
    o.errIsTerminal = true;  // where the question is seen
    Captured t(c.typed, o);
    TerminalQuestions questions(t.io, c.assumeYes);
    EXPECT_EQ(questions.Answer({QuestionKind::PcbWarning, "WARNING", "Sure?\r\nReally?"}),
              c.expected);
    EXPECT_EQ(Captured::Read(t.err).rfind("WARNING: Sure?\nReally?\n", 0), 0u);
  }
}

TEST(TerminalUpdateView, ProgressOnATerminalEndsItsLineBeforeTheNextStatus) {
  CliStreams o;
  o.outIsTerminal = true;
  Captured t("", o);
  TerminalUpdateView view(t.io, t.clock);
  view.OnStage(UpdateStage::UploadingHandController, "Uploading HC firmware...");
  t.clock.Advance(std::chrono::seconds(1));
  view.OnProgress(Unit::HandController, 4096, 8192);
  // The rate counts from the first chunk on, so the first one has none.
  t.clock.Advance(std::chrono::milliseconds(500));
  view.OnProgress(Unit::HandController, 8192, 8192);
  view.OnStage(UpdateStage::Done, "DONE ok");
  const std::string out = Captured::Read(t.out);
  EXPECT_EQ(out.rfind("Uploading HC firmware...\n\r  HandController [", 0), 0u) << out;
  EXPECT_NE(out.find("4096/8192 bytes   50%          --  --:-- left\033[K\r"), std::string::npos)
      << out;
  EXPECT_NE(out.find("8192/8192 bytes  100%    8.2 kB/s   0:02 total\033[K\nDONE ok\n"),
            std::string::npos)
      << out;
}

TEST(DeviceChoice, SelectorAndSerial) {
  VirtualClock clock;
  sim::SimulatedBus bus(clock);
  auto add = [&](const char* serial, const char* description) -> sim::ChipInfo& {
    sim::ChipInfo info;
    info.serial = serial;
    info.description = description;
    return bus.AddChip(info, nullptr).MutableInfo();
  };
  add("P1", "Vexo-3 Prototype");
  add("A", "Vexo-3 HandController");
  add("B", "Vexo-3 HandController");
  add("C", "Vexo-3 HandController").inaccessible = true;
  add("D", "Vexo-3 HandController").usbId = 0x04036001;  // not listed
  std::vector<ChipEntry> chips;
  std::string error;
  ASSERT_TRUE(ListChips(bus, &chips, &error)) << error;
  ASSERT_EQ(chips.size(), 4u);
  EXPECT_EQ(ChooseHandController(chips, std::nullopt).kind, Choice::Kind::Several);
  const Choice b = ChooseHandController(chips, std::string("B"));
  ASSERT_EQ(b.kind, Choice::Kind::One);
  EXPECT_EQ(b.matches[0].index, 2u);
  EXPECT_EQ(ChooseHandController(chips, std::string("P1")).kind, Choice::Kind::NoSuchSerial);
  EXPECT_EQ(ChooseHandController({chips[0], chips[3]}, std::nullopt).kind, Choice::Kind::None);
  EXPECT_TRUE(chips[3].unreadable());
  const std::string table = FormatChipTable(chips, std::string("B"));
  EXPECT_NE(table.find("\"Vexo-3 Prototype\"        no: not a Vexo-3 HandController"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("no: other serial than --serial"), std::string::npos) << table;
  EXPECT_NE(table.find("no: can't be read"), std::string::npos) << table;

  // A chip another program holds may be the one asked for, with or without --serial.
  bus.Chip(1).MutableInfo().openElsewhere = true;
  bus.Chip(1).MutableInfo().listedBlank = true;
  bus.Chip(2).MutableInfo().description = "Vexo-3 Prototype";
  ASSERT_TRUE(ListChips(bus, &chips, &error)) << error;
  EXPECT_TRUE(chips[1].inUseElsewhere());
  EXPECT_FALSE(chips[1].unreadable());
  EXPECT_EQ(ChooseHandController(chips, std::nullopt).kind, Choice::Kind::InUseElsewhere);
  EXPECT_EQ(ChooseHandController(chips, std::string("A")).kind, Choice::Kind::InUseElsewhere);
}

// Bytes the peer sends back, whatever the host wrote.
class EchoPeer final : public sim::SimPeer {
 public:
  void OnHostBytes(sim::SimChip& port, std::span<const uint8_t> bytes) override {
    port.Send(bytes);
  }
};

TEST(TraceD2xx, LogsCallsAndBytesWithTimes) {
  VirtualClock clock;
  EchoPeer peer;
  sim::SimulatedBus bus(clock);
  bus.AddChip(sim::ChipInfo{}, &peer);
  std::ostringstream log;
  TraceD2xx trace(bus, clock, log);

  DWORD n = 0;
  ASSERT_EQ(trace.FT_CreateDeviceInfoList(&n), FT_OK);
  FT_HANDLE h = nullptr;
  ASSERT_EQ(trace.FT_Open(0, &h), FT_OK);
  trace.FT_SetBaudRate(h, 3000000);
  trace.FT_SetTimeouts(h, 100, 100);
  const uint8_t frame[] = {0xF8, 0x01, 0x01, 0xFF};
  DWORD moved = 0;
  trace.FT_Write(h, frame, sizeof frame, &moved);
  uint8_t back[8] = {};
  trace.FT_Read(h, back, sizeof back, &moved);  // 4 of 8: a time-out
  EXPECT_EQ(moved, 4u);
  std::vector<uint8_t> big(40, 0xAB);
  trace.FT_Write(h, big.data(), 40, &moved);
  trace.FT_Close(h);
  trace.FT_Close(h);  // a second close fails and says so

  const std::string text = log.str();
  EXPECT_EQ(
      text.rfind("vexo3-trace 1\n+0.000000 0us FT_CreateDeviceInfoList() = FT_OK, 1 devices\n", 0),
      0u)
      << text;
  EXPECT_NE(text.find("FT_SetBaudRate(3000000) = FT_OK\n"), std::string::npos) << text;
  EXPECT_NE(text.find("TX 4/4: F8 01 01 FF\n"), std::string::npos) << text;
  EXPECT_NE(text.find("RX 4/8 (read time-out): F8 01 01 FF\n"), std::string::npos) << text;
  // Long blocks wrap with their offsets.
  EXPECT_NE(text.find("TX 40/40:\n      000000  AB AB"), std::string::npos) << text;
  EXPECT_NE(text.find("\n      000020  AB AB AB AB AB AB AB AB\n"), std::string::npos) << text;
  EXPECT_NE(text.find("FT_Close() = FT_INVALID_HANDLE"), std::string::npos) << text;
}

}  // namespace
}  // namespace vexo3::cli
