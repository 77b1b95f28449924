#pragma once

// Runs the built vexo3 binary and captures what it prints.

#include <string>
#include <vector>

namespace vexo3::test {

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs vexo3 with args (stdin from /dev/null, so never a terminal).
RunResult RunVexo3(const std::vector<std::string>& args);
// The same for any program, by path.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args);

// A path of the build tree as the test program sees it: on Windows under
// wine, the host's root folder is drive Z:.
std::string HostPath(const std::string& path);

// A fresh scratch folder for one test; removed with the object.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return path_; }
  // Writes text into a file of the folder and returns its path.
  std::string Write(const std::string& name, const std::string& text) const;
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadText(const std::string& path);

}  // namespace vexo3::test
