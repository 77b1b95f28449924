// Several devices at once: "vexo3 update --all" and the station, against
// simulated buses of several chips on virtual time (each device on a clock
// of its own, so nothing waits and one device's line time is its own).

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "sim/units/package_writer.h"
#include "sim/units/sim_image.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"

namespace vexo3 {
namespace {

using test::ReadText;
using test::RunResult;
using test::RunVexo3;
using test::ScratchDir;

constexpr int kHcVersionNew = 0x0200, kCameraVersionNew = 0x0201;

// HandController image: 5 chunks; Camera image: 8 chunks. supportedPcb: the
// package's PCB (a device with a lower one gets the warning).
std::string WritePackage(const ScratchDir& dir, unsigned supportedPcb = 0) {
  const auto hcFlags = static_cast<uint16_t>(0x1000 | (supportedPcb << 5));
  std::vector<sim::PackageRecord> records(2);
  records[0].kind = "HC";
  records[0].version = kHcVersionNew;
  records[0].flags = hcFlags;
  records[0].description = "HC test firmware";
  records[0].data = sim::MakeSimImage(kHcVersionNew, hcFlags, "HC test firmware", 20000, 1);
  records[1].kind = "CA";
  records[1].version = kCameraVersionNew;
  records[1].flags = 0x2000;
  records[1].description = "Camera test firmware";
  records[1].data = sim::MakeSimImage(kCameraVersionNew, 0x2000, "Camera test firmware", 30000, 2);
  const std::string path = dir.File("p.bin");
  EXPECT_TRUE(sim::WritePackage(path, records));
  return path;
}

// A chip of serial VX30000<n>, with unique id VX3HC0000000000<n>; extra: more
// keys of the chip, hc: more keys of its HandController.
std::string Chip(int n, const std::string& extra = "", const std::string& hc = "") {
  const std::string id = std::to_string(n);
  return R"({"serial": "VX30000)" + id + R"(")" + (extra.empty() ? "" : ", " + extra) +
         R"(, "hand_controller": {"unique_id": "VX3HC0000000000)" + id + R"(", "pcb_id": 3)" +
         (hc.empty() ? "" : ", " + hc) + "}}";
}

std::string Profile(const std::vector<std::string>& chips, const std::string& state = "") {
  std::string text = R"({"chips": [)";
  for (size_t i = 0; i < chips.size(); ++i)
    text += (i ? ", " : "") + chips[i];
  text += "]";
  if (!state.empty())
    text += R"(, "state_file": ")" + state + R"(")";
  return text + "}";
}

std::string Fault(const char* unit, int occurrence, const std::string& action) {
  return R"("faults": [{"unit": ")" + std::string(unit) +
         R"(", "command": 247, "parameter": 218, "occurrence": )" + std::to_string(occurrence) +
         R"(, "action": ")" + action + R"("}])";
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The result line each device ended with: "VX300001: ok" gives "ok".
std::map<std::string, std::string> Results(const std::string& out) {
  std::map<std::string, std::string> results;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    const size_t colon = line.find(": ");
    if (line.rfind("VX3000", 0) != 0 || colon != 8)
      continue;
    const std::string text = line.substr(colon + 2);
    // Status and progress lines come before it; the result is the last.
    results[line.substr(0, colon)] = text;
  }
  return results;
}

