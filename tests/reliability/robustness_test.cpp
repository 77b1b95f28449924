// What users do to the updater: odd package files, and a second program
// reaching for the device while the first one updates it.

#include <gtest/gtest.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "device/camera.h"
#include "device/hand_controller.h"
#include "firmware/firmware_package.h"
#include "sim/units/package_writer.h"
#include "sim/units/sim_image.h"
#include "support/fixtures.h"
#include "support/sim_rig.h"
#include "ui/core/device_report.h"
#include "ui/core/sivra_actions.h"
#include "ui/recorder_window.h"

// --- Allocation watch ---
// The largest single request made through operator new on a thread that asked
// to be watched. The loader allocates image buffers with new; a hostile
// length field must never reach it.
namespace {
thread_local bool tWatching = false;
std::atomic<size_t> gLargestRequest{0};

void* Allocate(size_t n) {
  if (tWatching) {
    size_t seen = gLargestRequest.load();
    while (n > seen && !gLargestRequest.compare_exchange_weak(seen, n)) {
    }
  }
  return std::malloc(n == 0 ? 1 : n);
}

// Out of line on purpose: were free() inlined into a caller through the
// replaced operator delete, GCC at -O2 would pair it with the caller's
// operator new and report a mismatch (-Wmismatched-new-delete) that isn't one.
[[gnu::noinline]] void Release(void* p) noexcept {
  std::free(p);
}
}  // namespace

void* operator new(size_t n) {
  if (void* p = Allocate(n))
    return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) {
  if (void* p = Allocate(n))
    return p;
  throw std::bad_alloc();
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  return Allocate(n);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
  return Allocate(n);
}
void operator delete(void* p) noexcept {
  Release(p);
}
void operator delete[](void* p) noexcept {
  Release(p);
}
void operator delete(void* p, size_t) noexcept {
  Release(p);
}
void operator delete[](void* p, size_t) noexcept {
  Release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  Release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  Release(p);
}

namespace vexo3 {
namespace {

namespace fs = std::filesystem;

struct AllocationWatch {
  AllocationWatch() {
    gLargestRequest = 0;
    tWatching = true;
  }
  ~AllocationWatch() { tWatching = false; }
  size_t Largest() const { return gLargestRequest.load(); }
};

// ctest runs test processes side by side: keep their files apart.
std::string TempPath(const std::string& name) {
  return testing::TempDir() + "rel_" + std::to_string(::getpid()) + "_" + name;
}

sim::PackageRecord Record(const char* kind, uint32_t length, uint32_t variant) {
  sim::PackageRecord r;
  r.kind = kind;
  r.version = 0x0102;
  r.flags = 0x1000;
  r.startCode = 0x1234;
  r.description = std::string(kind) + " robustness";
  r.data = sim::MakeRawImage(length, variant);
  return r;
}

std::vector<uint8_t> Bytes(const std::vector<sim::PackageRecord>& records) {
  return sim::BuildPackage(records);
}

// A window whose dialog loads the file named in its field.
struct Dialog {
  SimRig rig;
  FirmwarePackage package;
  RecorderWindow window;
  SivraActions actions{rig.session, package, window};

