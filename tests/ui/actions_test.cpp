#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include <cstdio>
#include <string>
#include <vector>

#include "firmware/firmware_package.h"
#include "protocol/result_code.h"
#include "recorder_window.h"
#include "sim/units/package_writer.h"
#include "sim/units/sim_image.h"
#include "support/fixtures.h"
#include "support/sim_rig.h"
#include "ui/core/device_report.h"
#include "ui/core/package_summary.h"
#include "ui/core/sivra_actions.h"

namespace vexo3 {
namespace {

using sim::Fault;
using sim::FaultAction;
using sim::HandControllerConfig;
using sim::Unit;
using test::UpdatableConfig;
using testing::ElementsAre;

constexpr uint16_t kHcStart = 0x1234;
constexpr uint16_t kCameraStart = 0x5678;

// ctest runs each test in a process of its own, two at a time: keep their
// files apart.
std::string TempPath(const std::string& name) {
  return testing::TempDir() + "ui_" + std::to_string(::getpid()) + "_" + name;
}

// A package with both images; supportedPcb goes into the HC record's flags.
std::string WriteTestPackage(const std::string& name, uint8_t supportedPcb = 0,
                             bool withCamera = true) {
  std::vector<sim::PackageRecord> records = {
      test::SimRecord("HC", 0x0203, 0x1000, "HC test firmware", 5000, 7, kHcStart)};
  records[0].flags |= static_cast<uint16_t>(supportedPcb << 5);
  if (withCamera)
    records.push_back(
        test::SimRecord("CA", 0x0105, 0x2000, "Camera test firmware", 3000, 9, kCameraStart));
  const std::string path = TempPath(name);
  EXPECT_TRUE(sim::WritePackage(path, records));
  return path;
}

struct Fixture {
  explicit Fixture(HandControllerConfig cfg = UpdatableConfig()) : rig(cfg) {}

  void Load(const std::string& path) { ASSERT_EQ(package.LoadPackage(path), FirmwarePackage::kOk); }
  uint32_t Count(Unit unit, uint8_t command, uint8_t parameter) {
    return rig.hc.CommandCount(unit, command, parameter);
  }
  uint32_t EndUpdates() { return Count(Unit::HandController, 247, 143); }
  uint32_t CameraStops() { return Count(Unit::HandController, 244, 192); }