TEST(MultiDevice, UpdateAllOutcomes) {
  // HandController 218 number k+1 carries its chunk k (the first is the
  // readiness poll); the Camera's number k is its chunk k.
  // clang-format off
  const struct {
    const char* name;
    std::string second;  // the chip VX300002; VX300001 and VX300003 are plain
    unsigned packagePcb;
    int exitCode;
    std::string secondResult;  // what its result line starts with
  } cases[] = {
      {"all succeed", Chip(2), 0, 0, "ok"},
      {"not in BOOT mode", Chip(2, "", R"("mode": "app")"), 0, 1,
       "ERROR: Device is not in boot mode"},
      {"PCB warning answered no", Chip(2, "", R"("pcb_id": 2)"), 3, 6,
       "PCB warning answered no: nothing written"},
      {"HandController upload fails", Chip(2, Fault("hc", 3, "timeout")), 0, 1,
       "HC firmware update error"},
      {"Camera upload fails", Chip(2, R"("faults": [{"unit": "camera", "command": 247,
         "parameter": 218, "occurrence": 2, "action": "timeout"}])"), 0, 1,
       "Camera firmware update error"},
      {"unplugged during the update", Chip(2, R"("unplug_ms": 820)"), 0, 1,
       "HC firmware update error"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string package = WritePackage(dir, c.packagePcb);
    const std::string profile =
        dir.Write("p.json", Profile({Chip(1), c.second, Chip(3)}, "state.json"));
    // --yes answers every question but in the row of the PCB question,
    // which no terminal answers.
    std::vector<std::string> args = {"--simulate=" + profile, "--virtual-time", "update", package,
                                     "--all"};
    if (c.packagePcb == 0)
      args.push_back("--yes");
    const RunResult r = RunVexo3(args);
    if (c.packagePcb != 0) {
      EXPECT_TRUE(Has(r.err, "VX300002: WARNING: PCB version (0x2)")) << r.err;
      EXPECT_FALSE(Has(r.err, "VX300001: WARNING")) << r.err;
    }
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    const auto results = Results(r.out);
    ASSERT_EQ(results.size(), 3u) << r.out;
    // The others are never held up by the one that fails.
    EXPECT_EQ(results.at("VX300001"), "ok");
    EXPECT_EQ(results.at("VX300003"), "ok");
    EXPECT_EQ(results.at("VX300002").rfind(c.secondResult, 0), 0u) << r.out;
    // The table: a row per device, the result in it.
    for (const char* serial : {"VX300001", "VX300002", "VX300003"}) {
      // Appended piece by piece: GCC 12 at -O3 warns falsely on "literal" + string&&.
      std::string row = "\n";
      row += serial;
      row += "  VX3HC0000000000";
      row += serial[7];
      EXPECT_TRUE(Has(r.out, row)) << r.out;
    }
    EXPECT_TRUE(Has(r.out, "01.02.1 \u2192 02.00.1")) << r.out;
  }
}

// The screen a terminal shows after `tty`: carriage returns, line feeds,
// cursor up (ESC [ n A) and erase to the end of the line (ESC [ K).
std::vector<std::string> Screen(const std::string& tty) {
  std::vector<std::string> lines(1);
  size_t row = 0, col = 0;
  for (size_t i = 0; i < tty.size(); ++i) {
    const char c = tty[i];
    if (c == '\033' && i + 1 < tty.size() && tty[i + 1] == '[') {
      size_t end = i + 2;
      while (end < tty.size() && std::isdigit(static_cast<unsigned char>(tty[end])))
        ++end;
      const int n = end > i + 2 ? std::stoi(tty.substr(i + 2, end - i - 2)) : 1;
      if (end < tty.size() && tty[end] == 'A')
        row -= std::min<size_t>(row, static_cast<size_t>(n));
      else if (end < tty.size() && tty[end] == 'K')
        lines[row].resize(std::min(lines[row].size(), col));
      i = end;
    } else if (c == '\r') {
      col = 0;
    } else if (c == '\n') {
      col = 0;
      if (++row == lines.size())
        lines.emplace_back();
    } else {
      if (lines[row].size() <= col)
        lines[row].resize(col + 1, ' ');
      lines[row][col++] = c;
    }
  }
  return lines;
}

