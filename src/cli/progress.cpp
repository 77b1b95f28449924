#include "cli/progress.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace vexo3::cli {

void ProgressMeter::Begin(int64_t nowUs) {
  startUs_ = nowUs;
  firstUs_ = -1;
  firstBytes_ = 0;
}

ProgressMeter::Reading ProgressMeter::Report(int64_t nowUs, uint64_t done, uint64_t total) {
  Reading r;
  r.seconds = static_cast<double>(nowUs - startUs_) / 1e6;
  if (firstUs_ < 0) {
    firstUs_ = nowUs;
    firstBytes_ = done;
  } else if (nowUs > firstUs_ && done > firstBytes_) {
    r.rate =
        static_cast<double>(done - firstBytes_) / (static_cast<double>(nowUs - firstUs_) / 1e6);
  }
  if (r.rate == 0 && done >= total && r.seconds > 0)
    r.rate = static_cast<double>(done) / r.seconds;
  return r;
}

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
  const bool fixed = withBar;
  // Field widths on a terminal: the counts as wide as the total makes them,
  // the rate as "999.9 kB/s", the time as "--:-- total".
  constexpr int kRateWidth = 10, kDurationWidth = 5, kTimeWidth = kDurationWidth + 6;
  char buf[96];
  const int totalDigits = std::snprintf(buf, sizeof buf, "%" PRIu64, total);
  std::snprintf(buf, sizeof buf, "%*" PRIu64 "/%" PRIu64, fixed ? totalDigits : 0, done, total);
  const std::string counts = buf;
  std::snprintf(buf, sizeof buf, "%3d%%", static_cast<int>(fraction * 100));
  const std::string percent = buf;
  std::string rate = "--";
  std::string duration = "--:--";
  std::string when = " left";
  if (bytesPerSecond > 0) {
    rate = FormatRate(bytesPerSecond);
    duration = done >= total ? FormatDuration(seconds)
                             : FormatDuration(static_cast<double>(total - done) / bytesPerSecond);
    if (done >= total)
      when = " total";
  }
  if (fixed) {
    rate.insert(0, static_cast<size_t>(std::max(0, kRateWidth - static_cast<int>(rate.size()))),
                ' ');
    duration.insert(
        0, static_cast<size_t>(std::max(0, kDurationWidth - static_cast<int>(duration.size()))),
        ' ');
  }
  const std::string time = duration + when;
  // What the time takes in the layout: the widest it gets, so that "left"
  // turning into "total" moves nothing.
  const size_t timeRoom = fixed ? std::max<size_t>(time.size(), kTimeWidth) : time.size();

  struct Layout {
    bool withName, withCounts, bytesWord, withRate, withTime;
  };
  // The line without its bar, and the room it takes.
  auto build = [&](const Layout& l, int barWidth, size_t* room) {
    std::string line = l.withName ? "  " + std::string(name) : "";
    if (barWidth > 0) {
      const int filled = static_cast<int>(fraction * barWidth);
      line += " [";
      line.append(static_cast<size_t>(filled), '#');
      line.append(static_cast<size_t>(barWidth - filled), '-');
      line += "]";
    } else if (l.withName) {
      line += ":";
    }
    if (l.withCounts)
      line += "  " + counts + (l.bytesWord ? " bytes" : "");
    line += line.empty() ? percent : "  " + percent;
    if (l.withRate)
      line += "  " + rate;
    if (l.withTime)
      line += "  " + time;
    *room = line.size() + (l.withTime ? timeRoom - time.size() : 0);
    return line;
  };

  constexpr int kBarWidth = 24, kShortestBar = 10;
  size_t room = 0;
  if (withBar) {
    for (const bool bytesWord : {true, false}) {
      const Layout l{true, true, bytesWord, true, true};
      build(l, 0, &room);
      // The bar adds " [" and "]" and takes the place of the ':'.
      const size_t free = maxWidth > room + 2 ? maxWidth - room - 2 : 0;
      const int bar = static_cast<int>(std::min<size_t>(kBarWidth, free));
      if (bar >= kShortestBar || maxWidth == kAnyWidth)
        return build(l, maxWidth == kAnyWidth ? kBarWidth : bar, &room);
    }
  }
  // clang-format off
  static constexpr Layout kLayouts[] = {
      {true,  true,  true,  true,  true},
      {true,  true,  false, true,  true},
      {true,  true,  false, false, true},
      {true,  true,  false, false, false},
      {true,  false, false, false, false},
      {false, false, false, false, false},
  };
  // clang-format on
  for (const Layout& l : kLayouts) {
    std::string line = build(l, 0, &room);
    if (room <= maxWidth)
      return line;
  }
  return "";
}

}  // namespace vexo3::cli
