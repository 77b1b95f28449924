#pragma once

// Runs the dialog's actions off the window's thread. An action can block for
// a minute (the HandController's readiness wait, reads with 5 s time-outs,
// the wait after a mode change); a window whose thread doesn't answer for
// seconds is marked hung, and the user is offered to end the program, maybe
// while a unit is half written. So the action runs on a worker, the window's
// thread keeps answering its window system, and every call the action makes
// on its window goes back to the window's thread through a WindowRelay.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "ui/core/main_window.h"

namespace vexo3 {

// A MainWindow that runs each call on `target` on the thread that made the
// relay (the window's thread), and waits for it there. `runThere` hands a
// function to that thread and returns once it has run; it is called from
// other threads only (a call on the window's own thread goes straight on).
class WindowRelay final : public MainWindow {
 public:
  using RunThere = std::function<void(const std::function<void()>&)>;

  WindowRelay(MainWindow& target, RunThere runThere);

  VEXO3_MAIN_WINDOW_OVERRIDES;

 private:
  void Run(const std::function<void()>& call);

  MainWindow& target_;
  RunThere runThere_;
  std::thread::id windowThread_;
};

// One action at a time on a worker thread, while the caller's (window's)
// thread waits in a loop of the front end's that answers the window system
// and runs the relayed calls, and holds user input back.
class ActionThread {
 public:
  // Tells the window's thread that the action has ended; called on the worker.
  using Wake = std::function<void()>;
  // Runs the window system until ended() is true; called on the window's
  // thread.
  using Wait = std::function<void(const std::function<bool()>& ended)>;

  bool busy() const { return busy_; }
  // Runs action on a worker and wait here; returns once the action has ended
  // and the worker is gone. False, and nothing runs, while an action runs.
  bool Run(const std::function<void()>& action, const Wake& wake, const Wait& wait);

 private:
  bool busy_ = false;
};

}  // namespace vexo3
