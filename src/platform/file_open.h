#pragma once

// Opening files by name, the same way on every system. Paths are UTF-8; on
// Windows they are widened for the system's wide-character file calls, so a
// name outside the ANSI code page still opens.

#include <cstdio>
#include <filesystem>
#include <string>

namespace vexo3 {

// Opens path for reading bytes ("rb"). Never waits for a writer: a FIFO
// that nobody writes to opens at once (POSIX; Windows has no FIFOs), and
// reads block as usual afterwards. nullptr when the file can't be opened or
// is a directory. The caller closes the file.
std::FILE* OpenForReading(const std::string& path);

// The path object for a UTF-8 path, for std::fstream and std::filesystem.
std::filesystem::path PathFromUtf8(const std::string& path);
// And back: the UTF-8 text of a path object.
std::string Utf8FromPath(const std::filesystem::path& path);

// Moves from over to, replacing a file already there in one step (readers
// see the old file or the new one, never none). false on failure, from then
// left in place.
bool ReplaceExistingFile(const std::string& from, const std::string& to);

}  // namespace vexo3
