#pragma once

// The wire trace as data: one TraceCall per D2XX call, the text form that
// TraceD2xx writes and ReplayD2xx reads, and the parser between them. The
// text format is documented in docs/trace-format.md; FormatTraceCall and
// ParseTrace are exact inverses for every call they produce or accept.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/d2xx.h"
#include "link/d2xx_calls.h"

namespace vexo3 {

// The first line of every trace. NB: a change of what a line means, or of a
// line's syntax, needs a new number here and in docs/trace-format.md.
inline constexpr std::string_view kTraceVersionLine = "vexo3-trace 1";

// One record of FT_GetDeviceInfoList.
struct TraceDevice {
  uint32_t flags = 0;
  uint32_t type = 0;
  uint32_t id = 0;
  uint32_t locId = 0;
  // Up to 16 and 64 bytes as the driver filled them, cut at the first zero.
  std::string serial;
  std::string description;

  bool operator==(const TraceDevice&) const = default;
};

// One D2XX call: what the program passed, what the driver answered.
struct TraceCall {
  D2xxCall fn = D2xxCall::CreateDeviceInfoList;
  int64_t startUs = 0;     // since the trace began
  int64_t durationUs = 0;  // how long the call took
  // The program's arguments and the driver's results, in the order of the
  // call's row in kD2xxCalls (link/d2xx_calls.h). Results are kept only when
  // status is FT_OK (Write and Read keep their count always: 0 on failure).
  std::array<uint32_t, 3> args{};
  FT_STATUS status = FT_OK;
  std::array<uint32_t, 3> results{};
  // Write: every byte the program offered (the first results[0] of them went
  // out). Read: the bytes received.
  std::vector<uint8_t> bytes;
  std::vector<TraceDevice> devices;  // GetDeviceInfoList
  std::string serial;                // GetDeviceInfo
  std::string description;           // GetDeviceInfo

  // Equal calls apart from their times.
  bool SameCall(const TraceCall& other) const;
};

struct Trace {
  std::vector<TraceCall> calls;
  std::vector<int> lines;  // the 1-based line of the file where each call begins
  // The file stopped inside a call (the program was stopped while it wrote):
  // that call is dropped; the ones before it are whole.
  bool cutShort = false;
};

// Hex bytes shown per line; longer blocks go on indented lines with offsets.
inline constexpr size_t kTraceBytesPerLine = 32;

// The call's text without its times and without a final line end: "FT_Open(0)
// = FT_OK", "TX 4/4: F8 01 01 FF", a multi-line text for long blocks and
// device lists.
std::string FormatTraceCall(const TraceCall& call);
// What the program asked for, in the trace's words: "FT_SetBaudRate(9600)",
// "FT_Write(11 bytes)".
std::string TraceRequestText(const TraceCall& call);
// The whole line(s) of a call as the trace file holds them, with its times
// and a final line end.
std::string FormatTraceLine(const TraceCall& call);

// The most calls a trace may hold: hundreds of whole updates.
inline constexpr size_t kMaxTraceCalls = 1000000;

// Parses a whole trace file (line ends LF, or CR LF throughout). On failure
// returns false and sets *error to "line N: what is wrong". A file that ends
// inside a call is not an error: the calls before it are kept and
// trace->cutShort is set. Refused too: more than kMaxTraceCalls calls, and a
// device count beyond kMaxDeviceListRecords (d2xx.h), which a replayed
// program would make room for.
bool ParseTrace(std::string_view text, Trace* trace, std::string* error);

// Reads and parses the trace file at path (UTF-8). Regular files only, read
// without blocking, at most kMaxTraceFileBytes. On failure returns false and
// sets *error to the reason ("can't read the file: ...", "line N: ...").
inline constexpr size_t kMaxTraceFileBytes = size_t{1} << 30;
bool LoadTraceFile(const std::string& path, Trace* trace, std::string* error);

// "FT_OK", "FT_IO_ERROR", ... or "FT_STATUS 42" for a value without a name.
std::string StatusName(FT_STATUS status);
// "F8 01 01 FF": upper-case hex pairs joined by single blanks.
std::string HexBytes(std::span<const uint8_t> bytes);

}  // namespace vexo3
