#include "platform/console.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#endif

namespace vexo3 {

#ifdef _WIN32

namespace {

HANDLE ConsoleHandleOf(std::FILE* f) {
  const int fd = _fileno(f);
  if (fd < 0)
    return INVALID_HANDLE_VALUE;
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

}  // namespace

void OpenClosedStandardDescriptors() {}

void SetUpStandardStreams() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  SetConsoleOutputCP(CP_UTF8);
  for (std::FILE* f : {stdout, stderr}) {
    const HANDLE h = ConsoleHandleOf(f);
    DWORD mode = 0;
    if (h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode))
      SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }
}

bool IsTerminal(std::FILE* f) {
  // _isatty is true for any character device, NUL included.
  const HANDLE h = ConsoleHandleOf(f);
  DWORD mode = 0;
  return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

bool TakesEscapes(std::FILE* f) {
  // SetUpStandardStreams asked for the processing; an older console (or a
  // wine console) may have refused it.
  const HANDLE h = ConsoleHandleOf(f);
  DWORD mode = 0;
  return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0 &&
         (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty())
    return {};
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                    static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0)
    return {};
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                      wide.data(), n);
  return wide;
}

std::string Utf8FromWide(const std::wstring& text) {
  if (text.empty())
    return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  if (n <= 0)
    return {};
  std::string utf8(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), n,
                      nullptr, nullptr);
  return utf8;
}

std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i)
    args.push_back(argv[i] ? Utf8FromWide(argv[i]) : std::string());
  return args;
}

#else

void OpenClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
      continue;
    // The lowest free descriptor, so this one: those below it are open.
    const int null = ::open("/dev/null", O_RDWR | O_NOCTTY);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
}

void SetUpStandardStreams() {}

bool IsTerminal(std::FILE* f) {
  const int fd = fileno(f);
  return fd >= 0 && isatty(fd) == 1;
}

bool TakesEscapes(std::FILE* f) {
  const char* term = std::getenv("TERM");
  return IsTerminal(f) && !(term != nullptr && std::strcmp(term, "dumb") == 0);
}

#endif

}  // namespace vexo3
