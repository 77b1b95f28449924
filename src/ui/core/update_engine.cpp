#include "ui/core/update_engine.h"

#include <algorithm>
#include <cstdio>

#include "device/camera.h"
#include "device/hand_controller.h"
#include "platform/clock.h"
#include "ui/core/text_format.h"

namespace vexo3 {
namespace {

constexpr const char* kPcbWarningFormat =
    "PCB version (0x%1x) is reported to be newer (lower value) than the Firmware supports "
    "(0x%1x).\r\nAre you sure to upload this into the device?\r\n\r\n(When doing this the "
    "Firmware may not work or even start but a serious error is indicated when trying to "
    "start.)";

const char* StatusText(UpdateStage stage) {
  switch (stage) {
    case UpdateStage::ReadingDevice:
      return "Reading device state...";
    case UpdateStage::UploadingHandController:
      return "Uploading HC firmware...";
    case UpdateStage::UploadingCamera:
      return "Uploading Camera firmware...";
    case UpdateStage::Done:
      return "DONE ok";
    case UpdateStage::Failed:
      return "Update failed...";
    case UpdateStage::Stopped:
      return "Update stopped...";
  }
  return "";
}

// One upload's progress: what the unit took, whether its image began to go
// out, and the stop between two chunks.
class UnitProgress final : public ProgressObserver {
 public:
  UnitProgress(UpdateView& view, StopPolicy& stop, Unit unit, UnitOutcome& outcome)
      : view_(view), stop_(stop), unit_(unit), outcome_(outcome) {}
  void OnFirstChunk() override { imageBegan_ = true; }
  void OnProgress(uint64_t done, uint64_t total) override {
    outcome_.bytesDone = done;
    outcome_.bytesTotal = total;
    view_.OnProgress(unit_, done, total);
  }
  bool StopRequested() override {
    cut_ = stop_.Requested() == StopRequest::BetweenChunks;
    return cut_;
  }
  bool imageBegan() const { return imageBegan_; }
  bool cut() const { return cut_; }

 private:
  UpdateView& view_;
  StopPolicy& stop_;
  Unit unit_;
  UnitOutcome& outcome_;
  bool imageBegan_ = false;
  bool cut_ = false;
};

}  // namespace

std::string Join(const std::vector<std::string>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0)
      out += i + 1 == names.size() ? " and " : ", ";
    out += names[i];
  }
  return out;
}

std::string_view UnitName(Unit unit) {
  return unit == Unit::HandController ? "HandController" : "Camera";
}

std::string FirmwareVersion::Text() const {
  char text[16];
  std::snprintf(text, sizeof text, "%02x.%02x.%x", version >> 8, version & 0xFF, revision);
  return text;
}

std::optional<FirmwareVersion> HeldVersion(const DeviceReportRecords& r, Unit unit) {
  if (unit == Unit::HandController) {
    if (r.firmwareInfoMissing || r.hcFirmware.status != 0)
      return std::nullopt;
    return FirmwareVersion{r.hcFirmware.version, r.hcFirmware.revision()};
  }
  if (!r.cameraAccessed || r.cameraFirmware.status != 0)
    return std::nullopt;
  return FirmwareVersion{r.cameraFirmware.version, r.cameraFirmware.revision()};
}

FirmwareVersion PackageVersion(const FirmwareImage& image) {
  return FirmwareVersion{image.version, image.revision()};
}

const FirmwareImage& PackageImage(const FirmwarePackage& package, Unit unit) {
  return unit == Unit::HandController ? package.hcImage : package.cameraImage;
}

std::string PcbWarningText(unsigned pcb, unsigned supported) {
  std::string text;
  AppendFormat(text, kPcbWarningFormat, pcb, supported);
  return text;
}

