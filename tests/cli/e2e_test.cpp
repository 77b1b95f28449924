// End-to-end runs of the built vexo3 binary against simulator profiles. All
// runs use --virtual-time: the simulated device then runs on a virtual clock
// and no run waits in real time.

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/device_list.h"
#include "link/hardware_d2xx.h"
#include "sim/units/package_writer.h"
#include "sim/units/sim_image.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"

namespace vexo3 {
namespace {

using test::CliPackage;
using test::kBootProfile;
using test::ReadText;
using test::RunResult;
using test::RunVexo3;
using test::ScratchDir;

constexpr const char* kBootReport =
    "=== HandController's state:  BOOT MODE\n"
    "\n"
    "USB-serial chip ID: VX300001\n"
    "       description: \"Vexo-3 HandController\"\n"
    "\n"
    "Unique ID:          \"VX3HC00000000001\"\n"
    "Protocol version:   $0005, $0001\n"
    "Hardware ID:        2\n"
    "\n"
    "Firmware version:   01.02.1\n"
    "     description:   \"Vexo-3 HC main firmware\"\n"
    "            size:   49152 bytes\n"
    "            type:   main fw.\n"
    "\n"
    "=== Camera's state:  BOOT MODE\n"
    "\n"
    "Unique ID:          \"VX3CAM0000000001\"\n"
    "Protocol version:   $0102, $0001\n"
    "Hardware ID:        1\n"
    "\n"
    "Firmware version:   01.04\n"
    "     description:   \"Vexo-3 Camera firmware\"\n"
    "            size:   65536 bytes\n";

constexpr const char* kTwoChipsProfile = R"({
  "chips": [
    { "serial": "VX300001", "hand_controller": { "protocol_version": [5, 1],
                                                 "unique_id": "FIRST-UNIT" } },
    { "serial": "VX300002", "hand_controller": { "protocol_version": [5, 1],
                                                 "unique_id": "SECOND-UNIT" } } ] })";

RunResult Vexo3(std::vector<std::string> args) {
  args.insert(args.begin(), "--virtual-time");
  return RunVexo3(args);
}

TEST(CliEndToEnd, InfoPrintsTheReportExactly) {
  ScratchDir dir;
  const std::string profile = dir.Write("boot.json", kBootProfile);
  const RunResult r = Vexo3({"--simulate=" + profile, "info"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, kBootReport);
  EXPECT_EQ(r.err, "");
}

// The dialog's summary; an image the package lacks is named as absent
// (the dialog shows its empty fields).
TEST(CliEndToEnd, InspectPrintsTheSummaryExactly) {
  const struct {
    bool withHc, withCamera;
    const char* expected;
  } cases[] = {
      {true, true,
       "HC firmware:\n  \"HC test firmware\"\n    ver. 02.00.4\n"
       "Camera firmware\n  \"Camera test firmware\"\n    ver. 02.01.2\n\n"},
      {true, false,
       "HC firmware:\n  \"HC test firmware\"\n    ver. 02.00.4\n"
       "Camera firmware\n  none: the package holds no Camera image\n\n"},
      {false, true,
       "HC firmware:\n  none: the package holds no HandController image\n"
       "Camera firmware\n  \"Camera test firmware\"\n    ver. 02.01.2\n\n"},
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    std::vector<sim::PackageRecord> records = CliPackage(0x4000, c.withCamera);
    if (!c.withHc)
      records.erase(records.begin());
    const std::string package = dir.Package("p.bin", records);
    const RunResult r = Vexo3({"inspect", package});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, c.expected);
  }
}

// Names outside ASCII reach the loader whole and come back whole in texts
// (on Windows through the wide command line and wide file names).
TEST(CliEndToEnd, NonAsciiPathsArriveWhole) {
  ScratchDir dir;
  const std::string package = dir.Package("f\xC3\xBCr \xE2\x82\xAC.bin", CliPackage(0x4000));
  RunResult r = Vexo3({"inspect", package});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.rfind("HC firmware:\n", 0), 0u) << r.out;
  const std::string missing = dir.File("f\xC3\xA4hlt.bin");
  r = Vexo3({"inspect", missing});
  EXPECT_EQ(r.exitCode, 4);
  EXPECT_EQ(r.err, "vexo3: \"" + missing + "\": no such file\n");
}

