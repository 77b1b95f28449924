#include "link/libftdi_d2xx.h"

#include <gtest/gtest.h>

#include "link/ftdi_device.h"

namespace vexo3 {
namespace {

// This machine has no FT-X chip (and maybe no USB at all); with one attached
// these tests would be talking to real hardware, so they step aside.
bool ChipAttached(LibFtdiD2xx& d2xx) {
  DWORD count = 0;
  return d2xx.FT_CreateDeviceInfoList(&count) == FT_OK && count > 0;
}

TEST(LibFtdiD2xxTest, FindsNoDeviceHere) {
  LibFtdiD2xx d2xx;
  if (ChipAttached(d2xx))
    GTEST_SKIP() << "a 0403:6015 chip is attached";
  DWORD count = 99;
  ASSERT_EQ(d2xx.FT_CreateDeviceInfoList(&count), FT_OK);
  EXPECT_EQ(count, 0u);

  FtdiDevice link(d2xx);
  link.deviceSelector = 3;
  EXPECT_EQ(link.FindDevice(), -1);
  EXPECT_STREQ(link.errorText, "");
  EXPECT_EQ(link.OpenDevice(), 1);
  EXPECT_STREQ(link.errorText, "");
  EXPECT_FALSE(link.IsOpen());
}

TEST(LibFtdiD2xxTest, CallsWithoutADeviceFailCleanly) {
  LibFtdiD2xx d2xx;
  if (ChipAttached(d2xx))
    GTEST_SKIP() << "a 0403:6015 chip is attached";
  FT_HANDLE handle = nullptr;
  EXPECT_EQ(d2xx.FT_Open(0, &handle), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(d2xx.FT_Open(-1, &handle), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(handle, nullptr);

  FT_DEVICE_LIST_INFO_NODE node[1];
  DWORD count = 1;
  EXPECT_EQ(d2xx.FT_GetDeviceInfoList(node, &count), FT_OK);
  EXPECT_EQ(count, 0u);

  // A handle that was never opened is refused by every call.
  int dummy = 0;
  FT_HANDLE bogus = &dummy;
  UCHAR pins = 0;
  DWORD n = 0;
  char bytes[4] = {};
  EXPECT_EQ(d2xx.FT_Close(bogus), FT_INVALID_HANDLE);
  EXPECT_EQ(d2xx.FT_Close(nullptr), FT_INVALID_HANDLE);
  EXPECT_EQ(d2xx.FT_GetBitMode(bogus, &pins), FT_INVALID_HANDLE);
  EXPECT_EQ(d2xx.FT_SetBitMode(bogus, 0, FT_BITMODE_CBUS_BITBANG), FT_INVALID_HANDLE);
  EXPECT_EQ(d2xx.FT_Purge(bogus, FT_PURGE_RX), FT_INVALID_HANDLE);
  EXPECT_EQ(d2xx.FT_SetBaudRate(bogus, 3000000), FT_INVALID_HANDLE);
  EXPECT_EQ(d2xx.FT_SetTimeouts(bogus, 1, 1), FT_INVALID_HANDLE);
  EXPECT_EQ(d2xx.FT_Write(bogus, bytes, 4, &n), FT_INVALID_HANDLE);
  EXPECT_EQ(d2xx.FT_Read(bogus, bytes, 4, &n), FT_INVALID_HANDLE);
  EXPECT_EQ(d2xx.FT_GetQueueStatus(bogus, &n), FT_INVALID_HANDLE);
  EXPECT_EQ(d2xx.FT_GetStatus(bogus, &n, &n, &n), FT_INVALID_HANDLE);
}

}  // namespace
}  // namespace vexo3
