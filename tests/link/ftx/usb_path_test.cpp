// The real backend over emulated FT-X chips: the libusb seam itself, the
// chip's USB rules, the open-and-configure sequence, enumeration and the
// faults a real chip shows.

#include <dlfcn.h>
#include <libusb.h>
#include <link.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "link/ftdi_device.h"
#include "protocol/device_session.h"
#include "support/usb/open_sequence.h"
#include "support/usb/usb_rig.h"

namespace vexo3 {
namespace {

using Steady = std::chrono::steady_clock;
using sim::FtxChip;

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i)
    bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

// The libusb functions libftdi1.so imports, from its dynamic symbol table.
std::set<std::string> LibftdiImports() {
  std::set<std::string> names;
  void* lib = dlopen("libftdi1.so.2", RTLD_NOW | RTLD_NOLOAD);
  link_map* map = nullptr;
  if (lib == nullptr || dlinfo(lib, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr)
    return names;
  const std::string command = std::string("nm -D --undefined-only '") + map->l_name + "'";
  dlclose(lib);
  FILE* nm = popen(command.c_str(), "r");
  if (nm == nullptr)
    return names;
  char line[256];
  while (std::fgets(line, sizeof line, nm) != nullptr) {
    std::string name = line;
    name = name.substr(name.find_last_of(' ') + 1);
    name = name.substr(0, name.find_first_of("@\n"));
    if (name.rfind("libusb_", 0) == 0)
      names.insert(name);
  }
  pclose(nm);
  return names;
}

// A symbol this program doesn't define would bind libftdi1 to the real
// libusb: its "device" would then be whatever the machine has.
TEST(UsbSeam, EveryLibusbImportOfLibftdiBindsToTheEmulation) {
  const std::set<std::string> imports = LibftdiImports();
  ASSERT_GE(imports.size(), 20u) << "can't read libftdi1's imports (nm -D)";
  std::set<std::string> ours;
  for (const sim::usb::UsbSymbol& s : sim::usb::UsbSymbols()) {
    ours.insert(std::string(s.name));
    EXPECT_EQ(dlsym(RTLD_DEFAULT, std::string(s.name).c_str()), s.address) << s.name;
  }
  for (const std::string& name : imports)
    EXPECT_TRUE(ours.count(name)) << name << " is imported by libftdi1 but not emulated";
}

// The device side's own rules, as libusb reports them.
TEST(UsbSeam, TransfersKeepLibusbAndChipRules) {
  RealClock clock;
  PluggedChip plugged(clock, {});
  FtxChip& chip = plugged.chip;
  libusb_context* ctx = nullptr;
  ASSERT_EQ(libusb_init(&ctx), 0);
  libusb_device** list = nullptr;
  ASSERT_EQ(libusb_get_device_list(ctx, &list), 1);
  libusb_device_handle* usb = nullptr;
  ASSERT_EQ(libusb_open(list[0], &usb), 0);
  libusb_free_device_list(list, 1);
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
  libusb_close(usb);
  libusb_exit(ctx);
}

TEST(UsbSeam, DecodesBaudDivisors) {
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

// The session's open, exactly as the chip sees it; and the tty's driver
// goes back to the chip when the session is done.
TEST(UsbPath, OpenAndConfigureSequence) {
  UsbRig rig;
  const Steady::time_point start = Steady::now();
  {
    DeviceSession session(rig.d2xx, rig.clock);
    ASSERT_EQ(session.OpenSession(), 0) << session.link->errorText;
    RecordProperty("connect_ms", std::to_string(UsbRig::MsSince(start)));
    EXPECT_FALSE(sim::usb::KernelDriver(rig.chip).attached);
  }
  test::ExpectOpenAndConfigureRequests(rig.chip.Controls(), /*checkTimeouts=*/true);
  ASSERT_GE(rig.chip.Wire().size(), 2u);
  EXPECT_EQ(rig.chip.Wire()[0].baudRate, 9600u);
  EXPECT_EQ(rig.chip.Wire()[0].bytes, std::vector<uint8_t>{0x00});
  EXPECT_EQ(rig.chip.Wire()[1].baudRate, 3'000'000u);
  EXPECT_TRUE(rig.hc.IsAwake());
  const sim::usb::KernelDriverRecord driver = sim::usb::KernelDriver(rig.chip);
  EXPECT_TRUE(driver.attached);
  EXPECT_EQ(driver.detaches, 1u);
  EXPECT_EQ(driver.reattaches, 1u);
  EXPECT_EQ(sim::usb::OpenHandles(), 0u);
}

TEST(UsbPath, EnumeratesChipsInOrder) {
  UsbRig rig;
  PluggedChip second(rig.clock, {.serial = "VX300002"});
  PluggedChip noSerial(rig.clock, {.serial = ""});
  PluggedChip other(rig.clock, {.description = "Vexo-3 Prototype", .serial = "P1"});
  DWORD count = 0;
  ASSERT_EQ(rig.d2xx.FT_CreateDeviceInfoList(&count), FT_OK);
  ASSERT_EQ(count, 4u);
  FT_DEVICE_LIST_INFO_NODE nodes[4] = {};
  ASSERT_EQ(rig.d2xx.FT_GetDeviceInfoList(nodes, &count), FT_OK);
  const char* serials[] = {"VX300001", "VX300002", "", "P1"};
  for (DWORD i = 0; i < count; ++i) {
    EXPECT_STREQ(nodes[i].SerialNumber, serials[i]) << i;
    EXPECT_EQ(nodes[i].ID, 0x04036015u);
    EXPECT_EQ(nodes[i].Type, FT_DEVICE_X_SERIES);
  }
  EXPECT_STREQ(nodes[2].Description, "Vexo-3 HandController");
  EXPECT_STREQ(nodes[3].Description, "Vexo-3 Prototype");

  // The first HandController is opened; an open chip is listed as such.
  FtdiDevice link(rig.d2xx);
  link.deviceSelector = 3;
  ASSERT_EQ(link.OpenDevice(), 0);
  EXPECT_STREQ(link.QuerySerial(), "VX300001");
  ASSERT_EQ(rig.d2xx.FT_CreateDeviceInfoList(&count), FT_OK);
  ASSERT_EQ(rig.d2xx.FT_GetDeviceInfoList(nodes, &count), FT_OK);
  EXPECT_EQ(nodes[0].Flags & FT_FLAGS_OPENED, FT_FLAGS_OPENED);
  EXPECT_STREQ(nodes[0].SerialNumber, "VX300001");
}

// The link open and configured as the session has it, time-outs 100 ms;
// "" or what failed.
std::string OpenLink(UsbRig& rig, FtdiDevice& link) {
  link.deviceSelector = 3;
  if (link.OpenDevice() != 0 || link.SetLatencyTimer() != 0 || link.SetTimeouts(100, 100) != 0 ||
      link.SetRTSCTS() != 0 || link.SetDataFormat() != 0 || link.SetBaudRate(3'000'000) != 0)
    return std::string("open and configure: ") + link.errorText;
  rig.chip.ClearRecords();
  return "";
}

struct FaultRow {
  const char* name;
  sim::FtxIdentity identity;
  // "" when the backend behaved; otherwise what went wrong.
  std::function<std::string(UsbRig&, FtdiDevice&)> run;
};

std::string Check(bool ok, const std::string& what) {
  return ok ? "" : what;
}

// clang-format off
const FaultRow kFaultRows[] = {
    {"1: a stalled write puts each byte on the line once", {},
     [](UsbRig& rig, FtdiDevice& link) {
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
    {"2: an answer and a queue query cost one USB transfer each", {},
     [](UsbRig& rig, FtdiDevice& link) {
       rig.chip.DeviceSends(Pattern(11));
       std::this_thread::sleep_for(std::chrono::milliseconds(5));
       const int32_t queued = link.QueryReadBufLen();
       const uint32_t afterQuery = rig.chip.BulkInTransfers();
       uint8_t answer[11];
       const int32_t got = link.Read(11, answer);
       rig.chip.DeviceSends(Pattern(11));
       const int32_t again = link.Read(11, answer);
       return Check(queued == 11 && got == 11 && again == 11 && afterQuery == 1 &&
                        rig.chip.BulkInTransfers() == 2,
                    "queued " + std::to_string(queued) + " read " + std::to_string(got) + "+" +
                        std::to_string(again) + " in " + std::to_string(rig.chip.BulkInTransfers()) +
                        " transfers");
     }},
    {"2: a peer that keeps talking doesn't stretch a read", {},
     [](UsbRig& rig, FtdiDevice& link) {
       link.SetTimeouts(50, 50);
       rig.chip.StartBabbling(1000);
       std::vector<uint8_t> buffer(100);
       const Steady::time_point start = Steady::now();
       const int32_t got = link.Read(100, buffer.data());
       const double ms = UsbRig::MsSince(start);
       return Check(ms < 250 && got > 0 && got < 100,
                    "read " + std::to_string(got) + " in " + std::to_string(ms) + " ms");
     }},
    {"2: bytes before a silent spell are kept", {},
     [](UsbRig& rig, FtdiDevice& link) {
       rig.chip.DeviceSends(Pattern(5));
       rig.chip.SilenceInAfter(1);
       uint8_t answer[11];
       const int32_t got = link.Read(11, answer);
       return Check(got == 5 && std::equal(answer, answer + 5, Pattern(5).begin()),
                    "read " + std::to_string(got));
     }},
    {"3: a chip without a serial string is found", {.serial = ""},
     [](UsbRig&, FtdiDevice& link) {
       return Check(link.IsOpen() && std::string(link.QueryDescr()) == "Vexo-3 HandController" &&
                        std::string(link.QuerySerial()).empty(),
                    std::string("open ") + (link.IsOpen() ? "yes" : "no"));
     }},
    {"4: a failed string read leaves the handle working", {},
     [](UsbRig& rig, FtdiDevice& link) {
       rig.chip.FailStringReads(3);
       const std::string descr = link.QueryDescr();
       const uint8_t bytes[4] = {1, 2, 3, 4};
       const int32_t sent = link.Write(bytes, 4);
       const int32_t baud = link.SetBaudRate(9600);
       return Check(descr == "Vexo-3 HandController" && sent == 4 && baud == 0,
                    "descr '" + descr + "' write " + std::to_string(sent) + " baud " + std::to_string(baud) +
                        ": " + link.errorText);
     }},
    {"5: control requests keep their own time-out", {},
     [](UsbRig& rig, FtdiDevice& link) {
       link.SetTimeouts(100, 60);
       rig.chip.HoldCtsFor(1000);
       const std::vector<uint8_t> data = Pattern(2048);
       link.Write(data.data(), 2048);
       rig.chip.ClearRecords();
       link.FlushOutBuffer();
       link.SetTimeouts(100, 0);
       link.SetBaudRate(3'000'000);
       std::string bad;
       for (const sim::ControlRecord& c : rig.chip.Controls()) {
         if (c.timeoutMs != 1000)
           bad += " request " + std::to_string(c.request) + " with " + std::to_string(c.timeoutMs) + " ms";
       }
       return Check(bad.empty() && rig.chip.Controls().size() == 2, "ran" + bad);
     }},
    {"6: a silent chip ends the read on time", {},
     [](UsbRig& rig, FtdiDevice& link) {
       link.SetTimeouts(50, 50);
       rig.chip.SetInSilent(true);
       uint8_t answer[11];
       const Steady::time_point start = Steady::now();
       const int32_t got = link.Read(11, answer);
       const double ms = UsbRig::MsSince(start);
       return Check(got == 0 && ms < 220, "read " + std::to_string(got) + " in " + std::to_string(ms) + " ms");
     }},
};
// clang-format on

TEST(UsbPathFaults, EachFaultAsTheChipShowsIt) {
  for (const FaultRow& row : kFaultRows) {
    UsbRig rig(row.identity);
    FtdiDevice link(rig.d2xx);
    std::string failure = OpenLink(rig, link);
    if (failure.empty())
      failure = row.run(rig, link);
    EXPECT_EQ(failure, "") << row.name;
  }
}

// 7: the session waits for the wake-up byte to leave; with CTS held off for
// longer than the settling wait after it (550 ms), but not for the write
// time-out, it still leaves at 9600, not at the rate that follows.
TEST(UsbPathFaults, WakeUpByteWaitsForCts) {
  UsbRig rig;
  DeviceSession session(rig.d2xx, rig.clock);
  rig.chip.HoldCtsFor(700);
  EXPECT_EQ(session.OpenSession(), 0) << session.link->errorText;
  ASSERT_FALSE(rig.chip.Wire().empty());
  EXPECT_EQ(rig.chip.Wire()[0].baudRate, 9600u);
  EXPECT_EQ(rig.chip.Wire()[0].bytes, std::vector<uint8_t>{0x00});
}

TEST(UsbPathFaults, StalledRequestAndUnpluggedChipFailCleanly) {
  UsbRig rig;
  FtdiDevice link(rig.d2xx);
  ASSERT_EQ(OpenLink(rig, link), "");
  uint8_t bytes[4] = {};
  // A stalled request fails that call only.
  rig.chip.StallRequest(0x03);
  EXPECT_EQ(link.SetBaudRate(3'000'000), 1);
  EXPECT_STREQ(link.errorText, "FT_SetBaudRate failed (code 4 ($4))");
  EXPECT_EQ(link.SetBaudRate(3'000'000), 0);
  EXPECT_EQ(link.Write(bytes, 4), 4);

  rig.chip.SetUnplugged(true);
  EXPECT_EQ(link.Write(bytes, 4), 0);
  EXPECT_EQ(link.Read(4, bytes), 0);
  EXPECT_STREQ(link.errorText, "FT_Read failed (code 4 ($4))");
  EXPECT_EQ(link.FindDevice(), -1);
}

}  // namespace
}  // namespace vexo3
