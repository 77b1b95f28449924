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

void RecorderWindow::ShowDeviceReport(const std::string& report,
                                      const DeviceReportRecords& /*records*/) {
  reports.push_back(report);
  Record("report");
}

void RecorderWindow::OnUploadProgress(std::string_view imageName, uint64_t bytesDone,
                                      uint64_t bytesTotal) {
  progress.push_back({std::string(imageName), bytesDone, bytesTotal});
}

}  // namespace vexo3
