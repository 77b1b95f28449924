// The session's USB path over the real libusb-1.0 and its Linux backend:
// what usbfs sees of an open, enumeration of several chips, kernel driver
// hand-over.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "link/ftdi_device.h"
#include "protocol/device_session.h"
#include "support/usb/open_sequence.h"
#include "umockdev_rig.h"

namespace vexo3 {
namespace {

using Steady = std::chrono::steady_clock;

TEST(UmockdevPath, RunsUnderThePreloadLibrary) {
  ASSERT_TRUE(usbtest::FtxTestbed::InMockEnvironment())
      << "run under LD_PRELOAD=libumockdev-preload.so.0 (ctest sets it)";
}

// The session's open, exactly as the chip sees it; ftdi_sio is let go for
// the session and gets the chip back after it.
TEST(UmockdevPath, OpenAndConfigureSequence) {
  UmockRig rig;
  const Steady::time_point start = Steady::now();
  {
    DeviceSession session(*rig.d2xx, rig.clock);
    ASSERT_EQ(session.OpenSession(), 0) << session.link->errorText;
    RecordProperty("connect_ms", std::to_string(UmockRig::MsSince(start)));
    const usbtest::KernelDriverState during = rig.bed.Driver(rig.chip);
    EXPECT_FALSE(during.bound);
    EXPECT_TRUE(during.claimed);
  }
  test::ExpectOpenAndConfigureRequests(rig.chip.Controls(), /*checkTimeouts=*/false);
  ASSERT_GE(rig.chip.Wire().size(), 2u);
  EXPECT_EQ(rig.chip.Wire()[0].baudRate, 9600u);
  EXPECT_EQ(rig.chip.Wire()[0].bytes, std::vector<uint8_t>{0x00});
  EXPECT_EQ(rig.chip.Wire()[1].baudRate, 3'000'000u);
  EXPECT_TRUE(rig.hc.IsAwake());
  const usbtest::KernelDriverState after = rig.bed.Driver(rig.chip);
  EXPECT_TRUE(after.bound);
  EXPECT_FALSE(after.claimed);
  EXPECT_EQ(after.detaches, 1u);
  EXPECT_EQ(after.reattaches, 1u);
}

TEST(UmockdevPath, EnumeratesChipsInOrder) {
  UmockRig rig;
  rig.Plug({.serial = "VX300002"});
  rig.Plug({.serial = ""});
  rig.Plug({.description = "Vexo-3 Prototype", .serial = "P1"});
  ASSERT_TRUE(rig.WaitListed(4));
  DWORD count = 0;
  ASSERT_EQ(rig.d2xx->FT_CreateDeviceInfoList(&count), FT_OK);
  ASSERT_EQ(count, 4u);
  FT_DEVICE_LIST_INFO_NODE nodes[4] = {};
  ASSERT_EQ(rig.d2xx->FT_GetDeviceInfoList(nodes, &count), FT_OK);
  // libusb lists the chip it learnt of last first (its list grows at the
  // front): each chip is checked by its port, not by its place.
  struct Expected {
    const char* serial;
    const char* description;
  };
  const Expected byPort[] = {{"VX300001", "Vexo-3 HandController"},
                             {"VX300002", "Vexo-3 HandController"},
                             {"", "Vexo-3 HandController"},
                             {"P1", "Vexo-3 Prototype"}};
  std::set<DWORD> ports;
  for (DWORD i = 0; i < count; ++i) {
    const DWORD port = nodes[i].LocId & 0x0F;
    ASSERT_EQ(nodes[i].LocId >> 4, 1u) << i;  // bus 1
    ASSERT_TRUE(port >= 1 && port <= 4) << nodes[i].LocId;
    ports.insert(port);
    EXPECT_STREQ(nodes[i].SerialNumber, byPort[port - 1].serial) << port;
    EXPECT_STREQ(nodes[i].Description, byPort[port - 1].description) << port;
    EXPECT_EQ(nodes[i].ID, 0x04036015u);
    EXPECT_EQ(nodes[i].Type, FT_DEVICE_X_SERIES);
  }
  EXPECT_EQ(ports.size(), 4u);
  EXPECT_EQ(nodes[0].LocId, 0x14u) << "the newest chip first, as libusb keeps its list";
}

}  // namespace
}  // namespace vexo3