ResultCode QueryDevice(DeviceSession& session, DeviceReportRecords* records) {
  DeviceState& hc = records->hc;
  bool cameraStarted = false;
  auto fail = [&](ResultCode code) {
    if (cameraStarted)
      StopCamera(session);  // owed once StartCamera was called
    return code;
  };

  ResultCode r = ReadDeviceState(session, hc);
  if (r != kOk)
    return fail(r);

  if (hc.bootMode) {
    cameraStarted = true;
    r = StartCamera(session);
    if (r == kOk) {
      r = ReadCameraState(session, &records->camera);
      if (r != kOk)
        return fail(r);
      r = ReadCameraFirmwareInfo(session, &records->cameraFirmware);
      if (r != kOk)
        return fail(r);
      records->cameraAccessed = true;
    } else if (r != kCameraStartFailed) {
      // A Camera that can't be started is what the report says, not a failure.
      return fail(r);
    }
    cameraStarted = false;
    r = StopCamera(session);
    if (r != kOk)
      return fail(r);
  }

  r = ReadFirmwareInfo(session, &records->hcFirmware);
  if (r == kNoAnswerParameter) {
    records->firmwareInfoMissing = true;
  } else if (r != kOk) {
    return fail(r);
  }
  return kOk;
}

// --- Policies ---

void PresetAnswers::Set(QuestionKind kind, bool answer) {
  answers_.emplace_back(kind, answer);
}

bool PresetAnswers::Answer(const Question& question) {
  for (const auto& [kind, answer] : answers_) {
    if (kind == question.kind)
      return answer;
  }
  return otherwise_;
}

void StopFlag::Request(StopRequest request) {
  const int wanted = static_cast<int>(request);
  int now = request_.load();
  while (now < wanted && !request_.compare_exchange_weak(now, wanted)) {
  }
}

StopRequest StopFlag::Requested() {
  return static_cast<StopRequest>(request_.load());
}

std::function<bool(Unit)> UpdateRequest::Units(bool hc, bool camera) {
  return [hc, camera](Unit u) { return u == Unit::HandController ? hc : camera; };
}

// --- The outcome ---

bool UnitOutcome::StillToWrite() const {
  switch (state) {
    case UnitState::Incomplete:
    case UnitState::FailedBeforeData:
      return true;
    case UnitState::Skipped:
      return skipped == SkipReason::Stopped || skipped == SkipReason::NotReached;
    case UnitState::NotAsked:
    case UnitState::Verified:
    case UnitState::Written:
      return false;
  }
  return false;
}

bool UpdateOutcome::Succeeded() const {
  if (!ran || end != UpdateStage::Done || failedStep != UpdateStep::None)
    return false;
  for (const Unit u : kUnits) {
    const UnitOutcome& o = unit(u);
    if (o.StillToWrite())
      return false;
    if (o.state == UnitState::Written && o.unverified != Unverified::NotAsked)
      return false;
  }
  return true;
}

bool UpdateOutcome::Declined() const {
  return refusal == UpdateRefusal::PcbDeclined || refusal == UpdateRefusal::DowngradeDeclined ||
         refusal == UpdateRefusal::UnreadableDeclined;
}

bool UpdateOutcome::NothingToWrite() const {
  bool upToDate = false;
  for (const Unit u : kUnits) {
    const UnitOutcome& o = unit(u);
    if (o.state == UnitState::Skipped && o.skipped == SkipReason::UpToDate)
      upToDate = true;
    else if (o.state != UnitState::NotAsked)
      return false;
  }
  return ran && upToDate;
}

std::optional<Unit> UpdateOutcome::FailedUnit() const {
  for (const Unit u : kUnits) {
    const UnitState s = unit(u).state;
    if (s == UnitState::Incomplete || s == UnitState::FailedBeforeData)
      return u;
  }
  return std::nullopt;
}

UnitLists ListUnits(const UpdateOutcome& outcome) {
  UnitLists lists;
  for (const Unit u : kUnits) {
    const UnitOutcome& o = outcome.unit(u);
    const std::string name(UnitName(u));
    if (o.WrittenCompletely())
      lists.written.push_back(name);
    else if (o.state == UnitState::Incomplete)
      lists.incomplete.push_back(name);
    else if (o.state == UnitState::Skipped && o.skipped == SkipReason::UpToDate)
      lists.upToDate.push_back(name);
    else if (o.state != UnitState::NotAsked)
      lists.notWritten.push_back(name);
  }
  return lists;
}