TEST(CliEndToEnd, InspectJsonCarriesEachImage) {
  ScratchDir dir;
  const std::string package = dir.Package("p.bin", CliPackage(0x4000 | (3 << 5), false));
  const RunResult r = Vexo3({"inspect", package, "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  const auto& hc = j.at("hand_controller");
  EXPECT_EQ(hc.at("kind"), "HC");
  EXPECT_EQ(hc.at("version"), 0x0200);
  EXPECT_EQ(hc.at("revision"), 4);
  EXPECT_EQ(hc.at("flags"), 0x4000 | (3 << 5));
  EXPECT_EQ(hc.at("supported_pcb"), 3);
  EXPECT_EQ(hc.at("start_code"), 0x5A01);
  EXPECT_EQ(hc.at("length"), 20000);
  EXPECT_TRUE(j.at("camera").is_null());
  EXPECT_EQ(j.at("summary").get<std::string>().rfind("HC firmware:\n", 0), 0u);
}

TEST(CliEndToEnd, InfoJsonCarriesTheRecords) {
  ScratchDir dir;
  const std::string profile = dir.Write("boot.json", kBootProfile);
  const RunResult r = Vexo3({"--simulate=" + profile, "info", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  const auto& hc = j.at("hand_controller");
  EXPECT_EQ(hc.at("mode"), "boot");
  EXPECT_EQ(hc.at("chip_serial"), "VX300001");
  EXPECT_EQ(hc.at("unique_id"), "VX3HC00000000001");
  EXPECT_EQ(hc.at("protocol_version"), nlohmann::json({5, 1}));
  EXPECT_EQ(hc.at("hardware_id"), 2);
  EXPECT_EQ(hc.at("firmware").at("version"), 258);
  EXPECT_EQ(hc.at("firmware").at("size_bytes"), 49152);
  EXPECT_EQ(hc.at("firmware").at("type"), "main");
  const auto& cam = j.at("camera");
  EXPECT_EQ(cam.at("accessed"), true);
  EXPECT_EQ(cam.at("mode"), "boot");
  EXPECT_EQ(cam.at("protocol_version"), nlohmann::json({0x102, 1}));
  EXPECT_EQ(cam.at("firmware").at("version_text"), "01.04");
}

TEST(CliEndToEnd, DevicesJsonListsEveryChip) {
  ScratchDir dir;
  const std::string profile = dir.Write("two.json", kTwoChipsProfile);
  const RunResult r = Vexo3({"--simulate=" + profile, "devices", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto list = nlohmann::json::parse(r.out).at("devices");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].at("index"), 1);
  EXPECT_EQ(list[1].at("serial"), "VX300002");
  EXPECT_EQ(list[1].at("usb_id"), "0403:6015");
  EXPECT_EQ(list[1].at("would_open"), true);
}

TEST(CliEndToEnd, AppModeRefusesTheUpdate) {
  ScratchDir dir;
  const std::string profile =
      dir.Write("app.json", R"({"chips":[{"hand_controller":{"mode":"app"}}]})");
  const std::string package = dir.Package("p.bin", CliPackage(0x1000));
  const RunResult r = Vexo3({"--simulate=" + profile, "update", package, "--yes"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "Reading device state...\nUpdate failed...\n");
  EXPECT_EQ(r.err,
            "ERROR: Device is not in boot mode\n"
            "vexo3: switch the device to BOOT mode, then run the update again.\n");
}

TEST(CliEndToEnd, SeveralDevicesWithoutSerialAreRefusedAndListed) {
  ScratchDir dir;
  const std::string profile = dir.Write("two.json", kTwoChipsProfile);
  for (const char* command : {"info", "update"}) {
    SCOPED_TRACE(command);
    std::vector<std::string> args = {"--simulate=" + profile, command};
    if (std::string(command) == "update")
      args.push_back(dir.Package("p.bin", CliPackage(0x1000)));
    const RunResult r = Vexo3(args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("--serial"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("VX300001"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("VX300002"), std::string::npos) << r.err;
  }
}

TEST(CliEndToEnd, SerialPicksTheSecondDevice) {
  ScratchDir dir;
  const std::string profile = dir.Write("two.json", kTwoChipsProfile);
  const RunResult r = Vexo3({"--simulate=" + profile, "--serial", "VX300002", "info"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("USB-serial chip ID: VX300002\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"SECOND-UNIT     \""), std::string::npos) << r.out;
}

TEST(CliEndToEnd, UnknownSerialOrNoDeviceIsExitThree) {
  ScratchDir dir;
  const std::string two = dir.Write("two.json", kTwoChipsProfile);
  RunResult r = Vexo3({"--simulate=" + two, "--serial", "NOPE", "info"});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.err.find("\"NOPE\""), std::string::npos) << r.err;

  const std::string none = dir.Write("none.json", R"({"chips": []})");
  r = Vexo3({"--simulate=" + none, "info"});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(r.out, "");
  // One message and one hint, not the dialog's open-failure box as well.
  EXPECT_EQ(r.err.rfind("vexo3: no Vexo-3 HandController found", 0), 0u) << r.err;
  EXPECT_EQ(r.err.find("Possible causes"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("plugged in"), std::string::npos) << r.err;
  r = Vexo3({"--simulate=" + none, "devices"});
  EXPECT_EQ(r.exitCode, 3);
}

TEST(CliEndToEnd, NoPermissionSaysHowToFixIt) {
  ScratchDir dir;
  const std::string profile = dir.Write("locked.json", R"({"chips":[{"inaccessible":true}]})");
  RunResult r = Vexo3({"--simulate=" + profile, "devices"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("0403:6015  -"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("no: can't be read"), std::string::npos) << r.out;
  // The system's reason: on Linux the udev rule, on Windows another program.
  const std::string hint = cli::PermissionHint();
  EXPECT_NE(hint.find(DeviceAccessHint() ? "another program" : "60-vexo3.rules"),
            std::string::npos);
  EXPECT_NE(r.err.find(hint), std::string::npos) << r.err;
  r = Vexo3({"--simulate=" + profile, "info"});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.err.find(hint), std::string::npos) << r.err;
}

// One chip of each kind: the link's verdict on each, as `devices` shows it.
TEST(CliEndToEnd, DevicesShowsTheVerdictOnEachKindOfChip) {
  ScratchDir dir;
  const std::string profile = dir.Write("kinds.json", R"({"chips": [
    { "serial": "VX300001" },
    { "serial": "VX300002", "inaccessible": true },
    { "serial": "VX300003", "in_use_elsewhere": true },
    { "serial": "VX300004", "description": "Vexo-3 Prototype" },
    { "serial": "VX300005", "usb_id": "0403:6001" } ] })");
  struct Row {
    const char* line;
    const char* usbId;  // null: the driver gives none
    bool readable, inUse, wouldOpen;
  };
  // clang-format off
  const Row rows[] = {
      {"0      0403:6015  VX300001         \"Vexo-3 HandController\"   yes",                         "0403:6015", true,  false, true},
      {"1      0403:6015  -                -                         no: can't be read (no permission, or in use)", "0403:6015", false, false, false},
      {"2      -          -                -                         no: in use by another program", nullptr,     false, true,  false},
      {"3      0403:6015  VX300004         \"Vexo-3 Prototype\"        no: not a Vexo-3 HandController", "0403:6015", true, false, false},
      // The chip with another USB id is not listed.
  };
  // clang-format on
  RunResult r = Vexo3({"--simulate=" + profile, "devices"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::string table = "index  usb id     serial           description               updater\n";
  for (const Row& row : rows)
    table += std::string(row.line) + "\n";
  EXPECT_EQ(r.out, table);

  r = Vexo3({"--simulate=" + profile, "devices", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto list = nlohmann::json::parse(r.out).at("devices");
  ASSERT_EQ(list.size(), std::size(rows));
  for (size_t i = 0; i < list.size(); ++i) {
    SCOPED_TRACE(rows[i].line);
    EXPECT_EQ(list[i].at("usb_id"), rows[i].usbId ? nlohmann::json(rows[i].usbId) : nullptr);
    EXPECT_EQ(list[i].at("readable"), rows[i].readable);
    EXPECT_EQ(list[i].at("in_use_elsewhere"), rows[i].inUse);
    EXPECT_EQ(list[i].at("would_open"), rows[i].wouldOpen);
  }
}

// No HandController that can be opened, but a chip in use elsewhere: the
// device exists but can't be had, which is a device failure.
TEST(CliEndToEnd, AChipInUseElsewhereIsSaidAndIsExitOne) {
  ScratchDir dir;
  const std::string profile = dir.Write(
      "held.json", R"({"chips":[{"in_use_elsewhere":true},{"description":"Vexo-3 Prototype"}]})");
  const std::string package = dir.Package("p.bin", CliPackage(0x1000));
  const std::vector<std::vector<std::string>> runs = {
      {"info"}, {"--serial", "VX300001", "info"}, {"update", package, "--yes"}};
  for (std::vector<std::string> args : runs) {
    SCOPED_TRACE(args.back());
    args.insert(args.begin(), "--simulate=" + profile);
    const RunResult r = Vexo3(args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(cli::InUseElsewhereText()), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("no Vexo-3 HandController found"), std::string::npos) << r.err;
  }
}

TEST(CliEndToEnd, PackageFileErrorsAreExitFour) {
  ScratchDir dir;
  const std::string full = dir.Package("full.bin", CliPackage(0x1000));
  const std::string bytes = ReadText(full);
  // A record that claims an image of 2 MiB and more.
  std::string huge = bytes.substr(0, 6 + 48);
  huge += std::string("\x00\x00\x20\x00", 4);
  // One line per cause, in the words profiles and traces use too.
  const struct {
    std::string file;
    std::string reason;
  } rows[] = {
      {dir.File("missing.bin"), "no such file"},
      {dir.path(), "a folder, not a file"},
      {dir.Write("empty.bin", ""), "empty"},
      {dir.Write("text.bin", "hello, world\n"), "not a firmware package"},
      {dir.Write("cut.bin", bytes.substr(0, bytes.size() - 100)),
       "cut short at byte " + std::to_string(bytes.size() - 100)},
      {dir.Write("huge.bin", huge),
       "not a firmware package: an image is larger than 2097151 bytes"},
  };
  for (const auto& row : rows) {
    for (const char* command : {"inspect", "update"}) {
      SCOPED_TRACE(std::string(command) + " " + row.reason);
      const RunResult r = Vexo3({"--simulate", command, row.file});
      EXPECT_EQ(r.exitCode, 4);
      EXPECT_EQ(r.err, "vexo3: \"" + row.file + "\": " + row.reason + "\n");
      EXPECT_EQ(r.out, "");
    }
  }
  // An image asked for but absent: the dialog does nothing; we say why.
  const std::string hcOnly = dir.Package("hc.bin", CliPackage(0x1000, false));
  const RunResult r = Vexo3({"--simulate", "update", hcOnly, "--yes"});
  EXPECT_EQ(r.exitCode, 4);
  EXPECT_NE(r.err.find("no Camera image"), std::string::npos) << r.err;
}

TEST(CliEndToEnd, TraceShowsTheHandshakeBytes) {
  ScratchDir dir;
  const std::string profile = dir.Write("boot.json", kBootProfile);
  const std::string traceFile = dir.File("wire.txt");
  RunResult r = Vexo3({"--simulate=" + profile, "--trace=" + traceFile, "info"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, kBootReport);  // the trace changes nothing
  const std::string trace = ReadText(traceFile);
  EXPECT_NE(trace.find("FT_SetBaudRate(9600) = FT_OK"), std::string::npos) << trace;
  EXPECT_NE(trace.find("TX 1/1: 00\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("TX 4/4: F8 01 01 FF\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("RX 11/11: F8 01 00 0B 00 03 04 05 00 01 00\n"), std::string::npos) << trace;

  // Bare --trace goes to stderr and never swallows the subcommand.
  r = Vexo3({"--simulate=" + profile, "--trace", "info"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find("TX 4/4: F8 01 01 FF"), std::string::npos);
}

TEST(CliEndToEnd, BadProfilesAreRefusedNamingTheKey) {
  ScratchDir dir;
  for (const test::BadProfile& c : test::kBadProfiles) {
    SCOPED_TRACE(c.text);
    const std::string profile = dir.Write("bad.json", c.text);
    const RunResult r = Vexo3({"--simulate=" + profile, "info"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST(CliEndToEnd, UpdateChangesWhatInfoReportsAfterwards) {
  ScratchDir dir;
  const std::string profile = dir.Write(
      "p.json",
      R"({"state_file": "state.json", "chips":[{"hand_controller":{"protocol_version":[5,1]}}]})");
  const std::string package = dir.Package("p.bin", CliPackage(0x1000));

  RunResult r = Vexo3({"--simulate=" + profile, "info", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto before = nlohmann::json::parse(r.out);
  EXPECT_NE(before["hand_controller"]["firmware"]["version"], 0x0200);

  r = Vexo3({"--simulate=" + profile, "update", package, "--yes"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(r.out.rfind("Reading device state...\nUploading HC firmware...\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("  HandController:  20000/20000 bytes  100%"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Uploading Camera firmware...\n"), std::string::npos);
  EXPECT_NE(r.out.find("  Camera:          30000/30000 bytes  100%"), std::string::npos) << r.out;
  // What the units report now, beside what they held.
  EXPECT_NE(r.out.find("DONE ok\nHandController: ver. "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 20), ", as in the package\n") << r.out;

  r = Vexo3({"--simulate=" + profile, "info"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Firmware version:   02.00.1\n     description:   \"HC test firmware\"\n"
                       "            size:   20480 bytes\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Firmware version:   02.01\n     description:   \"Camera test firmware\"\n"),
            std::string::npos)
      << r.out;
}

TEST(CliEndToEnd, FailedChunkFailsTheUpdate) {
  ScratchDir dir;
  // The first 218 is the readiness poll: the third is the second chunk.
  const std::string profile = dir.Write("fault.json", R"({
    "chips": [ { "hand_controller": { "protocol_version": [5, 1] } } ],
    "faults": [ { "unit": "hc", "command": 247, "parameter": 218, "occurrence": 3,
                  "action": "status:9" } ] })");
  const std::string package = dir.Package("p.bin", CliPackage(0x1000));
  const RunResult r = Vexo3({"--simulate=" + profile, "update", package, "--yes"});
  EXPECT_EQ(r.exitCode, 1);
  // A unit stopped in its middle is named, as after a second Ctrl-C.
  EXPECT_EQ(r.err,
            "HC firmware update error: Update has failed\n"
            "vexo3: the update is incomplete.\n"
            "  The HandController holds an incomplete image (4096 of 20000 bytes taken): its "
            "firmware won't start until it is written again.\n"
            "  Not updated: Camera.\n"
            "Keep the device connected and finish with:\n"
            "  vexo3 update " +
                package + "\n");
  EXPECT_EQ(r.out.rfind("Reading device state...\nUploading HC firmware...\n", 0), 0u) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 17), "Update failed...\n");
  EXPECT_EQ(r.out.find("Uploading Camera firmware..."), std::string::npos);
}

TEST(CliEndToEnd, PcbWarningIsNoWithoutTerminalAndYesWithFlag) {
  ScratchDir dir;
  const std::string profile = dir.Write("boot.json", kBootProfile);                 // pcb 2
  const std::string package = dir.Package("p.bin", CliPackage(0x1000 | (3 << 5)));  // supports 3

  RunResult r = Vexo3({"--simulate=" + profile, "update", package});
  EXPECT_EQ(r.exitCode, 6);  // declined: nobody said yes
  EXPECT_EQ(r.out, "Reading device state...\nUpdate failed...\n");
  EXPECT_EQ(r.err.rfind("WARNING: PCB version (0x2) is reported to be newer (lower value) than the "
                        "Firmware supports (0x3).\nAre you sure",
                        0),
            0u)
      << r.err;
  EXPECT_NE(r.err.find("answered no"), std::string::npos) << r.err;

  r = Vexo3({"--simulate=" + profile, "update", package, "--yes"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("DONE ok\n"), std::string::npos) << r.out;
}

TEST(CliEndToEnd, UsageHelpAndVersion) {
  RunResult r = Vexo3({});
  EXPECT_EQ(r.exitCode, 2);
  r = Vexo3({"--simulate", "frobnicate"});
  EXPECT_EQ(r.exitCode, 2);
  r = Vexo3({"inspect"});
  EXPECT_EQ(r.exitCode, 2);
  r = Vexo3({"--help"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("Exit status:"), std::string::npos);
  // Every help fits 80 columns; a device command's names the global options.
  // clang-format off
  const struct {
    const char* command;
    std::vector<const char*> parts;
  } helps[] = {
    {nullptr,   {"Exit status:", "On Linux, without permission", "--virtual-time"}},
    {"devices", {"--json", "--simulate[=PROFILE]", "--serial SERIAL", "--trace[=FILE]"}},
    {"info",    {"--json", "--simulate[=PROFILE]", "--serial SERIAL", "--trace[=FILE]"}},
    {"inspect", {"--json", "Exit status:"}},
    {"update",  {"--no-camera", "--simulate[=PROFILE]", "--serial SERIAL", "--trace[=FILE]",
                 "--replay=FILE"}},
  };
  // clang-format on
  for (const auto& h : helps) {
    SCOPED_TRACE(h.command ? h.command : "vexo3");
    r = h.command ? Vexo3({h.command, "--help"}) : Vexo3({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    for (const char* part : h.parts)
      EXPECT_NE(r.out.find(part), std::string::npos) << part << "\n" << r.out;
    size_t start = 0;
    for (size_t end; (end = r.out.find('\n', start)) != std::string::npos; start = end + 1)
      EXPECT_LE(end - start, 80u) << r.out.substr(start, end - start);
  }
  r = Vexo3({"--version"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "vexo3 1.2.0\n");
}

// The package tool follows vexo3's conventions, and takes versions in the
// form inspect prints them.
TEST(CliEndToEnd, MakePackageTakesWhatInspectPrints) {
  ScratchDir dir;
  const std::string out = dir.File("p.bin");
  // clang-format off
  const struct {
    std::vector<std::string> args;
    int exitCode;
    const char* inspected;  // in inspect's summary; or in stderr when the exit code isn't 0
  } rows[] = {
    {{out, "--hc-version", "02.10.3", "--camera-version", "02.05"}, 0, "ver. 02.10.3\n"},
    {{out, "--hc-version", "2.10", "--hc-flags", "0x4000"},          0, "ver. 02.10.4\n"},
    {{out, "--camera-version", "0x0205", "--camera-flags", "4096"},   0, "ver. 02.05.1\n"},
    {{},                                        2, "vexo3-make-package: name the package file"},
    {{out, "--hc-version", "2.1x"},             2, "--hc-version: expected a version as vexo3"},
    {{out, "--hc-size", "12"},                  2, "--hc-size: expected a number from 56 to"},
    {{out, "--hc-verison", "1"},                2, "did you mean \"--hc-version\"?"},
  };
  // clang-format on
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args.empty() ? "(none)" : row.args[1]);
    const test::RunResult made = test::RunProgram(test::HostPath(VEXO3_MAKE_PACKAGE), row.args);
    ASSERT_EQ(made.exitCode, row.exitCode) << made.err;
    if (row.exitCode != 0) {
      EXPECT_NE(made.err.find(row.inspected), std::string::npos) << made.err;
      continue;
    }
    const RunResult r = Vexo3({"inspect", out});
    EXPECT_NE(r.out.find(row.inspected), std::string::npos) << r.out;
  }
  const test::RunResult help = test::RunProgram(test::HostPath(VEXO3_MAKE_PACKAGE), {"--help"});
  EXPECT_EQ(help.exitCode, 0);
  size_t start = 0;
  for (size_t end; (end = help.out.find('\n', start)) != std::string::npos; start = end + 1)
    EXPECT_LE(end - start, 80u) << help.out.substr(start, end - start);
}

// The command lines of the README's sh and bat blocks, of the man page's
// EXAMPLES and of --help's, in their order. Continued lines are joined and
// comments dropped; the vexo3 or vexo3-make-package of a build folder is
// the built one.
std::vector<std::vector<std::string>> DocumentedCommands(const std::string& help) {
  std::vector<std::string> lines;
  const std::string readme = ReadText(test::HostPath(VEXO3_SOURCE_DIR "/README.md"));
  bool inBlock = false;
  std::istringstream in(readme);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("```", 0) == 0) {
      inBlock = !inBlock && (line == "```sh" || line == "```bat");
      continue;
    }
    while (inBlock && !line.empty() && line.back() == '\\') {
      std::string next;
      std::getline(in, next);
      line.pop_back();
      line += next;
    }
    if (inBlock)
      lines.push_back(line);
  }
  std::istringstream man(ReadText(test::HostPath(VEXO3_SOURCE_DIR "/packaging/vexo3.1")));
  bool examples = false;
  for (std::string line; std::getline(man, line);) {
    examples = (examples || line == ".SH EXAMPLES") && line != ".fi";
    for (size_t at; (at = line.find("\\-")) != std::string::npos;)
      line.erase(at, 1);
    if (examples)
      lines.push_back(line);
  }
  std::istringstream helpLines(help.substr(help.find("Examples:")));
  for (std::string line; std::getline(helpLines, line);)
    lines.push_back(line.substr(std::min(line.find_first_not_of(' '), line.size())));

  std::vector<std::vector<std::string>> commands;
  for (std::string line : lines) {
    line = line.substr(0, line.find(" #"));
    std::istringstream words(line);
    std::vector<std::string> command;
    for (std::string w; words >> w;)
      command.push_back(w);
    if (command.empty())
      continue;
    const std::string& program = command[0];
    const size_t slash = program.rfind('/');
    const std::string name = slash == std::string::npos ? program : program.substr(slash + 1);
    if ((name == "vexo3" || name == "vexo3-make-package") &&
        (slash == std::string::npos || program.rfind("build/", 0) == 0)) {
      command[0] = name;
      commands.push_back(command);
    }
  }
  return commands;
}

// Every documented command runs as written, with the simulated device in
// place of USB (so a profile and --virtual-time are added where the command
// names no device of its own) and stand-ins for its files: a package for
// every *.bin, the repository's file for a path in it. None may be a usage
// error; a device left alone, declined or not found is fine.
TEST(CliEndToEnd, DocumentedCommandsRun) {
  const RunResult help = Vexo3({"--help"});
  const auto commands = DocumentedCommands(help.out);
  ASSERT_GE(commands.size(), 15u);
  ScratchDir dir;
  const std::string package = dir.Package("fw.bin", CliPackage(0x1000));
  dir.Write("profile.json", R"({"state_file": "state.json",
      "chips": [{"serial": "VX300001", "hand_controller": {"protocol_version": [5, 1]}},
                {"serial": "VX300002", "hand_controller": {"protocol_version": [5, 1]}}]})");
  auto file = [&](const std::string& word) {
    const size_t dot = word.rfind('.');
    const std::string ext = dot == std::string::npos ? "" : word.substr(dot);
    if (ext == ".bin" && word.find('/') == std::string::npos)
      return word.rfind("demo", 0) == 0 ? dir.File(word) : package;  // made by a command before
    if (ext != ".json" && ext != ".txt" && ext != ".log")
      return word;
    return word.find('/') != std::string::npos
               ? test::HostPath(std::string(VEXO3_SOURCE_DIR) + "/" + word)
               : dir.File(word);
  };
  for (std::vector<std::string> command : commands) {
    std::string shown;
    for (const std::string& w : command)
      shown += w + " ";
    SCOPED_TRACE(shown);
    bool ownDevice = false, count = false, polls = false;
    for (size_t i = 0; i < command.size(); ++i) {
      std::string& w = command[i];
      const size_t eq = w.find('=');
      w = eq == std::string::npos ? file(w) : w.substr(0, eq + 1) + file(w.substr(eq + 1));
      ownDevice = ownDevice || w.rfind("--simulate", 0) == 0 || w.rfind("--replay", 0) == 0;
      polls = polls || w == "--polls";
      if (w == "--count" && i + 1 < command.size()) {
        // The chips of the profile; a string, as GCC 12 at -O3 warns falsely on = "2".
        command[++i] = std::string("2");
        count = true;
      }
    }
    const std::string program = command[0];
    command.erase(command.begin());
    const bool station = std::find(command.begin(), command.end(), "station") != command.end();
    const bool watch = std::find(command.begin(), command.end(), "--watch") != command.end();
    if (program == "vexo3" && !ownDevice)
      command.insert(command.begin(), {"--simulate=" + dir.File("profile.json"), "--virtual-time"});
    // What runs until Ctrl-C stops by itself.
    if (station && !count)
      command.insert(command.end(), {"--count", "2"});
    if (watch && !polls)
      command.insert(command.end(), {"--polls", "2"});
    const RunResult r = program == "vexo3"
                            ? RunVexo3(command)
                            : test::RunProgram(test::HostPath(VEXO3_MAKE_PACKAGE), command);
    EXPECT_EQ(r.err.find("Run with --help"), std::string::npos) << r.err;
    EXPECT_NE(r.exitCode, -1) << "did not run";
    EXPECT_LT(r.exitCode, 128) << r.err;
  }
}

}  // namespace
}  // namespace vexo3
