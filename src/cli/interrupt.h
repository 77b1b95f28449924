#pragma once

// What SIGINT, SIGTERM and SIGHUP do to vexo3 while it writes firmware.
//
// A unit stopped in the middle of its image is left without working
// firmware, so once the first upload has begun a signal no longer ends the
// program at once. The first one is noted and announced on stderr: the unit
// being written is finished, nothing after it is written, and the program
// exits with 128 + the signal. A second SIGINT while a unit is being written
// stops it between two chunks (its usual failure path runs). Before the
// first upload signals act as usual. SIGPIPE is ignored: a closed output is
// an output error, reported at the end, never the end of an upload.
//
// Signals are process-wide, so this state is too: main installs the
// handlers once; code that never calls InstallSignalHandling (tests that run
// the tool in-process) sees no signal and nothing deferred.

#include <string_view>

#include "ui/core/update_engine.h"

namespace vexo3::cli {

// Ignores SIGPIPE and installs the handlers for SIGINT, SIGTERM and SIGHUP.
void InstallSignalHandling();

// A unit's upload begins (unitName as the window names it; later: the units
// still to come, for the notice) or ends. The first BeginUnit defers signals
// for the rest of the run.
void BeginUnit(std::string_view unitName, bool moreAfter);
void EndUnit();
// Several devices written side by side: signals are deferred from here on
// and a unit counts as being written until EndUnit; the notice speaks of
// every unit being written.
void BeginSeveralUnits();

// The first signal noted while deferred (0: none).
int PendingSignal();
// True after a second SIGINT during a unit's upload.
bool StopRequested();

// The update engine's stop policy on these signals: after the first, the
// unit being written is finished and nothing after it is written; after a
// second SIGINT the unit stops between two chunks. For one device it also
// starts and ends the deferral at each unit; for several (`several`) that
// is the caller's, with BeginSeveralUnits.
class SignalStop final : public StopPolicy {
 public:
  explicit SignalStop(bool several = false) : several_(several) {}
  StopRequest Requested() override;
  void UnitBegins(Unit unit, bool moreAfter) override;
  void UnitEnds() override;

 private:
  bool several_;
};

// main's exit: after a deferred signal, ends the process by that signal with
// its default action (so a calling shell sees it); otherwise returns code.
int ExitAfterSignal(int code);

}  // namespace vexo3::cli
