// What a person does to vexo3 around an update: interrupts it, pipes or
// redirects its output, points --trace or a profile at the wrong file, runs
// two at once, uses a narrow terminal. Each table runs the built binary on
// virtual time; signals come from the simulated device itself ("signal:N"
// faults), so each lands at a chosen chunk.

#include <gtest/gtest.h>
#include <algorithm>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <csignal>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/file_access.h"
#include "sim/units/package_writer.h"
#include "sim/units/sim_image.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"

namespace vexo3 {
namespace {

using test::ReadText;
using test::RunResult;
using test::RunSetup;
using test::RunVexo3;
using test::ScratchDir;

constexpr int kHcVersionBefore = 258, kCameraVersionBefore = 260;
constexpr int kHcVersionNew = 0x0200, kCameraVersionNew = 0x0201;
constexpr int kChecksumError = -9;  // Versions() gives a bad status as its negative

// HandController image: 5 chunks (20000 bytes); Camera image: 8 chunks.
std::string WritePackage(const ScratchDir& dir, uint16_t hcFlags = 0x1000) {
  return dir.Package("p.bin", test::CliPackage(hcFlags));
}

// A profile with a state file; faults: the JSON array's contents.
std::string WriteProfile(const ScratchDir& dir, const std::string& faults = "",
                         const std::string& stateFile = "state.json") {
  return dir.Write("profile.json", R"({"state_file": ")" + stateFile + R"(",
    "chips": [ { "hand_controller": { "protocol_version": [5, 1], "pcb_id": 2,
      "firmware": { "status": 0, "flags": 4096, "version": 258, "size_blocks": 96,
                    "description": "old" },
      "camera": { "present": true, "mode": "boot",
        "firmware": { "status": 0, "flags": 8192, "version": 260, "size_blocks": 128,
                      "description": "old" } } } } ],
    "faults": [ )" + faults + " ] }");
}

// The simulated device on virtual time: nothing waits.
RunResult Vexo3(std::vector<std::string> args, const RunSetup& setup = {}) {
  if (std::any_of(args.begin(), args.end(),
                  [](const std::string& a) { return a.rfind("--simulate", 0) == 0; }))
    args.insert(args.begin(), "--virtual-time");
  return RunVexo3(args, setup);
}

// The firmware versions the simulated device reports now (its state file).
std::pair<int, int> Versions(const std::string& profile) {
  const RunResult r = Vexo3({"--simulate=" + profile, "info", "--json"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out, nullptr, false);
  if (j.is_discarded())
    return {-1, -1};
  auto version = [](const nlohmann::json& fw) {
    return fw.at("status") == 0 ? fw.at("version").get<int>() : -fw.at("status").get<int>();
  };
  return {version(j.at("hand_controller").at("firmware")), version(j.at("camera").at("firmware"))};
}

RunSetup StdoutTo(const std::string& path) {
  RunSetup s;
  s.stdoutPath = path;
  return s;
}
RunSetup BrokenPipe() {
  RunSetup s;
  s.stdoutBrokenPipe = true;
  return s;
}
RunSetup Tty(bool in, bool out, bool err, int columns = 80, const std::string& typed = "") {
  RunSetup s;
  s.stdinTty = in;
  s.stdoutTty = out;
  s.stderrTty = err;
  s.columns = columns;
  s.typed = typed;
  return s;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string Signal(const char* unit, int occurrence, int sig) {
  return R"({ "unit": ")" + std::string(unit) +
         R"(", "command": 247, "parameter": 218, "occurrence": )" + std::to_string(occurrence) +
         R"(, "action": "signal:)" + std::to_string(sig) + R"(" })";
}

TEST(CliSafety, SignalsDuringAnUpdate) {
  // HandController 218 number k+1 carries its chunk k (the first is the
  // readiness poll); the Camera's number k is its chunk k.
  // clang-format off
  const struct {
    const char* name;
    std::string faults;
    int exitCode;
    int hcVersion, cameraVersion;  // afterwards; < 0: not a valid firmware
    std::vector<const char*> errParts;
  } cases[] = {
    {"SIGINT in the HC image: HC finished, Camera skipped",
     Signal("hc", 3, SIGINT), 128 + SIGINT, kHcVersionNew, kCameraVersionBefore,
     {"finishing the HandController image", "Written completely: HandController.",
      "Not updated: Camera.", "finish with:\n  vexo3 update " }},
    {"SIGTERM in the HC image",
     Signal("hc", 3, SIGTERM), 128 + SIGTERM, kHcVersionNew, kCameraVersionBefore,
     {"(SIGTERM)", "Not updated: Camera."}},
#ifdef SIGHUP
    {"SIGHUP in the Camera image: both finished",
     Signal("camera", 3, SIGHUP), 128 + SIGHUP, kHcVersionNew, kCameraVersionNew,
     {"finishing the Camera image", "Written completely: HandController and Camera."}},
#else
    // Windows has no SIGHUP; its Ctrl-Break arrives as SIGBREAK.
    {"SIGBREAK in the Camera image: both finished",
     Signal("camera", 3, SIGBREAK), 128 + SIGBREAK, kHcVersionNew, kCameraVersionNew,
     {"finishing the Camera image", "Written completely: HandController and Camera."}},
#endif
    {"a second SIGINT stops the HC between two chunks",
     Signal("hc", 3, SIGINT) + "," + Signal("hc", 4, SIGINT), 128 + SIGINT, kChecksumError,
     kCameraVersionBefore,
     {"stopping now", "The HandController holds an incomplete image",
      "finish with:\n  vexo3 update "}},
    {"SIGINT before any upload acts as usual",
     R"({ "unit": "hc", "command": 248, "parameter": 1, "occurrence": 1, "action": "signal:2" })",
     128 + SIGINT, kHcVersionBefore, kCameraVersionBefore, {}},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string package = WritePackage(dir);
    const std::string profile = WriteProfile(dir, c.faults);
    const RunResult r = Vexo3({"--simulate=" + profile, "update", package, "--yes"});
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    for (const char* part : c.errParts)
      EXPECT_TRUE(Has(r.err, part)) << part << "\n" << r.err;
    EXPECT_FALSE(Has(r.out, "DONE ok")) << r.out;  // an interrupted update is no success
    // The state was saved on the way out: a second program sees the result.
    const std::string plain = WriteProfile(dir);
    const auto [hc, camera] = Versions(plain);
    EXPECT_EQ(hc, c.hcVersion);
    EXPECT_EQ(camera, c.cameraVersion);
  }
}

#ifdef _WIN32
// The C runtime's reason for a pipe whose reader has gone (EPIPE on Windows,
// EINVAL under wine): only the report itself is checked.
constexpr const char* kBrokenPipeReason = "";
#else
constexpr const char* kBrokenPipeReason = "Broken pipe";
#endif

TEST(CliSafety, OutputErrorsNeverStopAnUpdateAndAreReported) {
  // clang-format off
  const struct {
    const char* name;
    bool update;  // else info --json
    RunSetup setup;
    const char* reason;
  } cases[] = {
    {"update | closed pipe",     true,  BrokenPipe(),          kBrokenPipeReason},
    {"update > /dev/full",       true,  StdoutTo("/dev/full"), "No space left on device"},
    {"info --json > /dev/full",  false, StdoutTo("/dev/full"), "No space left on device"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
#ifdef _WIN32
    if (c.setup.stdoutPath == "/dev/full")
      continue;  // Windows has no device that is always full
#endif
    ScratchDir dir;
    const std::string package = WritePackage(dir);
    const std::string profile = WriteProfile(dir);
    const RunResult r = c.update
                            ? Vexo3({"--simulate=" + profile, "update", package, "--yes"}, c.setup)
                            : Vexo3({"--simulate=" + profile, "info", "--json"}, c.setup);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_TRUE(Has(r.err, std::string("vexo3: write error: ") + c.reason)) << r.err;
    if (c.update) {
      EXPECT_EQ(Versions(profile), std::make_pair(kHcVersionNew, kCameraVersionNew));
    }
  }
}

TEST(CliSafety, TraceNeverOverwritesWhatTheRunReads) {
  const struct {
    const char* name;
    const char* traceFile;  // in the scratch folder
    const char* errPart;
  } cases[] = {
      {"the package", "p.bin", "names the firmware package"},
      {"the profile", "profile.json", "names the simulator profile"},
      {"the state file", "state.json", "names the simulator's state file"},
      {"the package by another path", "./sub/../p.bin", "names the firmware package"},
#ifndef _WIN32
      {"the package by a symlink", "soft.bin", "names the firmware package"},
      {"the package by a hard link", "hard.bin", "names the firmware package"},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    std::filesystem::create_directory(dir.File("sub"));
    const std::string package = WritePackage(dir);
#ifndef _WIN32
    std::filesystem::create_symlink(package, dir.File("soft.bin"));
    std::filesystem::create_hard_link(package, dir.File("hard.bin"));
#endif
    const std::string profile = WriteProfile(dir);
    ASSERT_EQ(Vexo3({"--simulate=" + profile, "info"}).exitCode, 0);  // writes the state file
    const std::string before = ReadText(dir.File(c.traceFile));
    const RunResult r = Vexo3(
        {"--simulate=" + profile, "--trace=" + dir.File(c.traceFile), "update", package, "--yes"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Has(r.err, c.errPart)) << r.err;
    EXPECT_EQ(ReadText(dir.File(c.traceFile)), before);
    EXPECT_EQ(r.out, "");
  }
}

TEST(CliSafety, ProfilesAndStateFilesAreReadLikePackages) {
  ScratchDir dir;
#ifdef _WIN32
  // Windows has no FIFOs and no /dev/zero; NUL is its endless device.
  const std::string fifo = "NUL";
  const std::string zeroDevice = "NUL";
  const char* fifoPart = "NUL\": not a regular file";
#else
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string zeroDevice = "/dev/zero";
  const char* fifoPart = "fifo\": not a regular file";
#endif
  const std::string big = dir.Write("big.json", std::string(5 << 20, ' '));
  const std::string zeroState =
      dir.Write("zero-state.json", R"({"state_file": ")" + zeroDevice + R"(", "chips": [{}]})");
  const std::string badState = dir.Write("bad-state.json", R"({"state_file": "junk.json"})");
  dir.Write("junk.json", "{ this is not JSON");
  const std::string otherState = dir.Write("other-state.json", R"({"state_file": "other.json"})");
  dir.Write("other.json", "{}");  // another program's: never overwritten
  const struct {
    std::string profile;
    int exitCode;
    std::string errPart;
  } cases[] = {
      {fifo, 2, fifoPart},
      {zeroDevice, 2, zeroDevice + "\": not a regular file"},
      {dir.path(), 2, "\": a folder, not a file"},
      {big, 2, "big.json\": too large: more than 4194304 bytes"},
      {dir.File("missing.json"), 2, "missing.json\": no such file"},
      {zeroState, 2, zeroDevice + "\": not a regular file"},
      {badState, 2, "remove it to start afresh"},
      {otherState, 2, "other.json\": chips: missing: not a state file"},
#ifndef _WIN32
      // A file name is shown, never obeyed by the terminal (Windows refuses
      // such a name outright).
      {dir.File("esc\x1b[2J.json"), 2, "esc\\x1b[2J.json\": no such file"},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.profile);
    const RunResult r = Vexo3({"--simulate=" + c.profile, "info"});
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_TRUE(Has(r.err, c.errPart)) << r.err;
  }
  EXPECT_EQ(ReadText(dir.File("other.json")), "{}");
  EXPECT_FALSE(std::filesystem::exists(dir.File("other.json.lock")));
}

TEST(CliSafety, AStateFileInUseIsADeviceInUse) {
  ScratchDir dir;
  const std::string package = WritePackage(dir);
  const std::string profile = WriteProfile(dir);
  {
    FileLock other;  // another program using the simulated device
    std::string error;
    ASSERT_EQ(other.TryLock(dir.File("state.json"), &error), FileLock::Result::kLocked) << error;
    for (const char* command : {"info", "update"}) {
      SCOPED_TRACE(command);
      std::vector<std::string> args = {"--simulate=" + profile, command};
      if (std::string(command) == "update")
        args.insert(args.end(), {package, "--yes"});
      const RunResult r = Vexo3(args);
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_TRUE(Has(r.err, "Can't open device!")) << r.err;
    }
  }
  // Once it has gone, the state is saved atomically: no temporary is left.
  ASSERT_EQ(Vexo3({"--simulate=" + profile, "update", package, "--yes"}).exitCode, 0);
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "p.bin" || name == "profile.json" || name == "state.json" ||
                name == "state.json.lock")
        << name;
  }
}