  void Load(const std::string& path) {
    window.fileText = path;
    actions.LoadSelectedPackage();
  }
};

void ExpectLoadFailedBox(const Dialog& d, const std::string& text) {
  ASSERT_EQ(d.window.boxes.size(), 1u);
  EXPECT_EQ(d.window.boxes[0].caption, "Loading failed");
  EXPECT_EQ(d.window.boxes[0].text, "Error: " + text);
  EXPECT_FALSE(d.package.hcImage.IsPresent());
  EXPECT_FALSE(d.package.cameraImage.IsPresent());
}

// --- Package files ---

TEST(PackageFile, DirectoryCannotBeOpenedAndTheBoxNamesIt) {
  const std::string dir = TempPath("a_directory.bin");
  fs::create_directories(dir);
  FirmwarePackage package;
  EXPECT_EQ(package.LoadPackage(dir), FirmwarePackage::kCannotOpen);

  Dialog d;
  d.Load(dir);
  ExpectLoadFailedBox(d, "The file \"" + dir + "\" can't be opened.");
  fs::remove(dir);
}

TEST(PackageFile, WithoutReadPermission) {
  const std::string path = TempPath("no_read.bin");
  const std::vector<sim::PackageRecord> records = {Record("HC", 100, 1)};
  ASSERT_TRUE(sim::WritePackage(path, records));
#ifdef _WIN32
  // Windows' everyday unreadable file: another program holds it open without
  // sharing it.
  const std::wstring wide = fs::path(path).wstring();
  HANDLE holder = CreateFileW(wide.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  {
    Dialog d;
    d.Load(path);
    ExpectLoadFailedBox(d, "The file \"" + path + "\" can't be opened.");
  }
  CloseHandle(holder);
#else
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  if (std::FILE* probe = std::fopen(path.c_str(), "rb")) {
    std::fclose(probe);
    fs::remove(path);
    GTEST_SKIP() << "permissions don't bind this process (root or CAP_DAC_OVERRIDE); "
                    "the unreadable case is covered by OpensButCannotBeRead";
  }
  Dialog d;
  d.Load(path);
  ExpectLoadFailedBox(d, "The file \"" + path + "\" can't be opened.");
#endif
  fs::remove(path);
}

// Binds even for root: /proc/self/mem opens, but its first page isn't mapped,
// so the first read fails with an I/O error.
TEST(PackageFile, OpensButCannotBeRead) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no file at hand that opens and then fails its first read";
#endif
  const std::string path = "/proc/self/mem";
  FirmwarePackage package;
  EXPECT_EQ(package.LoadPackage(path), FirmwarePackage::kTruncated);
  Dialog d;
  d.Load(path);
  ExpectLoadFailedBox(d, "The file \"" + path + "\" is truncated: it ends inside a header.");
}

#ifdef _WIN32
// Windows has no FIFOs: the tests that need one skip.
class Fifo {
 public:
  explicit Fifo(const std::string& name) : path_(TempPath(name)) {}
  bool ok() const { return false; }
  const std::string& path() const { return path_; }
  void Feed(std::vector<uint8_t>) {}
  void Unblock() {}

 private:
  std::string path_;
};
#define ASSERT_FIFO(fifo) GTEST_SKIP() << "Windows has no FIFOs"
#else
// A FIFO: a file that nobody may write to, or whose writer decides what
// arrives and when; the loader refuses it without waiting or reading.
class Fifo {
 public:
  explicit Fifo(const std::string& name) : path_(TempPath(name)) {
    ::unlink(path_.c_str());
    ok_ = ::mkfifo(path_.c_str(), 0600) == 0;
  }
  ~Fifo() {
    if (writer_.joinable())
      writer_.join();
    ::unlink(path_.c_str());
  }
  bool ok() const { return ok_; }
  const std::string& path() const { return path_; }

  // Writes `bytes` and closes the FIFO once the reader has drained it, or
  // after about 2 s when no reader takes them.
  // Plays a writer that opens and goes at once, freeing a reader that waits
  // in open.
  void Unblock() {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
      ::close(fd);
  }

  void Feed(std::vector<uint8_t> bytes) {
    // O_RDWR doesn't wait for a reader (Linux), so the writer is there before
    // the loader opens: a FIFO that nobody writes to is a case of its own.
    const int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    writer_ = std::thread([fd, bytes = std::move(bytes)] {
      WriteAll(fd, bytes);
      AwaitDrained(fd);
      ::close(fd);
    });
  }

 private:
  // Bounded: at most about 2 s for the reader to take what is queued, then a
  // moment for it to block on the next read.
  static void AwaitDrained(int fd) {
    for (int i = 0; i < 2000; ++i) {
      int queued = 0;
      if (::ioctl(fd, FIONREAD, &queued) != 0 || queued == 0)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  static void WriteAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0)
        return;
      done += static_cast<size_t>(n);
    }
  }

