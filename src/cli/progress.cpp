#include "cli/progress.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <tuple>

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
                           double bytesPerSecond, bool withBar, size_t maxWidth) {
  // An empty image is complete from the start.
  const double fraction = total == 0 ? 1.0 : std::min(1.0, static_cast<double>(done) / total);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%" PRIu64 "/%" PRIu64, done, total);
  const std::string counts = buf;
  std::snprintf(buf, sizeof buf, "%3d%%", static_cast<int>(fraction * 100));
  const std::string percent = buf;
  std::string rate = "--";
  std::string time = "--:-- left";
  if (bytesPerSecond > 0) {
    rate = FormatRate(bytesPerSecond);
    time = done >= total
               ? FormatDuration(seconds) + " total"
               : FormatDuration(static_cast<double>(total - done) / bytesPerSecond) + " left";
  }

  auto build = [&](int barWidth, bool bytesWord, bool withRate, bool withTime) {
    std::string line = "  ";
    line += name;
    if (barWidth > 0) {
      const int filled = static_cast<int>(fraction * barWidth);
      line += " [";
      line.append(static_cast<size_t>(filled), '#');
      line.append(static_cast<size_t>(barWidth - filled), '-');
      line += "]";
    } else {
      line += ":";
    }
    line += "  " + counts + (bytesWord ? " bytes  " : "  ") + percent;
    if (withRate)
      line += "  " + rate;
    if (withTime)
      line += "  " + time;
    return line;
  };

  constexpr int kBarWidth = 24;
  std::string line = build(withBar ? kBarWidth : 0, true, true, true);
  if (maxWidth == 0 || line.size() <= maxWidth)
    return line;
  // Too wide for the terminal: a wrapped line can't be redrawn in place.
  // Give up the least useful pieces first, the bar's length before all.
  if (withBar) {
    const size_t excess = line.size() - maxWidth;
    if (excess <= kBarWidth - 8) {
      return build(kBarWidth - static_cast<int>(excess), true, true, true);
    }
  }
  const int bar = withBar ? 8 : 0;
  for (const auto& [bytesWord, withRate, withTime] :
       {std::tuple{false, true, true}, std::tuple{false, false, true},
        std::tuple{false, false, false}}) {
    line = build(bar, bytesWord, withRate, withTime);
    if (line.size() <= maxWidth)
      return line;
  }
  line = build(0, false, false, false);
  if (line.size() > maxWidth)
    line.resize(maxWidth);
  return line;
}

}  // namespace vexo3::cli