std::string UnitsReport(const std::string& headline, const UpdateOutcome& outcome) {
  const UnitLists lists = ListUnits(outcome);
  std::string out = headline + "\n";
  if (!lists.written.empty())
    out += "  Written completely: " + Join(lists.written) + ".\n";
  for (const Unit u : kUnits) {
    const UnitOutcome& o = outcome.unit(u);
    if (o.state != UnitState::Incomplete)
      continue;
    out += "  The " + std::string(UnitName(u)) + " holds an incomplete image (" +
           std::to_string(o.bytesDone) + " of " + std::to_string(o.bytesTotal) +
           " bytes taken): its firmware won't start until it is written again.\n";
  }
  if (!lists.notWritten.empty())
    out += "  Not updated: " + Join(lists.notWritten) + ".\n";
  if (!lists.upToDate.empty())
    out += "  Already up to date: " + Join(lists.upToDate) + ".\n";
  return out;
}

// --- The engine ---

bool UpdateEngine::Asked(const UpdateRequest& request, Unit unit) const {
  return request.asked(unit) && !upToDate_[static_cast<int>(unit)];
}

ResultCode UpdateEngine::ReadBefore() {
  readBefore_ = true;
  DeviceReportRecords records;
  beforeCode_ = QueryDevice(session_, &records);
  if (beforeCode_ == kOk) {
    before_ = records;
  } else {
    before_.reset();
    session_.CloseSession();
  }
  return beforeCode_;
}

std::vector<Question> UpdateEngine::QuestionsBefore(const UpdateRequest& request) const {
  std::vector<Question> questions;
  if (!before_) {
    questions.push_back(
        {QuestionKind::UnreadableUnits, "WARNING",
         "The units could not be read before the update (" + DeviceErrorText(beforeCode_) +
             "), so an older image can't be told from a newer one.\nWrite anyway?"});
    return questions;
  }
  std::string downgrade;
  for (const Unit u : kUnits) {
    const FirmwareImage& image = PackageImage(package_, u);
    const std::optional<FirmwareVersion> held = HeldVersion(*before_, u);
    if (!request.asked(u) || !image.IsPresent() || !held || !(PackageVersion(image) < *held))
      continue;
    downgrade += "The package's " + std::string(UnitName(u)) + " firmware (ver. " +
                 PackageVersion(image).Text() + ") is older than the unit's (ver. " + held->Text() +
                 ").\n";
  }
  if (!downgrade.empty())
    questions.push_back({QuestionKind::Downgrade, "WARNING", downgrade + "Write it anyway?"});
  const unsigned pcb = before_->hc.hardwareId;
  const unsigned supported = package_.hcImage.supportedPcb();
  if (before_->hc.bootMode != 0 && pcb < supported)
    questions.push_back({QuestionKind::PcbWarning, "WARNING", PcbWarningText(pcb, supported)});
  return questions;
}

bool UpdateEngine::AskBefore(const UpdateRequest& request, UpdateOutcome& outcome) {
  if (!readBefore_)
    ReadBefore();
  outcome.before = before_;
  if (before_) {
    for (const Unit u : kUnits) {
      UnitOutcome& o = outcome.unit(u);
      o.before = HeldVersion(*before_, u);
      const FirmwareImage& image = PackageImage(package_, u);
      if (request.asked(u) && image.IsPresent() && !request.force && o.before &&
          *o.before == PackageVersion(image)) {
        upToDate_[static_cast<int>(u)] = true;
        o.state = UnitState::Skipped;
        o.skipped = SkipReason::UpToDate;
      }
    }
  }
  for (const Question& q : QuestionsBefore(request)) {
    if (q.kind == QuestionKind::PcbWarning)
      continue;  // the workflow asks it, from the board it reads itself
    if (!questions_.Answer(q)) {
      outcome.refusal = q.kind == QuestionKind::Downgrade ? UpdateRefusal::DowngradeDeclined
                                                          : UpdateRefusal::UnreadableDeclined;
      if (q.kind == QuestionKind::UnreadableUnits) {
        outcome.failedStep = UpdateStep::ReadBefore;
        outcome.code = beforeCode_;
      }
      return false;
    }
  }
  return true;
}

