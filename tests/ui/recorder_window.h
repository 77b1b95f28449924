#pragma once

// A MainWindow that records what the actions do to it, answering boxes and
// the file chooser from its script.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ui/core/main_window.h"

namespace vexo3 {

struct RecordedBox {
  std::string caption;
  std::string text;
  MessageIcon icon;
  MessageButtons buttons;
};

struct RecordedProgress {
  std::string image;
  uint64_t done;
  uint64_t total;
};

class RecorderWindow final : public MainWindow {
 public:
  // --- Script ---
  bool hcTicked = true;
  bool cameraTicked = true;
  MessageAnswer yesNoAnswer = MessageAnswer::No;
  std::optional<std::string> chosenFile;
  std::string fileText;
  // Runs at each event, after it is recorded (e.g. to look at the device).
  std::function<void(const std::string& event)> onEvent;

  // --- Records ---
  // One line per call: "box:<caption>", "status:<text>", "disable:<n>",
  // "enable:<n>", "summary", "report", "choose", "file:<text>", "redraw".
  std::vector<std::string> events;
  std::vector<RecordedBox> boxes;
  std::vector<std::string> statuses;
  std::vector<RecordedProgress> progress;
  std::vector<std::string> reports;
  std::vector<PhaseChange> phases;
  std::optional<std::string> summary;  // last text set
  bool enabled[3] = {true, true, true};

  MessageAnswer ShowMessageBox(const std::string& caption, const std::string& text,
                               MessageIcon icon, MessageButtons buttons) override;
  void SetStatusText(const std::string& text) override;
  void SetControlEnabled(DialogControl control, bool on) override;
  bool IsChecked(DialogCheckBox box) override;
  std::string FirmwareFileText() override { return fileText; }
  void SetFirmwareFileText(const std::string& text) override;
  std::optional<std::string> ChooseFirmwareFile() override;
  void SetSummaryText(const std::string& text) override;
  void ShowDeviceReport(const std::string& report, const DeviceReportRecords& records) override;
  void Redraw() override { Record("redraw"); }
  void OnUploadProgress(std::string_view imageName, uint64_t bytesDone,
                        uint64_t bytesTotal) override;
  void OnPhase(const PhaseChange& change) override { phases.push_back(change); }

 private:
  void Record(std::string event);
};

}  // namespace vexo3
