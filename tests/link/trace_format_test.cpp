// The wire trace format: every kind of call written and read back, the
// files the parser refuses, files cut short, and ReplayD2xx answering from a
// trace on its virtual clock.

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "link/replay_d2xx.h"
#include "link/trace_d2xx.h"
#include "link/trace_format.h"
#include "platform/clock.h"
#include "sim/bus/sim_bus.h"

namespace vexo3 {
namespace {

TraceCall Call(D2xxCall fn, std::array<uint32_t, 3> args, FT_STATUS status,
               std::array<uint32_t, 3> results = {}, std::vector<uint8_t> bytes = {}) {
  TraceCall c;
  c.fn = fn;
  c.args = args;
  c.status = status;
  c.results = results;
  c.bytes = std::move(bytes);
  return c;
}

TraceCall DeviceList() {
  TraceCall c = Call(D2xxCall::GetDeviceInfoList, {2, 0, 0}, FT_OK, {3, 0, 0});
  c.devices = {{0, 9, 0x04036015, 0x1234, "VX300001", "Vexo-3 HandController"},
               {1, 3, 0x04036001, 0, "", "quote \" back\\slash \x01\xE9"}};
  return c;
}

TraceCall DeviceInfo() {
  TraceCall c = Call(D2xxCall::GetDeviceInfo, {}, FT_OK, {9, 0x04036015, 0});
  c.serial = "0123456789ABCDEF";  // all 16 bytes, no terminator
  c.description = "Vexo-3 HandController";
  return c;
}

std::vector<uint8_t> Counting(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = static_cast<uint8_t>(i);
  return v;
}

struct FormatRow {
  const char* name;
  TraceCall call;
  const char* text;
};

// clang-format off
const std::vector<FormatRow>& FormatRows() {
  static const std::vector<FormatRow> rows = {
  {"create", Call(D2xxCall::CreateDeviceInfoList, {}, FT_OK, {1}), "FT_CreateDeviceInfoList() = FT_OK, 1 devices"},
  {"create fails", Call(D2xxCall::CreateDeviceInfoList, {}, FT_IO_ERROR), "FT_CreateDeviceInfoList() = FT_IO_ERROR"},
  {"list", DeviceList(), "FT_GetDeviceInfoList(room 2) = FT_OK, 3 devices\n"
                         "      [0] id 0403:6015 type 9 flags 0x0 loc 0x1234 serial \"VX300001\" description \"Vexo-3 HandController\"\n"
                         "      [1] id 0403:6001 type 3 flags 0x1 loc 0x0 serial \"\" description \"quote \\x22 back\\x5Cslash \\x01\\xE9\""},
  {"open", Call(D2xxCall::Open, {0}, FT_OK), "FT_Open(0) = FT_OK"},
  {"open negative", Call(D2xxCall::Open, {static_cast<uint32_t>(-1)}, FT_DEVICE_NOT_FOUND), "FT_Open(-1) = FT_DEVICE_NOT_FOUND"},
  {"close", Call(D2xxCall::Close, {}, FT_INVALID_HANDLE), "FT_Close() = FT_INVALID_HANDLE"},
  {"bit mode", Call(D2xxCall::GetBitMode, {}, FT_OK, {0x0F}), "FT_GetBitMode() = FT_OK, pins 0x0F"},
  {"set bit mode", Call(D2xxCall::SetBitMode, {0, 0x20}, FT_OK), "FT_SetBitMode(mask 0x00, mode 0x20) = FT_OK"},
  {"purge rx", Call(D2xxCall::Purge, {1}, FT_OK), "FT_Purge(RX) = FT_OK"},
  {"purge both", Call(D2xxCall::Purge, {3}, FT_OK), "FT_Purge(RX|TX) = FT_OK"},
  {"purge odd", Call(D2xxCall::Purge, {4}, FT_OK), "FT_Purge(0x4) = FT_OK"},
  {"data", Call(D2xxCall::SetDataCharacteristics, {8, 0, 0}, FT_OK), "FT_SetDataCharacteristics(bits 8, stop 0, parity 0) = FT_OK"},
  {"baud", Call(D2xxCall::SetBaudRate, {3000000}, FT_OK), "FT_SetBaudRate(3000000) = FT_OK"},
  {"flow", Call(D2xxCall::SetFlowControl, {0x100, 0x11, 0x13}, FT_OK), "FT_SetFlowControl(0x0100 RTS/CTS, xon 0x11, xoff 0x13) = FT_OK"},
  {"no flow", Call(D2xxCall::SetFlowControl, {0, 0, 0}, FT_OK), "FT_SetFlowControl(0x0000, xon 0x00, xoff 0x00) = FT_OK"},
  {"timeouts", Call(D2xxCall::SetTimeouts, {1000, 5000}, FT_OK), "FT_SetTimeouts(read 1000 ms, write 5000 ms) = FT_OK"},
  {"latency", Call(D2xxCall::SetLatencyTimer, {2}, FT_OK), "FT_SetLatencyTimer(2 ms) = FT_OK"},
  {"info", DeviceInfo(), "FT_GetDeviceInfo() = FT_OK, type 9, id 0403:6015, serial \"0123456789ABCDEF\", description \"Vexo-3 HandController\""},
  {"info fails", Call(D2xxCall::GetDeviceInfo, {}, FT_OTHER_ERROR), "FT_GetDeviceInfo() = FT_OTHER_ERROR"},
  {"write", Call(D2xxCall::Write, {4}, FT_OK, {4}, {0xF8, 1, 1, 0xFF}), "TX 4/4: F8 01 01 FF"},
  {"write time-out", Call(D2xxCall::Write, {3}, FT_OK, {1}, {1, 2, 3}), "TX 1/3 (write time-out): 01 02 03"},
  {"write fails", Call(D2xxCall::Write, {2}, FT_IO_ERROR, {0}, {1, 2}), "TX 0/2 FT_IO_ERROR: 01 02"},
  {"write long", Call(D2xxCall::Write, {40}, FT_OK, {40}, Counting(40)),
   "TX 40/40:\n"
   "      000000  00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F\n"
   "      000020  20 21 22 23 24 25 26 27"},
  {"read", Call(D2xxCall::Read, {11}, FT_OK, {2}, {0xF8, 0x01}), "RX 2/11 (read time-out): F8 01"},
  {"read nothing", Call(D2xxCall::Read, {11}, FT_OK, {0}), "RX 0/11 (read time-out)"},
  {"read fails", Call(D2xxCall::Read, {11}, FT_STATUS{42}, {0}), "RX 0/11 FT_STATUS 42"},
  {"queue", Call(D2xxCall::GetQueueStatus, {}, FT_OK, {7}), "FT_GetQueueStatus() = FT_OK, rx 7"},
  {"status", Call(D2xxCall::GetStatus, {}, FT_OK, {1, 2, 3}), "FT_GetStatus() = FT_OK, rx 1, tx 2, events 3"},
  {"status fails", Call(D2xxCall::GetStatus, {}, FT_DEVICE_NOT_OPENED_FOR_WRITE), "FT_GetStatus() = FT_DEVICE_NOT_OPENED_FOR_WRITE"},
  };
  return rows;
}
// clang-format on

TEST(TraceFormat, EveryCallIsWrittenAndReadBackUnchanged) {
  std::string file = std::string(kTraceVersionLine) + "\n";
  int64_t t = 0;
  std::vector<TraceCall> calls;
  for (const FormatRow& row : FormatRows()) {
    EXPECT_EQ(FormatTraceCall(row.call), row.text) << row.name;
    TraceCall c = row.call;
    c.startUs = t;
    c.durationUs = t % 1000;
    t += 1234567;
    file += FormatTraceLine(c);
    calls.push_back(c);
  }
  Trace trace;
  std::string error;
  ASSERT_TRUE(ParseTrace(file, &trace, &error)) << error << "\n" << file;
  ASSERT_EQ(trace.calls.size(), calls.size());
  EXPECT_FALSE(trace.cutShort);
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_TRUE(trace.calls[i].SameCall(calls[i])) << FormatRows()[i].name;
    EXPECT_EQ(trace.calls[i].startUs, calls[i].startUs) << FormatRows()[i].name;
    EXPECT_EQ(trace.calls[i].durationUs, calls[i].durationUs) << FormatRows()[i].name;
  }
  EXPECT_EQ(FormatTraceLine(calls[1]), "+1.234567 567us FT_CreateDeviceInfoList() = FT_IO_ERROR\n");

