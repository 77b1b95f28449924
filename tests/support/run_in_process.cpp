// The command-line program inside the test process.

#include <cstdio>
#include <memory>

#include "cli/cli_app.h"
#include "support/cli_runner.h"

namespace vexo3::test {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string ReadAll(std::FILE* f) {
  std::string text;
  std::rewind(f);
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
    text.append(buffer, n);
  return text;
}

// A scratch stream. Wine's C runtime sometimes fails to make one while
// another test process makes its own: try again before giving up.
File Scratch() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (std::FILE* f = std::tmpfile())
      return File(f);
  }
  return nullptr;
}

}  // namespace

RunResult RunInProcess(const std::vector<std::string>& args) {
  const File out = Scratch();
  const File err = Scratch();
  const File in = Scratch();
  if (!out || !err || !in) {
    // A failed run, not a crash of the whole test program.
    RunResult failed;
    failed.exitCode = -1;
    failed.err = "test runner: no scratch file for the program's streams\n";
    return failed;
  }
  std::vector<const char*> argv = {"vexo3"};
  for (const std::string& a : args)
    argv.push_back(a.c_str());
  cli::CliStreams streams;
  streams.out = out.get();
  streams.err = err.get();
  streams.in = in.get();
  RunResult run;
  run.exitCode = cli::RunCli(static_cast<int>(argv.size()), argv.data(), streams);
  run.out = ReadAll(out.get());
  run.err = ReadAll(err.get());
  return run;
}

}  // namespace vexo3::test
