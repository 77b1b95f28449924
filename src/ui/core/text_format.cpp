#include "ui/core/text_format.h"

#include <cstdarg>
#include <cstdio>

namespace vexo3 {

void AppendFormat(std::string& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int needed = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (needed > 0) {
    const size_t old = out.size();
    // vsnprintf writes a terminating NUL; leave room, then drop it.
    out.resize(old + static_cast<size_t>(needed) + 1);
    std::vsnprintf(out.data() + old, static_cast<size_t>(needed) + 1, format, again);
    out.resize(old + static_cast<size_t>(needed));
  }
  va_end(again);
}

}  // namespace vexo3