bool UpdateEngine::Upload(Unit unit, UpdateOutcome& outcome) {
  UnitOutcome& o = outcome.unit(unit);
  const FirmwareImage& image = PackageImage(package_, unit);
  const bool hc = unit == Unit::HandController;
  o.bytesTotal = image.length;
  view_.OnStage(
      hc ? UpdateStage::UploadingHandController : UpdateStage::UploadingCamera,
      StatusText(hc ? UpdateStage::UploadingHandController : UpdateStage::UploadingCamera));
  UnitProgress progress(view_, stop_, unit, o);
  const ResultCode r =
      hc ? UploadHcFirmware(session_, image.data.get(), static_cast<int32_t>(image.length),
                            image.startCode, &progress)
         : UploadCameraFirmware(session_, image.data.get(), static_cast<int32_t>(image.length),
                                image.startCode, &progress);
  if (r == kOk) {
    o.state = UnitState::Written;
    o.bytesDone = image.length;
    return true;
  }
  // The unit is still inside its update procedure: close it.
  if (hc && (r == kByteCountMismatch || r == kUpdateFailed))
    EndUpdate(session_);
  o.state = progress.imageBegan() ? UnitState::Incomplete : UnitState::FailedBeforeData;
  if (progress.cut()) {
    // Asked for, and announced when asked: no box for it.
    stopSeen_ = true;
    return false;
  }
  o.code = r;
  outcome.code = r;
  outcome.failedStep = hc ? UpdateStep::UploadHc : UpdateStep::UploadCamera;
  view_.ShowError(hc ? "HC firmware update error" : "Camera firmware update error", ResultText(r));
  return false;
}

bool UpdateEngine::Workflow(const UpdateRequest& request, UpdateOutcome& outcome) {
  auto fail = [&](UpdateStep step, ResultCode r, const char* caption, const std::string& text) {
    outcome.failedStep = step;
    outcome.code = r;
    view_.ShowError(caption, text);
    return false;
  };
  auto refuse = [&](UpdateRefusal why, const char* text) {
    outcome.refusal = why;
    view_.ShowError("ERROR", text);
    return false;
  };

  int32_t bootMode = 0;
  uint16_t protocolVersion = 0;
  uint16_t protocolVersion2 = 0;
  ResultCode r = ReadDeviceMode(session_, &bootMode, &protocolVersion, &protocolVersion2);
  if (r != kOk)
    return fail(UpdateStep::ReadMode, r, "Can't read device mode", DeviceErrorText(r));
  if (bootMode == 0)
    return refuse(UpdateRefusal::NotBootMode, "Device is not in boot mode");
  if (protocolVersion >= 0x100)
    return refuse(UpdateRefusal::ProtocolVersion, "Protocol version is wrong");
  uint8_t pcb = 0;
  r = ReadPcbId(session_, &pcb);
  if (r != kOk)
    return fail(UpdateStep::ReadPcb, r, "Can't read PCB ID (version)", ResultText(r));
  const uint8_t supported = package_.hcImage.supportedPcb();
  if (pcb < supported &&
      !questions_.Answer({QuestionKind::PcbWarning, "WARNING", PcbWarningText(pcb, supported)})) {
    outcome.refusal = UpdateRefusal::PcbDeclined;
    return false;
  }

  for (const Unit u : kUnits) {
    UnitOutcome& o = outcome.unit(u);
    // The boxes are read again here. An image that is absent now was not
    // asked for at the start, and has no data to send: skip it.
    if (!Asked(request, u)) {
      if (o.skipped != SkipReason::UpToDate) {
        o.state = UnitState::NotAsked;
        o.skipped = SkipReason::None;
      }
      continue;
    }
    if (!PackageImage(package_, u).IsPresent()) {
      o.state = UnitState::Skipped;
      o.skipped = SkipReason::NoImage;
      continue;
    }
    if (stop_.Requested() != StopRequest::None) {
      stopSeen_ = true;
      o.state = UnitState::Skipped;
      o.skipped = SkipReason::Stopped;
      continue;
    }
    const bool moreAfter = u == Unit::HandController && Asked(request, Unit::Camera) &&
                           package_.cameraImage.IsPresent();
    stop_.UnitBegins(u, moreAfter);
    const bool written = Upload(u, outcome);
    stop_.UnitEnds();
    if (!written)
      return false;
    if (u == Unit::HandController)
      session_.clock().Sleep(100);
  }
  return true;
}

