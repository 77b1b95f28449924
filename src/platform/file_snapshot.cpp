#include "platform/file_snapshot.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/console.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#include "platform/file_access.h"

namespace vexo3 {

namespace {

// Read and hashed in blocks of this size, the same in both readings.
constexpr size_t kBlockBytes = 64 * 1024;

// How long a file must have been left alone before its reading is trusted
// without a second look: a few ticks of the file system's clock, and a
// writer's pause of a scheduling slice or two.
constexpr int64_t kSettleNanoseconds = 50'000'000;

// Not a cryptographic hash: it tells two readings of a file apart when the
// file changed between them, which nobody arranges on purpose.
uint64_t Mix(uint64_t hash, const uint8_t* bytes, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word = 0;
    for (size_t k = 0; k < 8; ++k)
      word |= uint64_t{bytes[i + k]} << (8 * k);
    hash = (hash ^ word) * 0x9E3779B97F4A7C15u;
    hash ^= hash >> 29;
  }
  for (; i < n; ++i)
    hash = (hash ^ bytes[i]) * 0x100000001B3u;
  return hash;
}

}  // namespace

struct FileSnapshot::Stamp {
  uint64_t size = 0;
  uint64_t device = 0;
  uint64_t file = 0;
  int64_t modified = 0;  // in the system's units
  int64_t modifiedFraction = 0;
  int64_t changed = 0;
  int64_t changedFraction = 0;
  bool operator==(const Stamp&) const = default;
};

FileSnapshot::FileSnapshot() = default;

size_t FileSnapshot::Read(std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    if (blockAt_ == blockSize_ && (atEnd_ || !Fetch()))
      break;
    const size_t n = std::min(out.size() - done, blockSize_ - blockAt_);
    std::memcpy(out.data() + done, block_.get() + blockAt_, n);
    blockAt_ += n;
    done += n;
  }
  position_ += done;
  return done;
}

bool FileSnapshot::Fetch() {
  if (fd_ < 0)
    return false;
  if (!block_)
    block_ = std::make_unique<uint8_t[]>(kBlockBytes);
  const int64_t got = ReadAt(fetched_, block_.get(), kBlockBytes);
  if (got < 0) {
    readFailed_ = true;
    return false;
  }
  blockSize_ = static_cast<size_t>(got);
  blockAt_ = 0;
  // Only the last block is short.
  atEnd_ = blockSize_ < kBlockBytes;
  hash_ = Mix(hash_, block_.get(), blockSize_);
  fetched_ += blockSize_;
  return blockSize_ > 0;
}

bool FileSnapshot::HashPrefix(uint64_t bytes, uint64_t* hash) const {
  auto block = std::make_unique<uint8_t[]>(kBlockBytes);
  uint64_t h = 0;
  for (uint64_t at = 0; at < bytes; at += kBlockBytes) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlockBytes, bytes - at));
    if (ReadAt(at, block.get(), want) != static_cast<int64_t>(want))
      return false;
    h = Mix(h, block.get(), want);
  }
  *hash = h;
  return true;
}

bool FileSnapshot::Unchanged() {
  if (fd_ < 0 || !stamp_)
    return false;
  Stamp now;
  if (!StampNow(&now) || !(now == *stamp_))
    return false;
  uint64_t again = 0;
  if (!HashPrefix(fetched_, &again) || again != hash_)
    return false;
  // Checked again after the second reading: a change during it counts too.
  if (!StampNow(&now) || !(now == *stamp_))
    return false;
  // A rewrite that pauses half-way leaves a mixture that stays still while
  // it is read twice, and a write within the same tick of the file system's
  // clock leaves the times as they were. A file written that recently is
  // looked at again once such a pause would have ended.
  const int64_t age = NanosecondsSinceWritten(now);
  if (age >= kSettleNanoseconds)
    return true;
  std::this_thread::sleep_for(
      std::chrono::nanoseconds(kSettleNanoseconds - std::max<int64_t>(age, 0)));
  if (!StampNow(&now) || !(now == *stamp_))
    return false;
  return HashPrefix(fetched_, &again) && again == hash_ && StampNow(&now) && now == *stamp_;
}

#ifdef _WIN32

FileSnapshot::~FileSnapshot() {
  if (fd_ >= 0)
    CloseHandle(reinterpret_cast<HANDLE>(fd_));
}

