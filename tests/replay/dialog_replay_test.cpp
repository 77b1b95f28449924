// The dialog's actions (what vexo3-updater runs, one session across its
// buttons) recorded against the simulated device and replayed from the trace:
// the window sees the same statuses, boxes, progress and reports.

#include <gtest/gtest.h>

#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "firmware/firmware_package.h"
#include "link/replay_d2xx.h"
#include "link/trace_d2xx.h"
#include "platform/clock.h"
#include "protocol/device_session.h"
#include "sim/scenario/profile.h"
#include "sim/scenario/simulated_setup.h"
#include "ui/core/sivra_actions.h"
#include "ui/recorder_window.h"

namespace vexo3 {
namespace {

// "Read device info", "..." (the package), "Update firmwares", "Read device
// info" again; everything the window was told, as text.
std::string ClickThrough(D2xxApi& d2xx, Clock& clock) {
  RecorderWindow window;
  window.chosenFile = std::string(VEXO3_REPLAY_DIR) + "/packages/small.bin";
  window.yesNoAnswer = MessageAnswer::Yes;
  FirmwarePackage package;
  {
    DeviceSession session(d2xx, clock);
    SivraActions actions(session, package, window);
    actions.ReadDeviceInfo();
    actions.BrowseFirmwareFile();
    actions.UpdateFirmware();
    actions.ReadDeviceInfo();
  }
  std::ostringstream seen;
  for (const std::string& e : window.events)
    seen << e << "\n";
  for (const RecordedBox& b : window.boxes)
    seen << "box " << b.caption << ": " << b.text << "\n";
  for (const RecordedProgress& p : window.progress)
    seen << p.image << " " << p.done << "/" << p.total << "\n";
  for (const std::string& r : window.reports)
    seen << r;
  return seen.str();
}

struct DialogCase {
  const char* name;
  const char* profile;  // in tests/replay/profiles
  const char* outcome;  // the update's last status text
};

void PrintTo(const DialogCase& c, std::ostream* os) {
  *os << c.name;
}

class DialogReplay : public testing::TestWithParam<DialogCase> {};

TEST_P(DialogReplay, ShowsWhatTheRecordedRunShowed) {
  sim::Profile profile;
  std::string error;
  ASSERT_TRUE(sim::LoadProfile(std::string(VEXO3_REPLAY_DIR) + "/profiles/" + GetParam().profile,
                               &profile, &error))
      << error;
  VirtualClock clock;
  sim::SimulatedSetup setup(clock, profile);
  std::ostringstream recorded;
  std::string live;
  {
    TraceD2xx trace(setup.bus(), clock, recorded);
    live = ClickThrough(trace, clock);
  }
  Trace parsed;
  ASSERT_TRUE(ParseTrace(recorded.str(), &parsed, &error)) << error;

  VirtualClock replayClock;
  ReplayD2xx replay(parsed, replayClock);
  std::ostringstream replayed;
  std::string again;
  {
    TraceD2xx trace(replay, replayClock, replayed);
    again = ClickThrough(trace, replayClock);
  }
  EXPECT_NE(live.find(std::string("status:") + GetParam().outcome + "\n"), std::string::npos)
      << live;
  EXPECT_EQ(replay.Finish(), "");
  EXPECT_EQ(again, live);
  EXPECT_EQ(replayed.str(), recorded.str());
  EXPECT_EQ(replayClock.Now(), clock.Now());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Profiles, DialogReplay, testing::Values(
    DialogCase{"Boot", "boot.json", "DONE ok"},
    DialogCase{"AppMode", "app-mode.json", "Update failed..."},
    DialogCase{"HcRefusesStart", "hc-refuses-start.json", "Update failed..."},
    DialogCase{"CameraRefusesStart", "camera-refuses-start.json", "Update failed..."},
    DialogCase{"ModeChange", "mode-change.json", "Update failed..."},
    DialogCase{"CameraSilent", "camera-silent.json", "Update failed..."},
    DialogCase{"PowerOff", "power-off.json", "Update failed..."},
    DialogCase{"NoDevice", "no-device.json", "Update failed..."}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace vexo3
