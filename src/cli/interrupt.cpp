#include "cli/interrupt.h"

#include <csignal>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/signals.h"

namespace vexo3::cli {
namespace {

// Shared with the handler: only sig_atomic_t flags and a message prepared
// beforehand (with the signals blocked), which the handler writes as is.
volatile sig_atomic_t gDeferring = 0;
volatile sig_atomic_t gInUnit = 0;
volatile sig_atomic_t gPending = 0;
volatile sig_atomic_t gStop = 0;
char gFirstNotice[512];
volatile sig_atomic_t gFirstNoticeLength = 0;

constexpr char kBetweenUnitsNotice[] =
    "\nvexo3: interrupted: nothing more is written; finishing up.\n";
constexpr char kStopNotice[] =
    "\nvexo3: stopping now, between two chunks: the unit is left with an incomplete image.\n";

void Say(const char* text, size_t length) {
  WriteStderrFromHandler(text, length);
}

void OnSignal(int sig) {
  const int savedErrno = errno;
  if (!gDeferring) {
    // Not writing firmware: the signal's usual action, once this handler
    // returns and the signal is unblocked.
    EndBySignal(sig);
  } else if (gPending == 0) {
    gPending = sig;
    if (gInUnit) {
      Say(gFirstNotice, static_cast<size_t>(gFirstNoticeLength));
    } else {
      Say(kBetweenUnitsNotice, sizeof kBetweenUnitsNotice - 1);
    }
  } else if (sig == SIGINT && gInUnit && !gStop) {
    gStop = 1;
    Say(kStopNotice, sizeof kStopNotice - 1);
  }
  errno = savedErrno;
}

}  // namespace

void InstallSignalHandling() {
  InstallTerminationHandler(OnSignal);
}

void BeginUnit(std::string_view unitName, bool moreAfter) {
  // Blocked while the notice is prepared, so the handler never sees half of it.
  WithTerminationSignalsBlocked([&] {
    const std::string name(unitName);
    const int n = std::snprintf(
        gFirstNotice, sizeof gFirstNotice,
        "\nvexo3: interrupted: finishing the %s image so that the unit stays usable%s.\n"
        "Press Ctrl-C again to stop at once (the %s is then left with an incomplete image).\n",
        name.c_str(), moreAfter ? ", then stopping" : "", name.c_str());
    gFirstNoticeLength = n < 0 ? 0 : std::min<int>(n, sizeof gFirstNotice - 1);
    gInUnit = 1;
    gDeferring = 1;
  });
}

void BeginSeveralUnits() {
  WithTerminationSignalsBlocked([&] {
    const int n = std::snprintf(
        gFirstNotice, sizeof gFirstNotice, "%s",
        "\nvexo3: interrupted: finishing the units being written so that they stay usable, "
        "then stopping.\nPress Ctrl-C again to stop at once (those units are then left with an "
        "incomplete image).\n");
    gFirstNoticeLength = n < 0 ? 0 : std::min<int>(n, sizeof gFirstNotice - 1);
    gInUnit = 1;
    gDeferring = 1;
  });
}

void EndUnit() {
  gInUnit = 0;
}

int PendingSignal() {
  return gPending;
}

bool StopRequested() {
  return gStop != 0;
}

StopRequest SignalStop::Requested() {
  if (StopRequested())
    return StopRequest::BetweenChunks;
  return PendingSignal() != 0 ? StopRequest::AfterUnit : StopRequest::None;
}

void SignalStop::UnitBegins(Unit unit, bool moreAfter) {
  if (!several_)
    BeginUnit(UnitName(unit), moreAfter);
}

void SignalStop::UnitEnds() {
  if (!several_)
    EndUnit();
}

int ExitAfterSignal(int code) {
  const int sig = gPending;
  if (sig == 0)
    return code;
  std::fflush(nullptr);
  EndBySignal(sig);
  return 128 + sig;  // only when the signal's default action doesn't end us
}

}  // namespace vexo3::cli
