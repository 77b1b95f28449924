#include "platform/file_access.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace vexo3 {
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
  if (!S_ISREG(info.st_mode))
    return refuse("not a regular file");
  const std::string tooLarge = "larger than " + std::to_string(maxBytes) + " bytes";
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

bool IsSameFile(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0)
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  std::error_code ea;
  std::error_code eb;
  const auto ca = std::filesystem::weakly_canonical(a, ea);
  const auto cb = std::filesystem::weakly_canonical(b, eb);
  return !ea && !eb && ca == cb;
}

FileLock::~FileLock() {
  if (fd_ >= 0)
    ::close(fd_);  // releases the lock
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

}  // namespace vexo3