  std::string path_;
  bool ok_ = false;
  std::thread writer_;
};
#define ASSERT_FIFO(fifo) ASSERT_TRUE((fifo).ok())
#endif

// Nobody ever writes: the loader must not wait for a writer for ever (the
// dialog would freeze). Bounded even when it does: after 5 s the test plays
// the writer that never comes, to free the loader, and fails.
TEST(PackageFile, FifoWithoutWriterDoesNotHang) {
  Fifo fifo("no_writer.fifo");
  ASSERT_FIFO(fifo);
  std::atomic<bool> done{false};
  int code = -1;
  FirmwarePackage::Stop stop = FirmwarePackage::Stop::None;
  std::thread loader([&] {
    FirmwarePackage package;
    code = package.LoadPackage(fifo.path());
    stop = package.lastStop;
    done = true;
  });
  for (int i = 0; i < 5000 && !done; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const bool hung = !done;
  if (hung)
    fifo.Unblock();
  loader.join();
  EXPECT_FALSE(hung) << "LoadPackage waited for a writer";
  EXPECT_EQ(code, FirmwarePackage::kCannotOpen);
  EXPECT_EQ(stop, FirmwarePackage::Stop::NotRegularFile);
}

// A stream has no one version to read: even with a writer feeding it, a FIFO
// is refused before a byte of it is read, and the dialog keeps nothing.
TEST(PackageFile, FifoWithAWriterIsRefusedUnread) {
  Fifo fifo("fed.fifo");
  ASSERT_FIFO(fifo);
  fifo.Feed(Bytes({Record("HC", 5000, 1), Record("CA", 3000, 2)}));
  Dialog d;
  d.Load(fifo.path());
  ExpectLoadFailedBox(d, "The file \"" + fifo.path() + "\" can't be opened.");
  EXPECT_EQ(d.package.lastStop, FirmwarePackage::Stop::NotRegularFile);
}

TEST(PackageFile, TruncatedBetweenTwoLoads) {
  const std::string path = TempPath("truncated_later.bin");
  const std::vector<sim::PackageRecord> records = {Record("HC", 5000, 1), Record("CA", 3000, 2)};
  ASSERT_TRUE(sim::WritePackage(path, records));
  FirmwarePackage package;
  ASSERT_EQ(package.LoadPackage(path), FirmwarePackage::kOk);
  ASSERT_TRUE(package.cameraImage.IsPresent());

  const size_t cases[][2] = {
      // {cut to, expected code}
      {6 + 52 + 5000 + 10, FirmwarePackage::kTruncated},  // inside the CA header
      {6 + 52 + 100, FirmwarePackage::kBadFormat},        // inside the HC data
      {3, FirmwarePackage::kTruncated},                   // inside the file header
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    std::error_code ec;
    fs::resize_file(path, c[0], ec);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_EQ(package.LoadPackage(path), static_cast<int>(c[1]));
    // Nothing of the longer file survives.
    EXPECT_FALSE(package.cameraImage.IsPresent());
  }
  fs::remove(path);
}

// A package rewritten in place while it is loaded (a copy in progress over
// it) must never give an image that neither version holds: each load is one
// version whole, or refused as changed. Without the check most loads here
// came back mixed.
TEST(PackageFile, RewrittenWhileLoadingIsNeverMixed) {
  const std::string path = TempPath("rewritten.bin");
  const std::vector<sim::PackageRecord> first = {Record("HC", 1 << 20, 1)};
  ASSERT_TRUE(sim::WritePackage(path, first));
  const std::vector<uint8_t> versions[2] = {Bytes(first), Bytes({Record("HC", 1 << 20, 2)})};
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    for (int n = 1; f != nullptr && !stop; ++n) {
      // In pieces, as a copy writes: part old, part new between them.
      std::fseek(f, 0, SEEK_SET);
      for (size_t at = 0; at < versions[n % 2].size(); at += 65536) {
        std::fwrite(versions[n % 2].data() + at, 1,
                    std::min<size_t>(65536, versions[n % 2].size() - at), f);
        std::fflush(f);
      }
    }
    if (f != nullptr)
      std::fclose(f);
  });
  int refused = 0;
  for (int run = 0; run < 40; ++run) {
    FirmwarePackage package;
    const int code = package.LoadPackage(path);
    if (code == FirmwarePackage::kCannotOpen &&
        package.lastStop == FirmwarePackage::Stop::Changed && !package.hcImage.IsPresent()) {
      ++refused;
      continue;
    }
    ASSERT_EQ(code, FirmwarePackage::kOk);
    const std::vector<uint8_t> image(package.hcImage.data.get(),
                                     package.hcImage.data.get() + (1 << 20));
    EXPECT_TRUE(image == sim::MakeRawImage(1 << 20, 1) || image == sim::MakeRawImage(1 << 20, 2))
        << "load " << run << " mixed two versions";
  }
  stop = true;
  writer.join();
  std::printf("40 loads during rewrites: %d refused as changed, none mixed\n", refused);
  fs::remove(path);
}

