// vexo3-updater: the dialog program. Builds the one device session with its
// backend and clock, then runs the main dialog until it closes.

#include <QApplication>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "link/hardware_d2xx.h"
#include "link/replay_d2xx.h"
#include "platform/clock.h"
#include "protocol/device_session.h"
#include "sim/scenario/profile.h"
#include "sim/scenario/simulated_setup.h"
#include "sim/sim_bus.h"
#include "sim/units/hand_controller.h"
#include "ui/qt/screenshot.h"
#include "ui/qt/sivra_dlg.h"
#include "ui/qt/terminate_signal.h"
#include "ui/updater_options.h"

namespace {

// The profile of --simulate[=PROFILE]; the default scenario without a file.
bool LoadSimulation(const std::string& path, vexo3::sim::Profile* profile) {
  // The simulated line takes as long as the real one: no extra delay.
  if (path.empty())
    return true;
  std::string error;
  if (!vexo3::sim::LoadProfile(path, profile, &error)) {
    std::fprintf(stderr, "vexo3-updater: %s\n", error.c_str());
    return false;
  }
  return true;
}

// The device of --replay=FILE; null (with the reason on stderr) when the
// file can't be read or isn't a trace.
std::unique_ptr<vexo3::ReplayD2xx> LoadReplay(const std::string& path, vexo3::VirtualClock& clock) {
  vexo3::Trace trace;
  std::string error;
  if (!vexo3::LoadTraceFile(path, &trace, &error)) {
    std::fprintf(stderr, "vexo3-updater: \"%s\": %s\n", path.c_str(), error.c_str());
    return nullptr;
  }
  return std::make_unique<vexo3::ReplayD2xx>(std::move(trace), clock);
}

}  // namespace

int main(int argc, char** argv) {
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
      std::fprintf(stderr, "vexo3-updater: %s\n", error.c_str());
      return 1;
    }
    d2xx = &simulated->bus();
  } else {
    std::string error;
    hardware = vexo3::MakeHardwareD2xx(&error);
    if (!hardware) {
      std::fprintf(stderr, "vexo3-updater: %s\n", error.c_str());
      return 1;
    }
    d2xx = hardware.get();
  }

  int result = 0;
  {
    vexo3::DeviceSession session(*d2xx, clock);
    vexo3::CSivraDlg dialog(session);
    QApplication::setWindowIcon(dialog.windowIcon());  // for its boxes and dialogs too
    if (!options.screenshotDir.empty()) {
      result = vexo3::TakeScreenshots(dialog, options.screenshotDir) ? 0 : 1;
    } else {
      int caught = 0;
      vexo3::WatchTerminateSignals(&dialog, [&dialog, &caught](int sig) {
        caught = sig;
        dialog.RequestTerminate();
      });
      dialog.exec();  // its result means nothing: closing the dialog ends the program
      if (caught != 0)
        result = 128 + caught;
    }
  }
  if (replay && !replay->Finish().empty()) {
    // The session is gone, so its closing calls were checked too.
    std::fputs(replay->Report().c_str(), stderr);
    result = 5;
  }
  if (simulated) {
    // The session is gone, so the simulated units have seen the link close.
    std::string error;
    if (!simulated->SaveState(&error)) {
      std::fprintf(stderr, "vexo3-updater: %s\n", error.c_str());
      result = 1;
    }
  }
  return result;
}
