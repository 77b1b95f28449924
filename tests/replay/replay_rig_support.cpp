#include "replay/replay_rig.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "cli/cli_app.h"

namespace vexo3::test {

namespace {

std::string ReadAll(std::FILE* f) {
  std::string text;
  std::rewind(f);
  char buf[4096];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
    text.append(buf, n);
  return text;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

CliRun RunInReplayDir(const std::vector<std::string>& args) {
  if (chdir(VEXO3_REPLAY_DIR) != 0)
    return {};
  File out(std::tmpfile());
  File err(std::tmpfile());
  File in(std::tmpfile());
  std::vector<const char*> argv = {"vexo3"};
  for (const std::string& a : args)
    argv.push_back(a.c_str());
  cli::CliStreams streams;
  streams.out = out.get();
  streams.err = err.get();
  streams.in = in.get();
  CliRun run;
  run.exitCode = cli::RunCli(static_cast<int>(argv.size()), argv.data(), streams);
  run.out = ReadAll(out.get());
  run.err = ReadAll(err.get());
  return run;
}

std::vector<RecordedCase> RecordedCases() {
  std::vector<RecordedCase> cases;
  std::istringstream lines(ReplayFile("cases.txt"));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#')
      continue;
    std::istringstream words(line);
    RecordedCase c;
    words >> c.name >> c.profile;
    std::string arg;
    while (words >> arg)
      c.args.push_back(arg);
    cases.push_back(std::move(c));
  }
  return cases;
}

std::string ReplayFile(const std::string& path) {
  // Scratch files are absolute in the system's own form (C:\... on Windows).
  const std::filesystem::path p(path);
  std::ifstream in(p.is_absolute() ? p : std::filesystem::path(VEXO3_REPLAY_DIR) / p,
                   std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string WithoutTimes(const std::string& trace) {
  std::istringstream lines(trace);
  std::string out;
  std::string line;
  while (std::getline(lines, line)) {
    const size_t times = line.find("us ");
    if (line.starts_with("+") && times != std::string::npos)
      line = line.substr(times + 3);
    out += line + "\n";
  }
  return out;
}

}  // namespace vexo3::test
