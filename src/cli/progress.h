#pragma once

// Text of an upload's progress on a terminal: one line, rewritten in place
// when stdout is a terminal, or plain lines when it is not.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace vexo3::cli {

inline constexpr size_t kAnyWidth = std::numeric_limits<size_t>::max();

// seconds: time since the upload began, shown as the total at the end;
// bytesPerSecond: the current rate, which gives the time left; rate and time
// left read "--" while it is 0.
//
// withBar: the line redrawn in place on a terminal,
//   "  HandController [##########----]   49152/393216 bytes   12%    1.2 MB/s   0:02 left"
// Every number has a field of fixed width for the whole upload, so neither
// the bar nor the numbers move as the numbers grow.
// Without: a plain line, "  HandController:  49152/393216 bytes   12%  1.2 MB/s  0:02 left".
//
// maxWidth: the line is made to fit. The bar gets shorter first; when it
// would be too short to read, the word "bytes" goes, then the bar, then
// whole fields: the rate, the time, the counts, the name. A number is never
// cut; with no room even for the percentage the line is empty.
std::string FormatProgress(std::string_view name, uint64_t done, uint64_t total, double seconds,
                           double bytesPerSecond, bool withBar, size_t maxWidth = kAnyWidth);

// The time and rate of one unit's upload, counted alike by every front end:
// the time from the unit's status line on, the rate from its first chunk on
// (before it the unit was still being opened and started, which says
// nothing about the transfer). An image whose only report is its end gets
// the overall rate; before the second report the rate is 0 ("--").
class ProgressMeter {
 public:
  // The unit's upload begins (its status line), at nowUs.
  void Begin(int64_t nowUs);
  struct Reading {
    double seconds = 0;  // since Begin
    double rate = 0;     // bytes per second; 0 while unknown
  };
  Reading Report(int64_t nowUs, uint64_t done, uint64_t total);

 private:
  int64_t startUs_ = 0;
  int64_t firstUs_ = -1;
  uint64_t firstBytes_ = 0;
};

// "850 B/s", "12.5 kB/s", "1.2 MB/s" (decimal units).
std::string FormatRate(double bytesPerSecond);
// "0:07", "12:30", "1:02:03".
std::string FormatDuration(double seconds);

}  // namespace vexo3::cli
