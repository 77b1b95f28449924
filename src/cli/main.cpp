#include <unistd.h>

#include "cli/cli_app.h"
#include "cli/interrupt.h"

int main(int argc, char** argv) {
  vexo3::cli::InstallSignalHandling();
  vexo3::cli::CliStreams io;
  io.outIsTerminal = isatty(STDOUT_FILENO) == 1;
  io.inIsTerminal = isatty(STDIN_FILENO) == 1;
  io.errIsTerminal = isatty(STDERR_FILENO) == 1;
  return vexo3::cli::ExitAfterSignal(vexo3::cli::RunCli(argc, argv, io));
}