TEST(PackageFile, RegularFileGrowingAfterTheLoadChangesNothing) {
  const std::string path = TempPath("grows_later.bin");
  const std::vector<sim::PackageRecord> records = {Record("HC", 100, 1)};
  ASSERT_TRUE(sim::WritePackage(path, records));
  FirmwarePackage package;
  ASSERT_EQ(package.LoadPackage(path), FirmwarePackage::kOk);
  const std::vector<uint8_t> more = Bytes({Record("CA", 50, 2)});
  if (std::FILE* f = std::fopen(path.c_str(), "ab")) {
    std::fwrite(more.data() + 6, 1, more.size() - 6, f);
    std::fclose(f);
  }
  EXPECT_FALSE(package.cameraImage.IsPresent());
  EXPECT_EQ(package.LoadPackage(path), FirmwarePackage::kOk);  // the next load sees it
  EXPECT_TRUE(package.cameraImage.IsPresent());
  fs::remove(path);
}

TEST(PackageFile, HugeSparseFileWithHugeLengthFields) {
  struct Case {
    const char* name;
    uint32_t lengthField;
    int code;
  };
  const Case cases[] = {
      {"all bits", 0xFFFFFFFFu, FirmwarePackage::kBadFormat},
      {"first refused", 0x200000u, FirmwarePackage::kBadFormat},
      {"1 GiB", 0x40000000u, FirmwarePackage::kBadFormat},
  };
  const std::string path = TempPath("sparse_1gib.bin");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::PackageRecord r = Record("HC", 0, 1);
    r.lengthField = c.lengthField;
    const std::vector<sim::PackageRecord> records = {r};
    ASSERT_TRUE(sim::WritePackage(path, records));
    std::error_code ec;
    fs::resize_file(path, uintmax_t{1} << 30, ec);  // a hole of zeros to 1 GiB
    ASSERT_FALSE(ec) << ec.message();

    FirmwarePackage package;
    int code = -1;
    size_t largest = 0;
    const auto t0 = std::chrono::steady_clock::now();
    {
      AllocationWatch watch;
      code = package.LoadPackage(path);
      largest = watch.Largest();
    }
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(code, c.code);
    EXPECT_LE(largest, size_t{FirmwareImage::kMaxLength});
    EXPECT_FALSE(package.hcImage.IsPresent());
    // Refused from the header alone; reading the hole would take far longer.
    EXPECT_LT(took, std::chrono::seconds(2));

    Dialog d;
    d.Load(path);
    ExpectLoadFailedBox(
        d, "The file \"" + path +
               "\" is not a firmware package, or one of its images is cut short or too large.");
  }
  fs::remove(path);
}

// A hole of zeros after a valid record reads as records of kind 00 00 and
// length 0, each skipped: bounded by the records a load reads past, and
// nothing of them lands in the package.
TEST(PackageFile, SparseHoleAfterAValidRecord) {
  const std::string path = TempPath("sparse_hole.bin");
  const std::vector<sim::PackageRecord> records = {Record("HC", 100, 1)};
  ASSERT_TRUE(sim::WritePackage(path, records));
  constexpr int64_t kSize = int64_t{4} << 20;
  std::error_code ec;
  fs::resize_file(path, kSize, ec);
  ASSERT_FALSE(ec) << ec.message();
  FirmwarePackage package;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(package.LoadPackage(path), FirmwarePackage::kBadFormat);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  EXPECT_EQ(package.lastStop, FirmwarePackage::Stop::TooManyRecords);
  EXPECT_TRUE(package.hcImage.IsPresent());
  EXPECT_FALSE(package.cameraImage.IsPresent());
  EXPECT_LT(ms, std::chrono::seconds(2));
  fs::remove(path);
}

TEST(PackageFile, LargestAcceptedLengthAllocatesExactlyThat) {
  const std::string path = TempPath("largest.bin");
  const std::vector<sim::PackageRecord> records = {Record("HC", FirmwareImage::kMaxLength, 3)};
  ASSERT_TRUE(sim::WritePackage(path, records));
  FirmwarePackage package;
  size_t largest = 0;
  {
    AllocationWatch watch;
    ASSERT_EQ(package.LoadPackage(path), FirmwarePackage::kOk);
    largest = watch.Largest();
  }
  EXPECT_EQ(largest, size_t{FirmwareImage::kMaxLength});
  EXPECT_EQ(package.hcImage.length, FirmwareImage::kMaxLength);
  fs::remove(path);
}

// --- Two programs at once ---
// Two sessions on one simulated bus: the D2XX seam is where "held by another
// program" is real (the bus refuses a second FT_Open of an open chip). Two
// `vexo3 --simulate` processes would each have a bus of their own, so the
// case is played in one process.

