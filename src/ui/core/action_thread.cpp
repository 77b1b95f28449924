#include "ui/core/action_thread.h"

#include <atomic>
#include <utility>

namespace vexo3 {

WindowRelay::WindowRelay(MainWindow& target, RunThere runThere)
    : target_(target), runThere_(std::move(runThere)), windowThread_(std::this_thread::get_id()) {}

void WindowRelay::Run(const std::function<void()>& call) {
  if (std::this_thread::get_id() == windowThread_) {
    call();
  } else {
    runThere_(call);
  }
}

MessageAnswer WindowRelay::ShowMessageBox(const std::string& caption, const std::string& text,
                                          MessageIcon icon, MessageButtons buttons) {
  MessageAnswer answer = MessageAnswer::No;
  Run([&] { answer = target_.ShowMessageBox(caption, text, icon, buttons); });
  return answer;
}

void WindowRelay::SetStatusText(const std::string& text) {
  Run([&] { target_.SetStatusText(text); });
}

void WindowRelay::SetControlEnabled(DialogControl control, bool enabled) {
  Run([&] { target_.SetControlEnabled(control, enabled); });
}

bool WindowRelay::IsChecked(DialogCheckBox box) {
  bool checked = false;
  Run([&] { checked = target_.IsChecked(box); });
  return checked;
}

std::string WindowRelay::FirmwareFileText() {
  std::string text;
  Run([&] { text = target_.FirmwareFileText(); });
  return text;
}

void WindowRelay::SetFirmwareFileText(const std::string& text) {
  Run([&] { target_.SetFirmwareFileText(text); });
}

std::optional<std::string> WindowRelay::ChooseFirmwareFile() {
  std::optional<std::string> chosen;
  Run([&] { chosen = target_.ChooseFirmwareFile(); });
  return chosen;
}

void WindowRelay::SetSummaryText(const std::string& text) {
  Run([&] { target_.SetSummaryText(text); });
}

void WindowRelay::ShowDeviceReport(const std::string& report) {
  Run([&] { target_.ShowDeviceReport(report); });
}

void WindowRelay::Redraw() {
  Run([&] { target_.Redraw(); });
}

void WindowRelay::ShowUpdateStart() {
  Run([&] { target_.ShowUpdateStart(); });
}

void WindowRelay::ShowUploadProgress(Unit unit, uint64_t bytesDone, uint64_t bytesTotal) {
  Run([&] { target_.ShowUploadProgress(unit, bytesDone, bytesTotal); });
}

void WindowRelay::ShowUpdateEnd(const UpdateOutcome& outcome) {
  Run([&] { target_.ShowUpdateEnd(outcome); });
}

bool ActionThread::Run(const std::function<void()>& action, const Wake& wake, const Wait& wait) {
  if (busy_)
    return false;
  busy_ = true;
  std::atomic<bool> ended{false};
  std::thread worker([&] {
    action();
    ended.store(true);
    wake();
  });
  wait([&] { return ended.load(); });
  worker.join();
  busy_ = false;
  return true;
}

}  // namespace vexo3
