#include "platform/file_access.h"

#ifdef _WIN32
#include <windows.h>

#include <random>

#include "platform/console.h"
#include "platform/file_open.h"
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/file_open.h"
#include "platform/text_codec.h"

namespace vexo3 {

#ifdef _WIN32

// The same texts as on POSIX for the failures users meet; the system's own
// message for the rest.
std::string WindowsReason(uint32_t error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return std::strerror(ENOENT);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return std::strerror(EACCES);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return std::strerror(ENOSPC);
    default:
      break;
  }
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string reason = n > 0 ? Utf8FromWide(std::wstring(text, n)) : std::string();
  LocalFree(text);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                             reason.back() == '.' || reason.back() == ' '))
    reason.pop_back();
  return reason.empty() ? "system error " + std::to_string(error) : reason;
}

namespace {

// Closes a handle on every way out.
struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE)
      CloseHandle(h);
  }
};

// Opens for reading without sharing restrictions; directories open too
// (FILE_FLAG_BACKUP_SEMANTICS), so that they can be told apart.
HANDLE OpenExisting(const std::string& path, DWORD access) {
  const std::wstring wide = WideFromUtf8(path);
  if (wide.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

ReadFileResult ReadRegularFile(const std::string& path, size_t maxBytes, std::string* text,
                               std::string* error) {
  auto refuse = [&](std::string why) {
    if (error != nullptr)
      *error = std::move(why);
    return ReadFileResult::kRefused;
  };
  Handle file{OpenExisting(path, GENERIC_READ)};
  if (file.h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
      return ReadFileResult::kMissing;
    return refuse(WindowsReason(code));
  }
  // A device (NUL, a console, a serial port) or a directory is not a
  // profile; Windows has no FIFOs.
  if (GetFileType(file.h) != FILE_TYPE_DISK)
    return refuse(kNotRegularFile);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.h, &info))
    return refuse(WindowsReason(GetLastError()));
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
    return refuse(kFolderNotFile);
  const uint64_t size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  const std::string tooLarge = TooLargeText(maxBytes);
  if (size > maxBytes)
    return refuse(tooLarge);
  // The size may change under us: read up to one byte past the limit.
  std::string data;
  char buffer[16384];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file.h, buffer, sizeof buffer, &n, nullptr))
      return refuse(WindowsReason(GetLastError()));
    if (n == 0)
      break;
    data.append(buffer, n);
    if (data.size() > maxBytes)
      return refuse(tooLarge);
  }
  *text = std::move(data);
  return ReadFileResult::kOk;
}

bool WriteFileAtomically(const std::string& path, std::string_view text, std::string* error) {
  auto fail = [&](DWORD code) {
    if (error != nullptr)
      *error = WindowsReason(code);
    return false;
  };
  // Unique per call: two programs saving side by side never share a temporary.
  std::random_device random;
  std::wstring temp;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 16 && h == INVALID_HANDLE_VALUE; ++attempt) {
    temp = WideFromUtf8(path + "." + std::to_string(random()));
    h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
      return fail(GetLastError());
  }
  if (h == INVALID_HANDLE_VALUE)
    return fail(ERROR_FILE_EXISTS);
  bool ok = true;
  while (ok && !text.empty()) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(text.size(), 1 << 20));
    ok = WriteFile(h, text.data(), want, &n, nullptr) != 0;
    text.remove_prefix(n);
  }
  ok = ok && FlushFileBuffers(h) != 0;
  DWORD code = ok ? 0 : GetLastError();
  CloseHandle(h);
  // rename() here fails when the target exists; MoveFileExW replaces it.
  const std::wstring target = WideFromUtf8(path);
  // While another program replaces or reads the same file, Windows refuses
  // the replace for a moment (access denied, sharing violation): a bounded
  // wait of at most about a second, then the failure stands.
  for (int attempt = 0; ok; ++attempt) {
    if (MoveFileExW(temp.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      break;
    code = GetLastError();
    const bool busy = code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION;
    const DWORD attributes = GetFileAttributesW(target.c_str());
    const bool isDirectory =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (!busy || isDirectory || attempt >= 100) {
      ok = false;
      break;
    }
    Sleep(10);
  }
  if (!ok) {
    DeleteFileW(temp.c_str());
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      if (error != nullptr)
        *error = std::strerror(EISDIR);  // as rename() says it
      return false;
    }
    return fail(code);
  }
  return true;
}

FileLock::~FileLock() {
  if (fd_ >= 0)
    CloseHandle(reinterpret_cast<HANDLE>(fd_));  // releases the lock
}

