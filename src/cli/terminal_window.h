#pragma once

// The main dialog's window interface on a terminal: message boxes become
// "caption: text" on stderr, the Yes/No box a y/N question, status texts
// lines on stdout, the report and summary plain text, and upload progress a
// bar (or plain lines when stdout is not a terminal).

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "ui/core/main_window.h"

namespace vexo3 {
class Clock;
}

namespace vexo3::cli {

struct TerminalOptions {
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  std::FILE* in = stdin;
  bool outIsTerminal = false;  // progress as a bar redrawn in place
  bool inIsTerminal = false;   // answers can be typed
  bool errIsTerminal = false;  // questions can be seen
  bool assumeYes = false;      // --yes
  bool hcChecked = true;       // --no-hc clears it
  bool cameraChecked = true;   // --no-camera clears it
  bool json = false;           // the device report as JSON records instead of text
  std::string firmwareFile;
  // Where the first failing write to `out` leaves its errno; output errors
  // never stop an action, they are reported at the end. May be null.
  int* outError = nullptr;
};

class TerminalWindow final : public MainWindow {
 public:
  // clock times the uploads; it and the streams must outlive the window.
  TerminalWindow(TerminalOptions options, Clock& clock);

  MessageAnswer ShowMessageBox(const std::string& caption, const std::string& text,
                               MessageIcon icon, MessageButtons buttons) override;
  void SetStatusText(const std::string& text) override;
  void SetControlEnabled(DialogControl control, bool enabled) override;
  bool IsChecked(DialogCheckBox box) override;
  std::string FirmwareFileText() override;
  void SetFirmwareFileText(const std::string& text) override;
  // There is nothing to choose from on a terminal: the file is an argument.
  std::optional<std::string> ChooseFirmwareFile() override;
  void SetSummaryText(const std::string& text) override;
  // Writes the report to stdout as it is (or its records as JSON).
  void ShowDeviceReport(const std::string& report, const DeviceReportRecords& records) override;
  void Redraw() override;
  void OnUploadProgress(std::string_view imageName, uint64_t bytesDone,
                        uint64_t bytesTotal) override;
  // A second Ctrl-C during an upload (see cli/interrupt.h).
  bool UploadStopRequested() override;
  // While a unit is written, signals wait for its end.
  void OnPhase(const PhaseChange& change) override;

  // Failure boxes are not shown: the caller says something clearer (no
  // device at all). Questions are still asked.
  void HoldFailureBoxes(bool hold = true) { holdFailureBoxes_ = hold; }

  // The package summary the last load showed.
  const std::optional<std::string>& Summary() const { return summary_; }

 private:
  // Ends a progress line that is still open, so that other text starts on a
  // line of its own.
  void EndProgressLine();
  // Flushes `out` and notes the first failure in options_.outError.
  void FlushOut();

  TerminalOptions options_;
  Clock& clock_;
  std::optional<std::string> summary_;
  bool holdFailureBoxes_ = false;
  // After an interruption an update that ends "done" did not do all it was
  // asked: its success text is not shown.
  bool holdStatus_ = false;
  // Progress of the current upload.
  std::string progressName_;
  int64_t statusUs_;  // when the status last changed
  int64_t progressStartUs_ = 0;
  int64_t firstReportUs_ = 0;
  uint64_t firstReportBytes_ = 0;
  bool progressLineOpen_ = false;
  int lastDecile_ = -1;
};

// Box texts keep the dialog's "\r\n" line breaks; a terminal wants "\n".
std::string TerminalText(const std::string& text);

}  // namespace vexo3::cli
