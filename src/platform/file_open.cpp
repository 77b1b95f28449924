#include "platform/file_open.h"

#include "platform/console.h"

#ifdef _WIN32
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vexo3 {

#ifdef _WIN32

std::FILE* OpenForReading(const std::string& path) {
  const std::wstring wide = WideFromUtf8(path);
  if (wide.empty())
    return nullptr;  // empty, or not valid UTF-8
  std::FILE* file = _wfopen(wide.c_str(), L"rb");
  if (file == nullptr)
    return nullptr;
  struct _stat64 info {};
  if (_fstat64(_fileno(file), &info) == 0 && (info.st_mode & _S_IFDIR) != 0) {
    std::fclose(file);
    return nullptr;
  }
  return file;
}

std::filesystem::path PathFromUtf8(const std::string& path) {
  return std::filesystem::path(WideFromUtf8(path));
}

bool ReplaceExistingFile(const std::string& from, const std::string& to) {
  // rename() here fails when `to` exists.
  return MoveFileExW(WideFromUtf8(from).c_str(), WideFromUtf8(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

#else

std::FILE* OpenForReading(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return nullptr;
  const int flags = ::fcntl(fd, F_GETFL);
  std::FILE* file = nullptr;
  if (flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0)
    file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    ::close(fd);
    return nullptr;
  }
  // A directory opens like a file here and only its first read fails.
  struct stat info {};
  if (::fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(file);
    return nullptr;
  }
  return file;
}

std::filesystem::path PathFromUtf8(const std::string& path) {
  return std::filesystem::path(path);
}

bool ReplaceExistingFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

#endif

std::string Utf8FromPath(const std::filesystem::path& path) {
  const std::u8string u8 = path.u8string();
  return std::string(u8.begin(), u8.end());
}

}  // namespace vexo3
