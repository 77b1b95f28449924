#include "platform/signals.h"

#include <csignal>
#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#else
#include <string.h>
#include <unistd.h>
#endif

namespace vexo3 {

#ifdef _WIN32

namespace {

volatile SignalHandler gHandler = nullptr;

void Rearm(int sig) {
  // The C runtime resets the handler before calling it.
  std::signal(sig, Rearm);
  if (gHandler != nullptr)
    gHandler(sig);
}

}  // namespace

void InstallTerminationHandler(SignalHandler handler) {
  gHandler = handler;
  for (int sig : {SIGINT, SIGBREAK, SIGTERM})
    std::signal(sig, Rearm);
}

void WithTerminationSignalsBlocked(const std::function<void()>& f) {
  f();
}

void WriteStderrFromHandler(const char* text, size_t length) {
  (void)_write(2, text, static_cast<unsigned>(length));
}

void EndBySignal(int sig) {
  std::_Exit(128 + sig);
}

std::string SignalName(int sig) {
  switch (sig) {
    case SIGINT:
      return "SIGINT";
    case SIGBREAK:
      return "SIGBREAK";
    case SIGTERM:
      return "SIGTERM";
    case SIGABRT:
      return "SIGABRT";
    default:
      return std::to_string(sig);
  }
}

#else

void InstallTerminationHandler(SignalHandler handler) {
  ::signal(SIGPIPE, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // Reads and writes carry on after the handler: a signal must not look
  // like a failing device.
  action.sa_flags = SA_RESTART;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction previous {};
    if (::sigaction(sig, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
      continue;
    ::sigaction(sig, &action, nullptr);
  }
}

void WithTerminationSignalsBlocked(const std::function<void()>& f) {
  sigset_t block;
  sigset_t old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGHUP);
  sigprocmask(SIG_BLOCK, &block, &old);
  f();
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

void WriteStderrFromHandler(const char* text, size_t length) {
  // Nothing to do about a failed write here: the terminal may be gone.
  ssize_t ignored = ::write(STDERR_FILENO, text, length);
  (void)ignored;
}

void EndBySignal(int sig) {
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

std::string SignalName(int sig) {
  const char* name = sigabbrev_np(sig);
  return name != nullptr ? std::string("SIG") + name : std::to_string(sig);
}

#endif

}  // namespace vexo3
