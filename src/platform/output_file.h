#pragma once

// Files the user names for the programs to write: the wire trace (--trace),
// the station's log (--log), the simulator's state file. One rule for all:
// an output is never a file the run reads or writes under another role,
// however it is named; opening one never waits; and every failed write or
// sync is kept for the end of the run, so that a file cut short is reported,
// never taken for a whole one. Paths are UTF-8.

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vexo3 {

// A file the run reads or writes, by the name the user gave it.
struct NamedFile {
  std::string what;  // "the firmware package"
  std::string path;  // "" = none
};

// The reason given for a FIFO that no program reads from.
inline constexpr const char* kFifoWithoutReader = "a FIFO that no program reads from";

// path with every symlink along it followed, also a last one whose target
// doesn't exist yet, as an absolute, normalised path: the file that opening
// or replacing path would touch. Gives up after 40 links (a loop), and then,
// or when the path can't be resolved at all, returns path as it is.
std::string ResolvedPath(const std::string& path);

// The first of `files` that is the same file as path: by identity (device
// and inode; on Windows volume and file index) when both exist, so through
// any symlink or hard link; otherwise the same ResolvedPath. Entries with an
// empty path are skipped. Null when none is.
const NamedFile* FindSameFile(const std::string& path, const std::vector<NamedFile>& files);

// One output file, written through Write or Stream. Not thread-safe.
class OutputFile {
 public:
  enum class Mode {
    kReplace,  // a regular file is emptied once it is known to be ours
    kAppend,   // every write goes to the end of the file
  };
  enum class OpenResult {
    kOpened,
    kSameFile,  // path is one of `others`: nothing was created, emptied or written
    kRefused,   // *reason says why; nothing was created
  };

  OutputFile();
  ~OutputFile();  // closes without reporting; call Close to learn of failures
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens path for writing, creating a regular file when nothing is there,
  // without ever waiting (a FIFO that nobody reads can't hang the open). The
  // file's identity is checked against `others` on the opened file itself,
  // before it is emptied: kSameFile with *sameAs set to the `what` of the
  // first match. kRefused with *reason: kFolderNotFile, kNotRegularFile for a
  // block device, kFifoWithoutReader, or the system's reason. Character
  // devices (/dev/null, a terminal) and FIFOs with a reader are written as
  // they are; writes to them may block as any write to them does. Call once.
  OpenResult Open(const std::string& path, Mode mode, const std::vector<NamedFile>& others,
                  std::string* sameAs, std::string* reason);
  bool IsOpen() const;
  const std::string& Path() const { return path_; }

  // Hands text to the system at once. After the first failure nothing more
  // is written (a file with a hole in it would read as whole), and every
  // later call returns false too.
  bool Write(std::string_view text);
  // Flushes what was written to the disk: fsync for a regular file. Devices,
  // FIFOs and terminals have nothing to flush: true (/dev/null's EINVAL is no
  // failure). False, kept as the failure, when the system reports one.
  bool Sync();
  // Writes out the stream, syncs, closes. False when any write, sync or the
  // close ever failed; FailureReason says why. True without an open file.
  bool Close();

  // A stream over Write: its flush() hands the text to the system at once.
  // Lives as long as this object; usable before Open, which drops what was
  // written to it before and starts it afresh.
  std::ostream& Stream();
  // The system's reason for the first failed write, sync or close; "" while
  // none failed.
  const std::string& FailureReason() const { return failure_; }

 private:
  class Buffer;
  void Fail(int error);
  void Restart();  // the stream and the failure, afresh

  std::string path_;
  intptr_t fd_ = -1;  // the descriptor; on Windows the HANDLE
  bool regular_ = false;
  bool append_ = false;
  std::string failure_;
  std::unique_ptr<Buffer> buffer_;
  std::unique_ptr<std::ostream> stream_;
};

}  // namespace vexo3