TEST(CliSafety, SmallUsageAndPackageRules) {
  ScratchDir dir;
  const std::string package = WritePackage(dir);
  const std::string profile = WriteProfile(dir);
  // An endless stream of empty records: the header, then zeros (sparse).
  const std::string endless = dir.File("endless.bin");
  {
    const std::string head = ReadText(package).substr(0, 6);
    dir.Write("endless.bin", head);
    std::error_code ec;
    std::filesystem::resize_file(endless, 40 << 20, ec);
    ASSERT_FALSE(ec) << ec.message();
  }
  // The last chunk answered "expects more": no 100 % before the failure.
  const std::string lastChunk =
      dir.Write("last.json", R"({"chips": [{"hand_controller": {"protocol_version": [5, 1]}}],
        "faults": [{"unit": "hc", "command": 247, "parameter": 218, "occurrence": 6,
                    "action": "status:0"}]})");
  const std::string noFirmware =
      dir.Write("nofw.json", R"({"chips": [{"hand_controller": {"firmware": {"status": 15}}}]})");
  // A unit that holds a newer firmware than the package.
  const std::string newer = dir.Write("newer.json", R"({"chips": [{"hand_controller": {
        "firmware": {"status": 0, "flags": 4096, "version": 65280, "size_blocks": 96,
                     "description": "future"}}}]})");
  const std::string cameraApp =
      dir.Write("camapp.json", R"({"chips": [{"hand_controller": {"camera": {"mode": "app"}}}]})");
  const std::string keyTypo = dir.Write("typo.json", R"({"chips": [{"hand_controler": {}}]})");
  const std::string noChips = dir.Write("none.json", R"({"chips": []})");
  const std::string hostile = dir.Write(
      "hostile.txt",
      "vexo3-trace 1\n+0.000000 0us FT_CreateDeviceInfoList() = FT_OK, 4294967295 devices\n");
  const std::string twins = dir.Write("twins.json", R"({"chips": [{}, {}]})");
  const std::string twinsAndOne =
      dir.Write("twins1.json", R"({"chips": [{}, {}, {"serial": "VX300009"}]})");
  // A terminal's title, a screen wipe and an 8-bit CSI in the chip's strings.
  const std::string controls =
      dir.Write("controls.json", R"({"chips": [{"serial": "VX\u001b]0;x\u0007",
      "hand_controller": {"firmware": {"status": 0, "flags": 4096, "version": 512,
      "size_blocks": 96, "description": "a\u001b[2Jb"}}}]})");
  // clang-format off
  const struct {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    const char* part;   // in stdout + stderr
    const char* absent; // nowhere in stdout
  } cases[] = {
    {"--no-hc with --no-camera", {"--simulate", "update", package, "--no-hc", "--no-camera"}, 2,
     "leave nothing to update", "DONE ok"},
    {"an endless package", {"inspect", endless}, 4, "\": not a firmware package: more than 1024 records besides its images", ""},
    {"a trace counting 4294967295 devices", {"--replay=" + hostile, "devices"}, 2,
     "hostile.txt\": line 2: 4294967295 devices, more than the 4096", ""},
    {"twin serial numbers", {"--simulate=" + twins, "devices"}, 0,
     "no: chip 0 has the same serial number\n", ""},
    {"twins in the watch", {"--simulate=" + twins, "devices", "--watch", "--polls", "1"}, 0,
     "Vexo-3 HandController  (chip 0 has the same serial number)\n", ""},
    {"twins at a station", {"--simulate=" + twinsAndOne, "station", package, "--count", "1", "--yes"}, 0,
     "VX300001: chips 0 and 1 share this serial number, so the station can't tell them apart; all left alone\n"
     "VX300009: Reading", ""},
    {"twins for info", {"--simulate=" + twins, "info"}, 2,
     "vexo3: several HandControllers share the serial number \"VX300001\", so none", "BOOT"},
    {"control characters from a chip", {"--simulate=" + controls, "devices"}, 0,
     "VX\\x1b]0;x\\x07 ", "\x1b"},
    {"control characters in a report", {"--simulate=" + controls, "info"}, 0,
     "\"a\\x1b[2Jb\"", "\x1b"},
    // Not a Windows-style option: CLI11 takes "/x" for one under Windows by default.
    {"a path that starts with /", {"inspect", "/no/such/fw/new.bin"}, 4,
     "vexo3: \"/no/such/fw/new.bin\": no such file\n", ""},
    {"last chunk not confirmed", {"--simulate=" + lastChunk, "update", package, "--yes"}, 1,
     "HC firmware update error: Update has failed", "20000/20000"},
    {"firmware status text", {"--simulate=" + noFirmware, "info", "--json"}, 0,
     "\"status\": 15,\n      \"status_text\": \"NO FIRMWARE is present\"", ""},
    {"a downgrade is asked", {"--simulate=" + newer, "update", package}, 6,
     "(ver. ff.00.1).\nWrite it anyway?", "Uploading"},
    {"a downgrade with --yes", {"--simulate=" + newer, "update", package, "--yes"}, 0,
     "HandController: ver. ff.00.1 \u2192 ", ""},
    {"--no-verify reads nothing more", {"--simulate=" + newer, "update", package, "--yes", "--no-verify"}, 0,
     "DONE ok\n", "ver. ff.00.1"},
    {"the Camera's own mode", {"--simulate=" + cameraApp, "info", "--json"}, 0,
     "\"accessed\": true,\n    \"mode\": \"app\",", ""},
    {"mistyped command", {"updaet", package}, 2,
     "vexo3: unknown command \"updaet\"; did you mean \"update\"?\nRun with --help", ""},
    {"mistyped command after a bare --simulate", {"--simulate", "inof"}, 2,
     "vexo3: unknown command \"inof\"; did you mean \"info\"?\n", ""},
    {"no command near", {"frobnicate"}, 2, "vexo3: unknown command \"frobnicate\"\nRun", ""},
    {"--trace's file after a space", {"--simulate", "--trace", "wire.txt", "info"}, 2,
     "(--trace takes its value only after '=': --trace=wire.txt)", "BOOT MODE"},
    {"mistyped option", {"--simulate", "update", package, "--no-camra"}, 2,
     "vexo3: unknown option \"--no-camra\"; did you mean \"--no-camera\"?\n", "DONE ok"},
    {"mistyped global option", {"--simulat", "info"}, 2,
     "vexo3: unknown option \"--simulat\"; did you mean \"--simulate\"?\n", ""},
    {"one letter is no typo", {"-x", "info"}, 2, "vexo3: unknown option \"-x\"\n", ""},
    {"another command's option", {"--simulate", "info", "--yes"}, 2,
     "vexo3: \"--yes\" is not an option of info\n", "BOOT MODE"},
    {"mistyped profile key", {"--simulate=" + keyTypo, "info"}, 2,
     "chips[0].hand_controler: unknown key; did you mean \"hand_controller\"?", ""},
    {"a command's option before it", {"-y", "--simulate=" + profile, "update", package}, 0,
     "DONE ok", ""},
    {"a Windows-style option", {"/help"}, 2,
     "unknown command \"/help\"; did you mean \"--help\"?", ""},
    {"--virtual-time without --simulate", {"--virtual-time", "info"}, 2, "it needs --simulate", ""},
    {"inspect --json of a missing file", {"inspect", dir.File("none.bin"), "--json"}, 4,
     "no such file\",\n  \"exit_status\": 4\n}", ""},
    {"info --json without a device", {"--simulate=" + noChips, "info", "--json"}, 3,
     "\"exit_status\": 3", ""},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = Vexo3(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_TRUE(Has(r.out + r.err, c.part)) << r.out << r.err;
    if (*c.absent) {
      EXPECT_FALSE(Has(r.out, c.absent)) << r.out;
    }
  }
}

