// Faults as usbfs reports them, under the real libusb: what the backend
// makes of a stalled endpoint, a chip gone mid-transfer, a time-out whose
// cancelled URB holds data, a chip gone between listing and opening; and
// the chip's own faults (CTS held off, a silent or babbling line, failing
// string reads, slow and stalled control requests).

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "link/ftdi_device.h"
#include "protocol/device_session.h"
#include "support/cli_runner.h"
#include "umockdev_rig.h"

namespace vexo3 {
namespace {

// The link open and configured as the session has it, time-outs 100 ms.
std::string OpenLink(UmockRig& rig, FtdiDevice& link) {
  link.deviceSelector = 3;
  if (link.OpenDevice() != 0 || link.SetLatencyTimer() != 0 || link.SetTimeouts(100, 100) != 0 ||
      link.SetRTSCTS() != 0 || link.SetDataFormat() != 0 || link.SetBaudRate(3'000'000) != 0)
    return std::string("open and configure: ") + link.errorText;
  rig.chip.ClearRecords();
  return "";
}

std::string Check(bool ok, const std::string& what) {
  return ok ? "" : what;
}

using Steady = std::chrono::steady_clock;

struct FaultRow {
  const char* name;
  // "" when the backend behaved; otherwise what went wrong.
  std::function<std::string(UmockRig&, FtdiDevice&)> run;
  sim::FtxIdentity identity = {};
};

// clang-format off
const FaultRow kFaultRows[] = {
    {"a stalled IN endpoint (EPIPE) fails the read, keeps no stale bytes",
     [](UmockRig& rig, FtdiDevice& link) {
       rig.bed.StallEndpoint(rig.chip, sim::FtxChip::kEndpointIn);
       rig.chip.DeviceSends(Pattern(11));
       uint8_t answer[11];
       const int32_t got = link.Read(11, answer);
       return Check(got != 11 && !std::string(link.errorText).empty(),
                    "read " + std::to_string(got) + " from a stalled endpoint");
     }},
    {"a chip gone mid-transfer (ENODEV on reap) fails cleanly, and so does what follows",
     [](UmockRig& rig, FtdiDevice& link) {
       rig.bed.GoneDuringNextBulk(rig.chip);
       uint8_t answer[11];
       const int32_t got = link.Read(11, answer);
       const uint8_t bytes[4] = {1, 2, 3, 4};
       const int32_t sent = link.Write(bytes, 4);
       return Check(got != 11 && sent != 4, "read " + std::to_string(got) + " write " +
                                                std::to_string(sent) + " on a gone chip");
     }},
    {"a timed-out read keeps the packets its cancelled URB holds",
     [](UmockRig& rig, FtdiDevice& link) {
       // Three full packets, then the IN endpoint falls silent: the URB
       // never sees a short packet and is cancelled at the time-out.
       const std::vector<uint8_t> sent = Pattern(3 * 62);
       rig.chip.SilenceInAfter(3);
       rig.chip.DeviceSends(sent);
       std::this_thread::sleep_for(std::chrono::milliseconds(5));  // all in the chip
       rig.chip.Sync();
       std::vector<uint8_t> answer(400);
       const int32_t got = link.Read(400, answer.data());
       const uint32_t discarded = rig.bed.Urbs(rig.chip).discarded;
       return Check(got == 186 && std::equal(sent.begin(), sent.end(), answer.begin()) &&
                        discarded >= 1,
                    "read " + std::to_string(got) + " of 186, " + std::to_string(discarded) +
                        " URBs cancelled");
     }},
    {"a timed-out write reports what the chip took, each byte on the line once",
     [](UmockRig& rig, FtdiDevice& link) {
       const std::vector<uint8_t> data = Pattern(2048);
       rig.chip.HoldCtsFor(300);
       const int32_t sent = link.Write(data.data(), 2048);
       std::this_thread::sleep_for(std::chrono::milliseconds(320));
       rig.chip.Sync();
       const std::vector<uint8_t> wire = rig.chip.WireBytes();
       // The link reports a short write as a failure (0).
       return Check(sent == 0 && wire.size() >= 512 && wire.size() < data.size() &&
                        std::equal(wire.begin(), wire.end(), data.begin()),
                    "wrote " + std::to_string(sent) + ", line got " + std::to_string(wire.size()));
     }},
    {"CTS dropped mid-write: each byte on the line once, in order",
     [](UmockRig& rig, FtdiDevice& link) {
       const std::vector<uint8_t> data = Pattern(2048);
       rig.chip.DropCtsAfter(600, 150);
       const int32_t sent = link.Write(data.data(), 2048);
       std::this_thread::sleep_for(std::chrono::milliseconds(200));
       rig.chip.Sync();
       const std::vector<uint8_t> wire = rig.chip.WireBytes();
       const bool prefix = wire.size() <= data.size() && std::equal(wire.begin(), wire.end(), data.begin());
       return Check(prefix && (sent == 0 || wire.size() == data.size()),
                    "wrote " + std::to_string(sent) + ", line got " + std::to_string(wire.size()) +
                        (prefix ? " bytes" : " bytes, not the data in order"));
     }},
    {"a queued answer is counted, then read, in one data packet",
     [](UmockRig& rig, FtdiDevice& link) {
       rig.chip.DeviceSends(Pattern(11));
       std::this_thread::sleep_for(std::chrono::milliseconds(5));
       const int32_t queued = link.QueryReadBufLen();
       uint8_t answer[11];
       const int32_t got = link.Read(11, answer);
       return Check(queued == 11 && got == 11 && rig.chip.DataPackets() == 1,
                    "queued " + std::to_string(queued) + " read " + std::to_string(got) + " in " +
                        std::to_string(rig.chip.DataPackets()) + " data packets");
     }},
    {"a peer that keeps talking doesn't stretch a read",
     [](UmockRig& rig, FtdiDevice& link) {
       link.SetTimeouts(50, 50);
       rig.chip.StartBabbling(1000);
       std::vector<uint8_t> buffer(100);
       const Steady::time_point start = Steady::now();
       const int32_t got = link.Read(100, buffer.data());
       const double ms = UmockRig::MsSince(start);
       return Check(ms < 250 && got > 0 && got < 100,
                    "read " + std::to_string(got) + " in " + std::to_string(ms) + " ms");
     }},
    {"a silent chip ends the read on time",
     [](UmockRig& rig, FtdiDevice& link) {
       link.SetTimeouts(50, 50);
       rig.chip.SetInSilent(true);
       uint8_t answer[11];
       const Steady::time_point start = Steady::now();
       const int32_t got = link.Read(11, answer);
       const double ms = UmockRig::MsSince(start);
       return Check(got == 0 && ms < 220, "read " + std::to_string(got) + " in " + std::to_string(ms) + " ms");
     }},
    {"a chip without a serial string is found",
     [](UmockRig&, FtdiDevice& link) {
       return Check(link.IsOpen() && std::string(link.QueryDescr()) == "Vexo-3 HandController" &&
                        std::string(link.QuerySerial()).empty(),
                    std::string("open ") + (link.IsOpen() ? "yes" : "no"));
     },
     {.serial = ""}},
    {"a failed string read leaves the handle working",
     [](UmockRig& rig, FtdiDevice& link) {
       rig.chip.FailStringReads(3);
       const std::string descr = link.QueryDescr();
       const uint8_t bytes[4] = {1, 2, 3, 4};
       const int32_t sent = link.Write(bytes, 4);
       const int32_t baud = link.SetBaudRate(9600);
       return Check(descr == "Vexo-3 HandController" && sent == 4 && baud == 0,
                    "descr '" + descr + "' write " + std::to_string(sent) + " baud " + std::to_string(baud) +
                        ": " + link.errorText);
     }},
    {"control requests keep their own time-out, not the read and write ones",
     [](UmockRig& rig, FtdiDevice& link) {
       link.SetTimeouts(60, 60);
       rig.bed.SlowControls(rig.chip, 200);
       const int32_t flushed = link.FlushOutBuffer();
       const int32_t baud = link.SetBaudRate(3'000'000);
       rig.bed.SlowControls(rig.chip, 0);
       return Check(flushed == 0 && baud == 0, "purge " + std::to_string(flushed) + " baud " +
                                                   std::to_string(baud) + ": " + link.errorText);
     }},
};
// clang-format on

TEST(UmockdevFaults, EachFaultAsUsbfsReportsIt) {
  for (const FaultRow& row : kFaultRows) {
    SCOPED_TRACE(row.name);
    UmockRig rig(row.identity);
    FtdiDevice link(*rig.d2xx);
    const std::string opened = OpenLink(rig, link);
    ASSERT_EQ(opened, "");
    EXPECT_EQ(row.run(rig, link), "");
  }
}

// The session waits for the wake-up byte to leave: with CTS held off for
// longer than the settling wait after it (550 ms), but not for the write
// time-out, it still leaves at 9600, not at the rate that follows.
TEST(UmockdevFaults, WakeUpByteWaitsForCts) {
  UmockRig rig;
  DeviceSession session(*rig.d2xx, rig.clock);
  rig.chip.HoldCtsFor(700);
  EXPECT_EQ(session.OpenSession(), 0) << session.link->errorText;
  ASSERT_FALSE(rig.chip.Wire().empty());
  EXPECT_EQ(rig.chip.Wire()[0].baudRate, 9600u);
  EXPECT_EQ(rig.chip.Wire()[0].bytes, std::vector<uint8_t>{0x00});
}

TEST(UmockdevFaults, StalledRequestAndUnpluggedChipFailCleanly) {
  UmockRig rig;
  FtdiDevice link(*rig.d2xx);
  ASSERT_EQ(OpenLink(rig, link), "");
  uint8_t bytes[4] = {};
  // A stalled request fails that call only.
  rig.chip.StallRequest(0x03);
  EXPECT_EQ(link.SetBaudRate(3'000'000), 1);
  EXPECT_STREQ(link.errorText, "FT_SetBaudRate failed (code 4 ($4))");
  EXPECT_EQ(link.SetBaudRate(3'000'000), 0);
  EXPECT_EQ(link.Write(bytes, 4), 4);

  rig.bed.Remove(rig.chip);
  EXPECT_EQ(link.Write(bytes, 4), 0);
  EXPECT_EQ(link.Read(4, bytes), 0);
  EXPECT_STREQ(link.errorText, "FT_Read failed (code 4 ($4))");
  ASSERT_TRUE(rig.WaitListed(0));
  EXPECT_EQ(link.FindDevice(), -1);
}

TEST(UmockdevFaults, ChipGoneBetweenListingAndOpening) {
  UmockRig rig;
  DWORD count = 0;
  ASSERT_EQ(rig.d2xx->FT_CreateDeviceInfoList(&count), FT_OK);
  ASSERT_EQ(count, 1u);
  rig.bed.Remove(rig.chip);
  // The backend's list still names it: opening that entry fails.
  FT_HANDLE handle = nullptr;
  EXPECT_NE(rig.d2xx->FT_Open(0, &handle), FT_OK);
  EXPECT_EQ(handle, nullptr);
  // The link lists again and finds none.
  FtdiDevice link(*rig.d2xx);
  link.deviceSelector = 3;
  EXPECT_EQ(link.OpenDevice(), 1);
  EXPECT_FALSE(link.IsOpen());
}

// ftdi_sio bound again while the program holds the chip (a re-plug the
// kernel raced): the claim fails instead of stealing the tty.
TEST(UmockdevFaults, DriverBoundLeavesTheChipAlone) {
  UmockRig rig;
  {
    FtdiDevice link(*rig.d2xx);
    ASSERT_EQ(OpenLink(rig, link), "");
  }
  const usbtest::KernelDriverState after = rig.bed.Driver(rig.chip);
  EXPECT_TRUE(after.bound);
  EXPECT_EQ(after.detaches, after.reattaches);
}

// Root opens a node of mode 000 only through CAP_DAC_OVERRIDE (and
// CAP_DAC_READ_SEARCH): without them in the effective set it gets EACCES,
// as an ordinary user would. They stay permitted, so they come back after.
bool SetDacOverride(bool on) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0)
    return false;
  const uint32_t bits = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
  data[0].effective =
      on ? (data[0].effective | (data[0].permitted & bits)) : (data[0].effective & ~bits);
  return syscall(SYS_capset, &header, data) == 0;
}

TEST(UmockdevFaults, NodeWithoutPermission) {
  const bool root = ::geteuid() == 0;
  if (root && !SetDacOverride(false))
    GTEST_SKIP() << "can't drop CAP_DAC_OVERRIDE here";
  {
    UmockRig rig;
    rig.bed.SetNodeMode(rig.chip, 0);
    FtdiDevice link(*rig.d2xx);
    link.deviceSelector = 3;
    EXPECT_NE(link.OpenDevice(), 0);
    const test::RunResult devices = test::RunInProcess({"devices"});
    EXPECT_NE(devices.out.find("no: can't be read (no permission"), std::string::npos)
        << devices.out;
    EXPECT_NE(devices.err.find("The udev rule"), std::string::npos) << devices.err;
  }
  if (root)
    SetDacOverride(true);
}

}  // namespace
}  // namespace vexo3