TEST(MultiDevice, LiveLinesOnATerminal) {
  ScratchDir dir;
  const std::string package = WritePackage(dir);
  const std::string profile =
      dir.Write("p.json", Profile({Chip(1), Chip(2, Fault("hc", 3, "timeout")), Chip(3)}));
  test::RunSetup tty;
  tty.stdoutTty = true;
  tty.stderrTty = true;
  tty.columns = 50;
  if (!test::RunSetupSupported(tty))
    GTEST_SKIP() << "no pseudo-terminals here";
  const RunResult r = RunVexo3(
      {"--simulate=" + profile, "--virtual-time", "update", package, "--all", "--yes"}, tty);
  EXPECT_EQ(r.exitCode, 1) << r.tty;
  EXPECT_TRUE(Has(r.tty, "\033[3A")) << "the rows are redrawn in place";
  EXPECT_TRUE(Has(r.tty, "VX300001  HandController")) << r.tty;
  // Each row ends in its device's result, cut to the width; the table below
  // has the whole text.
  std::map<std::string, std::string> rows;
  for (const std::string& line : Screen(r.tty)) {
    if (line.rfind("VX3000", 0) == 0 && line.compare(8, 2, "  ") == 0 &&
        !rows.count(line.substr(0, 8)))
      rows[line.substr(0, 8)] = line.substr(10);
  }
  ASSERT_EQ(rows.size(), 3u) << r.tty;
  EXPECT_EQ(rows["VX300001"], "ok");
  EXPECT_EQ(rows["VX300003"], "ok");
  EXPECT_EQ(rows["VX300002"].rfind("HC firmware update error", 0), 0u) << r.tty;
  EXPECT_LE(rows["VX300002"].size(), 49u - 10u);
  EXPECT_TRUE(Has(r.tty, "HandController left with an incomplete image")) << r.tty;
}

TEST(MultiDevice, CtrlCFinishesEveryUnitBeingWritten) {
  ScratchDir dir;
  const std::string package = WritePackage(dir);
  // The signal arrives as VX300002's HandController takes its second chunk.
  const std::string profile = dir.Write(
      "p.json", Profile({Chip(1), Chip(2, Fault("hc", 3, "signal:2")), Chip(3)}, "state.json"));
  const RunResult r =
      RunVexo3({"--simulate=" + profile, "--virtual-time", "update", package, "--all", "--yes"});
  EXPECT_EQ(r.exitCode, 130) << r.out << r.err;
  EXPECT_TRUE(Has(r.err, "finishing the units being written")) << r.err;
  const auto results = Results(r.out);
  ASSERT_EQ(results.size(), 3u) << r.out;
  EXPECT_EQ(results.at("VX300002"),
            "interrupted (SIGINT); written: HandController; not updated: Camera");
  // No unit anywhere was cut off in its middle; what came after wasn't begun.
  for (const auto& [serial, text] : results) {
    SCOPED_TRACE(serial);
    EXPECT_FALSE(Has(text, "incomplete")) << text;
    EXPECT_TRUE(text == "ok" || text.rfind("interrupted (SIGINT)", 0) == 0) << text;
  }
  EXPECT_FALSE(Has(r.out, "VX300002: DONE ok")) << r.out;
}

TEST(MultiDevice, ChoosingTheDevices) {
  ScratchDir dir;
  const std::string package = WritePackage(dir);
  const std::string profile = dir.Write("p.json", Profile({Chip(1), Chip(2), Chip(3)}));
  const std::string twins =
      dir.Write("twins.json", Profile({Chip(1), R"({"serial": "VX300001"})"}));
  // clang-format off
  const struct {
    std::vector<std::string> args;
    int exitCode;
    std::string out;  // in stdout
    std::string err;  // in stderr
  } cases[] = {
      {{"--serial", "VX300001", "--serial", "VX300003"}, 0, "VX300003: ok", ""},
      {{"--serial", "VX300001", "--serial", "VX300009"}, 3, "",
       "no HandController with the serial number \"VX300009\" found"},
      {{"--all", "--serial", "VX300001"}, 2, "", "--all and --serial exclude each other"},
      {{"--all", "--trace=t.txt"}, 2, "", "not with several"},
      {{"--json"}, 2, "", "update --json needs --all or several --serial"},
      {{"--all", "--json"}, 0, R"("event":"result")", ""},
  };
  // clang-format on
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--simulate=" + profile, "--virtual-time", "update", package,
                                     "--yes"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(args.back());
    const RunResult r = RunVexo3(args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, c.out)) << r.out;
    EXPECT_TRUE(Has(r.err, c.err)) << r.err;
    if (c.exitCode == 3) {
      EXPECT_FALSE(Has(r.out, "Reading device state")) << "a device was touched";
    }
  }
  // Twins, or a chip without a serial among several: nothing is touched.
  const std::string unnamed = dir.Write("unnamed.json", Profile({Chip(1), R"({"serial": ""})"}));
  for (const std::string& p : {twins, unnamed}) {
    const RunResult same =
        RunVexo3({"--simulate=" + p, "--virtual-time", "update", package, "--all", "--yes"});
    EXPECT_EQ(same.exitCode, 2) << same.err;
    EXPECT_TRUE(Has(same.err, "can't be told apart")) << same.err;
    EXPECT_FALSE(Has(same.out, "Reading device state")) << same.out;
  }
}

