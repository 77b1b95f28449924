#pragma once

// Runs the command-line program in-process, inside this folder (the cases'
// paths are relative to it), and reads the recorded cases.

#include <string>
#include <vector>

#include "support/cli_runner.h"

namespace vexo3::test {

// RunInProcess in the replay folder.
RunResult RunInReplayDir(const std::vector<std::string>& args);

struct RecordedCase {
  std::string name;
  std::string profile;
  std::vector<std::string> args;
};

// The cases of cases.txt, in order.
std::vector<RecordedCase> RecordedCases();

// The text of a file of the replay folder (path relative to it, or absolute).
std::string ReplayFile(const std::string& path);

// The trace without its times: each call's "+S.UUUUUU Dus " cut off.
std::string WithoutTimes(const std::string& trace);

}  // namespace vexo3::test
