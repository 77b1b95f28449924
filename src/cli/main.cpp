#include <string>
#include <vector>

#include "cli/cli_app.h"
#include "cli/interrupt.h"
#include "platform/console.h"

namespace {

int Run(const std::vector<std::string>& args) {
  vexo3::SetUpStandardStreams();
  vexo3::cli::InstallSignalHandling();
  std::vector<const char*> argv;
  for (const std::string& a : args)
    argv.push_back(a.c_str());
  vexo3::cli::CliStreams io;
  io.outIsTerminal = vexo3::IsTerminal(stdout);
  io.outTakesEscapes = vexo3::TakesEscapes(stdout);
  io.inIsTerminal = vexo3::IsTerminal(stdin);
  io.errIsTerminal = vexo3::IsTerminal(stderr);
  return vexo3::cli::ExitAfterSignal(
      vexo3::cli::RunCli(static_cast<int>(argv.size()), argv.data(), io));
}

}  // namespace

#ifdef _WIN32
// The wide entry point: the narrow argv would hold the arguments in the ANSI
// code page, with '?' for every character outside it.
int wmain(int argc, wchar_t** argv) {
  vexo3::OpenClosedStandardDescriptors();
  return Run(vexo3::Utf8Arguments(argc, argv));
}
#else
int main(int argc, char** argv) {
  vexo3::OpenClosedStandardDescriptors();
  return Run(std::vector<std::string>(argv, argv + argc));
}
#endif
