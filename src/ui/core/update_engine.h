#pragma once

// The update: its checks, its uploads in their order, and what each unit
// ended with, in one place. The dialogs, "vexo3 update", several devices at
// once and the station are views of this one engine. It runs on the
// caller's thread and returns one value, UpdateOutcome; what it shows goes
// to an UpdateView, what it asks to a QuestionPolicy, and whether to stop
// it asks a StopPolicy. Toolkit-free.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/firmware_package.h"
#include "protocol/device_session.h"
#include "protocol/result_code.h"
#include "ui/core/device_report.h"

namespace vexo3 {

enum class Unit : uint8_t { HandController, Camera };
inline constexpr Unit kUnits[] = {Unit::HandController, Unit::Camera};

// "HandController", "Camera": how every front end names the units.
std::string_view UnitName(Unit unit);
// "a, b and c".
std::string Join(const std::vector<std::string>& names);

// A unit's firmware as version and revision, comparable.
struct FirmwareVersion {
  uint16_t version = 0;  // high byte major, low byte minor
  uint8_t revision = 0;
  auto operator<=>(const FirmwareVersion&) const = default;
  // "02.10.1"
  std::string Text() const;
};

// What a unit holds, when the records show a valid firmware in it.
std::optional<FirmwareVersion> HeldVersion(const DeviceReportRecords& records, Unit unit);
FirmwareVersion PackageVersion(const FirmwareImage& image);
const FirmwareImage& PackageImage(const FirmwarePackage& package, Unit unit);

// The queries of "Read device info": both units' state and firmware (the
// Camera's only in BOOT mode; a Camera that can't be reached is no failure).
// Returns the first failing step's code, having stopped a started Camera;
// the caller closes the session. Shows nothing.
ResultCode QueryDevice(DeviceSession& session, DeviceReportRecords* records);

// Where the update stands; each stage but the last three comes with its
// status text, the last three with the closing one.
enum class UpdateStage {
  ReadingDevice,            // "Reading device state..."
  UploadingHandController,  // "Uploading HC firmware..."
  UploadingCamera,          // "Uploading Camera firmware..."
  Done,                     // "DONE ok"
  Failed,                   // "Update failed..."
  Stopped,                  // "Update stopped...": a stop was asked for
};

// --- Policies: what differs between front ends ---

enum class QuestionKind {
  PcbWarning,       // the board is newer than the HandController image supports
  Downgrade,        // an image is older than what its unit holds
  UnreadableUnits,  // the units couldn't be read before the update
};

struct Question {
  QuestionKind kind;
  std::string caption;  // "WARNING"
  std::string text;     // UTF-8; the PCB warning keeps its "\r\n" line breaks
};

// How a question is answered: a Yes/No box, a y/N prompt, --yes, answers
// given beforehand. Anything but true is No.
class QuestionPolicy {
 public:
  virtual ~QuestionPolicy() = default;
  virtual bool Answer(const Question& question) = 0;
};

// The answers of a run that can't ask while it writes (several devices at
// once): what was answered beforehand, and `otherwise` for the rest.
class PresetAnswers final : public QuestionPolicy {
 public:
  explicit PresetAnswers(bool otherwise) : otherwise_(otherwise) {}
  void Set(QuestionKind kind, bool answer);
  bool Answer(const Question& question) override;

 private:
  std::vector<std::pair<QuestionKind, bool>> answers_;
  bool otherwise_;
};

enum class StopRequest {
  None,
  AfterUnit,      // finish the unit being written, write nothing after it
  BetweenChunks,  // stop the unit being written at its next chunk
};

// When to stop. Asked before each unit, between two chunks, before the
// reading after, and once at the end.
class StopPolicy {
 public:
  virtual ~StopPolicy() = default;
  virtual StopRequest Requested() = 0;
  // A unit's upload begins (moreAfter: another unit follows) and ends:
  // from here a stop can wait for the unit's end (see cli/interrupt.h).
  virtual void UnitBegins(Unit /*unit*/, bool /*moreAfter*/) {}
  virtual void UnitEnds() {}
};

// Never stops.
class NeverStop final : public StopPolicy {
 public:
  StopRequest Requested() override { return StopRequest::None; }
};

// A stop asked for from another thread (a window's, a signal watcher's).
// Requests only ever grow: AfterUnit, then BetweenChunks.
class StopFlag final : public StopPolicy {
 public:
  void Request(StopRequest request);
  StopRequest Requested() override;

