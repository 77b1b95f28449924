#pragma once

// The main dialog as its actions see it: what a dialog does, and nothing
// else. The Qt, Win32 and web dialogs implement it, and so can a test
// recorder. Toolkit-free on purpose; keep it small. All texts are UTF-8.

#include <cstdint>
#include <optional>
#include <string>

#include "ui/core/update_engine.h"

namespace vexo3 {

enum class MessageIcon { Error, Warning };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

// The controls an update disables while it runs.
enum class DialogControl { BrowseButton, UpdateButton, FirmwareFileField };
enum class DialogCheckBox { HandController, Camera };

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
  virtual void ShowDeviceReport(const std::string& report) = 0;
  // Repaints the whole window at once.
  virtual void Redraw() = 0;

  // Beyond the dialog's template: the progress strip of an update.
  // An update begins: nothing of the last one's bytes may show.
  virtual void ShowUpdateStart() = 0;
  // After each chunk a unit took. May repaint; must not run user input.
  virtual void ShowUploadProgress(Unit unit, uint64_t bytesDone, uint64_t bytesTotal) = 0;
  // The update has ended, before the controls are enabled again: the strip
  // marks outcome.FailedUnit(), if any.
  virtual void ShowUpdateEnd(const UpdateOutcome& outcome) = 0;
};

// Every call of MainWindow, declared in an implementation's class body.
#define VEXO3_MAIN_WINDOW_OVERRIDES                                                           \
  MessageAnswer ShowMessageBox(const std::string& caption, const std::string& text,           \
                               MessageIcon icon, MessageButtons buttons) override;            \
  void SetStatusText(const std::string& text) override;                                       \
  void SetControlEnabled(DialogControl control, bool enabled) override;                       \
  bool IsChecked(DialogCheckBox box) override;                                                \
  std::string FirmwareFileText() override;                                                    \
  void SetFirmwareFileText(const std::string& text) override;                                 \
  std::optional<std::string> ChooseFirmwareFile() override;                                   \
  void SetSummaryText(const std::string& text) override;                                      \
  void ShowDeviceReport(const std::string& report) override;                                  \
  void Redraw() override;                                                                     \
  void ShowUpdateStart() override;                                                            \
  void ShowUploadProgress(Unit unit, uint64_t bytesDone, uint64_t bytesTotal) override;       \
  void ShowUpdateEnd(const UpdateOutcome& outcome) override

}  // namespace vexo3
