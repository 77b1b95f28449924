#include "platform/output_file.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/console.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <streambuf>

#include "platform/file_access.h"
#include "platform/file_open.h"

namespace vexo3 {

namespace fs = std::filesystem;

namespace {

// Which file a path names, or an open file is: equal identities are one file.
struct Identity {
  bool known = false;
  uint64_t device = 0;
  uint64_t file = 0;
  bool operator==(const Identity&) const = default;
};

#ifdef _WIN32

Identity IdentityOfHandle(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info))
    return {};
  return {true, info.dwVolumeSerialNumber,
          (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

Identity IdentityOf(const std::string& path) {
  const std::wstring wide = WideFromUtf8(path);
  if (wide.empty())
    return {};
  const HANDLE h =
      CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const Identity id = IdentityOfHandle(h);
  if (h != INVALID_HANDLE_VALUE)
    CloseHandle(h);
  return id;
}

#else

Identity IdentityOfStat(const struct stat& info) {
  return {true, static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

Identity IdentityOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0)
    return {};
  return IdentityOfStat(info);
}

#endif

// The first of files that is the file of path, whose identity is `mine`.
const NamedFile* FindIdentity(const std::string& path, const Identity& mine,
                              const std::vector<NamedFile>& files) {
  for (const NamedFile& f : files) {
    if (f.path.empty())
      continue;
    const Identity theirs = IdentityOf(f.path);
    if (mine.known && theirs.known) {
      if (mine == theirs)
        return &f;
      continue;
    }
    // One of them isn't there yet: the same name once links are followed.
    if (ResolvedPath(path) == ResolvedPath(f.path))
      return &f;
  }
  return nullptr;
}

}  // namespace

std::string ResolvedPath(const std::string& path) {
  fs::path p = PathFromUtf8(path);
  for (int hop = 0; hop < 40; ++hop) {
    std::error_code error;
    if (!fs::is_symlink(p, error))
      break;
    const fs::path target = fs::read_symlink(p, error);
    if (error)
      break;
    p = target.is_absolute() ? target : p.parent_path() / target;
  }
  std::error_code error;
  const fs::path whole = fs::weakly_canonical(fs::absolute(p, error), error);
  return error ? path : Utf8FromPath(whole.lexically_normal());
}

const NamedFile* FindSameFile(const std::string& path, const std::vector<NamedFile>& files) {
  return FindIdentity(path, IdentityOf(path), files);
}

// The stream's buffer: collects text and hands it to Write when full or
// flushed.
class OutputFile::Buffer final : public std::streambuf {
 public:
  explicit Buffer(OutputFile& file) : file_(file) { setp(data_, data_ + sizeof data_); }
  void Discard() { setp(data_, data_ + sizeof data_); }
  bool Drain() {
    const auto n = static_cast<size_t>(pptr() - pbase());
    setp(data_, data_ + sizeof data_);
    return n == 0 || file_.Write(std::string_view(data_, n));
  }

 protected:
  int_type overflow(int_type c) override {
    if (!Drain())
      return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return Drain() ? 0 : -1; }

 private:
  OutputFile& file_;
  char data_[8192];
};

OutputFile::OutputFile()
    : buffer_(std::make_unique<Buffer>(*this)), stream_(std::make_unique<std::ostream>(nullptr)) {
  stream_->rdbuf(buffer_.get());
}

OutputFile::~OutputFile() {
  (void)Close();
}

void OutputFile::Restart() {
  buffer_->Discard();
  stream_->clear();
  failure_.clear();
}

std::ostream& OutputFile::Stream() {
  return *stream_;
}

bool OutputFile::IsOpen() const {
  return fd_ >= 0;
}

#ifdef _WIN32

void OutputFile::Fail(int error) {
  if (failure_.empty())
    failure_ = WindowsReason(static_cast<uint32_t>(error));
}

OutputFile::OpenResult OutputFile::Open(const std::string& path, Mode mode,
                                        const std::vector<NamedFile>& others, std::string* sameAs,
                                        std::string* reason) {
  path_ = path;
  append_ = mode == Mode::kAppend;
  auto refuse = [&](std::string why) {
    *reason = std::move(why);
    return OpenResult::kRefused;
  };
  const std::wstring wide = WideFromUtf8(path);
  if (wide.empty())
    return refuse(std::strerror(ENOENT));
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  bool created = false;
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
    if (const NamedFile* same = FindSameFile(path, others)) {
      *sameAs = same->what;
      return OpenResult::kSameFile;
    }
    h = CreateFileW(wide.c_str(), GENERIC_WRITE, share, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
    created = h != INVALID_HANDLE_VALUE;
  }
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
      return refuse(kFolderNotFile);
    return refuse(WindowsReason(code));
  }
  const DWORD type = GetFileType(h);
  if (const NamedFile* same = FindIdentity(path, IdentityOfHandle(h), others)) {
    CloseHandle(h);
    if (created)
      DeleteFileW(wide.c_str());
    *sameAs = same->what;
    return OpenResult::kSameFile;
  }
  regular_ = type == FILE_TYPE_DISK;
  if (regular_ && mode == Mode::kReplace &&
      (SetFilePointer(h, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER || !SetEndOfFile(h))) {
    const DWORD code = GetLastError();
    CloseHandle(h);
    return refuse(WindowsReason(code));
  }
  fd_ = reinterpret_cast<intptr_t>(h);
  Restart();
  return OpenResult::kOpened;
}

bool OutputFile::Write(std::string_view text) {
  if (!failure_.empty() || fd_ < 0) {
    if (failure_.empty())
      failure_ = "not open";
    return false;
  }
  const HANDLE h = reinterpret_cast<HANDLE>(fd_);
  if (append_ && regular_) {
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(h, zero, nullptr, FILE_END)) {
      Fail(static_cast<int>(GetLastError()));
      return false;
    }
  }
  while (!text.empty()) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(text.size(), 1 << 20));
    if (!WriteFile(h, text.data(), want, &n, nullptr)) {
      Fail(static_cast<int>(GetLastError()));
      return false;
    }
    text.remove_prefix(n);
  }
  return true;
}

