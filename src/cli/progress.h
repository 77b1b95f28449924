#pragma once

// Text of an upload's progress on a terminal: one line, rewritten in place
// when stdout is a terminal, or plain lines when it is not.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vexo3::cli {

// "  HandController [#####-----]  49152/393216 bytes  12%  1.2 MB/s  0:02 left"
// (withBar), or the same without the bar. seconds: time since the upload
// began, shown as the total at the end; bytesPerSecond: the current rate,
// which gives the time left; rate and time left read "--" while it is 0.
// maxWidth (0: no limit): the line is made to fit, first with a shorter bar,
// then without the word "bytes", the rate, the time, and the bar.
std::string FormatProgress(std::string_view name, uint64_t done, uint64_t total, double seconds,
                           double bytesPerSecond, bool withBar, size_t maxWidth = 0);

// "850 B/s", "12.5 kB/s", "1.2 MB/s" (decimal units).
std::string FormatRate(double bytesPerSecond);
// "0:07", "12:30", "1:02:03".
std::string FormatDuration(double seconds);

}  // namespace vexo3::cli
