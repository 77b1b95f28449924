#pragma once

// The termination signals, the same way on every system: SIGINT, SIGTERM
// and SIGHUP on POSIX; on Windows SIGINT (Ctrl-C), SIGBREAK (Ctrl-Break)
// and SIGTERM, which the C runtime delivers.

#include <cstddef>
#include <functional>
#include <string>

namespace vexo3 {

using SignalHandler = void (*)(int);

// Ignores SIGPIPE (POSIX: a closed output is a write error, not the end)
// and installs handler for the termination signals, except those that
// whoever started the program ignores (nohup). Reads and writes carry on
// after the handler. On Windows the handler stays installed from one signal
// to the next (the C runtime would reset it).
void InstallTerminationHandler(SignalHandler handler);

// Runs f with the termination signals blocked (POSIX), so a handler never
// sees state half changed. On Windows, where the handler runs on a thread
// of its own, f just runs.
void WithTerminationSignalsBlocked(const std::function<void()>& f);

// Writes text to stderr with the system's raw write; safe in a handler.
void WriteStderrFromHandler(const char* text, size_t length);

// The signal's usual end of the process: its default action (POSIX: a
// calling shell sees the signal). On Windows the process exits with status
// 128 + sig, as a POSIX shell reports a signal. Returns only when the
// default action doesn't end the process.
void EndBySignal(int sig);

// "SIGINT", "SIGTERM", ...; the number for one without a name.
std::string SignalName(int sig);

}  // namespace vexo3