TEST(MultiDevice, JsonLines) {
  ScratchDir dir;
  const std::string package = WritePackage(dir);
  const std::string profile =
      dir.Write("p.json", Profile({Chip(1), Chip(2, Fault("hc", 3, "timeout"))}));
  const RunResult r = RunVexo3(
      {"--simulate=" + profile, "--virtual-time", "update", package, "--all", "--yes", "--json"});
  EXPECT_EQ(r.exitCode, 1);
  std::map<std::string, nlohmann::json> result;
  std::map<std::string, int> starts;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json j = nlohmann::json::parse(line);  // every line is JSON
    if (j["event"] == "start")
      ++starts[j["serial"]];
    if (j["event"] == "result")
      result[j["serial"]] = j;
  }
  EXPECT_EQ(starts.size(), 2u);
  ASSERT_EQ(result.size(), 2u) << r.out;
  EXPECT_EQ(result["VX300001"]["ok"], true);
  EXPECT_EQ(result["VX300001"]["versions"]["HandController"]["new"], "02.00.1");
  EXPECT_EQ(result["VX300002"]["ok"], false);
  EXPECT_EQ(result["VX300002"]["stopped"], "HandController");  // one chunk was in
  EXPECT_EQ(result["VX300002"]["skipped"], nlohmann::json::array({"Camera"}));
}

TEST(Station, UpdatesEachArrivalOncePerPlugging) {
  ScratchDir dir;
  const std::string package = WritePackage(dir);
  const std::string profile = dir.Write(
      "p.json",
      Profile({Chip(1), Chip(2, R"("plug_in_ms": 3000)"),
               R"({"serial": "VX300009", "description": "FT230X Basic UART", "plug_in_ms": 500,
                   "hand_controller": null})",
               Chip(3, R"("plug_in_ms": 5000, "unplug_ms": 20000, "replug_ms": 30000)"),
               Chip(4, R"("plug_in_ms": 6000)", R"("mode": "app")"),
               R"({"serial": "", "plug_in_ms": 700})"},
              "state.json"));
  const std::string log = dir.File("station.log");
  const RunResult r = RunVexo3({"--simulate=" + profile, "--virtual-time", "station", package,
                                "--yes", "--count", "4", "--log", log});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "VX300009: FT230X Basic UART: not a HandController")) << r.out;
  EXPECT_TRUE(Has(r.out, "VX300004: in application mode")) << r.out;
  EXPECT_TRUE(Has(r.out, ": no serial number, so the station can't tell it from other chips"))
      << r.out;

  // A line per device finished, on the disk; VX300003 twice, once per plugging-in.
  std::vector<nlohmann::json> lines;
  std::istringstream in(ReadText(log));
  for (std::string line; std::getline(in, line);)
    lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), 4u);
  std::map<std::string, int> times;
  for (const nlohmann::json& j : lines) {
    ++times[j["serial"]];
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["code"], 0);
    EXPECT_TRUE(j.contains("time") && j.contains("bytes") && j.contains("seconds"));
  }
  EXPECT_EQ(times, (std::map<std::string, int>{{"VX300001", 1}, {"VX300002", 1}, {"VX300003", 2}}));
  EXPECT_EQ(lines[3]["versions"]["HandController"]["old"], "02.00.1");  // the second time

  // What the devices report afterwards is what the log says they got.
  for (const nlohmann::json& j : lines) {
    const std::string serial = j["serial"];
    if (serial != "VX300001")
      continue;  // the others aren't plugged in at the start of a run
    const RunResult info =
        RunVexo3({"--simulate=" + profile, "--virtual-time", "info", "--serial", serial, "--json"});
    ASSERT_EQ(info.exitCode, 0) << info.err;
    const nlohmann::json report = nlohmann::json::parse(info.out);
    EXPECT_EQ(report["hand_controller"]["unique_id"], j["hc_unique_id"]);
    EXPECT_EQ(report["hand_controller"]["firmware"]["version_text"],
              j["versions"]["HandController"]["new"]);
    EXPECT_EQ(report["camera"]["unique_id"], j["camera_unique_id"]);
    EXPECT_EQ(report["camera"]["firmware"]["version"], kCameraVersionNew);
  }
}