  // The same file with CR LF line ends reads the same.
  std::string crlf;
  for (const char c : file)
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  Trace fromCrlf;
  ASSERT_TRUE(ParseTrace(crlf, &fromCrlf, &error)) << error;
  ASSERT_EQ(fromCrlf.calls.size(), calls.size());
  EXPECT_TRUE(fromCrlf.calls.back().SameCall(calls.back()));
  EXPECT_FALSE(fromCrlf.cutShort);
}

// A call added to kD2xxCalls is found by its name and has its rows above.
TEST(D2xxCalls, EveryCallIsFoundByItsNameAndWrittenAbove) {
  std::set<D2xxCall> written;
  for (const FormatRow& row : FormatRows())
    written.insert(row.call.fn);
  for (const D2xxCallRow& row : kD2xxCalls) {
    EXPECT_EQ(FindD2xxCall(row.name), row.call) << row.name;
    EXPECT_TRUE(written.contains(row.call)) << row.name << " has no row in FormatRows";
  }
  EXPECT_EQ(FindD2xxCall("FT_GetDeviceInfoLis"), std::nullopt);
}

struct RefusedRow {
  const char* name;
  std::string text;
  const char* error;
};

std::string Versioned(const std::string& body) {
  return std::string(kTraceVersionLine) + "\n" + body;
}

// clang-format off
const std::vector<RefusedRow>& RefusedRows() {
  static const std::vector<RefusedRow> rows = {
  {"empty file", "", "line 1: not a vexo3 wire trace"},
  {"random bytes", std::string("\x8F\x01\xFF\x00zz\n", 7), "line 1: not a vexo3 wire trace"},
  {"old unversioned trace", "+0.000000 FT_CreateDeviceInfoList() = FT_OK, 1 devices\n", "line 1: not a vexo3 wire trace"},
  {"another version", "vexo3-trace 2\n+0.000000 0us FT_Close() = FT_OK\n", "line 1: a trace of format \"2\"; this program reads format \"1\""},
  {"no times", Versioned("FT_Close() = FT_OK\n"), "line 2: expected a call"},
  {"bad times", Versioned("+0.5 0us FT_Close() = FT_OK\n"), "line 2: bad times"},
  {"unknown call", Versioned("+0.000000 0us FT_Explode() = FT_OK\n"), "line 2: not a call this format knows: FT_Explode()"},
  {"unknown status", Versioned("+0.000000 0us FT_Close() = FT_MAYBE\n"), "line 2: not a call"},
  {"lower-case hex", Versioned("+0.000000 0us TX 1/1: ff\n"), "line 2: not a call"},
  {"extra blank", Versioned("+0.000000 0us FT_SetBaudRate( 9600) = FT_OK\n"), "line 2: not a call"},
  {"results on failure", Versioned("+0.000000 0us FT_GetQueueStatus() = FT_IO_ERROR, rx 3\n"), "line 2: not a call"},
  {"more bytes than counted", Versioned("+0.000000 0us TX 1/1: 01 02\n"), "line 2: not a call"},
  {"fewer bytes, not last", Versioned("+0.000000 0us TX 2/2: 01\n+0.000001 0us FT_Close() = FT_OK\n"), "line 2: not a call"},
  {"stray indented line", Versioned("      000000  01\n"), "line 2: expected a call"},
  {"number overflow", Versioned("+0.000000 0us FT_SetBaudRate(99999999999) = FT_OK\n"), "line 2: not a call"},
  {"device count a program can't make room for", Versioned("+0.000000 0us FT_CreateDeviceInfoList() = FT_OK, 4294967295 devices\n"), "line 2: 4294967295 devices, more than the 4096"},
  {"device list room past the bound", Versioned("+0.000000 0us FT_GetDeviceInfoList(room 4097) = FT_OK, 0 devices\n"), "line 2: 4097 devices, more than the 4096"},
  {"serial too long", Versioned("+0.000000 0us FT_GetDeviceInfo() = FT_OK, type 9, id 0403:6015, serial \"0123456789ABCDEFG\", description \"\"\n"), "line 2: not a call"},
  };
  return rows;
}
// clang-format on

TEST(TraceFormat, RefusesWhatItDidNotWrite) {
  for (const RefusedRow& row : RefusedRows()) {
    Trace trace;
    std::string error;
    EXPECT_FALSE(ParseTrace(row.text, &trace, &error)) << row.name;
    EXPECT_EQ(error.rfind(row.error, 0), 0u) << row.name << ": " << error;
  }
}

// A trace file cut at every byte: the whole calls before the cut are kept,
// nothing else, and a cut inside a call is marked.
TEST(TraceFormat, AFileCutAnywhereKeepsItsWholeCalls) {
  std::string file = Versioned("");
  std::vector<size_t> ends;  // where each call's text ends
  for (const FormatRow& row : FormatRows()) {
    file += FormatTraceLine(row.call);
    ends.push_back(file.size());
  }
  for (size_t cut = Versioned("").size(); cut <= file.size(); ++cut) {
    Trace trace;
    std::string error;
    ASSERT_TRUE(ParseTrace(file.substr(0, cut), &trace, &error)) << cut << ": " << error;
    size_t whole = 0;
    while (whole < ends.size() && ends[whole] <= cut)
      ++whole;
    // A long block or a device list cut at a line end whose call happens to
    // be complete is whole too; otherwise only the calls before the cut count.
    EXPECT_EQ(trace.calls.size(), whole) << "cut at " << cut;
    const bool atCallEnd = cut == Versioned("").size() || (whole > 0 && ends[whole - 1] == cut);
    EXPECT_EQ(trace.cutShort, !atCallEnd) << "cut at " << cut;
  }
}

// The tracer writes what the parser reads, and ReplayD2xx answers from it
// what the device answered, on its own clock.
TEST(ReplayD2xx, AnswersWhatTheDeviceAnsweredAtTheRecordedTimes) {
  class EchoPeer final : public sim::SimPeer {
   public:
    void OnHostBytes(sim::SimChip& port, std::span<const uint8_t> bytes) override {
      port.Send(bytes);
    }
  } peer;
  VirtualClock clock;
  sim::SimulatedBus bus(clock);
  bus.AddChip(sim::ChipInfo{}, &peer);
  std::ostringstream recorded;
  std::ostringstream replayed;

  // The same program twice: against the simulated chip, then the replay.
  auto program = [](D2xxApi& d2xx, Clock& clock) {
    std::string seen;
    DWORD n = 0;
    d2xx.FT_CreateDeviceInfoList(&n);
    std::vector<FT_DEVICE_LIST_INFO_NODE> list(n);
    d2xx.FT_GetDeviceInfoList(list.data(), &n);
    seen += list.at(0).Description;
    FT_HANDLE h = nullptr;
    d2xx.FT_Open(0, &h);
    d2xx.FT_SetTimeouts(h, 100, 100);
    const uint8_t frame[] = {0xF8, 0x01, 0x01, 0xFF};
    DWORD moved = 0;
    d2xx.FT_Write(h, frame, sizeof frame, &moved);
    clock.Sleep(5);
    uint8_t back[8] = {};
    d2xx.FT_Read(h, back, sizeof back, &moved);  // 4 of 8: a time-out
    seen += " " + HexBytes({back, moved});
    d2xx.FT_Close(h);
    seen += " " + std::to_string(clock.Now().count());
    return seen;
  };
  std::string live;
  {
    TraceD2xx trace(bus, clock, recorded);
    live = program(trace, clock);
  }
  Trace parsed;
  std::string error;
  ASSERT_TRUE(ParseTrace(recorded.str(), &parsed, &error)) << error;
  ASSERT_EQ(parsed.calls.size(), 7u) << recorded.str();

  VirtualClock replayClock;
  replayClock.Advance(std::chrono::seconds(100));  // the replay's own time 0
  ReplayD2xx replay(parsed, replayClock);
  TraceD2xx retrace(replay, replayClock, replayed);
  const std::string again = program(retrace, replayClock);
  EXPECT_EQ(replay.Finish(), "");
  EXPECT_EQ(replay.CallsReplayed(), 7u);
  // Same answers; the times are those of the record, moved by 100 s.
  EXPECT_EQ(again.substr(0, again.rfind(' ')), live.substr(0, live.rfind(' ')));
  EXPECT_EQ(std::stoll(again.substr(again.rfind(' '))) - 100000000,
            std::stoll(live.substr(live.rfind(' '))));
  EXPECT_EQ(replayed.str(), recorded.str());
}

struct DivergenceRow {
  const char* name;
  std::vector<TraceCall> program;  // the calls the program makes
  const char* report;              // the report begins with this
  const char* detail;              // and holds this
};

TraceCall Write(std::vector<uint8_t> bytes) {
  const auto n = static_cast<uint32_t>(bytes.size());
  return Call(D2xxCall::Write, {n}, FT_OK, {n}, std::move(bytes));
}

// clang-format off
const std::vector<TraceCall>& Recorded() {
  static const std::vector<TraceCall> rows = {
    Call(D2xxCall::SetBaudRate, {9600}, FT_OK),
    Write({0x00}),
    Write(Counting(20)),
    Call(D2xxCall::Read, {4}, FT_OK, {4}, {1, 2, 3, 4}),
  };
  return rows;
}
// clang-format on

std::vector<TraceCall> Changed(size_t at, TraceCall call) {
  std::vector<TraceCall> v = Recorded();
  v[at] = std::move(call);
  return v;
}

std::vector<uint8_t> CountingWith(size_t at, uint8_t value) {
  std::vector<uint8_t> v = Counting(20);
  v[at] = value;
  return v;
}

// clang-format off
const std::vector<DivergenceRow>& DivergenceRows() {
  static const std::vector<DivergenceRow> rows = {
  {"as recorded", Recorded(), "", ""},
  {"another baud rate", Changed(0, Call(D2xxCall::SetBaudRate, {3000000}, FT_OK)),
   "replay: call 1 (line 2 of the trace): the program made another call\n"
   "  trace:   FT_SetBaudRate(9600)\n  program: FT_SetBaudRate(3000000)\n", ""},
  {"a byte changed", Changed(2, Write(CountingWith(12, 0xEE))),
   "replay: call 3 (line 4 of the trace): the program wrote other bytes: FT_Write(20 bytes)\n",
   "  first difference at byte 12\n"
   "  trace:   000004: .. 04 05 06 07 08 09 0A 0B [0C] 0D 0E 0F 10 11 12 13\n"
   "  program: 000004: .. 04 05 06 07 08 09 0A 0B [EE] 0D 0E 0F 10 11 12 13\n"},
  {"a shorter write", Changed(2, Write(Counting(3))),
   "replay: call 3 (line 4 of the trace): the program made another call\n"
   "  trace:   FT_Write(20 bytes)\n  program: FT_Write(3 bytes)\n",
   "  program: 000000: 00 01 02 [end]\n"},
  {"a call missing", {Recorded()[0], Recorded()[2], Recorded()[3]},
   "replay: call 2 (line 3 of the trace): the program made another call\n"
   "  trace:   FT_Write(1 bytes)\n  program: FT_Write(20 bytes)\n", ""},
  {"an extra call", {Recorded()[0], Recorded()[1], Call(D2xxCall::Purge, {1}, FT_OK), Recorded()[2]},
   "replay: call 3 (line 4 of the trace): the program made another call\n"
   "  trace:   FT_Write(20 bytes)\n  program: FT_Purge(RX)\n", ""},
  {"past the end", {Recorded()[0], Recorded()[1], Recorded()[2], Recorded()[3], Call(D2xxCall::Close, {}, FT_OK)},
   "replay: call 5: trace ends here (it holds 4 calls)\n  program: FT_Close()\n", ""},
  {"stops early", {Recorded()[0], Recorded()[1]},
   "replay: the program made 2 calls; the trace goes on with call 3 (line 4 of the trace)\n"
   "  trace:   FT_Write(20 bytes)\n", ""},
  };
  return rows;
}
// clang-format on

// Plays the calls of a row against the trace; stops at the first failure.
void Play(ReplayD2xx& replay, const std::vector<TraceCall>& calls) {
  for (const TraceCall& c : calls) {
    FT_STATUS s = FT_OK;
    DWORD moved = 0;
    std::vector<uint8_t> buffer(c.args[0]);
    switch (c.fn) {
      case D2xxCall::SetBaudRate:
        s = replay.FT_SetBaudRate(nullptr, c.args[0]);
        break;
      case D2xxCall::Purge:
        s = replay.FT_Purge(nullptr, c.args[0]);
        break;
      case D2xxCall::Close:
        s = replay.FT_Close(nullptr);
        break;
      case D2xxCall::Write:
        s = replay.FT_Write(nullptr, c.bytes.data(), c.args[0], &moved);
        break;
      case D2xxCall::Read:
        s = replay.FT_Read(nullptr, buffer.data(), c.args[0], &moved);
        break;
      default:
        FAIL() << "not used here";
    }
    if (s != FT_OK) {
      EXPECT_EQ(s, ReplayD2xx::kStatusAfterDivergence);
      EXPECT_EQ(moved, 0u);
      return;
    }
  }
}

TEST(ReplayD2xx, ReportsTheFirstDivergenceExactly) {
  std::string file = Versioned("");
  for (const TraceCall& c : Recorded())
    file += FormatTraceLine(c);
  Trace trace;
  std::string error;
  ASSERT_TRUE(ParseTrace(file, &trace, &error)) << error;
  for (const DivergenceRow& row : DivergenceRows()) {
    VirtualClock clock;
    ReplayD2xx replay(trace, clock);
    Play(replay, row.program);
    const std::string report = replay.Finish();
    EXPECT_EQ(report.rfind(row.report, 0), 0u) << row.name << ":\n" << report;
    EXPECT_NE(report.find(row.detail), std::string::npos) << row.name << ":\n" << report;
    EXPECT_EQ(replay.Diverged(), *row.report != '\0') << row.name;
    // Once off the trace, every call fails.
    if (replay.Diverged()) {
      DWORD n = 7;
      EXPECT_EQ(replay.FT_CreateDeviceInfoList(&n), ReplayD2xx::kStatusAfterDivergence);
      EXPECT_EQ(replay.Report(), report) << "the first divergence stays";
    }
  }
}

}  // namespace
}  // namespace vexo3
