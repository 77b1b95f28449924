#pragma once

// Writing to the command line's streams.

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <string>

#include "cli/cli_app.h"

namespace vexo3::cli {

// Text for people, which may hold a device's, a package's or a file's own
// strings: their control characters shown escaped ("\x1b"), never obeyed
// by the terminal; line breaks and tabs stay. Text without them is unchanged.
std::string ShownText(const std::string& text);

// stderr and the like: written and flushed at once, as it is.
void Print(std::FILE* f, const std::string& text);
// Standard error: ShownText, and the text as it was kept for --json's error
// object.
void PrintErr(const CliStreams& io, const std::string& text);
// Standard output, ShownText: a failed write is noted for the end of the run.
void PrintOut(const CliStreams& io, const std::string& text);
// JSON on standard output, as it is (JSON escapes its own strings).
void PrintJson(const CliStreams& io, const std::string& text);
// Standard output as it is, without the flush: a line redrawn in place with
// the program's own control sequences, for a caller that flushes
// (FlushNoting).
void WriteOut(const CliStreams& io, const std::string& text);
// Flushes `out`; the first failure goes to *outError (may be null).
void FlushNoting(std::FILE* out, int* outError);

// "2026-12-07T17:30:00Z": the time of log and JSON lines, in UTC.
std::string UtcTimeText(std::time_t t);
// "17:30:00": the time of a line for people, local.
std::string LocalTimeText(std::time_t t);

// Box texts keep the dialog's "\r\n" line breaks; a terminal wants "\n".
std::string TerminalText(const std::string& text);

// The columns a line redrawn in place may fill on the terminal `stream`
// writes to. One column stays free: a line that fills the last one wraps
// on some terminals. An unknown width is taken as 80 columns.
size_t LineWidth(std::FILE* stream);

}  // namespace vexo3::cli
