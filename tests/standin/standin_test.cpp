// WinD2xx and the programs against the stand-in ftd2xx.dll, under wine. The
// test fixture installs the stand-in into the wine prefix's system folder,
// where WinD2xx looks for the driver; the NoDriver tests run before that,
// with the folder empty. Each run through the stand-in is compared with the
// same run against --simulate: the DLL boundary must change nothing.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "link/win_d2xx.h"
#include "platform/console.h"
#include "sim/units/package_writer.h"
#include "sim/units/sim_image.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"

namespace vexo3 {
namespace {

namespace fs = std::filesystem;
using test::kBootProfile;
using test::RunResult;
using test::RunVexo3;
using test::ScratchDir;

constexpr const char* kNotInstalled =
    "vexo3: The FTDI D2XX driver is not installed (ftd2xx.dll is not in the Windows system "
    "folder). Windows installs it by itself when the HandController is plugged in and Windows "
    "Update is allowed to; otherwise install the D2XX driver from FTDI's web site.\n";

std::string SystemFolder() {
  wchar_t buffer[MAX_PATH] = {};
  GetSystemDirectoryW(buffer, MAX_PATH);
  return Utf8FromWide(buffer);
}

// The far end of the stand-in, for this process and the programs it starts.
void UseProfile(const std::string& path) {
  SetEnvironmentVariableW(L"VEXO3_STANDIN_PROFILE",
                          path.empty() ? nullptr : WideFromUtf8(path).c_str());
}

// --- Loading the driver ---

TEST(WinD2xxLoad, FailuresNameWhatIsMissing) {
  const std::string kernel32 = SystemFolder() + "\\kernel32.dll";
  struct Row {
    const char* name;
    std::string path;
    std::string error;
  };
  // clang-format off
  const Row rows[] = {
    {"no such file",  "C:\\no\\such\\folder\\ftd2xx.dll",
                      "The D2XX driver library \"C:\\no\\such\\folder\\ftd2xx.dll\" can't be loaded."},
    {"not a driver",  kernel32,
                      "The D2XX driver library \"" + kernel32 + "\" has no FT_CreateDeviceInfoList."},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string error;
    EXPECT_EQ(WinD2xx::LoadDriverAt(row.path, &error), nullptr);
    EXPECT_EQ(error, row.error);
  }
}

// --- Without the driver (before the fixture installs the stand-in) ---

TEST(NoDriver, EveryDeviceCommandSaysSoWithExitThree) {
  ScratchDir dir;
  const std::string package = dir.Package("p.bin", test::CliPackage());
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"info"}, {"devices"}, {"update", package, "--yes"}}) {
    SCOPED_TRACE(args[0]);
    const RunResult r = RunVexo3(args);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kNotInstalled);
  }
  std::string error;
  EXPECT_EQ(WinD2xx::LoadSystemDriver(&error), nullptr);
  EXPECT_EQ("vexo3: " + error + "\n", kNotInstalled);
}

// A DLL of the driver's name beside the program, or in the current folder,
// is somebody else's: the program must not load it.
TEST(NoDriver, PlantedDllIsNotPickedUp) {
  ScratchDir dir;
  const fs::path folder(WideFromUtf8(dir.path()));
  std::error_code ec;
  fs::copy_file(WideFromUtf8(test::HostPath(VEXO3_STANDIN_DLL)), folder / "ftd2xx.dll", ec);
  ASSERT_FALSE(ec) << ec.message();
  fs::copy_file(WideFromUtf8(test::HostPath(VEXO3_BINARY)), folder / "vexo3.exe", ec);
  ASSERT_FALSE(ec) << ec.message();

  const RunResult r = test::RunProgram(dir.File("vexo3.exe"), {"info"});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(r.err, kNotInstalled);

  const fs::path before = fs::current_path();
  fs::current_path(folder);
  std::string error;
  EXPECT_EQ(WinD2xx::LoadSystemDriver(&error), nullptr);
  fs::current_path(before);
}

// --- Through the stand-in driver ---

class StandIn : public ::testing::Test {
 protected:
  void TearDown() override { UseProfile(""); }
  ScratchDir dir;
};

