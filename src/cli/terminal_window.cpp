#include "cli/terminal_window.h"

#include <algorithm>
#include <cstring>

#include <cerrno>

#include "cli/interrupt.h"
#include "cli/json_output.h"
#include "cli/progress.h"
#include "platform/clock.h"
#include "platform/terminal.h"

namespace vexo3::cli {

std::string TerminalText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
      continue;
    out += text[i];
  }
  return out;
}

TerminalWindow::TerminalWindow(TerminalOptions options, Clock& clock)
    : options_(std::move(options)), clock_(clock), statusUs_(clock.Now().count()) {}

void TerminalWindow::FlushOut() {
  if (std::fflush(options_.out) != 0 || std::ferror(options_.out)) {
    if (options_.outError != nullptr && *options_.outError == 0)
      *options_.outError = errno != 0 ? errno : EIO;
  }
}

void TerminalWindow::EndProgressLine() {
  if (progressLineOpen_) {
    std::fputc('\n', options_.out);
    FlushOut();
    progressLineOpen_ = false;
  }
}

MessageAnswer TerminalWindow::ShowMessageBox(const std::string& caption, const std::string& text,
                                             MessageIcon /*icon*/, MessageButtons buttons) {
  EndProgressLine();
  FlushOut();
  if (buttons == MessageButtons::Ok && holdFailureBoxes_)
    return MessageAnswer::Ok;
  std::fprintf(options_.err, "%s: %s\n", caption.c_str(), TerminalText(text).c_str());
  if (buttons == MessageButtons::Ok) {
    std::fflush(options_.err);
    return MessageAnswer::Ok;
  }
  if (options_.assumeYes) {
    std::fputs("Answered yes (--yes).\n", options_.err);
    std::fflush(options_.err);
    return MessageAnswer::Yes;
  }
  // The question goes to stderr and the answer comes from stdin: asking
  // makes sense only when the user sees the one and types the other.
  if (!options_.inIsTerminal || !options_.errIsTerminal) {
    std::fputs("No terminal to ask: answered no (--yes answers yes).\n", options_.err);
    std::fflush(options_.err);
    return MessageAnswer::No;
  }
  std::fputs("Continue? [y/N] ", options_.err);
  std::fflush(options_.err);
  char line[64] = {};
  if (std::fgets(line, sizeof line, options_.in) == nullptr) {
    std::fputc('\n', options_.err);
    return MessageAnswer::No;  // end of input is not a yes
  }
  const bool yes = (line[0] == 'y' || line[0] == 'Y') &&
                   (line[1] == '\n' || line[1] == '\0' || std::strcmp(line + 1, "es\n") == 0 ||
                    std::strcmp(line + 1, "ES\n") == 0);
  return yes ? MessageAnswer::Yes : MessageAnswer::No;
}

void TerminalWindow::OnPhase(const PhaseChange& change) {
  // Signals wait while a unit is written (cli/interrupt.h).
  switch (change.phase) {
    case ActionPhase::UploadingHandController:
      BeginUnit(kHcImageName, options_.cameraChecked);
      break;
    case ActionPhase::UploadingCamera:
      BeginUnit(kCameraImageName, false);
      break;
    case ActionPhase::Done:
      holdStatus_ = PendingSignal() != 0;
      EndUnit();
      break;
    case ActionPhase::ReadingDevice:
    case ActionPhase::Failed:
      EndUnit();
      break;
  }
}

void TerminalWindow::SetStatusText(const std::string& text) {
  EndProgressLine();
  statusUs_ = clock_.Now().count();
  if (holdStatus_) {
    holdStatus_ = false;
    return;
  }
  std::fprintf(options_.out, "%s\n", text.c_str());
  FlushOut();
}

void TerminalWindow::SetControlEnabled(DialogControl /*control*/, bool /*enabled*/) {}

bool TerminalWindow::IsChecked(DialogCheckBox box) {
  // After an interruption nothing more is written: the next unit is skipped
  // as if its box had been cleared.
  if (PendingSignal() != 0)
    return false;
  return box == DialogCheckBox::HandController ? options_.hcChecked : options_.cameraChecked;
}

std::string TerminalWindow::FirmwareFileText() {
  return options_.firmwareFile;
}

void TerminalWindow::SetFirmwareFileText(const std::string& text) {
  options_.firmwareFile = text;
}

std::optional<std::string> TerminalWindow::ChooseFirmwareFile() {
  return std::nullopt;
}

void TerminalWindow::SetSummaryText(const std::string& text) {
  summary_ = text;
}

void TerminalWindow::ShowDeviceReport(const std::string& report,
                                      const DeviceReportRecords& records) {
  EndProgressLine();
  std::fputs(options_.json ? DeviceRecordsJson(records).c_str() : report.c_str(), options_.out);
  FlushOut();
}

void TerminalWindow::Redraw() {
  FlushOut();
}

bool TerminalWindow::UploadStopRequested() {
  return StopRequested();
}

void TerminalWindow::OnUploadProgress(std::string_view imageName, uint64_t bytesDone,
                                      uint64_t bytesTotal) {
  const int64_t nowUs = clock_.Now().count();
  if (imageName != progressName_) {
    // The first report comes after the first chunk; the upload began at
    // its status line, which is close enough and never later.
    EndProgressLine();
    progressName_ = std::string(imageName);
    progressStartUs_ = statusUs_;
    firstReportUs_ = nowUs;
    firstReportBytes_ = bytesDone;
    lastDecile_ = -1;
  }
  const double seconds = static_cast<double>(nowUs - progressStartUs_) / 1e6;
  // The rate counts from the first chunk on: before it the unit was still
  // being opened and started, which says nothing about the transfer.
  double rate = 0;
  if (nowUs > firstReportUs_ && bytesDone > firstReportBytes_) {
    rate = static_cast<double>(bytesDone - firstReportBytes_) /
           (static_cast<double>(nowUs - firstReportUs_) / 1e6);
  }
  const bool done = bytesDone >= bytesTotal;
  // A one-chunk image has no rate of its own; give the overall one. Before
  // the second chunk "--" is more honest than a rate that counts the opening.
  if (rate == 0 && done && seconds > 0)
    rate = static_cast<double>(bytesDone) / seconds;
  if (options_.outIsTerminal) {
    // Asked on every redraw, so a resized window is followed. One column
    // stays free: a line that fills the last one wraps on some terminals.
    // An unknown width (0) is taken as 80 columns.
    const int columns = TerminalColumns(options_.out);
    const size_t width = columns > 0 ? static_cast<size_t>(columns - 1) : 79;
    std::fprintf(
        options_.out, "\r%s\033[K",
        FormatProgress(imageName, bytesDone, bytesTotal, seconds, rate, true, width).c_str());
    progressLineOpen_ = true;
    if (done)
      EndProgressLine();
    FlushOut();
    return;
  }
  // Plain lines: one per tenth, and the last.
  const int decile =
      bytesTotal == 0 ? 10 : static_cast<int>(std::min<uint64_t>(bytesDone * 10 / bytesTotal, 10));
  if (decile == lastDecile_ && !done)
    return;
  if (done && lastDecile_ == 10)
    return;
  lastDecile_ = done ? 10 : decile;
  std::fprintf(options_.out, "%s\n",
               FormatProgress(imageName, bytesDone, bytesTotal, seconds, rate, false).c_str());
  FlushOut();
}

}  // namespace vexo3::cli
