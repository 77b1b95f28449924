#pragma once

// Writing to the command line's streams.

#include <cstddef>
#include <cstdio>
#include <string>

#include "cli/cli_app.h"

namespace vexo3::cli {

// stderr and the like: written and flushed at once.
void Print(std::FILE* f, const std::string& text);
// Standard output: a failed write is noted for the end of the run.
void PrintOut(const CliStreams& io, const std::string& text);
// Flushes `out`; the first failure goes to *outError (may be null).
void FlushNoting(std::FILE* out, int* outError);

// Box texts keep the dialog's "\r\n" line breaks; a terminal wants "\n".
std::string TerminalText(const std::string& text);

// The columns a line redrawn in place may fill on the terminal `stream`
// writes to. One column stays free: a line that fills the last one wraps
// on some terminals. An unknown width is taken as 80 columns.
size_t LineWidth(std::FILE* stream);

}  // namespace vexo3::cli
