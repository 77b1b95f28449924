#pragma once

// Runs the built vexo3 binary and captures what it prints.

#include <string>
#include <vector>

namespace vexo3::test {

struct RunResult {
  int exitCode = -1;  // 128 + N when the program ended by signal N
  std::string out;
  std::string err;
  std::string tty;  // what the program wrote to the pseudo-terminal
};

// Where the program's standard streams go. By default stdin is /dev/null and
// stdout and stderr are captured from files, so none is a terminal.
struct RunSetup {
  // Any of these on a pseudo-terminal of `columns` columns; `typed` is
  // waiting in its input queue at start.
  bool stdinTty = false;
  bool stdoutTty = false;
  bool stderrTty = false;
  int columns = 80;
  std::string typed;
  std::string stdoutPath;         // stdout to this file instead (e.g. /dev/full)
  bool stdoutBrokenPipe = false;  // stdout a pipe whose reader has gone
};

// Runs vexo3 with args (stdin from /dev/null, so never a terminal).
RunResult RunVexo3(const std::vector<std::string>& args);
RunResult RunVexo3(const std::vector<std::string>& args, const RunSetup& setup);
// The same for any program, by path.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args);
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunSetup& setup);
// False for what this system can't set up (Windows: terminals, a broken
// pipe); RunVexo3 then runs nothing and returns exit code -1.
bool RunSetupSupported(const RunSetup& setup);

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
