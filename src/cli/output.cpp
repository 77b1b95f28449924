#include "cli/output.h"

#include <cerrno>

#include "platform/terminal.h"
#include "platform/text_codec.h"

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

std::string ShownText(const std::string& text) {
  return EscapeControls(text, KeptControls::kLineBreaksAndTabs);
}

void PrintErr(const CliStreams& io, const std::string& text) {
  Print(io.err, ShownText(text));
  if (io.errText != nullptr)
    *io.errText += text;
}

void WriteOut(const CliStreams& io, const std::string& text) {
  std::fputs(text.c_str(), io.out);
  if (io.outWritten != nullptr && !text.empty())
    *io.outWritten = true;
}

void PrintJson(const CliStreams& io, const std::string& text) {
  WriteOut(io, text);
  FlushNoting(io.out, io.outError);
}

void PrintOut(const CliStreams& io, const std::string& text) {
  PrintJson(io, ShownText(text));
}

std::string UtcTimeText(std::time_t t) {
  std::tm tm{};
#ifdef _WIN32
  gmtime_s(&tm, &t);
#else
  gmtime_r(&t, &tm);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::string LocalTimeText(std::time_t t) {
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &tm);
  return text;
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
