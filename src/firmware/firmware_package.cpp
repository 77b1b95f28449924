#include "firmware/firmware_package.h"

#include <array>
#include <cstring>
#include <new>
#include <span>

#include "platform/file_open.h"

namespace vexo3 {
namespace {

constexpr std::array<uint8_t, 6> kFileHeader = {'V', 'X', '3', 'f', 'w', 0};
constexpr uint64_t kRecordHeaderSize = 52;

// Reads exactly out.size() bytes; false on a short read or a read error.
bool ReadExactly(std::FILE* file, std::span<uint8_t> out) {
  if (out.empty())
    return true;
  return std::fread(out.data(), 1, out.size(), file) == out.size();
}

uint16_t Le16(std::span<const uint8_t, 2> b) {
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t Le32(std::span<const uint8_t, 4> b) {
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

// Closes the file on every way out of LoadPackage.
struct FileCloser {
  std::FILE* file;
  ~FileCloser() {
    if (file != nullptr)
      std::fclose(file);
  }
};

}  // namespace

int ReadImageRecord(std::FILE* file, FirmwareImage& image, bool* endOfFile) {
  if (endOfFile != nullptr)
    *endOfFile = false;
  image.ReleaseData();

  std::array<uint8_t, 2> kind{};
  const size_t got = std::fread(kind.data(), 1, kind.size(), file);
  if (got == 0 && !std::ferror(file) && std::feof(file)) {
    if (endOfFile != nullptr)
      *endOfFile = true;
    return FirmwarePackage::kOk;
  }
  if (got != kind.size())
    return FirmwarePackage::kTruncated;
  image.kind[0] = static_cast<char>(kind[0]);
  image.kind[1] = static_cast<char>(kind[1]);

  // Each field is its own read of exactly its size.
  std::array<uint8_t, 2> version{};
  std::array<uint8_t, 2> flags{};
  std::array<uint8_t, 2> startCode{};
  std::array<uint8_t, 40> description{};
  std::array<uint8_t, 4> length{};
  if (!ReadExactly(file, version))
    return FirmwarePackage::kTruncated;
  image.version = Le16(version);
  if (!ReadExactly(file, flags))
    return FirmwarePackage::kTruncated;
  image.flags = Le16(flags);
  if (!ReadExactly(file, startCode))
    return FirmwarePackage::kTruncated;
  image.startCode = Le16(startCode);
  if (!ReadExactly(file, description))
    return FirmwarePackage::kTruncated;
  std::memcpy(image.description, description.data(), sizeof image.description);
  if (!ReadExactly(file, length))
    return FirmwarePackage::kTruncated;
  image.length = Le32(length);

  // Refused before anything is allocated, so a hostile length costs nothing.
  if (image.length > FirmwareImage::kMaxLength)
    return FirmwarePackage::kBadFormat;

  // A 0-byte image still gets a buffer: presence is the buffer, not the length.
  image.data.reset(new (std::nothrow) uint8_t[image.length == 0 ? 1 : image.length]);
  if (!image.data)
    return FirmwarePackage::kNoMemory;
  if (!ReadExactly(file, std::span<uint8_t>(image.data.get(), image.length))) {
    return FirmwarePackage::kBadFormat;
  }
  return FirmwarePackage::kOk;
}

int FirmwarePackage::LoadPackage(const std::string& path) {
  // Every field, not only the data: nothing of an earlier file may look as if
  // it came from this one.
  hcImage = FirmwareImage{};
  cameraImage = FirmwareImage{};

  // Opened without waiting: a FIFO that nobody writes to would otherwise
  // block the open for ever. A directory is no more a package file than a
  // path that can't be opened.
  lastStop = Stop::None;
  lastStopByte = 0;
  std::FILE* file = OpenForReading(path);
  if (file == nullptr) {
    lastStop = Stop::CannotOpen;
    return kCannotOpen;
  }
  FileCloser closer{file};
  auto stop = [&](Stop why, int code) {
    lastStop = why;
    const long at = std::ftell(closer.file);
    lastStopByte = at > 0 ? static_cast<uint64_t>(at) : 0;
    return code;
  };

  std::array<uint8_t, kFileHeader.size()> header{};
  if (!ReadExactly(closer.file, header))
    return stop(Stop::CutShort, kTruncated);
  if (header != kFileHeader)
    return stop(Stop::NotAPackage, kBadFormat);

  uint64_t consumed = header.size();
  for (;;) {
    FirmwareImage record;
    bool endOfFile = false;
    const int code = ReadImageRecord(closer.file, record, &endOfFile);
    if (code == kNoMemory)
      return stop(Stop::NoMemory, code);
    if (code != kOk) {
      // The record being read dies with `record`; its length says which
      // fault it was.
      const bool tooLarge = code == kBadFormat && record.length > FirmwareImage::kMaxLength;
      return stop(tooLarge ? Stop::ImageTooLarge : Stop::CutShort, code);
    }
    if (endOfFile)
      return kOk;
    consumed += kRecordHeaderSize + record.length;
    if (consumed > kMaxFileBytes)
      return stop(Stop::FileTooLarge, kBadFormat);
    if (record.kind[0] == 'H' && record.kind[1] == 'C') {
      hcImage = std::move(record);
    } else if (record.kind[0] == 'C' && record.kind[1] == 'A') {
      cameraImage = std::move(record);
    }
  }
}

}  // namespace vexo3
