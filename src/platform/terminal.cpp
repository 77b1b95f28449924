#include "platform/terminal.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace vexo3 {

#ifdef _WIN32

int TerminalColumns(std::FILE* stream) {
  const int fd = stream != nullptr ? _fileno(stream) : -1;
  if (fd < 0)
    return 0;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &info))
    return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

#else

int TerminalColumns(std::FILE* stream) {
  const int fd = stream != nullptr ? fileno(stream) : -1;
  struct winsize size {};
  if (fd < 0 || ::ioctl(fd, TIOCGWINSZ, &size) != 0)
    return 0;
  return size.ws_col;
}

#endif

}  // namespace vexo3
