#include "recorder_window.h"

namespace vexo3 {
namespace {

const char* ControlName(DialogControl control) {
  switch (control) {
    case DialogControl::BrowseButton:
      return "browse";
    case DialogControl::UpdateButton:
      return "update";
    case DialogControl::FirmwareFileField:
      return "file";
  }
  return "?";
}

}  // namespace

void RecorderWindow::Record(std::string event) {
  events.push_back(std::move(event));
  if (onEvent)
    onEvent(events.back());
}

MessageAnswer RecorderWindow::ShowMessageBox(const std::string& caption, const std::string& text,
                                             MessageIcon icon, MessageButtons buttons) {
  boxes.push_back({caption, text, icon, buttons});
  Record("box:" + caption);
  return buttons == MessageButtons::YesNo ? yesNoAnswer : MessageAnswer::Ok;
}

void RecorderWindow::SetStatusText(const std::string& text) {
  statuses.push_back(text);
  Record("status:" + text);
}

void RecorderWindow::SetControlEnabled(DialogControl control, bool on) {
  enabled[static_cast<int>(control)] = on;
  Record(std::string(on ? "enable:" : "disable:") + ControlName(control));
}

bool RecorderWindow::IsChecked(DialogCheckBox box) {
  return box == DialogCheckBox::HandController ? hcTicked : cameraTicked;
}

std::string RecorderWindow::FirmwareFileText() {
  return fileText;
}

void RecorderWindow::SetFirmwareFileText(const std::string& text) {
  fileText = text;
  Record("file:" + text);
}

std::optional<std::string> RecorderWindow::ChooseFirmwareFile() {
  Record("choose");
  return chosenFile;
}

void RecorderWindow::SetSummaryText(const std::string& text) {
  summary = text;
  Record("summary");
}

void RecorderWindow::ShowDeviceReport(const std::string& report) {
  reports.push_back(report);
  Record("report");
}

void RecorderWindow::Redraw() {
  Record("redraw");
}

void RecorderWindow::ShowUpdateStart() {
  Record("start");
}

void RecorderWindow::ShowUploadProgress(Unit unit, uint64_t bytesDone, uint64_t bytesTotal) {
  progress.push_back({std::string(UnitName(unit)), bytesDone, bytesTotal});
  if (onProgress)
    onProgress(progress.back());
}

void RecorderWindow::ShowUpdateEnd(const UpdateOutcome& outcome) {
  outcomes.push_back(outcome);
  Record("end");
}

}  // namespace vexo3
