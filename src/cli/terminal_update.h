#pragma once

// The update on a terminal: status texts as lines on stdout, a failure's
// box as "caption: text" on stderr, a question as a y/N prompt (or --yes,
// or No without a terminal), and upload progress as a bar redrawn in place
// (plain lines when stdout is not a terminal).

#include <cstdio>
#include <string>

#include "cli/cli_app.h"
#include "cli/progress.h"
#include "ui/core/update_engine.h"

namespace vexo3 {
class Clock;
}

namespace vexo3::cli {

// Questions on the terminal. The question goes to stderr and the answer
// comes from stdin: asking makes sense only when both are terminals.
class TerminalQuestions final : public QuestionPolicy {
 public:
  // prefix: before each caption ("VX300001: "), for runs of several devices.
  TerminalQuestions(const CliStreams& io, bool assumeYes, std::string prefix = "")
      : io_(io), assumeYes_(assumeYes), prefix_(std::move(prefix)) {}
  bool Answer(const Question& question) override;

 private:
  const CliStreams& io_;
  bool assumeYes_;
  std::string prefix_;
};

class TerminalUpdateView final : public UpdateView {
 public:
  // clock times the uploads; it and the streams must outlive the view.
  TerminalUpdateView(const CliStreams& io, Clock& clock) : io_(io), clock_(clock) {}

  void OnStage(UpdateStage stage, const std::string& status) override;
  void ShowError(const std::string& caption, const std::string& text) override;
  void OnProgress(Unit unit, uint64_t done, uint64_t total) override;

  // Failure boxes are not shown: the caller says something clearer (no
  // device at all).
  void HoldFailureBoxes() { holdFailureBoxes_ = true; }
  // Ends a progress line that is still open, so that other text starts on a
  // line of its own.
  void EndProgressLine();

 private:
  const CliStreams& io_;
  Clock& clock_;
  bool holdFailureBoxes_ = false;
  ProgressMeter meter_;
  bool progressLineOpen_ = false;
  int lastDecile_ = -1;
};

}  // namespace vexo3::cli
