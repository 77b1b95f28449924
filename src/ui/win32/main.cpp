// vexo3-updater.exe: the dialog program for Windows. Builds the one device
// session with its backend and clock, then runs the main dialog until it
// closes.

#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "link/hardware_d2xx.h"
#include "platform/console.h"
#include "protocol/device_session.h"
#include "run/device_source.h"
#include "ui/core/updater_options.h"
#include "ui/win32/screenshot.h"
#include "ui/win32/sivra_dlg.h"

namespace {

// The command line as UTF-8, without the program's name.
std::vector<std::string> Arguments() {
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (argv == nullptr)
    return {};
  std::vector<std::string> args = vexo3::Utf8Arguments(count, argv);
  LocalFree(argv);
  if (!args.empty())
    args.erase(args.begin());
  return args;
}

// A GUI program has no console of its own: write into the one it was started
// from, or into the handles it was given (a pipe, wine's terminal), and show
// a box when there is neither.
void Tell(const std::string& text, bool error) {
  static const bool console = [] {
    if (GetStdHandle(STD_ERROR_HANDLE) != nullptr)
      return true;
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
      return false;
    // The C streams were set up before there was a console to write to.
    return std::freopen("CONOUT$", "w", stdout) != nullptr &&
           std::freopen("CONOUT$", "w", stderr) != nullptr;
  }();
  if (console) {
    std::FILE* out = error ? stderr : stdout;
    std::fputs(text.c_str(), out);
    std::fflush(out);
    return;
  }
  MessageBoxW(nullptr, vexo3::WideFromUtf8(text).c_str(), L"vexo3-updater",
              error ? MB_ICONHAND : MB_ICONINFORMATION);
}

int Fail(const vexo3::SourceError& error) {
  Tell(vexo3::SourceErrorMessage("vexo3-updater", error), true);
  return vexo3::ExitStatusFor(error.reason);
}

}  // namespace

int main() {
  vexo3::OpenClosedStandardDescriptors();
  const vexo3::UpdaterOptions options = vexo3::ParseUpdaterOptions(Arguments());
  if (options.help) {
    Tell(vexo3::UpdaterUsage(vexo3::UsageFor::Win32), false);
    return 0;
  }
  if (!options.error.empty()) {
    Tell("vexo3-updater: " + options.error + "\n" + vexo3::UpdaterUsage(vexo3::UsageFor::Win32),
         true);
    return 2;
  }

  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);

  // Without the driver the dialog could do nothing but fail: it says why.
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
    if (!options.screenshotDir.empty()) {
      result = vexo3::TakeScreenshots(dialog, options.screenshotDir) ? 0 : 1;
    } else {
      dialog.DoModal();  // its result means nothing: closing the dialog ends the program
    }
  }
  // The session is gone, so its closing calls count too.
  for (const vexo3::SourceError& failure : source->Finish()) {
    Tell(vexo3::SourceErrorMessage("vexo3-updater", failure), true);
    if (failure.reason == vexo3::SourceFailure::ReplayDiverged || result == 0)
      result = vexo3::ExitStatusFor(failure.reason);
  }
  return result;
}