FileLock::Result FileLock::TryLock(const std::string& path, std::string* error) {
  if (fd_ >= 0)
    return Result::kLocked;
  const HANDLE h = CreateFileW(WideFromUtf8(LockPath(path)).c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (error != nullptr)
      *error = WindowsReason(GetLastError());
    return Result::kFailed;
  }
  OVERLAPPED at{};
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const DWORD code = GetLastError();
    CloseHandle(h);
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING)
      return Result::kBusy;
    if (error != nullptr)
      *error = WindowsReason(code);
    return Result::kFailed;
  }
  fd_ = reinterpret_cast<intptr_t>(h);
  return Result::kLocked;
}

#else

namespace {

std::string SystemReason(int error) {
  return std::strerror(error);
}

// Closes a descriptor on every way out.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0)
      ::close(fd);
  }
};

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

ReadFileResult ReadRegularFile(const std::string& path, size_t maxBytes, std::string* text,
                               std::string* error) {
  auto refuse = [&](std::string why) {
    if (error != nullptr)
      *error = std::move(why);
    return ReadFileResult::kRefused;
  };
  Fd file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
  if (file.fd < 0) {
    if (errno == ENOENT)
      return ReadFileResult::kMissing;
    return refuse(SystemReason(errno));
  }
  struct stat info {};
  if (::fstat(file.fd, &info) != 0)
    return refuse(SystemReason(errno));
  // A FIFO, a device or a directory is not a profile: /dev/zero never ends.
  if (S_ISDIR(info.st_mode))
    return refuse(kFolderNotFile);
  if (!S_ISREG(info.st_mode))
    return refuse(kNotRegularFile);
  const std::string tooLarge = TooLargeText(maxBytes);
  if (static_cast<uint64_t>(info.st_size) > maxBytes)
    return refuse(tooLarge);
  // The size may change under us: read up to one byte past the limit.
  std::string data;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(file.fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return refuse(SystemReason(errno));
    }
    if (n == 0)
      break;
    data.append(buffer, static_cast<size_t>(n));
    if (data.size() > maxBytes)
      return refuse(tooLarge);
  }
  *text = std::move(data);
  return ReadFileResult::kOk;
}

bool WriteFileAtomically(const std::string& path, std::string_view text, std::string* error) {
  auto fail = [&](int code) {
    if (error != nullptr)
      *error = SystemReason(code);
    return false;
  };
  // Unique per call: two programs saving side by side never share a temporary.
  std::string temp = path + ".XXXXXX";
  Fd file{::mkostemp(temp.data(), O_CLOEXEC)};
  if (file.fd < 0)
    return fail(errno);
  // mkostemp makes it 0600: keep the permissions of the file it replaces.
  struct stat previous {};
  (void)::fchmod(file.fd, ::stat(path.c_str(), &previous) == 0 ? previous.st_mode & 07777 : 0644);
  if (!WriteAll(file.fd, text) || ::fsync(file.fd) != 0) {
    const int code = errno;
    ::unlink(temp.c_str());
    return fail(code);
  }
  const int closed = ::close(file.fd);
  file.fd = -1;
  if (closed != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
    const int code = errno;
    ::unlink(temp.c_str());
    return fail(code);
  }
  return true;
}

FileLock::~FileLock() {
  if (fd_ >= 0)
    ::close(static_cast<int>(fd_));  // releases the lock
}

FileLock::Result FileLock::TryLock(const std::string& path, std::string* error) {
  if (fd_ >= 0)
    return Result::kLocked;
  const int fd = ::open(LockPath(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    if (error != nullptr)
      *error = SystemReason(errno);
    return Result::kFailed;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    ::close(fd);
    if (code == EWOULDBLOCK)
      return Result::kBusy;
    if (error != nullptr)
      *error = SystemReason(code);
    return Result::kFailed;
  }
  fd_ = fd;
  return Result::kLocked;
}

#endif

std::string TooLargeText(uint64_t maxBytes) {
  return "too large: more than " + std::to_string(maxBytes) + " bytes";
}

std::string CutShortText(uint64_t atByte) {
  return "cut short at byte " + std::to_string(atByte);
}

std::string FileErrorText(const std::string& path, const std::string& reason) {
  // A file name may hold anything but '/' and NUL: shown, never obeyed.
  // Appended piece by piece: GCC 12 at -O3 warns falsely on "literal" + string&&.
  std::string text = "\"";
  text += EscapeControls(path);
  text += "\": ";
  text += reason;
  return text;
}

std::string UnopenableReason(const std::string& path) {
  const int saved = errno;
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(PathFromUtf8(path), error);
  if (status.type() == std::filesystem::file_type::not_found)
    return kNoSuchFile;
  if (status.type() == std::filesystem::file_type::directory)
    return kFolderNotFile;
  if (saved != 0)
    return std::strerror(saved);
  return error ? error.message() : "can't be opened";
}

}  // namespace vexo3
