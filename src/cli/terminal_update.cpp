#include "cli/terminal_update.h"

#include <algorithm>
#include <cstring>

#include "cli/output.h"
#include "platform/clock.h"

namespace vexo3::cli {

bool TerminalQuestions::Answer(const Question& question) {
  std::fprintf(io_.err, "%s%s: %s\n", prefix_.c_str(), question.caption.c_str(),
               TerminalText(question.text).c_str());
  if (assumeYes_) {
    Print(io_.err, "Answered yes (--yes).\n");
    return true;
  }
  if (!io_.inIsTerminal || !io_.errIsTerminal) {
    Print(io_.err, "No terminal to ask: answered no (--yes answers yes).\n");
    return false;
  }
  Print(io_.err, "Continue? [y/N] ");
  char line[64] = {};
  if (std::fgets(line, sizeof line, io_.in) == nullptr) {
    std::fputc('\n', io_.err);
    return false;  // end of input is not a yes
  }
  return (line[0] == 'y' || line[0] == 'Y') &&
         (line[1] == '\n' || line[1] == '\0' || std::strcmp(line + 1, "es\n") == 0 ||
          std::strcmp(line + 1, "ES\n") == 0);
}

void TerminalUpdateView::EndProgressLine() {
  if (progressLineOpen_) {
    std::fputc('\n', io_.out);
    FlushNoting(io_.out, io_.outError);
    progressLineOpen_ = false;
  }
}

void TerminalUpdateView::OnStage(UpdateStage /*stage*/, const std::string& status) {
  EndProgressLine();
  meter_.Begin(clock_.Now().count());
  lastDecile_ = -1;
  PrintOut(io_, status + "\n");
}

void TerminalUpdateView::ShowError(const std::string& caption, const std::string& text) {
  EndProgressLine();
  if (!holdFailureBoxes_)
    Print(io_.err, caption + ": " + TerminalText(text) + "\n");
}

void TerminalUpdateView::OnProgress(Unit unit, uint64_t done, uint64_t total) {
  const ProgressMeter::Reading r = meter_.Report(clock_.Now().count(), done, total);
  const bool finished = done >= total;
  if (io_.outIsTerminal) {
    // Asked on every redraw, so a resized window is followed.
    std::fprintf(
        io_.out, "\r%s\033[K",
        FormatProgress(UnitName(unit), done, total, r.seconds, r.rate, true, LineWidth(io_.out))
            .c_str());
    progressLineOpen_ = true;
    if (finished)
      EndProgressLine();
    FlushNoting(io_.out, io_.outError);
    return;
  }
  // Plain lines: one per tenth, and the last.
  const int decile = total == 0 ? 10 : static_cast<int>(std::min<uint64_t>(done * 10 / total, 10));
  if ((decile == lastDecile_ && !finished) || (finished && lastDecile_ == 10))
    return;
  lastDecile_ = finished ? 10 : decile;
  PrintOut(io_, FormatProgress(UnitName(unit), done, total, r.seconds, r.rate, false) + "\n");
}

}  // namespace vexo3::cli