TEST_F(StandIn, LoadsFromTheSystemFolderAndListsTheChip) {
  UseProfile("");
  std::string error;
  std::unique_ptr<WinD2xx> d2xx = WinD2xx::LoadSystemDriver(&error);
  ASSERT_NE(d2xx, nullptr) << error;
  DWORD count = 0;
  ASSERT_EQ(d2xx->FT_CreateDeviceInfoList(&count), FT_OK);
  ASSERT_EQ(count, 1u);
  // Two records: the driver must write exactly one, at our layout.
  FT_DEVICE_LIST_INFO_NODE nodes[2] = {};
  std::memset(&nodes[1], 0xAB, sizeof nodes[1]);
  ASSERT_EQ(d2xx->FT_GetDeviceInfoList(nodes, &count), FT_OK);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(nodes[0].ID, 0x04036015u);
  EXPECT_STREQ(nodes[0].Description, "Vexo-3 HandController");
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&nodes[1])[0], 0xAB);
}

// The same command through the stand-in and through --simulate: the same
// bytes on stdout and stderr, the same exit status.
TEST_F(StandIn, OutputIsTheSimulatorsByteForByte) {
  const std::string profile = dir.Write("p.json", kBootProfile);
  const std::string package = dir.Package("p.bin", test::CliPackage());
  const std::vector<std::vector<std::string>> commands = {
      {"info"},
      {"info", "--json"},
      {"devices"},
      {"devices", "--json"},
      {"--serial", "NOPE", "info"},
  };
  UseProfile(profile);
  for (const std::vector<std::string>& args : commands) {
    SCOPED_TRACE(args[0] + " " + args.back());
    const RunResult viaDll = RunVexo3(args);
    std::vector<std::string> simArgs = {"--simulate=" + profile};
    simArgs.insert(simArgs.end(), args.begin(), args.end());
    const RunResult viaSim = RunVexo3(simArgs);
    EXPECT_EQ(viaDll.exitCode, viaSim.exitCode);
    EXPECT_EQ(viaDll.out, viaSim.out);
    EXPECT_EQ(viaDll.err, viaSim.err);
  }
}

TEST_F(StandIn, FullUpdateOfBothUnits) {
  const std::string profile =
      dir.Write("p.json", R"({"state_file": "state.json", "chips":[{"hand_controller":{}}]})");
  const std::string package = dir.Package("p.bin", test::CliPackage());
  UseProfile(profile);

  RunResult r = RunVexo3({"update", package, "--yes"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(r.out.rfind("Reading device state...\nUploading HC firmware...\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("  HandController:  20000/20000 bytes  100%"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  Camera:          30000/30000 bytes  100%"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("DONE ok\nHandController: ver. "), std::string::npos) << r.out;

  // A new process, a new load of the driver: the units keep what they got.
  r = RunVexo3({"info"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Firmware version:   02.00.1\n     description:   \"HC test firmware\"\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Firmware version:   02.01\n     description:   \"Camera test firmware\"\n"),
            std::string::npos)
      << r.out;
}

// Several HandControllers through the driver: each update on its own
// thread with its own handle, the station, and the watch.
TEST_F(StandIn, SeveralDevicesAtOnce) {
  const std::string profile =
      dir.Write("p.json", R"({"state_file": "state.json", "chips": [{"serial": "VX300001"},
                   {"serial": "VX300002"}, {"serial": "VX300003", "plug_in_ms": 1500}]})");
  const std::string package = dir.Package("p.bin", test::CliPackage());
  UseProfile(profile);

  RunResult r = RunVexo3({"update", package, "--all", "--yes"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("VX300001: DONE ok"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("VX300002: DONE ok"), std::string::npos) << r.out;
  r = RunVexo3({"info", "--serial", "VX300002"});
  EXPECT_NE(r.out.find("Firmware version:   02.00.1\n"), std::string::npos) << r.out << r.err;

  const std::string log = dir.File("station.log");
  r = RunVexo3({"station", package, "--yes", "--count", "3", "--log", log});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  const std::string lines = test::ReadText(log);
  for (const char* serial : {"VX300001", "VX300002", "VX300003"})
    EXPECT_NE(lines.find(std::string("\"serial\":\"") + serial), std::string::npos) << lines;

  r = RunVexo3({"devices", "--watch", "--polls", "2"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("  present   VX300002          Vexo-3 HandController\n"), std::string::npos)
      << r.out;
}

}  // namespace
}  // namespace vexo3
