#include "ui/qt/terminate_signal.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

namespace vexo3 {
namespace {

// The write end for the handler: a signal handler can only reach the rest
// of the program through something like this.
int gSignalFd = -1;

void OnSignal(int sig) {
  const int savedErrno = errno;
  const char byte = static_cast<char>(sig);
  ssize_t ignored = ::write(gSignalFd, &byte, 1);
  (void)ignored;
  errno = savedErrno;
}

}  // namespace

void WatchTerminateSignals(QObject* parent, std::function<void(int)> onSignal) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0)
    return;  // signals keep their usual action
  gSignalFd = fds[0];
  auto* notifier = new QSocketNotifier(fds[1], QSocketNotifier::Read, parent);
  QObject::connect(notifier, &QSocketNotifier::activated, parent,
                   [fd = fds[1], onSignal = std::move(onSignal)] {
                     unsigned char drain[16];
                     ssize_t n = 0;
                     int sig = 0;
                     while ((n = ::read(fd, drain, sizeof drain)) > 0)
                       sig = drain[n - 1];
                     if (sig != 0)
                       onSignal(sig);
                   });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP})
    ::sigaction(sig, &action, nullptr);
}

}  // namespace vexo3
