#pragma once

// Reading a file as one version of it. A file that is rewritten while it is
// read (a download finishing, a copy in progress) would otherwise give a
// mixture of its old and new bytes that neither version holds. Paths are
// UTF-8.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace vexo3 {

class FileSnapshot {
 public:
  FileSnapshot();
  ~FileSnapshot();
  FileSnapshot(const FileSnapshot&) = delete;
  FileSnapshot& operator=(const FileSnapshot&) = delete;

  // Opens path for reading without blocking (a FIFO nobody writes to can't
  // hang the open) and notes the file's size, times and identity. Regular
  // files only: false with *reason kNoSuchFile, kFolderNotFile,
  // kNotRegularFile (a FIFO, a device) or the system's reason. Call once.
  bool Open(const std::string& path, std::string* reason);

  // Reads up to out.size() bytes from where the last read ended; fewer only
  // at the end of the file or on a read error (ReadFailed then tells).
  size_t Read(std::span<uint8_t> out);
  bool ReadFailed() const { return readFailed_; }
  // Bytes handed out by Read so far.
  uint64_t Position() const { return position_; }

  // Whether everything read so far belongs to the one version of the file
  // that was there at Open: reads those bytes again and compares them, and
  // checks that the file's size, modification and change times and identity
  // are what they were. False when the file changed in the meantime (also
  // when it was replaced under its name: the change time of the one read
  // moves then), or can't be read again. A file written in the last 50 ms
  // is looked at once more when they have passed: a rewrite that pauses
  // half-way leaves a mixture that holds still while it is read. Reads go
  // on afterwards as before.
  bool Unchanged();

 private:
  struct Stamp;
  bool Fetch();  // the next block into the buffer
  bool StampNow(Stamp* stamp) const;
  // By the system's clock; negative when the file's times are ahead of it.
  static int64_t NanosecondsSinceWritten(const Stamp& stamp);
  // Up to n bytes at offset; fewer only at the end of the file; -1 on error.
  int64_t ReadAt(uint64_t offset, uint8_t* out, size_t n) const;
  // Hashes the file's first `bytes` bytes in the blocks Fetch reads.
  bool HashPrefix(uint64_t bytes, uint64_t* hash) const;

  intptr_t fd_ = -1;  // the descriptor; on Windows the HANDLE
  std::unique_ptr<Stamp> stamp_;
  std::unique_ptr<uint8_t[]> block_;
  size_t blockSize_ = 0;  // bytes in the buffer
  size_t blockAt_ = 0;    // of them handed out
  uint64_t fetched_ = 0;  // bytes read from the file
  uint64_t hash_ = 0;     // of those bytes
  uint64_t position_ = 0;
  bool atEnd_ = false;
  bool readFailed_ = false;
};

}  // namespace vexo3
