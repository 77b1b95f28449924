#pragma once

// Runs the command-line tool and captures what it prints: in this process
// through cli::RunCli, or the built vexo3 (or any program) as a process of
// its own.

#include <string>
#include <vector>

namespace vexo3::test {

struct RunResult {
  int exitCode = -1;  // 128 + N when the program ended by signal N
  std::string out;
  std::string err;
  std::string tty;  // what the program wrote to the pseudo-terminal
};

// cli::RunCli with these arguments after "vexo3", stdin empty and none of the
// streams a terminal. Needs vexo3_cli_runner.
RunResult RunInProcess(const std::vector<std::string>& args);

// Where a started program's standard streams go. By default stdin is
// /dev/null and stdout and stderr are captured from files, so none is a
// terminal.
struct RunSetup {
  // Any of these on a pseudo-terminal of `columns` columns; `typed` is
  // waiting in its input queue at start.
  bool stdinTty = false;
  bool stdoutTty = false;
  bool stderrTty = false;
  int columns = 80;
  std::string typed;
  std::string term = "xterm";     // TERM, when a stream is on the terminal
  std::string stdoutPath;         // stdout to this file instead (e.g. /dev/full)
  bool stdoutBrokenPipe = false;  // stdout a pipe whose reader has gone
  // This signal sent to the program after `signalAfterMs` of real time, as
  // a person presses Ctrl-C (POSIX only); 0: none.
  int signal = 0;
  int signalAfterMs = 0;
  bool stdoutClosed = false;  // started with descriptor 1 closed (">&-")
  bool stderrClosed = false;  // and 2
};

// Runs a program, by path, and waits for it.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunSetup& setup = {});
// False for what this system can't set up (Windows: terminals, a broken
// pipe, closed streams); RunProgram then runs nothing and returns exit code -1.
bool RunSetupSupported(const RunSetup& setup);

// A path of the build tree as the test program sees it: on Windows under
// wine, the host's root folder is drive Z:.
std::string HostPath(const std::string& path);

#ifdef VEXO3_BINARY
// The built vexo3, whose path the test program is given when it is built.
inline RunResult RunVexo3(const std::vector<std::string>& args, const RunSetup& setup = {}) {
  return RunProgram(HostPath(VEXO3_BINARY), args, setup);
}
#endif

}  // namespace vexo3::test
