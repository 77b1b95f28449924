#pragma once

// Scratch folders and the files tests write into them.

#include <span>
#include <string>

#include "sim/package_writer.h"

namespace vexo3::test {

// A fresh scratch folder for one test; removed with the object. ctest runs
// test processes side by side: each folder has a name of its own.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Writes text into a file of the folder and returns its path.
  std::string Write(const std::string& name, const std::string& text) const;
  // Writes a firmware package (sim::WritePackage) and returns its path; a
  // file that can't be written fails the test.
  std::string Package(const std::string& name, std::span<const sim::PackageRecord> records) const;

 private:
  std::string path_;
};

// The whole file, or "" when it can't be read.
std::string ReadText(const std::string& path);

}  // namespace vexo3::test
