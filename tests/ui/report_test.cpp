#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "protocol/result_code.h"
#include "ui/core/device_report.h"
#include "ui/core/package_summary.h"

namespace vexo3 {
namespace {

template <size_t N>
void Put(char (&field)[N], const char* text) {
  std::memset(field, 0, N);
  std::memcpy(field, text, std::min(N, std::strlen(text)));
}

DeviceState HandController(bool boot) {
  DeviceState s;
  Put(s.chipSerial, "VX300001");
  Put(s.chipDescription, "Vexo-3 HandController");
  s.bootMode = boot ? 1 : 0;
  s.protocolVersion = 0x0012;
  s.protocolVersion2 = 0x0304;
  Put(s.uniqueId, "HC-0123 4567 89A");
  s.hardwareId = 0x03;
  return s;
}

FirmwareInfo HcFirmware() {
  FirmwareInfo f;
  f.version = 0x0207;
  f.flags = 0x3010;
  f.sizeBlocks = 600;
  Put(f.description, "HandController main");
  return f;
}

DeviceState CameraState() {
  DeviceState s;
  s.bootMode = 1;
  s.protocolVersion = 0x0abc;
  s.protocolVersion2 = 0x0001;
  Put(s.uniqueId, "CAM 000000000042");
  s.hardwareId = 0x1C;
  return s;
}

FirmwareInfo CameraFirmware() {
  FirmwareInfo f;
  f.version = 0x0110;
  f.flags = 0xF010;  // not shown for the Camera
  f.sizeBlocks = 1;
  Put(f.description, "Camera \xE9tape");  // é in Windows-1252
  return f;
}

constexpr const char* kHcHead =
    "=== HandController's state:  %s\n\n"
    "USB-serial chip ID: VX300001\n"
    "       description: \"Vexo-3 HandController\"\n\n"
    "Unique ID:          \"HC-0123 4567 89A\"\n"
    "Protocol version:   $0012, $0304\n"
    "Hardware ID:        3\n\n";

std::string Head(const char* mode) {
  char buf[512];
  std::snprintf(buf, sizeof buf, kHcHead, mode);
  return buf;
}

constexpr const char* kHcFirmwareLines =
    "Firmware version:   02.07.3\n"
    "     description:   \"HandController main\"\n"
    "            size:   307200 bytes\n"
    "            type:   reloc. fw.\n";

constexpr const char* kCameraLines =
    "\n=== Camera's state:  BOOT MODE\n\n"
    "Unique ID:          \"CAM 000000000042\"\n"
    "Protocol version:   $0abc, $0001\n"
    "Hardware ID:        C\n\n"
    "Firmware version:   01.10\n"
    "     description:   \"Camera \xC3\xA9tape\"\n"
    "            size:   512 bytes\n";

TEST(DeviceReport, AppModeEndsAfterHandControllerFirmware) {
  FirmwareInfo fw = HcFirmware();
  fw.flags = 0x3000;
  EXPECT_EQ(
      BuildDeviceReport(HandController(false), false, fw, true, CameraState(), CameraFirmware()),
      Head("APP MODE") +
          "Firmware version:   02.07.3\n"
          "     description:   \"HandController main\"\n"
          "            size:   307200 bytes\n"
          "            type:   main fw.\n");
}

TEST(DeviceReport, BootModeWithCamera) {
  EXPECT_EQ(BuildDeviceReport(HandController(true), false, HcFirmware(), true, CameraState(),
                              CameraFirmware()),
            Head("BOOT MODE") + kHcFirmwareLines + kCameraLines);
}

TEST(DeviceReport, CameraRefusingToStartEndsTheReport) {
  EXPECT_EQ(BuildDeviceReport(HandController(true), false, HcFirmware(), false, CameraState(),
                              CameraFirmware()),
            Head("BOOT MODE") + kHcFirmwareLines +
                "\n=== Camera's state:  ERROR, can't access Camera...!\n\n");
}

TEST(DeviceReport, MissingFirmwareInfoRunsIntoCameraHeader) {
  EXPECT_EQ(BuildDeviceReport(HandController(true), true, HcFirmware(), false, CameraState(),
                              CameraFirmware()),
            Head("BOOT MODE") +
                "Firmware version:   couldn't be read!"
                "\n=== Camera's state:  ERROR, can't access Camera...!\n\n");
}

struct StatusCase {
  uint8_t status;
  const char* line;
};

class FirmwareStatus : public testing::TestWithParam<StatusCase> {};

TEST_P(FirmwareStatus, OneLineForBothUnits) {
  FirmwareInfo hcFw = HcFirmware();
  hcFw.status = GetParam().status;
  FirmwareInfo camFw = CameraFirmware();
  camFw.status = GetParam().status;
  const std::string line = std::string("Firmware version:   ") + GetParam().line + "\n";
  std::string camera = kCameraLines;
  camera = camera.substr(0, camera.find("Firmware version:")) + line;
  EXPECT_EQ(BuildDeviceReport(HandController(true), false, hcFw, true, CameraState(), camFw),
            Head("BOOT MODE") + line + camera);
}

INSTANTIATE_TEST_SUITE_P(Groups, FirmwareStatus,
                         testing::Values(StatusCase{1, "invalid firmware content"},
                                         StatusCase{7, "invalid firmware content"},
                                         StatusCase{8, "internal error"},
                                         StatusCase{9, "checksum error"},
                                         StatusCase{10, "unknown error code 10"},
                                         StatusCase{15, "NO FIRMWARE is present"},
                                         StatusCase{16, "unknown error code 16"},
                                         StatusCase{255, "unknown error code 255"}));

struct SizeCase {
  uint32_t blocks;
  const char* text;
};

class FirmwareSize : public testing::TestWithParam<SizeCase> {};

// The byte count is the true one, also beyond what a 32-bit int holds.
TEST_P(FirmwareSize, TrueByteCount) {
  FirmwareInfo fw = HcFirmware();
  fw.sizeBlocks = GetParam().blocks;
  const std::string report = BuildDeviceReport(HandController(false), false, fw, false, {}, {});
  EXPECT_NE(report.find(std::string("            size:   ") + GetParam().text + " bytes\n"),
            std::string::npos)
      << report;
}

INSTANTIATE_TEST_SUITE_P(Sizes, FirmwareSize,
                         testing::Values(SizeCase{0, "0"}, SizeCase{1, "512"},
                                         SizeCase{4194303, "2147483136"},
                                         SizeCase{4194304, "2147483648"},
                                         SizeCase{0xFFFFFFFF, "2199023255040"}));

TEST(DeviceReport, FullFieldsAreBoundedAndDecoded) {
  DeviceState hc = HandController(false);
  std::memset(hc.chipSerial, 'S', sizeof hc.chipSerial);  // no NUL at all
  std::memset(hc.uniqueId, 0xB5, sizeof hc.uniqueId);     // µ
  FirmwareInfo fw = HcFirmware();
  std::memset(fw.description, 'd', sizeof fw.description);
  fw.flags = 0;
  hc.hardwareId = 0xF7;
  const std::string report = BuildDeviceReport(hc, false, fw, false, {}, {});
  EXPECT_NE(report.find("USB-serial chip ID: SSSSSSSSS\n"), std::string::npos);
  std::string mu;
  for (int i = 0; i < 17; ++i)
    mu += "\xC2\xB5";
  EXPECT_NE(report.find("Unique ID:          \"" + mu + "\"\n"), std::string::npos);
  EXPECT_NE(report.find("     description:   \"" + std::string(40, 'd') + "\"\n"),
            std::string::npos);
  EXPECT_NE(report.find("Hardware ID:        7\n\n"), std::string::npos);
  EXPECT_NE(report.find("Firmware version:   02.07.0\n"), std::string::npos);
}

TEST(DeviceErrorText, OpenFailureHasItsOwnText) {
  EXPECT_EQ(DeviceErrorText(1),
            "Can't open device!\r\n\r\nPossible causes:\r\n\r\n  - The HandController can't be "
            "seen as an USB device;\r\n\r\n  - Some other program is connected to the "
            "HandController and so another program is not permitted to communicate with it. "
            "(Close the other program and retry.)");
  EXPECT_EQ(DeviceErrorText(9), ResultText(9));
  EXPECT_EQ(DeviceErrorText(4), "(unknown error code)");
}

FirmwarePackage Package() {
  FirmwarePackage p;
  p.hcImage.version = 0x0123;
  p.hcImage.flags = 0x4000;
  Put(p.hcImage.description, "HC release");
  p.cameraImage.version = 0x0a0b;
  p.cameraImage.flags = 0xF1E0;
  Put(p.cameraImage.description, "Cam \x80");  // € in Windows-1252
  return p;
}

TEST(PackageSummary, SixLinesEndingInTwoLineFeeds) {
  EXPECT_EQ(BuildPackageSummary(Package()),
            "HC firmware:\n  \"HC release\"\n    ver. 01.23.4\n"
            "Camera firmware\n  \"Cam \xE2\x82\xAC\"\n    ver. 0a.0b.f\n\n");
}

TEST(PackageSummary, FreshPackageShowsEmptyFields) {
  EXPECT_EQ(
      BuildPackageSummary(FirmwarePackage{}),
      "HC firmware:\n  \"\"\n    ver. 00.00.0\nCamera firmware\n  \"\"\n    ver. 00.00.0\n\n");
}

TEST(PackageSummary, FortyCharacterDescriptionShownWhole) {
  FirmwarePackage p = Package();
  std::memset(p.hcImage.description, 'x', sizeof p.hcImage.description);
  EXPECT_NE(BuildPackageSummary(p).find("  \"" + std::string(40, 'x') + "\"\n    ver. 01.23.4"),
            std::string::npos);
}

TEST(LoaderErrorText, NamesCauseAndFile) {
  const std::string path = "/tmp/f\xC3\xBC.bin";
  EXPECT_EQ(LoaderErrorText(1, path), "The file \"" + path + "\" can't be opened.");
  EXPECT_EQ(LoaderErrorText(2, path),
            "The file \"" + path + "\" is truncated: it ends inside a header.");
  EXPECT_EQ(LoaderErrorText(3, path),
            "The file \"" + path +
                "\" is not a firmware package, or one of its images is cut short or too large.");
  EXPECT_EQ(LoaderErrorText(4, path), "Out of memory while loading the file \"" + path + "\".");
}

}  // namespace
}  // namespace vexo3
