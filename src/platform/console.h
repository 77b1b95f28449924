#pragma once

// The standard streams and the command line, the same way on every system:
// bytes out exactly as written, text in UTF-8.

#include <cstdio>
#include <string>
#include <vector>

namespace vexo3 {

// Call first thing in main, before anything opens a file. Opens the null
// device on each of descriptors 0, 1 and 2 that is closed (a program started
// with ">&-"), so that no file the program opens later becomes its standard
// input, output or error and receives its messages. On Windows nothing to do:
// the C runtime keeps those three reserved in a program without standard
// handles, and the programs open their own files by handle.
void OpenClosedStandardDescriptors();

// Call once at program start, before anything is printed. On Windows:
// stdout and stderr in binary mode (text mode would turn "\n" into "\r\n"),
// the console's output code page UTF-8 and its escape sequences on (for the
// progress line). Elsewhere nothing to do.
void SetUpStandardStreams();

// Whether f is an interactive terminal (a console on Windows). The NUL
// device and files, pipes are not.
bool IsTerminal(std::FILE* f);

// Whether the terminal f writes to acts on escape sequences (erase to the
// end of the line, cursor up): a console with virtual terminal processing
// on, or a terminal other than TERM=dumb. False when f is no terminal.
bool TakesEscapes(std::FILE* f);

#ifdef _WIN32
// The arguments of wmain as UTF-8.
std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv);
// UTF-8 to UTF-16 and back; invalid input gives an empty result.
std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);
#endif

}  // namespace vexo3
