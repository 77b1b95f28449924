#include "cli/progress.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace vexo3::cli {

std::string FormatRate(double bytesPerSecond) {
  char buf[32];
  if (bytesPerSecond < 1000) {
    std::snprintf(buf, sizeof buf, "%.0f B/s", bytesPerSecond);
  } else if (bytesPerSecond < 1e6) {
    std::snprintf(buf, sizeof buf, "%.1f kB/s", bytesPerSecond / 1e3);
  } else {
    std::snprintf(buf, sizeof buf, "%.1f MB/s", bytesPerSecond / 1e6);
  }
  return buf;
}

std::string FormatDuration(double seconds) {
  const auto s = static_cast<uint64_t>(std::llround(std::max(0.0, seconds)));
  char buf[32];
  if (s >= 3600) {
    std::snprintf(buf, sizeof buf, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, s / 3600, s / 60 % 60,
                  s % 60);
  } else {
    std::snprintf(buf, sizeof buf, "%" PRIu64 ":%02" PRIu64, s / 60, s % 60);
  }
  return buf;
}

std::string FormatProgress(std::string_view name, uint64_t done, uint64_t total, double seconds,
                           double bytesPerSecond, bool withBar) {
  constexpr int kBarWidth = 24;
  // An empty image is complete from the start.
  const double fraction = total == 0 ? 1.0 : std::min(1.0, static_cast<double>(done) / total);
  std::string line = "  ";
  line += name;
  if (withBar) {
    const int filled = static_cast<int>(fraction * kBarWidth);
    line += " [";
    line.append(static_cast<size_t>(filled), '#');
    line.append(static_cast<size_t>(kBarWidth - filled), '-');
    line += "]";
  } else {
    line += ":";
  }
  char buf[96];
  std::snprintf(buf, sizeof buf, "  %" PRIu64 "/%" PRIu64 " bytes  %3d%%", done, total,
                static_cast<int>(fraction * 100));
  line += buf;
  if (bytesPerSecond > 0) {
    const double rate = bytesPerSecond;
    line += "  " + FormatRate(rate);
    if (done >= total) {
      line += "  " + FormatDuration(seconds) + " total";
    } else {
      line += "  " + FormatDuration(static_cast<double>(total - done) / rate) + " left";
    }
  } else {
    line += "  --  --:-- left";
  }
  return line;
}

}  // namespace vexo3::cli
