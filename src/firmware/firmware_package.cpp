#include "firmware/firmware_package.h"

#include <array>
#include <cstring>
#include <new>
#include <span>

#include "platform/file_access.h"
#include "platform/file_snapshot.h"

namespace vexo3 {
namespace {

constexpr std::array<uint8_t, 6> kFileHeader = {'V', 'X', '3', 'f', 'w', 0};
constexpr uint64_t kRecordHeaderSize = 52;

// Reads exactly out.size() bytes; false on a short read or a read error.
bool ReadExactly(FileSnapshot& file, std::span<uint8_t> out) {
  if (out.empty())
    return true;
  return file.Read(out) == out.size();
}

uint16_t Le16(std::span<const uint8_t, 2> b) {
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t Le32(std::span<const uint8_t, 4> b) {
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

}  // namespace

int ReadImageRecord(FileSnapshot& file, FirmwareImage& image, bool* endOfFile) {
  if (endOfFile != nullptr)
    *endOfFile = false;
  image.ReleaseData();

  std::array<uint8_t, 2> kind{};
  const size_t got = file.Read(kind);
  if (got == 0 && !file.ReadFailed()) {
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
  lastStop = Stop::None;
  lastStopByte = 0;

  // Opened without waiting: a FIFO that nobody writes to would otherwise
  // block the open for ever; it is refused with every other file that isn't
  // a regular one, since only a regular file can be read as one version.
  FileSnapshot file;
  std::string reason;
  if (!file.Open(path, &reason)) {
    lastStop = reason == kNotRegularFile ? Stop::NotRegularFile : Stop::CannotOpen;
    return kCannotOpen;
  }
  // Every way out checks that what was read is one version of the file: a
  // file rewritten during the load may look cut short or may load whole with
  // an image that neither version holds.
  auto stop = [&](Stop why, int code) {
    lastStopByte = file.Position();
    if (!file.Unchanged()) {
      hcImage = FirmwareImage{};
      cameraImage = FirmwareImage{};
      why = Stop::Changed;
      code = kCannotOpen;
    }
    lastStop = why;
    return code;
  };

  std::array<uint8_t, kFileHeader.size()> header{};
  if (!ReadExactly(file, header))
    return stop(Stop::CutShort, kTruncated);
  if (header != kFileHeader)
    return stop(Stop::NotAPackage, kBadFormat);

  uint32_t skippedRecords = 0;
  uint64_t skippedBytes = 0;
  for (;;) {
    FirmwareImage record;
    bool endOfFile = false;
    const int code = ReadImageRecord(file, record, &endOfFile);
    if (code == kNoMemory)
      return stop(Stop::NoMemory, code);
    if (code != kOk) {
      // The record being read dies with `record`; its length says which
      // fault it was.
      const bool tooLarge = code == kBadFormat && record.length > FirmwareImage::kMaxLength;
      return stop(tooLarge ? Stop::ImageTooLarge : Stop::CutShort, code);
    }
    if (endOfFile)
      return stop(Stop::None, kOk);
    FirmwareImage* slot = nullptr;
    if (record.kind[0] == 'H' && record.kind[1] == 'C') {
      slot = &hcImage;
    } else if (record.kind[0] == 'C' && record.kind[1] == 'A') {
      slot = &cameraImage;
    }
    // What is read past: a record of another kind, or an image replaced.
    if (slot == nullptr || slot->IsPresent()) {
      const FirmwareImage& dropped = slot == nullptr ? record : *slot;
      ++skippedRecords;
      skippedBytes += kRecordHeaderSize + dropped.length;
      if (skippedRecords > kMaxSkippedRecords)
        return stop(Stop::TooManyRecords, kBadFormat);
      if (skippedBytes > kMaxSkippedBytes)
        return stop(Stop::FileTooLarge, kBadFormat);
    }
    if (slot != nullptr)
      *slot = std::move(record);
  }
}

std::string LoadStopText(const FirmwarePackage& package, const std::string& path) {
  using Stop = FirmwarePackage::Stop;
  switch (package.lastStop) {
    case Stop::None:
      return "";
    case Stop::CannotOpen:
      return UnopenableReason(path);
    case Stop::NotRegularFile:
      return kNotRegularFile;
    case Stop::Changed:
      return "changed while it was read";
    case Stop::CutShort:
      return package.lastStopByte == 0 ? kEmptyFile : CutShortText(package.lastStopByte);
    case Stop::NotAPackage:
      return "not a firmware package";
    case Stop::ImageTooLarge:
      return "not a firmware package: an image is larger than " +
             std::to_string(FirmwareImage::kMaxLength) + " bytes";
    case Stop::TooManyRecords:
      return "not a firmware package: more than " +
             std::to_string(FirmwarePackage::kMaxSkippedRecords) + " records besides its images";
    case Stop::FileTooLarge:
      return "too large: more than " + std::to_string(FirmwarePackage::kMaxSkippedBytes) +
             " bytes besides its images";
    case Stop::NoMemory:
      return "not enough memory to load it";
  }
  return "can't be loaded";
}

}  // namespace vexo3
