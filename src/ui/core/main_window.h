#pragma once

// The main dialog as the actions see it. The Qt dialog implements it, and so
// can a terminal front end or a test recorder. Qt-free on purpose; keep it
// small. All texts are UTF-8.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/result_code.h"

namespace vexo3 {

struct DeviceReportRecords;

enum class MessageIcon { Error, Warning };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

// The controls an update disables while it runs.
enum class DialogControl { BrowseButton, UpdateButton, FirmwareFileField };
enum class DialogCheckBox { HandController, Camera };

// What an update is doing, told to the window as a value beside the status
// text: front ends decide on it, never on the wording of a text.
enum class ActionPhase { ReadingDevice, UploadingHandController, UploadingCamera, Done, Failed };

// Why an update stopped on a check of its own rather than a failed step.
enum class UpdateRefusal { None, NotBootMode, ProtocolVersion, PcbDeclined };

struct PhaseChange {
  PhaseChange(ActionPhase p = ActionPhase::ReadingDevice, ResultCode c = 0) : phase(p), code(c) {}

  ActionPhase phase;
  // Failed: the code of the step that failed; 0 when a check refused (see
  // refusal).
  ResultCode code;
  UpdateRefusal refusal = UpdateRefusal::None;
  // Failed during an upload: kHcImageName or kCameraImageName; else empty.
  std::string_view unit;
};

class MainWindow {
 public:
  virtual ~MainWindow() = default;

  // Modal box owned by the main window; blocks until the user closes it.
  // Closing a Yes/No box any other way than Yes must not answer Yes.
  virtual MessageAnswer ShowMessageBox(const std::string& caption, const std::string& text,
                                       MessageIcon icon, MessageButtons buttons) = 0;
  virtual void SetStatusText(const std::string& text) = 0;
  virtual void SetControlEnabled(DialogControl control, bool enabled) = 0;
  // Read at the moment of the call: the user may change them between reads.
  virtual bool IsChecked(DialogCheckBox box) = 0;
  // The firmware file field; its text is used as the file-system path as is.
  virtual std::string FirmwareFileText() = 0;
  virtual void SetFirmwareFileText(const std::string& text) = 0;
  // Lets the user pick an existing "*.bin" file; the full path, or nullopt
  // when cancelled.
  virtual std::optional<std::string> ChooseFirmwareFile() = 0;
  virtual void SetSummaryText(const std::string& text) = 0;
  // Shows the device report modally; returns when the user closes it.
  // records: what the report was built from, for windows that show them
  // some other way (e.g. as JSON).
  virtual void ShowDeviceReport(const std::string& report, const DeviceReportRecords& records) = 0;
  // Repaints the whole window at once.
  virtual void Redraw() = 0;
  // Called after each chunk of an upload the unit accepted. imageName is
  // kHcImageName or kCameraImageName. May repaint; must not run user input.
  virtual void OnUploadProgress(std::string_view imageName, uint64_t bytesDone,
                                uint64_t bytesTotal) = 0;
  // Asked between two chunks of an upload: true stops it there, and the
  // upload fails as the unit's own refusal would. Only for a user who
  // insists: the unit is left with an incomplete image.
  virtual bool UploadStopRequested() { return false; }
  // The phase of an update: ReadingDevice when it starts, then each upload,
  // then Done or Failed, each just before its status text.
  virtual void OnPhase(const PhaseChange& /*change*/) {}
};

inline constexpr std::string_view kHcImageName = "HandController";
inline constexpr std::string_view kCameraImageName = "Camera";

}  // namespace vexo3
