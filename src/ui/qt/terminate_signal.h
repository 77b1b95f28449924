#pragma once

// SIGTERM, SIGINT and SIGHUP for the dialog program: instead of ending it
// at once (possibly in the middle of an upload), each becomes a call of
// onSignal(signal) on the Qt event loop, which also runs while an upload
// repaints.

#include <functional>

class QObject;

namespace vexo3 {

// Installs the handlers; parent owns the notifier. Call once, after the
// application object exists.
void WatchTerminateSignals(QObject* parent, std::function<void(int)> onSignal);

}  // namespace vexo3