TEST(Station, RefusalsBeforeAnyDevice) {
  ScratchDir dir;
  const std::string package = WritePackage(dir, 3);
  const std::string profile =
      dir.Write("p.json", Profile({Chip(1, "", R"("pcb_id": 2)"), Chip(2)}));
  // A log that can't be opened: no device is touched.
  const RunResult noLog = RunVexo3({"--simulate=" + profile, "--virtual-time", "station", package,
                                    "--count", "1", "--log", dir.File("no/such/dir/log")});
  EXPECT_EQ(noLog.exitCode, 1);
  EXPECT_TRUE(Has(noLog.err, "can't open the log file")) << noLog.err;
  EXPECT_FALSE(Has(noLog.out, "Reading device state")) << noLog.out;
  // A board newer than the package supports is left alone without --yes.
  const RunResult r =
      RunVexo3({"--simulate=" + profile, "--virtual-time", "station", package, "--count", "1"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "VX300001: its board (PCB 0x2) is newer than the package supports"))
      << r.out;
  EXPECT_TRUE(Has(r.out, "VX300002: ok")) << r.out;
}

TEST(MultiDevice, PlugTimelineKeys) {
  const struct {
    const char* chip;
    const char* error;
  } cases[] = {
      {R"({"unplug_ms": 0})", "chips[0].unplug_ms: expected a time after plug_in_ms"},
      {R"({"plug_in_ms": 500, "unplug_ms": 500})",
       "chips[0].unplug_ms: expected a time after plug_in_ms"},
      {R"({"replug_ms": 500})", "chips[0].replug_ms: expected a time after unplug_ms"},
      {R"({"unplug_ms": 500, "replug_ms": 400})",
       "chips[0].replug_ms: expected a time after unplug_ms"},
      {R"({"plug_in_ms": "soon"})", "chips[0].plug_in_ms: expected a number"},
      {R"({"faults": {}})", "chips[0].faults: expected an array"},
      {R"({"faults": [{"unit": "hc"}]})", "chips[0].faults[0].action: missing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chip);
    ScratchDir dir;
    const std::string profile = dir.Write("p.json", std::string(R"({"chips": [)") + c.chip + "]}");
    const RunResult r = RunVexo3({"--simulate=" + profile, "--virtual-time", "devices"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Has(r.err, c.error)) << r.err;
  }
}

TEST(DevicesWatch, ArrivalsAndDepartures) {
  ScratchDir dir;
  const std::string profile =
      dir.Write("p.json", Profile({Chip(1), Chip(2, R"("plug_in_ms": 1000, "unplug_ms": 2000)")}));
  const RunResult r =
      RunVexo3({"--simulate=" + profile, "--virtual-time", "devices", "--watch", "--polls", "20"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "present  VX300001  Vexo-3 HandController\n"
            "arrived  VX300002  Vexo-3 HandController\n"
            "departed  VX300002  Vexo-3 HandController\n");
}

}  // namespace
}  // namespace vexo3
