// vexo3-updater: the dialog program. Builds the one device session with its
// backend and clock, then runs the main dialog until it closes.

#include <QApplication>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "link/hardware_d2xx.h"
#include "platform/console.h"
#include "protocol/device_session.h"
#include "run/device_source.h"
#include "ui/core/updater_options.h"
#include "ui/qt/screenshot.h"
#include "ui/qt/sivra_dlg.h"
#include "ui/qt/terminate_signal.h"

namespace {

int Fail(const vexo3::SourceError& error) {
  std::fputs(vexo3::SourceErrorMessage("vexo3-updater", error).c_str(), stderr);
  return vexo3::ExitStatusFor(error.reason);
}

}  // namespace
int main(int argc, char** argv) {
  vexo3::OpenClosedStandardDescriptors();
  // Read before the application object, which needs a display.
  vexo3::UpdaterOptions options =
      vexo3::ParseUpdaterOptionsBeforeQt(std::vector<std::string>(argv + 1, argv + argc));
  if (options.help) {
    std::fputs(vexo3::UpdaterUsage(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (!options.error.empty()) {
    std::fprintf(stderr, "vexo3-updater: %s\n%s", options.error.c_str(), vexo3::UpdaterUsage());
    return 2;
  }

  QApplication app(argc, argv);  // takes Qt's own options out of argv
  options = vexo3::ParseUpdaterOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!options.error.empty()) {
    std::fprintf(stderr, "vexo3-updater: %s\n%s", options.error.c_str(), vexo3::UpdaterUsage());
    return 2;
  }

  vexo3::SourceError error;
  std::unique_ptr<vexo3::DeviceSource> source =
      vexo3::DeviceSource::Open(vexo3::UpdaterSource(options, vexo3::MakeHardwareD2xx), &error);
  if (!source)
    return Fail(error);
  // The dialog reads nothing before its first action: the trace can start.
  if (!source->StartTrace({}, &error))
    return Fail(error);

  int result = 0;
  {
    vexo3::DeviceSession session(source->d2xx(), source->clock());
    vexo3::CSivraDlg dialog(session);
    QApplication::setWindowIcon(dialog.windowIcon());  // for its boxes and dialogs too
    if (!options.screenshotDir.empty()) {
      result = vexo3::TakeScreenshots(dialog, options.screenshotDir) ? 0 : 1;
    } else {
      int caught = 0;
      vexo3::WatchTerminateSignals(&dialog, [&dialog, &caught](int sig) {
        caught = sig;
        dialog.RequestTerminate(sig);
      });
      dialog.exec();  // its result means nothing: closing the dialog ends the program
      if (caught != 0)
        result = 128 + caught;
    }
  }
  // The session is gone, so its closing calls count too.
  for (const vexo3::SourceError& failure : source->Finish()) {
    std::fputs(vexo3::SourceErrorMessage("vexo3-updater", failure).c_str(), stderr);
    if (failure.reason == vexo3::SourceFailure::ReplayDiverged || result == 0)
      result = vexo3::ExitStatusFor(failure.reason);
  }
  return result;
}
