#include "platform/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace vexo3 {

int TerminalColumns(std::FILE* stream) {
  const int fd = stream != nullptr ? fileno(stream) : -1;
  struct winsize size {};
  if (fd < 0 || ::ioctl(fd, TIOCGWINSZ, &size) != 0)
    return 0;
  return size.ws_col;
}

}  // namespace vexo3