 private:
  std::atomic<int> request_{0};
};

// Where the update shows itself. Every call comes on the engine's thread.
class UpdateView {
 public:
  virtual ~UpdateView() = default;
  // The presence test passed: the run begins (a dialog disables its
  // controls).
  virtual void OnBegin() {}
  // A new stage, with its status text.
  virtual void OnStage(UpdateStage stage, const std::string& status) = 0;
  // A failure's one box; returns when the user has closed it.
  virtual void ShowError(const std::string& caption, const std::string& text) = 0;
  // After each chunk the unit took; done reaches total only when the unit
  // reports its image complete.
  virtual void OnProgress(Unit /*unit*/, uint64_t /*done*/, uint64_t /*total*/) {}
  // The run is over, with what it did (a dialog enables its controls and
  // redraws). Called exactly when OnBegin was: not when the presence test
  // returned, nor when the run ended before the workflow (declined, or
  // nothing to write).
  virtual void OnEnd(const struct UpdateOutcome& /*outcome*/) {}
};

// --- The request and the outcome ---

struct UpdateRequest {
  // The units asked for, read at the moments the workflow reads them: once
  // at the start and again just before each unit's upload (a dialog's check
  // boxes may change between the two).
  std::function<bool(Unit)> asked = [](Unit) { return true; };
  // Read the units before and after the update: a downgrade is asked
  // about, a unit that already holds the package's version is left alone
  // (unless `force`), and each unit written is checked afterwards. The
  // dialogs don't; the command line does unless --no-verify.
  bool verify = false;
  bool force = false;

  // Fixed units, as the command line asks for them.
  static std::function<bool(Unit)> Units(bool hc, bool camera);
};

enum class UnitState {
  NotAsked,
  Skipped,           // see UnitOutcome::skipped
  Verified,          // written and read back as the package's version
  Written,           // written completely, not verified (see unverified)
  Incomplete,        // stopped or failed after bytesDone of bytesTotal (may be 0)
  FailedBeforeData,  // failed before any byte of its image went to it
};

enum class SkipReason {
  None,
  NoImage,     // the package holds none for it
  UpToDate,    // it already holds the package's version
  Stopped,     // a stop came before it
  NotReached,  // the update ended before it: a refusal or an earlier failure
};

enum class Unverified {
  None,
  NotAsked,      // no reading after (the dialogs, --no-verify)
  ReadFailed,    // the reading after failed: UnitOutcome::code
  OtherVersion,  // it reports another firmware than the package's (after)
  Stopped,       // a stop came before the reading
};

struct UnitOutcome {
  UnitState state = UnitState::NotAsked;
  SkipReason skipped = SkipReason::None;
  Unverified unverified = Unverified::None;
  std::optional<FirmwareVersion> before;  // held before, when read
  std::optional<FirmwareVersion> after;   // held after, when read
  FirmwareVersion package;
  uint64_t bytesDone = 0;
  uint64_t bytesTotal = 0;
  // Incomplete or FailedBeforeData: the upload's code (0 when a stop cut
  // it); Written with ReadFailed: the reading's.
  ResultCode code = kOk;

  // Written completely, verified or not.
  bool WrittenCompletely() const {
    return state == UnitState::Verified || state == UnitState::Written;
  }
  // Still needs writing: left incomplete, failed, or not reached.
  bool StillToWrite() const;
};

// Why an update stopped on a check of its own rather than a failed step.
enum class UpdateRefusal {
  None,
  NotBootMode,
  ProtocolVersion,
  PcbDeclined,
  DowngradeDeclined,
  UnreadableDeclined,
};

// The step whose code ended the update.
enum class UpdateStep { None, ReadBefore, ReadMode, ReadPcb, UploadHc, UploadCamera, ReadAfter };

struct UpdateOutcome {
  // False when nothing happened at all: a unit asked for has no image.
  bool ran = false;
  UpdateStage end = UpdateStage::Failed;  // Done, Failed or Stopped once it ran
  UpdateRefusal refusal = UpdateRefusal::None;
  UpdateStep failedStep = UpdateStep::None;
  ResultCode code = kOk;  // of failedStep
  UnitOutcome hc;
  UnitOutcome camera;
  // The readings (verify): what they got, when they succeeded.
  std::optional<DeviceReportRecords> before;
  std::optional<DeviceReportRecords> after;

