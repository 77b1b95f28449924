// End-to-end runs of the built vexo3 binary against simulator profiles. All
// runs use --virtual-time: the simulated device then runs on a virtual clock
// and no run waits in real time.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/device_list.h"
#include "link/hardware_d2xx.h"
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

TEST(CliEndToEnd, InspectPrintsTheSummaryExactly) {
  ScratchDir dir;
  const std::string package = dir.Package("p.bin", CliPackage(0x4000));
  const RunResult r = Vexo3({"inspect", package});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "HC firmware:\n  \"HC test firmware\"\n    ver. 02.00.4\n"
            "Camera firmware\n  \"Camera test firmware\"\n    ver. 02.01.2\n\n");
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
  EXPECT_NE(r.err.find("\"" + missing + "\" can't be opened."), std::string::npos) << r.err;
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
  EXPECT_EQ(r.err, "ERROR: Device is not in boot mode\n");
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
  // The dialog's open-failure text, then what we know on top.
  EXPECT_EQ(r.err.rfind("ERROR: Can't open device!\n\nPossible causes:", 0), 0u) << r.err;
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

TEST(CliEndToEnd, PackageFileErrorsAreExitFour) {
  ScratchDir dir;
  const std::string full = dir.Package("full.bin", CliPackage(0x1000));
  const std::string bytes = ReadText(full);
  const std::string truncated = dir.Write("cut.bin", bytes.substr(0, bytes.size() - 100));
  for (const char* command : {"inspect", "update"}) {
    SCOPED_TRACE(command);
    const RunResult r = Vexo3({"--simulate", command, truncated});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.err.rfind("Loading failed: Error: ", 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
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
  EXPECT_NE(r.out.find("  Camera:  30000/30000 bytes  100%"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 8), "DONE ok\n");

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
  EXPECT_EQ(r.err, "HC firmware update error: Update has failed\n");
  EXPECT_EQ(r.out.rfind("Reading device state...\nUploading HC firmware...\n", 0), 0u) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 17), "Update failed...\n");
  EXPECT_EQ(r.out.find("Uploading Camera firmware..."), std::string::npos);
}

TEST(CliEndToEnd, PcbWarningIsNoWithoutTerminalAndYesWithFlag) {
  ScratchDir dir;
  const std::string profile = dir.Write("boot.json", kBootProfile);                 // pcb 2
  const std::string package = dir.Package("p.bin", CliPackage(0x1000 | (3 << 5)));  // supports 3

  RunResult r = Vexo3({"--simulate=" + profile, "update", package});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "Reading device state...\nUpdate failed...\n");
  EXPECT_EQ(r.err.rfind("WARNING: PCB version (0x2) is reported to be newer (lower value) than the "
                        "Firmware supports (0x3).\nAre you sure",
                        0),
            0u)
      << r.err;
  EXPECT_NE(r.err.find("answered no"), std::string::npos) << r.err;

  r = Vexo3({"--simulate=" + profile, "update", package, "--yes"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.substr(r.out.size() - 8), "DONE ok\n");
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
  r = Vexo3({"update", "--help"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("--no-camera"), std::string::npos) << r.out;
  r = Vexo3({"--version"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "vexo3 1.2.0\n");
}

}  // namespace
}  // namespace vexo3