// The files a run writes (--trace, --log) and the streams it is given: no
// file of the run becomes stdout or stderr, none is written into another,
// none blocks, and none is cut short in silence.
TEST(CliSafety, TheRunsOwnFiles) {
#ifdef _WIN32
  GTEST_SKIP() << "closed streams, FIFOs, /dev and hard links are POSIX's";
#else
  ScratchDir dir;
  const std::string package = WritePackage(dir);
  const std::string packageBefore = ReadText(package);
  const std::string sim = "--simulate=" + WriteProfile(dir);
  const std::string trace = dir.File("t.txt");
  const std::string newer = "--simulate=" + dir.Write("newer.json", R"({"chips": [{
      "hand_controller": {"firmware": {"status": 0, "flags": 4096, "version": 65280,
      "size_blocks": 96, "description": "future"}}}]})");
  std::filesystem::create_hard_link(package, dir.File("hard.bin"));
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  RunSetup noStdout;
  noStdout.stdoutClosed = true;
  RunSetup noStderr;
  noStderr.stderrClosed = true;
  // clang-format off
  const struct {
    const char* name;
    std::vector<std::string> args;
    RunSetup setup;
    int exitCode;
    const char* errPart;
  } cases[] = {
    {"stdout closed, --trace",    {sim, "--trace=" + trace, "update", package, "--yes"}, noStdout, 0, ""},
    {"stderr closed, --trace",    {newer, "--trace=" + trace, "update", package}, noStderr, 6, ""},
    {"--trace=/dev/full",         {sim, "--trace=/dev/full", "info"}, {}, 1,
     "vexo3: \"/dev/full\": No space left on device; the trace is incomplete\n"},
    {"--trace=/dev/null",         {sim, "--trace=/dev/null", "info"}, {}, 0, ""},
    {"--log names the package",   {sim, "station", package, "--yes", "--count", "1", "--log", dir.File("hard.bin")}, {}, 2,
     "\": it is the firmware package, which the log would write into"},
    {"--log /dev/null",           {sim, "station", package, "--yes", "--count", "1", "--log", "/dev/null"}, {}, 0, ""},
    {"--log a FIFO nobody reads", {sim, "station", package, "--yes", "--count", "1", "--log", fifo}, {}, 2,
     "fifo\": a FIFO that no program reads from\n"},
    {"a package FIFO",            {"inspect", fifo}, {}, 4, "fifo\": not a regular file\n"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(trace);
    const RunResult r = Vexo3(c.args, c.setup);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    EXPECT_TRUE(Has(r.err, c.errPart)) << r.err;
    EXPECT_EQ(ReadText(package), packageBefore);
    // A trace holds nothing but the trace: it replays to its end.
    if (std::filesystem::exists(trace)) {
      EXPECT_FALSE(Has(ReadText(trace), "vexo3:") || Has(ReadText(trace), "Uploading"));
      std::vector<std::string> again = c.args;
      again[0] = "--replay=" + trace;
      again.erase(again.begin() + 1);
      EXPECT_EQ(Vexo3(again).exitCode, c.exitCode);
    }
  }
#endif
}

