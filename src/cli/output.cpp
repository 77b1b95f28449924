#include "cli/output.h"

#include <cerrno>

#include "platform/terminal.h"

namespace vexo3::cli {

void Print(std::FILE* f, const std::string& text) {
  std::fputs(text.c_str(), f);
  std::fflush(f);
}

void FlushNoting(std::FILE* out, int* outError) {
  if (std::fflush(out) != 0 || std::ferror(out)) {
    if (outError != nullptr && *outError == 0)
      *outError = errno != 0 ? errno : EIO;
  }
}

void PrintOut(const CliStreams& io, const std::string& text) {
  std::fputs(text.c_str(), io.out);
  FlushNoting(io.out, io.outError);
}

std::string TerminalText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
      continue;
    out += text[i];
  }
  return out;
}

size_t LineWidth(std::FILE* stream) {
  const int columns = TerminalColumns(stream);
  return columns > 1 ? static_cast<size_t>(columns - 1) : 79;
}

}  // namespace vexo3::cli