bool FileSnapshot::Open(const std::string& path, std::string* reason) {
  const std::wstring wide = WideFromUtf8(path);
  if (wide.empty()) {
    *reason = kNoSuchFile;
    return false;
  }
  // Directories open too (FILE_FLAG_BACKUP_SEMANTICS), so that they can be
  // told apart.
  const HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    *reason = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                  ? std::string(kNoSuchFile)
                  : WindowsReason(code);
    return false;
  }
  fd_ = reinterpret_cast<intptr_t>(h);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) {
    *reason = WindowsReason(GetLastError());
    return false;
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    *reason = kFolderNotFile;
    return false;
  }
  if (GetFileType(h) != FILE_TYPE_DISK) {
    *reason = kNotRegularFile;
    return false;
  }
  stamp_ = std::make_unique<Stamp>();
  if (!StampNow(stamp_.get())) {
    *reason = WindowsReason(GetLastError());
    return false;
  }
  return true;
}

bool FileSnapshot::StampNow(Stamp* stamp) const {
  const HANDLE h = reinterpret_cast<HANDLE>(fd_);
  BY_HANDLE_FILE_INFORMATION info{};
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandle(h, &info) ||
      !GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
    return false;
  stamp->size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  stamp->device = info.dwVolumeSerialNumber;
  stamp->file = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  stamp->modified = basic.LastWriteTime.QuadPart;
  stamp->changed = basic.ChangeTime.QuadPart;
  return true;
}

int64_t FileSnapshot::NanosecondsSinceWritten(const Stamp& stamp) {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const int64_t ticks =
      static_cast<int64_t>((uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime);
  return (ticks - std::max(stamp.modified, stamp.changed)) * 100;  // 100 ns ticks
}

int64_t FileSnapshot::ReadAt(uint64_t offset, uint8_t* out, size_t n) const {
  const HANDLE h = reinterpret_cast<HANDLE>(fd_);
  size_t done = 0;
  while (done < n) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(n - done, 1 << 20));
    if (!ReadFile(h, out + done, want, &got, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF)
        break;
      return -1;
    }
    if (got == 0)
      break;
    done += got;
  }
  return static_cast<int64_t>(done);
}

#else

FileSnapshot::~FileSnapshot() {
  if (fd_ >= 0)
    ::close(static_cast<int>(fd_));
}

bool FileSnapshot::Open(const std::string& path, std::string* reason) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *reason = errno == ENOENT ? std::string(kNoSuchFile) : std::string(std::strerror(errno));
    return false;
  }
  fd_ = fd;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    *reason = std::strerror(errno);
    return false;
  }
  // A FIFO or a device has no one version: /dev/zero never ends.
  if (S_ISDIR(info.st_mode) || !S_ISREG(info.st_mode)) {
    *reason = S_ISDIR(info.st_mode) ? kFolderNotFile : kNotRegularFile;
    return false;
  }
  stamp_ = std::make_unique<Stamp>();
  if (!StampNow(stamp_.get())) {
    *reason = std::strerror(errno);
    return false;
  }
  return true;
}

bool FileSnapshot::StampNow(Stamp* stamp) const {
  struct stat info {};
  if (::fstat(static_cast<int>(fd_), &info) != 0)
    return false;
  stamp->size = static_cast<uint64_t>(info.st_size);
  stamp->device = static_cast<uint64_t>(info.st_dev);
  stamp->file = static_cast<uint64_t>(info.st_ino);
  stamp->modified = static_cast<int64_t>(info.st_mtim.tv_sec);
  stamp->modifiedFraction = static_cast<int64_t>(info.st_mtim.tv_nsec);
  stamp->changed = static_cast<int64_t>(info.st_ctim.tv_sec);
  stamp->changedFraction = static_cast<int64_t>(info.st_ctim.tv_nsec);
  return true;
}

int64_t FileSnapshot::NanosecondsSinceWritten(const Stamp& stamp) {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  const int64_t nowNs = int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
  const int64_t modified = stamp.modified * 1'000'000'000 + stamp.modifiedFraction;
  const int64_t changed = stamp.changed * 1'000'000'000 + stamp.changedFraction;
  return nowNs - std::max(modified, changed);
}

int64_t FileSnapshot::ReadAt(uint64_t offset, uint8_t* out, size_t n) const {
  size_t done = 0;
  while (done < n) {
    const ssize_t got =
        ::pread(static_cast<int>(fd_), out + done, n - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR)
        continue;
      return -1;
    }
    if (got == 0)
      break;
    done += static_cast<size_t>(got);
  }
  return static_cast<int64_t>(done);
}

#endif

}  // namespace vexo3
