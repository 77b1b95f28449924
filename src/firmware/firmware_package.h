#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vexo3 {

class FileSnapshot;

// One record of a firmware package, in memory. It owns its data; it is
// present exactly when it holds a data buffer (which may be 0 bytes long).
struct FirmwareImage {
  static constexpr uint32_t kMaxLength = 0x1FFFFF;  // 2,097,151 bytes

  char kind[2] = {};     // "HC" or "CA"
  uint16_t version = 0;  // high byte major, low byte minor
  uint16_t flags = 0;    // bits 12-15 revision, bits 5-8 supported PCB
  uint16_t startCode = 0;
  char description[40] = {};  // 8-bit, zero-padded; 40 characters when no NUL
  uint32_t length = 0;
  std::unique_ptr<uint8_t[]> data;

  bool IsPresent() const { return data != nullptr; }
  void ReleaseData() { data.reset(); }
  uint8_t revision() const { return static_cast<uint8_t>(flags >> 12); }
  uint8_t supportedPcb() const { return static_cast<uint8_t>((flags >> 5) & 0x0F); }
};

// A loaded package file: at most one image per unit.
class FirmwarePackage {
 public:
  // Loader codes (not ResultCode values).
  enum : int { kOk = 0, kCannotOpen = 1, kTruncated = 2, kBadFormat = 3, kNoMemory = 4 };
  // What a load keeps is bounded by the format: two images of at most
  // kMaxLength bytes. What it reads past is bounded here: records it doesn't
  // keep (of other kinds, or replaced by a later one of the same kind). A
  // real package has a few; a file that goes on far beyond these (an endless
  // stream of empty records) is not one.
  static constexpr uint32_t kMaxSkippedRecords = 1024;
  static constexpr uint64_t kMaxSkippedBytes = uint64_t{256} << 20;

  // Loads the file at path (a file-system path), a regular file, read as one
  // version of it. Starts by resetting both images. 0 read to the end; 1
  // can't open, not a regular file (opened without waiting for a FIFO's
  // writer), or the file changed while it was read (then both images are
  // absent: nothing of a mixture of two versions is kept); 2 shorter than the
  // header or ends inside a record header; 3 bad header, length >= 0x200000,
  // ends inside a record's data, or more records skipped than the bounds
  // above; 4 no memory. Otherwise images placed by records before a fault
  // stay present.
  int LoadPackage(const std::string& path);

  // Why the last load stopped short, for a message that says more than its
  // code: the cause, and how many bytes of the file had been read by then.
  enum class Stop {
    None,
    CannotOpen,
    NotRegularFile,
    Changed,
    NotAPackage,
    CutShort,
    ImageTooLarge,
    TooManyRecords,  // more than kMaxSkippedRecords skipped
    FileTooLarge,    // more than kMaxSkippedBytes skipped
    NoMemory
  };
  Stop lastStop = Stop::None;
  uint64_t lastStopByte = 0;

  FirmwareImage hcImage;
  FirmwareImage cameraImage;
};

// Why the last load of package from path stopped, in the words used for
// every file the user names (platform/file_access.h): "no such file", "not a
// regular file", "changed while it was read", "cut short at byte N", ... For
// a message "\"PATH\": REASON". "" after a load that succeeded.
std::string LoadStopText(const FirmwarePackage& package, const std::string& path);

// Reads the next record of an open package file into image, which holds no
// data on entry. Returns a loader code; *endOfFile is set when the file ended
// cleanly before the record's first byte (code 0, no record).
int ReadImageRecord(FileSnapshot& file, FirmwareImage& image, bool* endOfFile);

}  // namespace vexo3