bool OutputFile::Sync() {
  if (!failure_.empty())
    return false;
  if (fd_ < 0 || !regular_)
    return true;
  if (!FlushFileBuffers(reinterpret_cast<HANDLE>(fd_))) {
    Fail(static_cast<int>(GetLastError()));
    return false;
  }
  return true;
}

bool OutputFile::Close() {
  if (fd_ < 0)
    return failure_.empty();
  buffer_->Drain();
  Sync();
  if (!CloseHandle(reinterpret_cast<HANDLE>(fd_)))
    Fail(static_cast<int>(GetLastError()));
  fd_ = -1;
  return failure_.empty();
}

#else

void OutputFile::Fail(int error) {
  if (failure_.empty())
    failure_ = std::strerror(error != 0 ? error : EIO);
}

OutputFile::OpenResult OutputFile::Open(const std::string& path, Mode mode,
                                        const std::vector<NamedFile>& others, std::string* sameAs,
                                        std::string* reason) {
  path_ = path;
  append_ = mode == Mode::kAppend;
  auto refuse = [&](std::string why) {
    *reason = std::move(why);
    return OpenResult::kRefused;
  };
  const int flags = O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (append_ ? O_APPEND : 0);
  bool created = false;
  int fd = ::open(path.c_str(), flags);
  if (fd < 0 && errno == ENOENT) {
    // Nothing there yet, but it may be the name of another role's file that
    // doesn't exist yet either (a state file before its first save).
    if (const NamedFile* same = FindSameFile(path, others)) {
      *sameAs = same->what;
      return OpenResult::kSameFile;
    }
    fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0666);
    created = fd >= 0;
    if (fd < 0 && errno == EEXIST)
      fd = ::open(path.c_str(), flags);  // made by someone else meanwhile
  }
  if (fd < 0) {
    if (errno == ENXIO)
      return refuse(kFifoWithoutReader);
    if (errno == EISDIR)
      return refuse(kFolderNotFile);
    return refuse(std::strerror(errno));
  }
  auto drop = [&] {
    ::close(fd);
    if (created)
      ::unlink(path.c_str());
  };
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int code = errno;
    drop();
    return refuse(std::strerror(code));
  }
  if (const NamedFile* same = FindIdentity(path, IdentityOfStat(info), others)) {
    drop();
    *sameAs = same->what;
    return OpenResult::kSameFile;
  }
  // A disk or a partition: a trace written there would destroy it.
  if (S_ISBLK(info.st_mode)) {
    drop();
    return refuse(kNotRegularFile);
  }
  regular_ = S_ISREG(info.st_mode);
  // Open now: from here writes wait as writes to a pipe or terminal do.
  const int status = ::fcntl(fd, F_GETFL);
  if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0 ||
      (regular_ && mode == Mode::kReplace && ::ftruncate(fd, 0) != 0)) {
    const int code = errno;
    drop();
    return refuse(std::strerror(code));
  }
  fd_ = fd;
  Restart();
  return OpenResult::kOpened;
}

bool OutputFile::Write(std::string_view text) {
  if (!failure_.empty())
    return false;
  if (fd_ < 0) {
    Fail(EBADF);
    return false;
  }
  while (!text.empty()) {
    const ssize_t n = ::write(static_cast<int>(fd_), text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR)
        continue;
      Fail(errno);
      return false;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool OutputFile::Sync() {
  if (!failure_.empty())
    return false;
  if (fd_ < 0 || !regular_)
    return true;
  if (::fsync(static_cast<int>(fd_)) != 0 && errno != EINVAL && errno != ENOTSUP) {
    Fail(errno);
    return false;
  }
  return true;
}

bool OutputFile::Close() {
  if (fd_ < 0)
    return failure_.empty();
  buffer_->Drain();
  Sync();
  if (::close(static_cast<int>(fd_)) != 0 && errno != EINTR)
    Fail(errno);
  fd_ = -1;
  return failure_.empty();
}

#endif

}  // namespace vexo3