  const UnitOutcome& unit(Unit u) const { return u == Unit::HandController ? hc : camera; }
  UnitOutcome& unit(Unit u) { return u == Unit::HandController ? hc : camera; }
  // Every unit asked for is written (and verified, when asked) or was up
  // to date; no stop.
  bool Succeeded() const;
  // Nobody said yes: a question answered No (or no one to ask).
  bool Declined() const;
  // Every unit asked for already held the package's version: nothing ran.
  bool NothingToWrite() const;
  // The unit that failed or was cut, for a failure strip; nullopt when none.
  std::optional<Unit> FailedUnit() const;
};

// The outcome's units by what became of them, for reports.
struct UnitLists {
  std::vector<std::string> written;     // completely
  std::vector<std::string> incomplete;  // hold an incomplete image
  // As they were (failed before data, skipped but not up to date).
  std::vector<std::string> notWritten;
  std::vector<std::string> upToDate;
};
UnitLists ListUnits(const UpdateOutcome& outcome);

// Lines saying what an update that didn't succeed left behind ("  Written
// completely: HandController.", "  The Camera ... incomplete image ...",
// "  Not updated: Camera."), after `headline`; what every front end says.
std::string UnitsReport(const std::string& headline, const UpdateOutcome& outcome);

// The text of a question or status, shared so that every front end words it
// alike.
std::string PcbWarningText(unsigned pcb, unsigned supported);

// --- The engine ---

class UpdateEngine {
 public:
  // All are the caller's and outlive the engine.
  UpdateEngine(DeviceSession& session, const FirmwarePackage& package, UpdateView& view,
               QuestionPolicy& questions, StopPolicy& stop)
      : session_(session), package_(package), view_(view), questions_(questions), stop_(stop) {}

  // The whole update:
  // 1. the presence test: a unit asked for without an image ends it at once
  //    (ran false; nothing shown, nothing sent);
  // 2. with verify, the reading before (unless ReadBefore ran) and the
  //    questions it raises, then the units already up to date are left out;
  //    when none is left, it ends without touching the device again;
  // 3. the dialog's workflow: the device's mode, protocol version and board,
  //    the PCB warning, the HandController upload, 100 ms, the Camera upload;
  //    each failure shows one box and ends it ("Update failed...", session
  //    closed); a stop skips what is left ("Update stopped...");
  // 4. with verify, the reading after and each written unit's check.
  UpdateOutcome Run(const UpdateRequest& request);

  // Step 2's reading on its own, for runs that read every device before
  // asking anything (several devices). Its code; the session is closed after
  // a failure. Run then reads no more before.
  ResultCode ReadBefore();
  // The questions that Run would ask before the workflow, and the PCB
  // warning when the reading before saw a board newer than the package
  // supports; in Run's order. Needs ReadBefore first.
  std::vector<Question> QuestionsBefore(const UpdateRequest& request) const;
  // The reading before, once done: the records, or nullopt with its code.
  const std::optional<DeviceReportRecords>& before() const { return before_; }
  ResultCode beforeCode() const { return beforeCode_; }

 private:
  bool Workflow(const UpdateRequest& request, UpdateOutcome& outcome);
  bool Upload(Unit unit, UpdateOutcome& outcome);
  void Verify(UpdateOutcome& outcome);
  bool AskBefore(const UpdateRequest& request, UpdateOutcome& outcome);
  bool Asked(const UpdateRequest& request, Unit unit) const;

  DeviceSession& session_;
  const FirmwarePackage& package_;
  UpdateView& view_;
  QuestionPolicy& questions_;
  StopPolicy& stop_;
  bool readBefore_ = false;
  std::optional<DeviceReportRecords> before_;
  ResultCode beforeCode_ = kOk;
  bool upToDate_[2] = {false, false};
  bool stopSeen_ = false;
};

}  // namespace vexo3
