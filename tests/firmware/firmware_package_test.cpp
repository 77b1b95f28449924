#include "firmware/firmware_package.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/file_snapshot.h"
#include "sim/units/package_writer.h"
#include "support/fixtures.h"

namespace vexo3 {
namespace {

using sim::PackageRecord;
using test::Bytes;
using test::Concat;

const Bytes kHeader = {'V', 'X', '3', 'f', 'w', 0};

// One record as the package writer puts it after the header.
Bytes Record(const PackageRecord& r) {
  const Bytes file = sim::BuildPackage(std::span(&r, 1));
  return Bytes(file.begin() + static_cast<ptrdiff_t>(kHeader.size()), file.end());
}

PackageRecord Image(const std::string& kind, uint16_t version, size_t size, uint8_t variant = 1) {
  PackageRecord r{kind, version, 0x40A0, 0x5A5A, "img " + kind, Bytes(size), std::nullopt};
  for (size_t i = 0; i < size; ++i)
    r.data[i] = static_cast<uint8_t>(variant + i * 7);
  return r;
}

Bytes Cut(Bytes b, size_t drop) {
  b.resize(b.size() - drop);
  return b;
}

class TempFile {
 public:
  explicit TempFile(const Bytes& content) {
    static int counter = 0;
    path_ = (std::filesystem::path(testing::TempDir()) /
             ("vexo3_pkg_" + std::to_string(::getpid()) + "_" + std::to_string(counter++) + ".bin"))
                .string();
    std::ofstream out(path_, std::ios::binary);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// What one image slot should hold after a load: absent, or these bytes.
struct Expect {
  bool present = false;
  uint16_t version = 0;
  uint32_t length = 0;
  uint8_t variant = 1;
};

void CheckSlot(const FirmwareImage& img, const Expect& e, const char* slot) {
  SCOPED_TRACE(slot);
  ASSERT_EQ(img.IsPresent(), e.present);
  if (!e.present)
    return;
  EXPECT_EQ(img.version, e.version);
  EXPECT_EQ(img.length, e.length);
  for (uint32_t i = 0; i < e.length; ++i) {
    if (img.data[i] != static_cast<uint8_t>(e.variant + i * 7)) {
      ADD_FAILURE() << "data differs at " << i;
      return;
    }
  }
}

struct LoadCase {
  const char* name;
  Bytes file;
  int code;
  Expect hc;
  Expect ca;
};

TEST(LoadPackage, Table) {
  Bytes badHeaders[6];
  for (int i = 0; i < 6; ++i) {
    badHeaders[i] = kHeader;
    badHeaders[i][i] ^= 0x20;
  }
  PackageRecord big = Image("HC", 0x0102, 0x1FFFFF);
  PackageRecord tooBig = Image("HC", 0x0102, 0);
  tooBig.lengthField = 0x200000;
  PackageRecord huge = tooBig;
  huge.lengthField = 0xFFFFFFFF;
  // Records of other kinds: large ones load (more than the 32 MiB a file
  // could once have), many small ones don't.
  Bytes largeOthers = kHeader;
  Bytes manyOthers = kHeader;
  const Bytes largeOther = Record(Image("XY", 1, 0x1FFFFF));
  const Bytes smallOther = Record(Image("XY", 1, 0));
  for (int i = 0; i < 17; ++i)
    largeOthers.insert(largeOthers.end(), largeOther.begin(), largeOther.end());
  for (uint32_t i = 0; i <= FirmwarePackage::kMaxSkippedRecords; ++i)
    manyOthers.insert(manyOthers.end(), smallOther.begin(), smallOther.end());
  PackageRecord lying = Image("CA", 0x0304, 10);
  lying.lengthField = 10;
  lying.data.resize(9);  // file ends one byte inside the data

  const LoadCase cases[] = {
      {"header only", kHeader, 0, {}, {}},
      {"5 bytes", Cut(kHeader, 1), 2, {}, {}},
      {"empty file", {}, 2, {}, {}},
      {"header byte 0 wrong", badHeaders[0], 3, {}, {}},
      {"header byte 1 wrong", badHeaders[1], 3, {}, {}},
      {"header byte 2 wrong", badHeaders[2], 3, {}, {}},
      {"header byte 3 wrong", badHeaders[3], 3, {}, {}},
      {"header byte 4 wrong", badHeaders[4], 3, {}, {}},
      {"header zero byte wrong", badHeaders[5], 3, {}, {}},
      {"HC only", Concat({kHeader, Record(Image("HC", 0x0123, 100))}), 0, {true, 0x0123, 100}, {}},
      {"CA then HC",
       Concat({kHeader, Record(Image("CA", 0x0201, 50, 9)), Record(Image("HC", 0x0123, 70))}),
       0,
       {true, 0x0123, 70},
       {true, 0x0201, 50, 9}},
      {"unknown kinds discarded",
       Concat({kHeader, Record(Image("hc", 1, 5)), Record(Image("CH", 2, 6)),
               Record(Image("XY", 3, 7)), Record(Image("Ca", 4, 8)),
               Record(Image("CA", 0x0505, 3, 4))}),
       0,
       {},
       {true, 0x0505, 3, 4}},
      {"two HC, second stays",
       Concat({kHeader, Record(Image("HC", 0x0100, 30, 2)), Record(Image("HC", 0x0200, 20, 3))}),
       0,
       {true, 0x0200, 20, 3},
       {}},
      {"length 0x1FFFFF", Concat({kHeader, Record(big)}), 0, {true, 0x0102, 0x1FFFFF}, {}},
      {"length 0x200000", Concat({kHeader, Record(tooBig)}), 3, {}, {}},
      {"length 0xFFFFFFFF", Concat({kHeader, Record(huge)}), 3, {}, {}},
      {"length 0", Concat({kHeader, Record(Image("CA", 0x0007, 0))}), 0, {}, {true, 0x0007, 0}},
      {"ends one byte into a record",
       Concat({kHeader, Record(Image("HC", 0x0111, 40)), Bytes{'C'}}),
       2,
       {true, 0x0111, 40},
       {}},
      {"ends inside a record header",
       Concat({kHeader, Record(Image("CA", 0x0222, 40)), Cut(Record(Image("HC", 1, 0)), 1)}),
       2,
       {},
       {true, 0x0222, 40}},
      {"ends inside the data",
       Concat({kHeader, Record(Image("HC", 0x0333, 40)), Record(lying)}),
       3,
       {true, 0x0333, 40},
       {}},
      {"34 MiB of records of other kinds",
       Concat({largeOthers, Record(Image("HC", 0x0555, 9))}),
       0,
       {true, 0x0555, 9},
       {}},
      {"1025 records of other kinds",
       Concat({kHeader, Record(Image("CA", 0x0666, 5)), manyOthers}),
       3,
       {},
       {true, 0x0666, 5}},
      {"bad length after a good image",
       Concat({kHeader, Record(Image("CA", 0x0444, 8)), Record(tooBig), Record(Image("HC", 1, 1))}),
       3,
       {},
       {true, 0x0444, 8}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempFile file(c.file);
    FirmwarePackage pkg;
    EXPECT_EQ(pkg.LoadPackage(file.path()), c.code);
    CheckSlot(pkg.hcImage, c.hc, "hcImage");
    CheckSlot(pkg.cameraImage, c.ca, "cameraImage");
  }
}

TEST(LoadPackage, NonexistentFileIsCode1AndEmptiesThePackage) {
  FirmwarePackage pkg;
  TempFile good(Concat({kHeader, Record(Image("HC", 1, 4))}));
  ASSERT_EQ(pkg.LoadPackage(good.path()), 0);
  EXPECT_EQ(pkg.LoadPackage(good.path() + ".missing"), 1);
  EXPECT_FALSE(pkg.hcImage.IsPresent());
}

TEST(LoadPackage, DirectoryIsCode1AndEmptiesThePackage) {
  FirmwarePackage pkg;
  TempFile good(Concat({kHeader, Record(Image("CA", 1, 4))}));
  ASSERT_EQ(pkg.LoadPackage(good.path()), 0);
  const std::string dir = ::testing::TempDir();
  ASSERT_TRUE(std::filesystem::is_directory(dir));
  EXPECT_EQ(pkg.LoadPackage(dir), 1);
  EXPECT_FALSE(pkg.cameraImage.IsPresent());
}

TEST(LoadPackage, FieldsAndFullDescription) {
  PackageRecord r = Image("HC", 0x0123, 4);
  r.flags = 0x4000 | (0x9 << 5) | 0x0801;  // reserved bits carried unchanged
  r.startCode = 0xBEEF;
  r.description = "0123456789ABCDEFGHIJ0123456789abcdefghij";  // 40, no NUL
  TempFile file(Concat({kHeader, Record(r)}));
  FirmwarePackage pkg;
  ASSERT_EQ(pkg.LoadPackage(file.path()), 0);
  const auto& img = pkg.hcImage;
  EXPECT_EQ(std::string(img.kind, 2), "HC");
  EXPECT_EQ(img.version, 0x0123);
  EXPECT_EQ(img.flags, r.flags);
  EXPECT_EQ(img.revision(), 4);
  EXPECT_EQ(img.supportedPcb(), 9);
  EXPECT_EQ(img.startCode, 0xBEEF);
  EXPECT_EQ(std::string(img.description, 40), r.description);
}

TEST(LoadPackage, ReloadResetsEveryFieldOfBothImages) {
  PackageRecord hc = Image("HC", 0x0123, 16);
  hc.description = "old HC";
  PackageRecord ca = Image("CA", 0x0456, 16);
  ca.description = "old CA";
  TempFile first(Concat({kHeader, Record(hc), Record(ca)}));
  TempFile second(Concat({kHeader, Record(Image("HC", 0x0999, 2))}));
  TempFile broken(Cut(kHeader, 2));

  FirmwarePackage pkg;
  ASSERT_EQ(pkg.LoadPackage(first.path()), 0);
  ASSERT_EQ(pkg.LoadPackage(second.path()), 0);
  EXPECT_EQ(pkg.hcImage.version, 0x0999);
  const FirmwareImage& gone = pkg.cameraImage;
  EXPECT_FALSE(gone.IsPresent());
  EXPECT_EQ(gone.version, 0);
  EXPECT_EQ(gone.flags, 0);
  EXPECT_EQ(gone.startCode, 0);
  EXPECT_EQ(gone.length, 0u);
  EXPECT_EQ(gone.kind[0], 0);
  EXPECT_EQ(gone.description[0], 0);

  EXPECT_EQ(pkg.LoadPackage(broken.path()), 2);
  EXPECT_FALSE(pkg.hcImage.IsPresent());
  EXPECT_EQ(pkg.hcImage.version, 0);
  EXPECT_EQ(pkg.hcImage.length, 0u);
}

// Every prefix of a valid file must load safely with a code from the table,
// and the images of the records wholly inside the prefix must be present.
TEST(LoadPackage, EveryTruncationIsSafe) {
  const Bytes hc = Record(Image("HC", 1, 5));
  const Bytes ca = Record(Image("CA", 2, 3));
  const Bytes file = Concat({kHeader, hc, ca});
  for (size_t n = 0; n <= file.size(); ++n) {
    SCOPED_TRACE(n);
    TempFile f(Bytes(file.begin(), file.begin() + static_cast<ptrdiff_t>(n)));
    FirmwarePackage pkg;
    const int code = pkg.LoadPackage(f.path());
    const size_t hcEnd = kHeader.size() + hc.size();
    int want = 0;
    if (n < kHeader.size()) {
      want = 2;
    } else if (n == kHeader.size() || n == hcEnd || n == file.size()) {
      want = 0;
    } else {
      const size_t into = n < hcEnd ? n - kHeader.size() : n - hcEnd;
      want = into < 52 ? 2 : 3;
    }
    EXPECT_EQ(code, want);
    EXPECT_EQ(pkg.hcImage.IsPresent(), n >= hcEnd);
    EXPECT_EQ(pkg.cameraImage.IsPresent(), n == file.size());
  }
}

TEST(ReadImageRecord, ReportsEndOfFileOnlyAtARecordBoundary) {
  TempFile f(Record(Image("CA", 3, 2)));
  FileSnapshot file;
  std::string reason;
  ASSERT_TRUE(file.Open(f.path(), &reason)) << reason;
  FirmwareImage img;
  bool eof = true;
  EXPECT_EQ(ReadImageRecord(file, img, &eof), 0);
  EXPECT_FALSE(eof);
  EXPECT_TRUE(img.IsPresent());
  FirmwareImage next;
  EXPECT_EQ(ReadImageRecord(file, next, &eof), 0);
  EXPECT_TRUE(eof);
  EXPECT_FALSE(next.IsPresent());
}

}  // namespace
}  // namespace vexo3
