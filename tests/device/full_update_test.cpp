#include <gtest/gtest.h>

#include <vector>

#include "device/camera.h"
#include "device/hand_controller.h"
#include "firmware/firmware_package.h"
#include "sim/units/package_writer.h"
#include "sim/units/sim_image.h"
#include "support/fixtures.h"
#include "support/sim_rig.h"

namespace vexo3 {
namespace {

// The largest images a package accepts go from a package file into both
// units; afterwards the flash holds them and the units report the new versions.
TEST(FullUpdate, LargestImagesIntoBothUnits) {
  constexpr uint32_t kSize = FirmwareImage::kMaxLength;
  const std::vector<sim::PackageRecord> records = {
      test::SimRecord("HC", 0x0207, 0x5000, "HC new", kSize, 11, 0x1111),
      test::SimRecord("CA", 0x0309, 0x6010, "Camera new", kSize, 22, 0x2222),
  };
  const auto& hcImage = records[0].data;
  const auto& caImage = records[1].data;
  FirmwarePackage package;
  ASSERT_EQ(package.LoadPackage(test::ScratchDir().Package("p.bin", records)), 0);
  ASSERT_EQ(package.hcImage.length, kSize);
  ASSERT_EQ(package.cameraImage.length, kSize);

  SimRig rig;
  const auto& hc = package.hcImage;
  const auto& ca = package.cameraImage;
  ASSERT_EQ(
      UploadHcFirmware(rig.session, hc.data.get(), static_cast<int32_t>(hc.length), hc.startCode),
      0);
  ASSERT_EQ(UploadCameraFirmware(rig.session, ca.data.get(), static_cast<int32_t>(ca.length),
                                 ca.startCode),
            0);
  EXPECT_TRUE(rig.hc.Flash(sim::Unit::HandController) == hcImage);
  EXPECT_TRUE(rig.hc.Flash(sim::Unit::Camera) == caImage);
  // 512 chunks each, the last of 4,095 bytes.
  EXPECT_EQ(rig.hc.CommandCount(sim::Unit::Camera, 247, 218), 512u);

  FirmwareInfo info;
  ASSERT_EQ(ReadFirmwareInfo(rig.session, &info), 0);
  EXPECT_EQ(info.status, 0);
  EXPECT_EQ(info.version, 0x0207);
  EXPECT_EQ(info.flags, 0x5000);
  EXPECT_STREQ(info.description, "HC new");

  FirmwareInfo camInfo;
  ASSERT_EQ(StartCamera(rig.session), 0);
  ASSERT_EQ(ReadCameraFirmwareInfo(rig.session, &camInfo), 0);
  ASSERT_EQ(StopCamera(rig.session), 0);
  EXPECT_EQ(camInfo.status, 0);
  EXPECT_EQ(camInfo.version, 0x0309);
  EXPECT_EQ(camInfo.flags, 0x6010);
  EXPECT_STREQ(camInfo.description, "Camera new");
}

}  // namespace
}  // namespace vexo3
