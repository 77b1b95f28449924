#pragma once

// Files the programs read and write besides firmware packages: simulator
// profiles and state files, the trace. Every function says what
// it refuses, and error texts are the system's reason, without the path (the
// caller names the file the user chose; on Windows the common reasons read
// as on POSIX). Paths are UTF-8.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vexo3 {

// Why a file the user named can't be used, in the same words for every kind
// of file (packages, profiles, state files, traces): a message reads
// `"PATH": REASON` (FileErrorText) with one of these reasons, a reason of
// the file's kind ("not a firmware package"), or the system's own.
inline constexpr const char* kNoSuchFile = "no such file";
inline constexpr const char* kFolderNotFile = "a folder, not a file";
inline constexpr const char* kNotRegularFile = "not a regular file";
inline constexpr const char* kEmptyFile = "empty";
std::string TooLargeText(uint64_t maxBytes);  // "too large: more than N bytes"
std::string CutShortText(uint64_t atByte);    // "cut short at byte N"
// The path with its control characters escaped (EscapeControls, text_codec.h).
std::string FileErrorText(const std::string& path, const std::string& reason);
// Why path can't be opened: kNoSuchFile, kFolderNotFile or the system's
// reason. For a path that just failed to open.
std::string UnopenableReason(const std::string& path);
#ifdef _WIN32
// A Windows error code in the words the POSIX build uses for the same
// failure (no such file, permission denied, no space), else the system's.
std::string WindowsReason(uint32_t error);
#endif

enum class ReadFileResult { kOk, kMissing, kRefused };

// Reads the whole file at path into *text. Opens without blocking (a FIFO
// nobody writes to can't hang the open) and reads regular files only, of at
// most maxBytes. kMissing when the path names nothing (ENOENT); kRefused with
// *error for everything else: kFolderNotFile, kNotRegularFile, TooLargeText,
// or the system's reason (strerror). *text is untouched unless kOk.
ReadFileResult ReadRegularFile(const std::string& path, size_t maxBytes, std::string* text,
                               std::string* error);

// Replaces the file at path with text so that a reader sees either the old
// or the whole new contents: writes a temporary file of a unique name in the
// same folder, flushes it to the disk, then renames it over path. On failure
// the temporary is removed, path is untouched, and *error holds the system's
// reason.
bool WriteFileAtomically(const std::string& path, std::string_view text, std::string* error);

// An advisory lock that cooperating programs take before using a file. It
// lives on a companion file (path + ".lock", created when missing and left
// in place, so no two programs can each hold a lock on a different one) and
// is released by the destructor or when the process ends, however it ends.
class FileLock {
 public:
  enum class Result { kLocked, kBusy, kFailed };

  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Never waits: kBusy when another process holds it; kFailed with *error
  // (the system's reason) when the lock file can't be opened.
  Result TryLock(const std::string& path, std::string* error);
  bool Held() const { return fd_ >= 0; }
  static std::string LockPath(const std::string& path) { return path + ".lock"; }

 private:
  intptr_t fd_ = -1;  // the descriptor; on Windows the HANDLE
};

}  // namespace vexo3
