#pragma once

// The command-line tool vexo3: parses the arguments, builds the one session
// on the chosen backend and runs a subcommand. main() only calls RunCli.

#include <cstdio>

namespace vexo3::cli {

// Exit codes, documented in --help and the man page.
enum ExitCode : int {
  kExitOk = 0,
  kExitDeviceFailure = 1,   // device or update failure
  kExitUsage = 2,           // bad arguments, or several devices and no --serial
  kExitNoDevice = 3,        // no (such) HandController found
  kExitPackageError = 4,    // the package file can't be loaded or lacks an image
  kExitReplayDiverged = 5,  // --replay: the run left the recorded trace
  kExitDeclined = 6,        // a question was answered no: nothing was written
};

struct CliStreams {
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  std::FILE* in = stdin;
  bool outIsTerminal = false;
  bool inIsTerminal = false;
  bool errIsTerminal = false;
  // Set by RunCli: where the first failing write to `out` leaves its errno.
  int* outError = nullptr;
};

// Output errors don't stop a run: once it is over, a failed write to `out`
// is reported as "vexo3: write error: REASON" and the exit code becomes 1.
// After a signal deferred during an upload (cli/interrupt.h) the result is
// 128 + the signal.
int RunCli(int argc, const char* const* argv, const CliStreams& streams);

}  // namespace vexo3::cli
