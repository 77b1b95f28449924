#pragma once

#include <cstdio>

namespace vexo3 {

// The width in columns of the terminal that stream writes to, asked anew on
// each call so that a resized window is followed; 0 when stream is not a
// terminal or the width is unknown.
int TerminalColumns(std::FILE* stream);

}  // namespace vexo3
