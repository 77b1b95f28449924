#include "replay/replay_rig.h"

#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "support/fixtures.h"

namespace vexo3::test {

RunResult RunInReplayDir(const std::vector<std::string>& args) {
  if (chdir(VEXO3_REPLAY_DIR) != 0)
    return {};
  return RunInProcess(args);
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
  return ReadText((p.is_absolute() ? p : std::filesystem::path(VEXO3_REPLAY_DIR) / p).string());
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