TEST(TwoPrograms, SecondIsRefusedWhileTheFirstUpdates) {
  SimRig rig(test::UpdatableConfig());
  // The first program: a package with both images, its dialog, its session.
  std::vector<sim::PackageRecord> records;
  sim::PackageRecord hc = Record("HC", 0, 1);
  hc.data = sim::MakeSimImage(0x0203, 0x1000, "HC two programs", 3 * 4096 + 7, 11);
  sim::PackageRecord ca = Record("CA", 0, 2);
  ca.data = sim::MakeSimImage(0x0105, 0x2000, "CA two programs", 2 * 4096 + 3, 12);
  records = {hc, ca};
  const std::string path = TempPath("two_programs.bin");
  ASSERT_TRUE(sim::WritePackage(path, records));
  FirmwarePackage package;
  ASSERT_EQ(package.LoadPackage(path), FirmwarePackage::kOk);
  RecorderWindow window;
  SivraActions first(rig.session, package, window);

  // The second program: its own session on the same bus and clock.
  DeviceSession secondSession(rig.bus, rig.clock);
  FirmwarePackage secondPackage;
  ASSERT_EQ(secondPackage.LoadPackage(path), FirmwarePackage::kOk);
  RecorderWindow secondWindow;
  SivraActions second(secondSession, secondPackage, secondWindow);

  int tries = 0;
  window.onProgress = [&](const RecordedProgress& p) {
    if (p.done == p.total)
      return;  // mid-transfer only
    ++tries;
    secondWindow.boxes.clear();
    secondWindow.statuses.clear();
    if (p.image == "Camera" || tries % 2 == 0) {
      second.UpdateFirmware();
      ASSERT_EQ(secondWindow.boxes.size(), 1u);
      EXPECT_EQ(secondWindow.boxes[0].caption, "Can't read device mode");
      EXPECT_EQ(secondWindow.statuses.back(), "Update failed...");
    } else {
      second.ReadDeviceInfo();
      ASSERT_EQ(secondWindow.boxes.size(), 1u);
      EXPECT_EQ(secondWindow.boxes[0].caption, "ERROR");
      EXPECT_TRUE(secondWindow.reports.empty());
    }
    EXPECT_EQ(secondWindow.boxes[0].text, DeviceErrorText(1));
    EXPECT_FALSE(secondSession.link->IsOpen());
    EXPECT_TRUE(rig.session.link->IsOpen());  // the first one's handle is untouched
  };

  first.UpdateFirmware();

  EXPECT_GE(tries, 3);  // both images, more than one chunk each
  EXPECT_TRUE(window.boxes.empty());
  EXPECT_EQ(window.statuses.back(), "DONE ok");
  EXPECT_EQ(rig.hc.Flash(sim::Unit::HandController), hc.data);
  EXPECT_EQ(rig.hc.Flash(sim::Unit::Camera), ca.data);
  ASSERT_TRUE(rig.hc.Firmware(sim::Unit::HandController));
  EXPECT_EQ(rig.hc.Firmware(sim::Unit::HandController)->version, 0x0203);
  ASSERT_TRUE(rig.hc.Firmware(sim::Unit::Camera));
  EXPECT_EQ(rig.hc.Firmware(sim::Unit::Camera)->version, 0x0105);

  // Once the first program lets go, the second one gets through.
  ASSERT_EQ(rig.session.CloseSession(), 0);
  secondWindow.boxes.clear();
  second.ReadDeviceInfo();
  EXPECT_TRUE(secondWindow.boxes.empty());
  EXPECT_EQ(secondWindow.reports.size(), 1u);
  fs::remove(path);
}

TEST(TwoPrograms, SecondOpenLeavesTheFirstSessionsExchangeIntact) {
  // The refused open must not purge, reconfigure or write to the chip that the
  // first session holds: its next exchange works as if nothing happened.
  SimRig rig;
  ASSERT_EQ(rig.session.OpenSession(), 0);
  DeviceSession second(rig.bus, rig.clock);
  EXPECT_EQ(second.OpenSession(), 1);
  EXPECT_EQ(rig.chip.Line().baudRate, DeviceSession::kLineBaud);
  int32_t boot = 0;
  uint16_t v1 = 0, v2 = 0;
  EXPECT_EQ(ReadDeviceMode(rig.session, &boot, &v1, &v2), 0);
  EXPECT_EQ(boot, 1);
  EXPECT_EQ(ReadDeviceMode(second, &boot, &v1, &v2), 1);
}

}  // namespace
}  // namespace vexo3
