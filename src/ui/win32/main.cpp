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
#include "link/replay_d2xx.h"
#include "link/trace_format.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "protocol/device_session.h"
#include "sim/profile.h"
#include "sim/sim_bus.h"
#include "ui/updater_options.h"
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

// The profile of --simulate[=PROFILE]; the default scenario without a file.
bool LoadSimulation(const std::string& path, vexo3::sim::Profile* profile) {
  if (path.empty())
    return true;
  std::string error;
  if (!vexo3::sim::LoadProfile(path, profile, &error)) {
    Tell("vexo3-updater: " + error + "\n", true);
    return false;
  }
  return true;
}

// The device of --replay=FILE; null (with the reason told) when the file
// can't be read or isn't a trace.
std::unique_ptr<vexo3::ReplayD2xx> LoadReplay(const std::string& path, vexo3::VirtualClock& clock) {
  vexo3::Trace trace;
  std::string error;
  if (!vexo3::LoadTraceFile(path, &trace, &error)) {
    Tell("vexo3-updater: \"" + path + "\": " + error + "\n", true);
    return nullptr;
  }
  return std::make_unique<vexo3::ReplayD2xx>(std::move(trace), clock);
}

}  // namespace

int main() {
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

  vexo3::RealClock realClock;
  vexo3::VirtualClock replayClock;
  vexo3::Clock& clock =
      options.replay.empty() ? static_cast<vexo3::Clock&>(realClock) : replayClock;
  std::unique_ptr<vexo3::ReplayD2xx> replay;
  std::unique_ptr<vexo3::sim::SimulatedSetup> simulated;
  std::unique_ptr<vexo3::D2xxApi> hardware;
  vexo3::D2xxApi* d2xx = nullptr;
  if (!options.replay.empty()) {
    replay = LoadReplay(options.replay, replayClock);
    if (!replay)
      return 2;
    d2xx = replay.get();
  } else if (options.simulate) {
    vexo3::sim::Profile profile;
    if (!LoadSimulation(options.simulateProfile, &profile))
      return 2;
    simulated = std::make_unique<vexo3::sim::SimulatedSetup>(clock, profile);
    std::string error;
    if (!simulated->LoadState(&error)) {
      Tell("vexo3-updater: " + error + "\n", true);
      return 1;
    }
    d2xx = &simulated->bus();
  } else {
    std::string error;
    hardware = vexo3::MakeHardwareD2xx(&error);
    if (!hardware) {
      // Without the driver the dialog could do nothing but fail: say why.
      Tell("vexo3-updater: " + error + "\n", true);
      return 1;
    }
    d2xx = hardware.get();
  }

  int result = 0;
  {
    vexo3::DeviceSession session(*d2xx, clock);
    vexo3::CSivraDlg dialog(session);
    if (!options.screenshotDir.empty()) {
      result = vexo3::TakeScreenshots(dialog, options.screenshotDir) ? 0 : 1;
    } else {
      dialog.DoModal();  // its result means nothing: closing the dialog ends the program
    }
  }
  if (replay && !replay->Finish().empty()) {
    // The session is gone, so its closing calls were checked too.
    Tell(replay->Report(), true);
    result = 5;
  }
  if (simulated) {
    // The session is gone, so the simulated units have seen the link close.
    std::string error;
    if (!simulated->SaveState(&error)) {
      Tell("vexo3-updater: " + error + "\n", true);
      result = 1;
    }
  }
  return result;
}