  SimRig rig;
  FirmwarePackage package;
  RecorderWindow window;
  SivraActions actions{rig.session, package, window};
};

const std::vector<std::string> kFailedTail = {
    "status:Update failed...", "end", "enable:browse", "enable:update", "enable:file", "redraw"};

// --- UpdateFirmware ---

TEST(UpdateFirmware, TickedImageAbsentDoesNothingAtAll) {
  struct Case {
    bool hc, camera, withCamera, loaded;
  };
  for (const Case c : {Case{true, false, true, false}, Case{false, true, false, true},
                       Case{true, true, false, true}}) {
    Fixture f;
    if (c.loaded)
      f.Load(WriteTestPackage("presence.bin", 0, c.withCamera));
    f.window.hcTicked = c.hc;
    f.window.cameraTicked = c.camera;
    f.actions.UpdateFirmware();
    EXPECT_TRUE(f.window.events.empty());
    EXPECT_EQ(f.rig.chip.CallCount(sim::D2xxCall::Open), 0u);
    EXPECT_TRUE(f.rig.chip.HostWrittenBytes().empty());
  }
}

TEST(UpdateFirmware, FullUpdateStatusSequence) {
  Fixture f;
  f.Load(WriteTestPackage("full.bin"));
  std::vector<std::pair<std::string, uint64_t>> timed;
  f.window.onEvent = [&](const std::string& e) { timed.emplace_back(e, f.rig.clock.NowMs()); };
  f.actions.UpdateFirmware();

  EXPECT_THAT(f.window.events,
              ElementsAre("disable:browse", "disable:update", "disable:file", "start",
                          "status:Reading device state...", "status:Uploading HC firmware...",
                          "status:Uploading Camera firmware...", "status:DONE ok", "end",
                          "enable:browse", "enable:update", "enable:file", "redraw"));
  EXPECT_GE(timed[6].second - timed[5].second, 100u);
  EXPECT_TRUE(f.window.boxes.empty());
  EXPECT_TRUE(f.rig.chip.IsOpen());  // the session stays open after success
  EXPECT_EQ(f.rig.hc.Flash(Unit::HandController),
            std::vector<uint8_t>(f.package.hcImage.data.get(),
                                 f.package.hcImage.data.get() + f.package.hcImage.length));
  EXPECT_EQ(f.rig.hc.Flash(Unit::Camera),
            std::vector<uint8_t>(f.package.cameraImage.data.get(),
                                 f.package.cameraImage.data.get() + f.package.cameraImage.length));
  // Progress reached each image's end.
  ASSERT_FALSE(f.window.progress.empty());
  EXPECT_EQ(f.window.progress.front().image, "HandController");
  EXPECT_EQ(f.window.progress.back().image, "Camera");
  EXPECT_EQ(f.window.progress.back().done, 3000u);
  EXPECT_EQ(f.window.progress.back().total, 3000u);
}

TEST(UpdateFirmware, BothBoxesUntickedStillChecksThenDone) {
  Fixture f;
  f.window.hcTicked = false;
  f.window.cameraTicked = false;
  f.actions.UpdateFirmware();
  EXPECT_EQ(f.window.statuses, (std::vector<std::string>{"Reading device state...", "DONE ok"}));
  EXPECT_EQ(f.Count(Unit::HandController, 248, 17), 1u);  // PCB id was read
  EXPECT_EQ(f.Count(Unit::HandController, 247, 48), 0u);  // nothing uploaded
}

struct FailureRow {
  const char* name;
  std::function<void(HandControllerConfig&)> configure;
  std::vector<Fault> faults;
  const char* caption;
  std::string text;
  uint32_t endUpdates;    // the HC upload's own, and the workflow's after 100/104
  uint32_t cameraStarts;  // Camera upload attempted
  bool noDevice = false;
};

void PrintTo(const FailureRow& row, std::ostream* os) {
  *os << row.name;
}

class UpdateFailure : public testing::TestWithParam<FailureRow> {};

TEST_P(UpdateFailure, OneBoxThenFailedAndClosed) {
  const FailureRow& row = GetParam();
  HandControllerConfig cfg = UpdatableConfig();
  if (row.configure)
    row.configure(cfg);
  Fixture f(cfg);
  for (const Fault& fault : row.faults)
    f.rig.hc.AddFault(fault);
  f.rig.chip.MutableInfo().inaccessible = row.noDevice;
  f.Load(WriteTestPackage("failure.bin", 2));
  uint32_t endUpdatesAtBox = 99;
  f.window.onEvent = [&](const std::string& e) {
    if (e.rfind("box:", 0) == 0)
      endUpdatesAtBox = f.EndUpdates();
  };
  f.actions.UpdateFirmware();

  ASSERT_EQ(f.window.boxes.size(), 1u);
  EXPECT_EQ(f.window.boxes[0].caption, row.caption);
  EXPECT_EQ(f.window.boxes[0].text, row.text);
  EXPECT_EQ(f.window.boxes[0].icon, MessageIcon::Error);
  EXPECT_EQ(f.window.boxes[0].buttons, MessageButtons::Ok);
  // The box comes before "Update failed..." and the close.
  std::vector<std::string> tail(f.window.events.end() - 7, f.window.events.end());
  EXPECT_EQ(tail.front(), std::string("box:") + row.caption);
  EXPECT_EQ(std::vector<std::string>(tail.begin() + 1, tail.end()), kFailedTail);
  EXPECT_FALSE(f.rig.chip.IsOpen());
  EXPECT_EQ(f.EndUpdates(), row.endUpdates);
  EXPECT_EQ(endUpdatesAtBox, row.endUpdates);  // EndUpdate comes before the box
  EXPECT_EQ(f.Count(Unit::HandController, 244, 193), row.cameraStarts);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UpdateFailure,
    testing::Values(
        FailureRow{
            "NoDevice", nullptr, {}, "Can't read device mode", DeviceErrorText(1), 0, 0, true},
        FailureRow{"ModeQueryRefused",
                   nullptr,
                   {Fault{Unit::HandController, 248, 1, 2, FaultAction::AnswerType, 0x13}},
                   "Can't read device mode",
                   ResultText(52),
                   0,
                   0},
        FailureRow{"AppMode",
                   [](HandControllerConfig& c) { c.mode = sim::UnitMode::App; },
                   {},
                   "ERROR",
                   "Device is not in boot mode",
                   0,
                   0},
        FailureRow{"ProtocolVersion0x100",
                   [](HandControllerConfig& c) { c.protocolVersion = 0x100; },
                   {},
                   "ERROR",
                   "Protocol version is wrong",
                   0,
                   0},
        FailureRow{"PcbQueryRefused",
                   nullptr,
                   {Fault{Unit::HandController, 248, 17, 1, FaultAction::AnswerType, 0x12}},
                   "Can't read PCB ID (version)",
                   ResultText(51),
                   0,
                   0},
        FailureRow{"HcUpdateProhibited102",
                   [](HandControllerConfig& c) { c.update.refuseOpen = true; },
                   {},
                   "HC firmware update error",
                   "Update is prohibited",
                   0,
                   0},
        FailureRow{"HcStartRefused104",
                   [](HandControllerConfig& c) { c.update.refuseStart = true; },
                   {},
                   "HC firmware update error",
                   "Update has failed",
                   1,
                   0},
        FailureRow{"HcCountMismatch100",
                   nullptr,
                   {Fault{Unit::HandController, 247, 218, 2, FaultAction::Status, 1}},
                   "HC firmware update error",
                   ResultText(100),
                   1,
                   0},
        FailureRow{"HcNoSpace107",
                   [](HandControllerConfig& c) { c.update.noSpace = true; },
                   {},
                   "HC firmware update error",
                   "No space for firmware",
                   0,
                   0},
        FailureRow{"CameraStartRefused",
                   [](HandControllerConfig& c) { c.camera.update.refuseStart = true; },
                   {},
                   "Camera firmware update error",
                   ResultText(106),
                   1,
                   1}),
    [](const testing::TestParamInfo<FailureRow>& info) { return info.param.name; });

TEST(UpdateFirmware, ProtocolVersion0xFFPasses) {
  Fixture f;  // UpdatableConfig() reports 0xFF
  f.window.hcTicked = false;
  f.window.cameraTicked = false;
  f.actions.UpdateFirmware();
  EXPECT_TRUE(f.window.boxes.empty());
  EXPECT_EQ(f.window.statuses.back(), "DONE ok");
}

TEST(UpdateFirmware, PcbWarningOnlyForNewerBoard) {
  // The simulated board reports PCB 2.
  struct Case {
    uint8_t supported;
    bool warned;
  };
  for (const Case c : {Case{3, true}, Case{2, false}, Case{0, false}}) {
    Fixture f;
    f.Load(WriteTestPackage("pcb.bin", c.supported));
    f.window.yesNoAnswer = MessageAnswer::Yes;
    f.actions.UpdateFirmware();
    if (c.warned) {
      ASSERT_EQ(f.window.boxes.size(), 1u);
      EXPECT_EQ(f.window.boxes[0].caption, "WARNING");
      EXPECT_EQ(f.window.boxes[0].icon, MessageIcon::Warning);
      EXPECT_EQ(f.window.boxes[0].buttons, MessageButtons::YesNo);
      EXPECT_EQ(f.window.boxes[0].text,
                "PCB version (0x2) is reported to be newer (lower value) than the Firmware "
                "supports (0x3).\r\nAre you sure to upload this into the device?\r\n\r\n(When "
                "doing this the Firmware may not work or even start but a serious error is "
                "indicated when trying to start.)");
    } else {
      EXPECT_TRUE(f.window.boxes.empty()) << int(c.supported);
    }
    EXPECT_EQ(f.window.statuses.back(), "DONE ok");
  }
}

TEST(UpdateFirmware, WarningAnsweredNoAbortsWithoutUpload) {
  Fixture f;
  f.Load(WriteTestPackage("no.bin", 3));
  f.window.yesNoAnswer = MessageAnswer::No;
  f.actions.UpdateFirmware();
  ASSERT_EQ(f.window.boxes.size(), 1u);
  EXPECT_EQ(f.window.statuses.back(), "Update failed...");
  EXPECT_FALSE(f.rig.chip.IsOpen());
  EXPECT_EQ(f.Count(Unit::HandController, 247, 48), 0u);
  EXPECT_EQ(f.Count(Unit::Camera, 247, 48), 0u);
}

TEST(UpdateFirmware, CameraOnlyInAppMode) {
  Fixture f(UpdatableConfig(sim::UnitMode::App));
  f.Load(WriteTestPackage("camonly.bin"));
  f.window.hcTicked = false;
  f.actions.UpdateFirmware();
  ASSERT_EQ(f.window.boxes.size(), 1u);
  EXPECT_EQ(f.window.boxes[0].text, "Device is not in boot mode");
  EXPECT_EQ(f.window.statuses.back(), "Update failed...");
}

// A box ticked after the presence test, for an image the package doesn't
// hold: the image is skipped, not sent from a null buffer.
TEST(UpdateFirmware, BoxTickedLateForAbsentImageIsSkipped) {
  Fixture f;
  f.Load(WriteTestPackage("late.bin", 0, false));
  f.package.cameraImage.length = 4096;  // stale field of an absent image
  f.window.cameraTicked = false;
  f.window.onEvent = [&](const std::string& e) {
    if (e == "status:Reading device state...")
      f.window.cameraTicked = true;
  };
  f.actions.UpdateFirmware();
  EXPECT_TRUE(f.window.boxes.empty());
  EXPECT_EQ(f.window.statuses.back(), "DONE ok");
  EXPECT_EQ(f.Count(Unit::Camera, 247, 48), 0u);
}

// --- ReadDeviceInfo ---

TEST(ReadDeviceInfo, BootModeReportWithCameraKeepsSessionOpen) {
  Fixture f;
  f.actions.ReadDeviceInfo();
  ASSERT_EQ(f.window.reports.size(), 1u);
  EXPECT_TRUE(f.window.boxes.empty());
  const std::string& report = f.window.reports[0];
  EXPECT_EQ(report.rfind("=== HandController's state:  BOOT MODE\n\n"
                         "USB-serial chip ID: VX300001\n"
                         "       description: \"Vexo-3 HandController\"\n\n"
                         "Unique ID:          \"VX3HC00000000001\"\n"
                         "Protocol version:   $00ff, $0001\n"
                         "Hardware ID:        2\n\n"
                         "Firmware version:   01.02.1\n"
                         "     description:   \"Vexo-3 HC main firmware\"\n"
                         "            size:   49152 bytes\n"
                         "            type:   main fw.\n"
                         "\n=== Camera's state:  BOOT MODE\n\n"
                         "Unique ID:          \"VX3CAM0000000001\"\n"
                         "Protocol version:   $0102, $0001\n"
                         "Hardware ID:        1\n\n"
                         "Firmware version:   01.04\n"
                         "     description:   \"Vexo-3 Camera firmware\"\n"
                         "            size:   65536 bytes\n",
                         0),
            0u)
      << report;
  EXPECT_EQ(f.CameraStops(), 1u);
  EXPECT_FALSE(f.rig.hc.CameraStarted());
  EXPECT_TRUE(f.rig.chip.IsOpen());
  EXPECT_TRUE(f.window.statuses.empty());  // the report touches no control
}

TEST(ReadDeviceInfo, AppModeCallsNoCameraOperation) {
  Fixture f(UpdatableConfig(sim::UnitMode::App));
  f.actions.ReadDeviceInfo();
  ASSERT_EQ(f.window.reports.size(), 1u);
  EXPECT_EQ(f.window.reports[0].find("Camera's state"), std::string::npos);
  EXPECT_EQ(f.Count(Unit::HandController, 244, 193), 0u);
  EXPECT_EQ(f.CameraStops(), 0u);
}

TEST(ReadDeviceInfo, CameraRefusingToStartIsReportedAndStopped) {
  HandControllerConfig cfg = UpdatableConfig();
  cfg.camera.update.refuseStart = true;
  Fixture f(cfg);
  f.actions.ReadDeviceInfo();
  ASSERT_EQ(f.window.reports.size(), 1u);
  const std::string& report = f.window.reports[0];
  const std::string tail = "\n=== Camera's state:  ERROR, can't access Camera...!\n\n";
  ASSERT_GE(report.size(), tail.size());
  EXPECT_EQ(report.substr(report.size() - tail.size()), tail);
  EXPECT_EQ(f.CameraStops(), 1u);
  EXPECT_TRUE(f.window.boxes.empty());
}

TEST(ReadDeviceInfo, MissingFirmwareInfoIsNoFailure) {
  HandControllerConfig cfg = UpdatableConfig();
  cfg.firmware.reset();
  Fixture f(cfg);
  f.actions.ReadDeviceInfo();
  ASSERT_EQ(f.window.reports.size(), 1u);
  EXPECT_NE(f.window.reports[0].find("Firmware version:   couldn't be read!\n=== Camera's state:"),
            std::string::npos);
}

TEST(ReadDeviceInfo, CameraStateFailureStopsCameraOnceThenOneBoxThenCloses) {
  Fixture f;
  // The second relayed command (the Camera's unique id) gets relay status 5.
  f.rig.hc.AddFault(Fault{Unit::HandController, 244, 60, 2, FaultAction::Status, 5});
  uint32_t stopsAtBox = 99;
  bool openAtBox = false;
  f.window.onEvent = [&](const std::string& e) {
    if (e == "box:ERROR") {
      stopsAtBox = f.CameraStops();
      openAtBox = f.rig.chip.IsOpen();
    }
  };
  f.actions.ReadDeviceInfo();
  EXPECT_TRUE(f.window.reports.empty());
  ASSERT_EQ(f.window.boxes.size(), 1u);
  EXPECT_EQ(f.window.boxes[0].caption, "ERROR");
  EXPECT_EQ(f.window.boxes[0].text, ResultText(66));
  EXPECT_EQ(f.window.boxes[0].icon, MessageIcon::Error);
  EXPECT_EQ(stopsAtBox, 1u);
  EXPECT_TRUE(openAtBox);
  EXPECT_EQ(f.CameraStops(), 1u);
  EXPECT_FALSE(f.rig.chip.IsOpen());
}

TEST(ReadDeviceInfo, NoDeviceShowsOpenFailureText) {
  Fixture f;
  f.rig.chip.MutableInfo().inaccessible = true;
  f.actions.ReadDeviceInfo();
  ASSERT_EQ(f.window.boxes.size(), 1u);
  EXPECT_EQ(f.window.boxes[0].caption, "ERROR");
  EXPECT_EQ(f.window.boxes[0].text, DeviceErrorText(1));
  EXPECT_EQ(f.CameraStops(), 0u);
  EXPECT_TRUE(f.window.reports.empty());
}

// --- Package choice ---

TEST(BrowseFirmwareFile, CancelChangesNothing) {
  Fixture f;
  f.Load(WriteTestPackage("keep.bin"));
  f.window.fileText = "keep";
  f.actions.BrowseFirmwareFile();
  EXPECT_THAT(f.window.events, ElementsAre("choose"));
  EXPECT_TRUE(f.package.hcImage.IsPresent());
}

TEST(BrowseFirmwareFile, ChosenFileIsLoadedAndSummarised) {
  Fixture f;
  f.window.chosenFile = WriteTestPackage("chosen \xC3\xBC.bin");  // non-Latin-1 safe UTF-8 name
  f.actions.BrowseFirmwareFile();
  EXPECT_THAT(f.window.events, ElementsAre("choose", "file:" + *f.window.chosenFile, "summary"));
  EXPECT_EQ(*f.window.summary,
            "HC firmware:\n  \"HC test firmware\"\n    ver. 02.03.1\n"
            "Camera firmware\n  \"Camera test firmware\"\n    ver. 01.05.2\n\n");
  EXPECT_TRUE(f.package.cameraImage.IsPresent());
}

TEST(LoadSelectedPackage, FailureShowsBoxAndReleasesPackage) {
  Fixture f;
  // A good HC record, then a Camera record cut inside its data.
  const std::string good = WriteTestPackage("good.bin");
  std::vector<sim::PackageRecord> records(2);
  records[0].kind = "HC";
  records[0].data = std::vector<uint8_t>(100, 1);
  records[1].kind = "CA";
  records[1].data = std::vector<uint8_t>(100, 2);
  const std::string broken = TempPath("broken.bin");
  ASSERT_TRUE(sim::WritePackage(broken, records, 6 + 52 + 100 + 52 + 10));

  f.window.fileText = good;
  f.actions.LoadSelectedPackage();
  f.window.events.clear();
  f.window.fileText = broken;
  f.actions.LoadSelectedPackage();

  ASSERT_EQ(f.window.boxes.size(), 1u);
  EXPECT_EQ(f.window.boxes[0].caption, "Loading failed");
  EXPECT_EQ(f.window.boxes[0].text, "Error: " + LoaderErrorText(3, broken));
  EXPECT_EQ(f.window.boxes[0].icon, MessageIcon::Error);
  EXPECT_THAT(f.window.events, ElementsAre("box:Loading failed", "summary"));
  EXPECT_EQ(*f.window.summary, "");
  EXPECT_FALSE(f.package.hcImage.IsPresent());
  EXPECT_FALSE(f.package.cameraImage.IsPresent());

  // The update button then does nothing, as with no package.
  f.window.events.clear();
  f.actions.UpdateFirmware();
  EXPECT_TRUE(f.window.events.empty());
}

TEST(LoadSelectedPackage, MissingFileNamesTheFile) {
  Fixture f;
  f.window.fileText = TempPath("does-not-exist.bin");
  f.actions.LoadSelectedPackage();
  ASSERT_EQ(f.window.boxes.size(), 1u);
  EXPECT_EQ(f.window.boxes[0].text,
            "Error: The file \"" + f.window.fileText + "\" can't be opened.");
}

// --- The update engine's outcomes ---

// The engine's view, questions and stop at once: records what it shows,
// answers every question alike, and asks for a stop at a chosen moment.
struct EngineRecorder final : UpdateView, QuestionPolicy, StopPolicy {
  enum class StopAt { Never, AtQuestion, HcProgress, HcChunk };
  bool answer = true;
  StopAt stopAt = StopAt::Never;
  StopFlag stop;
  std::vector<std::string> statuses;
  std::vector<std::string> boxes;
  std::vector<QuestionKind> asked;

