#include "ui/core/sivra_actions.h"

#include "ui/core/device_report.h"
#include "ui/core/package_summary.h"

namespace vexo3 {
namespace {

void ShowError(MainWindow& window, const std::string& caption, const std::string& text) {
  window.ShowMessageBox(caption, text, MessageIcon::Error, MessageButtons::Ok);
}

DialogCheckBox BoxOf(Unit unit) {
  return unit == Unit::HandController ? DialogCheckBox::HandController : DialogCheckBox::Camera;
}

// The engine's view and questions as the main dialog shows them: status
// texts, modal boxes, the progress strip, the PCB warning as a Yes/No box,
// and its three controls disabled while the update runs.
class DialogUpdate final : public UpdateView, public QuestionPolicy {
 public:
  explicit DialogUpdate(MainWindow& window) : window_(window) {}

  void OnBegin() override {
    window_.SetControlEnabled(DialogControl::BrowseButton, false);
    window_.SetControlEnabled(DialogControl::UpdateButton, false);
    window_.SetControlEnabled(DialogControl::FirmwareFileField, false);
    window_.ShowUpdateStart();
  }
  void OnStage(UpdateStage /*stage*/, const std::string& status) override {
    window_.SetStatusText(status);
  }
  void ShowError(const std::string& caption, const std::string& text) override {
    vexo3::ShowError(window_, caption, text);
  }
  void OnProgress(Unit unit, uint64_t done, uint64_t total) override {
    window_.ShowUploadProgress(unit, done, total);
  }
  void OnEnd(const UpdateOutcome& outcome) override {
    window_.ShowUpdateEnd(outcome);
    window_.SetControlEnabled(DialogControl::BrowseButton, true);
    window_.SetControlEnabled(DialogControl::UpdateButton, true);
    window_.SetControlEnabled(DialogControl::FirmwareFileField, true);
    window_.Redraw();
  }
  bool Answer(const Question& question) override {
    return window_.ShowMessageBox(question.caption, question.text, MessageIcon::Warning,
                                  MessageButtons::YesNo) == MessageAnswer::Yes;
  }

 private:
  MainWindow& window_;
};

}  // namespace

ResultCode SivraActions::ReadDeviceInfo() {
  DeviceReportRecords records;
  const ResultCode r = QueryDevice(session_, &records);
  if (r != kOk) {
    ShowError(window_, "ERROR", DeviceErrorText(r));
    session_.CloseSession();
    return r;
  }
  window_.ShowDeviceReport(BuildDeviceReport(records));
  return kOk;
}

UpdateOutcome SivraActions::UpdateFirmware(StopPolicy& stop) {
  DialogUpdate dialog(window_);
  UpdateEngine engine(session_, package_, dialog, dialog, stop);
  UpdateRequest request;
  request.asked = [this](Unit unit) { return window_.IsChecked(BoxOf(unit)); };
  return engine.Run(request);
}

void SivraActions::BrowseFirmwareFile() {
  const std::optional<std::string> path = window_.ChooseFirmwareFile();
  if (!path)
    return;
  window_.SetFirmwareFileText(*path);
  LoadSelectedPackage();
}

int SivraActions::LoadSelectedPackage() {
  // The field's UTF-8 text is the path as is: Linux paths are bytes, and
  // re-encoding them would break names outside one code page.
  const std::string path = window_.FirmwareFileText();
  const int code = package_.LoadPackage(path);
  if (code == FirmwarePackage::kOk) {
    window_.SetSummaryText(BuildPackageSummary(package_));
    return code;
  }
  ShowError(window_, "Loading failed", "Error: " + LoaderErrorText(code, path));
  // The loader keeps the images read before the fault; never upload from a
  // file the user was just told failed to load.
  package_.hcImage.ReleaseData();
  package_.cameraImage.ReleaseData();
  window_.SetSummaryText("");
  return code;
}

}  // namespace vexo3
