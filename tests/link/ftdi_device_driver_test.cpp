// A driver that misbehaves in ways the simulated bus never does: the link
// must not trust counts and out-parameters beyond what it asked for.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "link/ftdi_device.h"

namespace vexo3 {
namespace {

using testing::_;
using testing::DoAll;
using testing::Invoke;
using testing::Return;
using testing::SetArgPointee;

class MockD2xx : public D2xxApi {
 public:
  MOCK_METHOD(FT_STATUS, FT_CreateDeviceInfoList, (DWORD*), (override));
  MOCK_METHOD(FT_STATUS, FT_GetDeviceInfoList, (FT_DEVICE_LIST_INFO_NODE*, DWORD*), (override));
  MOCK_METHOD(FT_STATUS, FT_Open, (int, FT_HANDLE*), (override));
  MOCK_METHOD(FT_STATUS, FT_Close, (FT_HANDLE), (override));
  MOCK_METHOD(FT_STATUS, FT_GetBitMode, (FT_HANDLE, UCHAR*), (override));
  MOCK_METHOD(FT_STATUS, FT_SetBitMode, (FT_HANDLE, UCHAR, UCHAR), (override));
  MOCK_METHOD(FT_STATUS, FT_Purge, (FT_HANDLE, ULONG), (override));
  MOCK_METHOD(FT_STATUS, FT_SetDataCharacteristics, (FT_HANDLE, UCHAR, UCHAR, UCHAR), (override));
  MOCK_METHOD(FT_STATUS, FT_SetBaudRate, (FT_HANDLE, ULONG), (override));
  MOCK_METHOD(FT_STATUS, FT_SetFlowControl, (FT_HANDLE, USHORT, UCHAR, UCHAR), (override));
  MOCK_METHOD(FT_STATUS, FT_SetTimeouts, (FT_HANDLE, ULONG, ULONG), (override));
  MOCK_METHOD(FT_STATUS, FT_SetLatencyTimer, (FT_HANDLE, UCHAR), (override));
  MOCK_METHOD(FT_STATUS, FT_GetDeviceInfo, (FT_HANDLE, FT_DEVICE*, DWORD*, char*, char*, void*),
              (override));
  MOCK_METHOD(FT_STATUS, FT_Write, (FT_HANDLE, const void*, DWORD, DWORD*), (override));
  MOCK_METHOD(FT_STATUS, FT_Read, (FT_HANDLE, void*, DWORD, DWORD*), (override));
  MOCK_METHOD(FT_STATUS, FT_GetQueueStatus, (FT_HANDLE, DWORD*), (override));
  MOCK_METHOD(FT_STATUS, FT_GetStatus, (FT_HANDLE, DWORD*, DWORD*, DWORD*), (override));
};

FT_HANDLE const kHandle = reinterpret_cast<FT_HANDLE>(0x4000);

class DriverFaultTest : public testing::Test {
 protected:
  // The driver lists one chip of ours, without strings.
  void ListOneChip() {
    EXPECT_CALL(d2xx, FT_CreateDeviceInfoList(_))
        .WillOnce(DoAll(SetArgPointee<0>(1), Return(FT_OK)));
    EXPECT_CALL(d2xx, FT_GetDeviceInfoList(_, _))
        .WillOnce(Invoke([](FT_DEVICE_LIST_INFO_NODE* dest, DWORD* n) {
          std::memset(&dest[0], 0, sizeof dest[0]);
          dest[0].ID = FtdiDevice::kUsbId;
          *n = 1;
          return FT_OK;
        }));
  }

  // A link open on kHandle.
  void PretendOpen() {
    ListOneChip();
    EXPECT_CALL(d2xx, FT_Open(0, _)).WillOnce(DoAll(SetArgPointee<1>(kHandle), Return(FT_OK)));
    EXPECT_CALL(d2xx, FT_GetBitMode(kHandle, _)).WillOnce(Return(FT_OK));
    EXPECT_CALL(d2xx, FT_Purge(kHandle, _)).WillOnce(Return(FT_OK));
    EXPECT_CALL(d2xx, FT_Close(kHandle)).WillRepeatedly(Return(FT_OK));
    ASSERT_EQ(link.OpenDevice(), 0);
  }

