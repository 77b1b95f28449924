#pragma once

// Runs the command-line program in-process, inside this folder (the cases'
// paths are relative to it), and reads the recorded cases.

#include <string>
#include <vector>

namespace vexo3::test {

struct CliRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// RunCli with these arguments after "vexo3", stdin empty and not a terminal,
// the working folder the replay folder.
CliRun RunInReplayDir(const std::vector<std::string>& args);

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