TEST(CliSafety, PcbQuestionOnlyWhereItCanBeSeenAndAnswered) {
  const struct {
    const char* name;
    RunSetup setup;
    bool asked;
    int exitCode;
  } cases[] = {
      // clang-format off
      {"no terminal at all",                              RunSetup{},                      false, 6},
      {"answers from a terminal, question to a file",     Tty(true, false, false, 80, "y\n"), false, 6},
      {"question on a terminal, answers from /dev/null",  Tty(false, false, true),         false, 6},
      {"both on a terminal, answered y",                  Tty(true, false, true, 80, "y\n"),  true,  0},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!test::RunSetupSupported(c.setup))
      continue;  // Windows: no pseudo-terminal to give the program
    ScratchDir dir;
    const std::string package = WritePackage(dir, 0x1000 | (3 << 5));  // supports PCB 3; unit 2
    const std::string profile = WriteProfile(dir);
    const RunResult r = Vexo3({"--simulate=" + profile, "update", package}, c.setup);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err << r.tty;
    const std::string err = r.err + r.tty;
    EXPECT_EQ(Has(err, "Continue? [y/N]"), c.asked) << err;
    if (!c.asked) {
      EXPECT_TRUE(Has(err, "--yes")) << err;
    }
  }
}

TEST(CliSafety, ProgressFitsTheTerminal) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no pseudo-terminal to give the program";
#endif
  // A terminal that takes no escape sequences gets its line redrawn over
  // with spaces.
  const struct {
    int columns;
    const char* term;
  } rows[] = {{80, "xterm"}, {60, "xterm"}, {40, "xterm"}, {60, "dumb"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.columns) + " " + row.term);
    ScratchDir dir;
    const std::string package = WritePackage(dir);
    const std::string profile = WriteProfile(dir);
    RunSetup tty = Tty(false, true, false, row.columns);
    tty.term = row.term;
    const RunResult r =
        Vexo3({"--simulate=" + profile, "update", package, "--yes", "--no-verify"}, tty);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Has(r.tty, "\033["), std::string(row.term) != "dumb") << r.tty;
    // Every redraw starts with \r and no piece between two returns or line
    // ends is wider than the terminal, so nothing wraps.
    std::vector<std::string> lines;
    std::string piece;
    for (char ch : r.tty) {
      if (ch == '\r' || ch == '\n') {
        if (!piece.empty())
          lines.push_back(piece);
        piece.clear();
      } else {
        piece += ch;
      }
    }
    for (std::string line : lines) {
      const size_t erase = line.find("\033[K");
      if (erase != std::string::npos)
        line.erase(erase, 3);
      EXPECT_LT(line.size(), static_cast<size_t>(row.columns)) << line;
    }
    // Status lines, and one line per unit at its end.
    size_t newlines = 0;
    for (char ch : r.tty)
      newlines += ch == '\n';
    EXPECT_EQ(newlines, 6u) << r.tty;
    EXPECT_TRUE(Has(r.tty, "20000/20000")) << r.tty;
    // Where there is room for bars, the two units' start in the same column.
    if (row.columns == 80) {
      EXPECT_TRUE(Has(r.tty, "\r  HandController [")) << r.tty;
      EXPECT_TRUE(Has(r.tty, "\r  Camera         [")) << r.tty;
    }
  }
}

}  // namespace
}  // namespace vexo3
