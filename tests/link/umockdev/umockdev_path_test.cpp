// The session's USB path over the real libusb-1.0 and its Linux backend:
// the chip's rules as libusb reports them, what usbfs sees of an open,
// enumeration of several chips, kernel driver hand-over.

#include <libusb.h>

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>

#include "link/ftdi_device.h"
#include "protocol/device_session.h"
#include "support/usb/open_sequence.h"
#include "umockdev_rig.h"

namespace vexo3 {
namespace {

using Steady = std::chrono::steady_clock;
using sim::FtxChip;

TEST(UmockdevPath, RunsUnderThePreloadLibrary) {
  ASSERT_TRUE(usbtest::FtxTestbed::InMockEnvironment())
      << "run under LD_PRELOAD=libumockdev-preload.so.0 (ctest sets it)";
}

// The device side's own rules, as libusb reports them.
TEST(UmockdevPath, TransfersKeepLibusbAndChipRules) {
  RealClock clock;
  FtxChip chip(clock, {}, nullptr);
  usbtest::FtxTestbed bed;
  bed.Add(chip);
  libusb_context* ctx = nullptr;
  ASSERT_EQ(libusb_init(&ctx), 0);
  libusb_device** list = nullptr;
  ASSERT_EQ(libusb_get_device_list(ctx, &list), 1);
  libusb_device_handle* usb = nullptr;
  ASSERT_EQ(libusb_open(list[0], &usb), 0);
  libusb_free_device_list(list, 1);
  ASSERT_EQ(libusb_claim_interface(usb, 0), LIBUSB_ERROR_BUSY) << "ftdi_sio holds it";
  ASSERT_EQ(libusb_detach_kernel_driver(usb, 0), 0);
  ASSERT_EQ(libusb_claim_interface(usb, 0), 0);
  unsigned char buffer[256] = {};
  unsigned char text[64] = {};
  int moved = -1;
  const auto in = [&](int length, unsigned int timeoutMs) {
    moved = -1;
    return libusb_bulk_transfer(usb, 0x81, buffer, length, &moved, timeoutMs);
  };
  // 3,000,000 baud, latency 2 ms.
  ASSERT_EQ(libusb_control_transfer(usb, 0x40, 0x03, 0, 0, nullptr, 0, 100), 0);
  ASSERT_EQ(libusb_control_transfer(usb, 0x40, 0x09, 2, 1, nullptr, 0, 100), 0);
  EXPECT_EQ(libusb_get_string_descriptor_ascii(usb, 0, text, sizeof text),
            LIBUSB_ERROR_INVALID_PARAM);
  EXPECT_EQ(libusb_get_string_descriptor_ascii(usb, 3, text, sizeof text), 8);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "VX300001");

  // Nothing waits: the status bytes alone, modem 0x11 (CTS), line 0x60 (empty).
  EXPECT_EQ(in(64, 100), 0);
  EXPECT_EQ(moved, 2);
  EXPECT_EQ(buffer[0], 0x11);
  EXPECT_EQ(buffer[1], 0x60);
  // 100 bytes: a full packet, then a short one that ends the transfer.
  chip.DeviceSends(Pattern(100));
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(in(256, 100), 0);
  EXPECT_EQ(moved, 64 + 2 + 38);
  EXPECT_TRUE(std::equal(buffer + 2, buffer + 64, Pattern(62).begin()));
  // A packet longer than the room left.
  chip.DeviceSends(Pattern(70));
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(in(32, 100), LIBUSB_ERROR_OVERFLOW);
  // A time-out still reports the packets that came.
  chip.DeviceSends(Pattern(130));
  chip.SilenceInAfter(1);
  EXPECT_EQ(in(256, 30), LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(moved, 64);
  // OUT: the 512-byte buffer fills and NAKs while CTS is off.
  ASSERT_EQ(libusb_control_transfer(usb, 0x40, 0x02, 0, 0x0101, nullptr, 0, 100), 0);
  chip.SetCts(false);
  std::vector<uint8_t> out = Pattern(1000);
  EXPECT_EQ(libusb_bulk_transfer(usb, 0x02, out.data(), 1000, &moved, 30), LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(moved, 512);
  EXPECT_EQ(chip.TxPending(), 512u);
  EXPECT_EQ(libusb_control_transfer(usb, 0x40, 0x7F, 0, 0, nullptr, 0, 100), LIBUSB_ERROR_PIPE);
  libusb_release_interface(usb, 0);
  libusb_close(usb);
  libusb_exit(ctx);
}

TEST(UmockdevPath, DecodesBaudDivisors) {
  struct Row {
    uint16_t value, index;
    uint32_t baud;
  };
  // clang-format off
  const Row rows[] = {
      {0x0000, 0, 3'000'000}, {0x0001, 0, 2'000'000}, {0x0002, 0, 1'500'000},
      {0x4138, 0, 9600},      {0x001A, 0, 115'385},   {0xC001, 1, 0},
  };
  // clang-format on
  for (const Row& r : rows)
    EXPECT_EQ(FtxChip::DecodeBaud(r.value, r.index), r.baud) << std::hex << r.value;
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

// The station lists the chips while device threads open and close theirs:
// every listing shows both chips with their serial numbers, whatever the
// others are doing. Under the tsan preset this also shows that a close never
// writes what a listing on another thread reads.
TEST(UmockdevSeveral, ListingWhileOtherThreadsOpenAndClose) {
  UmockRig rig;
  rig.Plug({.serial = "VX300002"});
  ASSERT_TRUE(rig.WaitListed(2));
  std::atomic<int> running{2};
  std::vector<std::thread> devices;
  for (const char* serial : {"VX300001", "VX300002"}) {
    devices.emplace_back([&rig, &running, serial] {
      FtdiDevice link(*rig.d2xx);
      link.deviceSelector = FtdiDevice::kHandControllerSelector;
      link.SetSerialFilter(serial);
      for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(link.OpenDevice(), 0) << serial << ": " << link.errorText;
        EXPECT_EQ(link.CloseDevice(), 0) << serial;
      }
      --running;
    });
  }
  FtdiDevice station(*rig.d2xx);
  std::vector<FtdiDevice::ChipRecord> chips;
  int listings = 0;
  for (; running > 0; ++listings) {
    ASSERT_EQ(station.ListChips(&chips), 0) << station.errorText;
    std::set<std::string> serials;
    for (const FtdiDevice::ChipRecord& c : chips)
      serials.insert(c.node.SerialNumber);
    ASSERT_EQ(serials, (std::set<std::string>{"VX300001", "VX300002"})) << listings;
  }
  for (std::thread& t : devices)
    t.join();
  EXPECT_GT(listings, 0);
}

}  // namespace
}  // namespace vexo3