void UpdateEngine::Verify(UpdateOutcome& outcome) {
  DeviceReportRecords after;
  const ResultCode r = QueryDevice(session_, &after);
  if (r != kOk)
    session_.CloseSession();
  else
    outcome.after = after;
  for (const Unit u : kUnits) {
    UnitOutcome& o = outcome.unit(u);
    if (o.state != UnitState::Written)
      continue;
    if (r != kOk) {
      o.unverified = Unverified::ReadFailed;
      o.code = r;
      continue;
    }
    o.after = HeldVersion(after, u);
    if (o.after && *o.after == o.package) {
      o.state = UnitState::Verified;
      o.unverified = Unverified::None;
    } else {
      o.unverified = Unverified::OtherVersion;
    }
  }
  if (r != kOk) {
    outcome.failedStep = UpdateStep::ReadAfter;
    outcome.code = r;
  }
}

UpdateOutcome UpdateEngine::Run(const UpdateRequest& request) {
  UpdateOutcome outcome;
  upToDate_[0] = upToDate_[1] = false;
  stopSeen_ = false;
  for (const Unit u : kUnits)
    outcome.unit(u).package = PackageVersion(PackageImage(package_, u));

  // Nothing to upload for a unit asked for: do nothing at all.
  for (const Unit u : kUnits) {
    if (request.asked(u) && !PackageImage(package_, u).IsPresent())
      return outcome;
  }
  outcome.ran = true;
  for (const Unit u : kUnits) {
    if (request.asked(u)) {
      outcome.unit(u).state = UnitState::Skipped;
      outcome.unit(u).skipped = SkipReason::NotReached;
    }
  }

  if (request.verify) {
    if (!AskBefore(request, outcome)) {
      outcome.end = UpdateStage::Failed;
      return outcome;
    }
    if (outcome.NothingToWrite()) {
      outcome.end = UpdateStage::Done;
      return outcome;
    }
  }

  view_.OnBegin();
  view_.OnStage(UpdateStage::ReadingDevice, StatusText(UpdateStage::ReadingDevice));
  const bool done = Workflow(request, outcome);
  // A stop asked for at any point means the run did not do all it was
  // asked: it never ends "DONE ok".
  if (stop_.Requested() != StopRequest::None)
    stopSeen_ = true;
  const bool failed =
      outcome.failedStep != UpdateStep::None || outcome.refusal != UpdateRefusal::None;
  outcome.end = failed      ? UpdateStage::Failed
                : stopSeen_ ? UpdateStage::Stopped
                : done      ? UpdateStage::Done
                            : UpdateStage::Failed;
  if (outcome.end == UpdateStage::Stopped) {
    for (const Unit u : kUnits) {
      if (outcome.unit(u).skipped == SkipReason::NotReached)
        outcome.unit(u).skipped = SkipReason::Stopped;
    }
  }
  view_.OnStage(outcome.end, StatusText(outcome.end));
  if (outcome.end != UpdateStage::Done)
    session_.CloseSession();

  for (const Unit u : kUnits) {
    UnitOutcome& o = outcome.unit(u);
    if (o.state == UnitState::Written)
      o.unverified = Unverified::NotAsked;
  }
  if (outcome.end == UpdateStage::Done && request.verify) {
    bool anyWritten = false;
    for (const Unit u : kUnits)
      anyWritten = anyWritten || outcome.unit(u).state == UnitState::Written;
    if (anyWritten)
      Verify(outcome);
  } else if (outcome.end == UpdateStage::Stopped && request.verify) {
    for (const Unit u : kUnits) {
      if (outcome.unit(u).state == UnitState::Written)
        outcome.unit(u).unverified = Unverified::Stopped;
    }
  }
  view_.OnEnd(outcome);
  return outcome;
}

}  // namespace vexo3