  testing::StrictMock<MockD2xx> d2xx;
  FtdiDevice link{d2xx};
};

TEST_F(DriverFaultTest, ListLongerThanAllocatedIsCut) {
  EXPECT_CALL(d2xx, FT_CreateDeviceInfoList(_)).WillOnce(DoAll(SetArgPointee<0>(1), Return(FT_OK)));
  // A chip plugged in between the two calls: the driver claims three records.
  EXPECT_CALL(d2xx, FT_GetDeviceInfoList(_, _))
      .WillOnce(Invoke([](FT_DEVICE_LIST_INFO_NODE* dest, DWORD* n) {
        std::memset(&dest[0], 0, sizeof dest[0]);
        dest[0].ID = 0x04036001;
        *n = 3;
        return FT_OK;
      }));
  link.deviceSelector = 0;
  EXPECT_EQ(link.FindDevice(), -1);  // ASan would flag a read of record 1
}

TEST_F(DriverFaultTest, CountBeyondAnyBusIsRefusedBeforeTheListIsMade) {
  EXPECT_CALL(d2xx, FT_CreateDeviceInfoList(_))
      .WillOnce(DoAll(SetArgPointee<0>(0xFFFFFFFF), Return(FT_OK)));
  // No FT_GetDeviceInfoList (StrictMock): nothing was made room for.
  const char* failed = nullptr;
  std::vector<FtdiDevice::ChipRecord> chips;
  EXPECT_EQ(link.ListChips(&chips, &failed), 1);
  EXPECT_STREQ(failed, "FT_CreateDeviceInfoList");
}

TEST_F(DriverFaultTest, UnterminatedDescriptionDoesNotMatch) {
  EXPECT_CALL(d2xx, FT_CreateDeviceInfoList(_)).WillOnce(DoAll(SetArgPointee<0>(1), Return(FT_OK)));
  EXPECT_CALL(d2xx, FT_GetDeviceInfoList(_, _))
      .WillOnce(Invoke([](FT_DEVICE_LIST_INFO_NODE* dest, DWORD* n) {
        std::memset(&dest[0], 'x', sizeof dest[0]);
        std::memcpy(dest[0].Description, "Vexo-3 HandController", 21);
        dest[0].ID = FtdiDevice::kUsbId;
        *n = 1;
        return FT_OK;
      }));
  link.deviceSelector = 3;
  EXPECT_EQ(link.FindDevice(), -1);
}

TEST_F(DriverFaultTest, FailedOpenDoesNotAdoptTheOutParameter) {
  ListOneChip();
  EXPECT_CALL(d2xx, FT_Open(0, _))
      .WillOnce(DoAll(SetArgPointee<1>(kHandle), Return(FT_DEVICE_NOT_OPENED)));
  EXPECT_EQ(link.OpenDevice(), 3);
  EXPECT_FALSE(link.IsOpen());
}

TEST_F(DriverFaultTest, ReadNeverReportsMoreThanAsked) {
  PretendOpen();
  EXPECT_CALL(d2xx, FT_Read(kHandle, _, 4, _)).WillOnce(DoAll(SetArgPointee<3>(9), Return(FT_OK)));
  char buffer[4];
  EXPECT_EQ(link.Read(4, buffer), 4);
}

TEST_F(DriverFaultTest, WriteNeverCountsMoreThanOffered) {
  PretendOpen();
  // Without the cap the remaining count would wrap and the loop run past the data.
  EXPECT_CALL(d2xx, FT_Write(kHandle, _, 3, _))
      .WillOnce(DoAll(SetArgPointee<3>(50), Return(FT_OK)));
  EXPECT_EQ(link.Write("abc", 3), 3);
}

TEST_F(DriverFaultTest, QueriedTextsAreAlwaysTerminated) {
  PretendOpen();
  EXPECT_CALL(d2xx, FT_GetDeviceInfo(kHandle, _, _, _, _, nullptr))
      .WillRepeatedly(Invoke([](FT_HANDLE, FT_DEVICE*, DWORD*, char* serial, char* descr, void*) {
        std::memset(serial, 'S', 16);
        std::memset(descr, 'D', 64);
        return FT_OK;
      }));
  EXPECT_EQ(std::strlen(link.QuerySerial()), 16u);
  EXPECT_EQ(std::strlen(link.QueryDescr()), 64u);
}

}  // namespace
}  // namespace vexo3
