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
  // Runs at each upload progress, after it is recorded.
  std::function<void(const RecordedProgress& p)> onProgress;

  // --- Records ---
  // One line per call: "box:<caption>", "status:<text>", "disable:<n>",
  // "enable:<n>", "summary", "report", "choose", "file:<text>", "redraw",
  // "start" and "end" (the progress strip's).
  std::vector<std::string> events;
  std::vector<RecordedBox> boxes;
  std::vector<std::string> statuses;
  std::vector<RecordedProgress> progress;
  std::vector<std::string> reports;
  std::vector<UpdateOutcome> outcomes;  // one per update that ran
  std::optional<std::string> summary;   // last text set
  bool enabled[3] = {true, true, true};

  VEXO3_MAIN_WINDOW_OVERRIDES;

 private:
  void Record(std::string event);
};

}  // namespace vexo3