  void OnStage(UpdateStage, const std::string& status) override { statuses.push_back(status); }
  void ShowError(const std::string& caption, const std::string&) override {
    boxes.push_back(caption);
  }
  void OnProgress(vexo3::Unit unit, uint64_t done, uint64_t total) override {
    if (unit != vexo3::Unit::HandController || done >= total)
      return;
    if (stopAt == StopAt::HcProgress)
      stop.Request(StopRequest::AfterUnit);
    if (stopAt == StopAt::HcChunk)
      stop.Request(StopRequest::BetweenChunks);
  }
  bool Answer(const Question& q) override {
    asked.push_back(q.kind);
    if (stopAt == StopAt::AtQuestion)
      stop.Request(StopRequest::AfterUnit);
    return answer;
  }
  StopRequest Requested() override { return stop.Requested(); }
};

// One unit's outcome as a word: "written", "verified", "incomplete 4096/5000",
// "failed", "skipped:stopped", "not asked".
std::string Word(const UnitOutcome& o) {
  switch (o.state) {
    case UnitState::NotAsked:
      return "not asked";
    case UnitState::Verified:
      return "verified";
    case UnitState::Written:
      return o.unverified == Unverified::ReadFailed ? "written:read failed" : "written";
    case UnitState::Incomplete:
      return "incomplete " + std::to_string(o.bytesDone) + "/" + std::to_string(o.bytesTotal);
    case UnitState::FailedBeforeData:
      return "failed";
    case UnitState::Skipped:
      break;
  }
  switch (o.skipped) {
    case SkipReason::NoImage:
      return "skipped:no image";
    case SkipReason::UpToDate:
      return "skipped:up to date";
    case SkipReason::Stopped:
      return "skipped:stopped";
    case SkipReason::NotReached:
      return "skipped:not reached";
    case SkipReason::None:
      break;
  }
  return "?";
}

// Every way an update ends, for every front end: what each unit holds
// afterwards, the closing status, the refusal and the failed step.
TEST(UpdateEngine, Outcomes) {
  using R = UpdateRefusal;
  using S = UpdateStep;
  using Stop = EngineRecorder::StopAt;
  using C = HandControllerConfig;
  struct Row {
    const char* name;
    std::function<void(C&)> setup;
    std::vector<Fault> faults;
    bool verify;
    bool answer;
    Stop stopAt;
    const char* status;  // the last; "" when the workflow never ran
    R refusal;
    S step;
    ResultCode code;
    const char* hc;
    const char* camera;
  };
  const auto hcAt = [](uint16_t version) {
    return [version](C& c) { c.firmware->version = version; };
  };
  const Fault hcChunk1{Unit::HandController, 247, 218, 2, FaultAction::Timeout};
  const Fault hcChunk2Mismatch{Unit::HandController, 247, 218, 3, FaultAction::Status, 1};
  const Fault cameraChunk1{Unit::Camera, 247, 218, 1, FaultAction::ShortFrame};
  // The first 248/1 is the handshake's; the second the first mode query.
  const Fault firstQuery{Unit::HandController, 248, 1, 2, FaultAction::AnswerType, 0x13};
  const Fault readAfter{Unit::HandController, 248, 1, 4, FaultAction::AnswerType, 0x13};
  // clang-format off
  const Row rows[] = {
    {"done",                 nullptr, {}, false, true, Stop::Never, "DONE ok", R::None, S::None, 0, "written", "written"},
    {"mode query fails",     nullptr, {firstQuery}, false, true, Stop::Never, "Update failed...", R::None, S::ReadMode, 52, "skipped:not reached", "skipped:not reached"},
    {"app mode",             [](C& c) { c.mode = sim::UnitMode::App; }, {}, false, true, Stop::Never, "Update failed...", R::NotBootMode, S::None, 0, "skipped:not reached", "skipped:not reached"},
    {"protocol version",     [](C& c) { c.protocolVersion = 0x100; }, {}, false, true, Stop::Never, "Update failed...", R::ProtocolVersion, S::None, 0, "skipped:not reached", "skipped:not reached"},
    {"pcb declined",         [](C& c) { c.pcbId = 0; }, {}, false, false, Stop::Never, "Update failed...", R::PcbDeclined, S::None, 0, "skipped:not reached", "skipped:not reached"},
    {"hc refuses start",     [](C& c) { c.update.refuseStart = true; }, {}, false, true, Stop::Never, "Update failed...", R::None, S::UploadHc, 104, "failed", "skipped:not reached"},
    {"hc first chunk",       nullptr, {hcChunk1}, false, true, Stop::Never, "Update failed...", R::None, S::UploadHc, 9, "incomplete 0/5000", "skipped:not reached"},
    {"hc second chunk",      nullptr, {hcChunk2Mismatch}, false, true, Stop::Never, "Update failed...", R::None, S::UploadHc, 100, "incomplete 4096/5000", "skipped:not reached"},
    {"camera refuses start", [](C& c) { c.camera.update.refuseStart = true; }, {}, false, true, Stop::Never, "Update failed...", R::None, S::UploadCamera, 106, "written", "failed"},
    {"camera first chunk",   nullptr, {cameraChunk1}, false, true, Stop::Never, "Update failed...", R::None, S::UploadCamera, 101, "written", "incomplete 0/3000"},
    {"stop at the question", [](C& c) { c.pcbId = 0; }, {}, false, true, Stop::AtQuestion, "Update stopped...", R::None, S::None, 0, "skipped:stopped", "skipped:stopped"},
    {"stop after the unit",  nullptr, {}, false, true, Stop::HcProgress, "Update stopped...", R::None, S::None, 0, "written", "skipped:stopped"},
    {"stop between chunks",  nullptr, {}, false, true, Stop::HcChunk, "Update stopped...", R::None, S::None, 0, "incomplete 4096/5000", "skipped:stopped"},
    {"verified",             nullptr, {}, true, true, Stop::Never, "DONE ok", R::None, S::None, 0, "verified", "verified"},
    {"hc up to date",        hcAt(0x0203), {}, true, true, Stop::Never, "DONE ok", R::None, S::None, 0, "skipped:up to date", "verified"},
    {"downgrade declined",   hcAt(0x0300), {}, true, false, Stop::Never, "", R::DowngradeDeclined, S::None, 0, "skipped:not reached", "skipped:not reached"},
    {"downgrade accepted",   hcAt(0x0300), {}, true, true, Stop::Never, "DONE ok", R::None, S::None, 0, "verified", "verified"},
    {"unreadable, declined", nullptr, {firstQuery}, true, false, Stop::Never, "", R::UnreadableDeclined, S::ReadBefore, 52, "skipped:not reached", "skipped:not reached"},
    {"unreadable, accepted", nullptr, {firstQuery}, true, true, Stop::Never, "DONE ok", R::None, S::None, 0, "verified", "verified"},
    {"reading after fails",  nullptr, {readAfter}, true, true, Stop::Never, "DONE ok", R::None, S::ReadAfter, 52, "written:read failed", "written:read failed"},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HandControllerConfig cfg = UpdatableConfig();
    if (row.setup)
      row.setup(cfg);
    Fixture f(cfg);
    for (const Fault& fault : row.faults)
      f.rig.hc.AddFault(fault);
    f.Load(WriteTestPackage("engine.bin", 2));
    EngineRecorder r;
    r.answer = row.answer;
    r.stopAt = row.stopAt;
    UpdateEngine engine(f.rig.session, f.package, r, r, r);
    UpdateRequest request;
    request.verify = row.verify;
    const UpdateOutcome o = engine.Run(request);
    EXPECT_TRUE(o.ran);
    EXPECT_EQ(r.statuses.empty() ? "" : r.statuses.back(), std::string(row.status));
    EXPECT_EQ(o.refusal, row.refusal);
    EXPECT_EQ(o.failedStep, row.step);
    EXPECT_EQ(o.code, row.code);
    EXPECT_EQ(Word(o.hc), row.hc);
    EXPECT_EQ(Word(o.camera), row.camera);
    // One box per failed step; none for a refusal by question or a stop.
    EXPECT_EQ(r.boxes.size(),
              (row.step != S::None && row.step != S::ReadBefore && row.step != S::ReadAfter) ||
                      row.refusal == R::NotBootMode || row.refusal == R::ProtocolVersion
                  ? 1u
                  : 0u);
    EXPECT_EQ(o.Succeeded(), std::string(row.status) == "DONE ok" && row.step == S::None);
    EXPECT_EQ(o.Declined(), row.refusal == R::PcbDeclined || row.refusal == R::DowngradeDeclined ||
                                row.refusal == R::UnreadableDeclined);
    // Nothing reaches a unit after a refusal before the workflow.
    if (r.statuses.empty()) {
      EXPECT_EQ(f.Count(Unit::HandController, 247, 48), 0u);
    }
  }
}

// Every unit already holds the package's version: nothing is sent after
// the reading, and the run counts as done; --force writes them anyway.
TEST(UpdateEngine, NothingToWriteUnlessForced) {
  for (const bool force : {false, true}) {
    HandControllerConfig cfg = UpdatableConfig();
    cfg.firmware->version = 0x0203;
    cfg.camera.firmware->version = 0x0105;
    cfg.camera.firmware->flags = 0x2000;
    Fixture f(cfg);
    f.Load(WriteTestPackage("same.bin"));
    EngineRecorder r;
    UpdateEngine engine(f.rig.session, f.package, r, r, r);
    UpdateRequest request;
    request.verify = true;
    request.force = force;
    const UpdateOutcome o = engine.Run(request);
    EXPECT_EQ(o.NothingToWrite(), !force);
    EXPECT_TRUE(o.Succeeded());
    EXPECT_EQ(Word(o.hc), force ? "verified" : "skipped:up to date");
    EXPECT_EQ(r.statuses.empty(), !force);
  }
}

// The dialog's view of the engine: the strip hears of the end with the
// unit that failed, before the controls come back.
TEST(UpdateFirmware, TheStripHearsWhichUnitFailed) {
  HandControllerConfig cfg = UpdatableConfig();
  cfg.camera.update.refuseStart = true;
  Fixture f(cfg);
  f.Load(WriteTestPackage("strip.bin"));
  const UpdateOutcome outcome = f.actions.UpdateFirmware();
  ASSERT_EQ(f.window.outcomes.size(), 1u);
  EXPECT_EQ(f.window.outcomes[0].FailedUnit(), vexo3::Unit::Camera);
  EXPECT_EQ(outcome.FailedUnit(), vexo3::Unit::Camera);
  EXPECT_THAT(std::vector<std::string>(f.window.events.end() - 5, f.window.events.end()),
              ElementsAre("end", "enable:browse", "enable:update", "enable:file", "redraw"));
}

}  // namespace
}  // namespace vexo3
