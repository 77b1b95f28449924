#include "ui/core/sivra_actions.h"

#include "device/camera.h"
#include "device/hand_controller.h"
#include "platform/clock.h"
#include "ui/core/device_report.h"
#include "ui/core/package_summary.h"
#include "ui/core/text_format.h"

namespace vexo3 {
namespace {

constexpr const char* kPcbWarningFormat =
    "PCB version (0x%1x) is reported to be newer (lower value) than the Firmware supports "
    "(0x%1x).\r\nAre you sure to upload this into the device?\r\n\r\n(When doing this the "
    "Firmware may not work or even start but a serious error is indicated when trying to "
    "start.)";

// Feeds an upload's progress to the window under the image's name.
class WindowProgress final : public ProgressObserver {
 public:
  WindowProgress(MainWindow& window, std::string_view imageName)
      : window_(window), imageName_(imageName) {}
  void OnProgress(uint64_t bytesDone, uint64_t bytesTotal) override {
    bytesDone_ = bytesDone;
    window_.OnUploadProgress(imageName_, bytesDone, bytesTotal);
  }
  uint64_t BytesDone() const { return bytesDone_; }
  bool StopRequested() override { return window_.UploadStopRequested(); }

 private:
  MainWindow& window_;
  std::string_view imageName_;
  uint64_t bytesDone_ = 0;
};

void ShowError(MainWindow& window, const std::string& caption, const std::string& text) {
  window.ShowMessageBox(caption, text, MessageIcon::Error, MessageButtons::Ok);
}

}  // namespace

ResultCode QueryDevice(DeviceSession& session, DeviceReportRecords* records) {
  DeviceState& hc = records->hc;
  bool cameraStarted = false;
  auto fail = [&](ResultCode code) {
    if (cameraStarted)
      StopCamera(session);  // owed once StartCamera was called
    return code;
  };

  ResultCode r = ReadDeviceState(session, hc);
  if (r != 0)
    return fail(r);

  if (hc.bootMode) {
    cameraStarted = true;
    r = StartCamera(session);
    if (r == 0) {
      r = ReadCameraState(session, &records->camera);
      if (r != 0)
        return fail(r);
      r = ReadCameraFirmwareInfo(session, &records->cameraFirmware);
      if (r != 0)
        return fail(r);
      records->cameraAccessed = true;
    } else if (r != 106) {
      // 106: the Camera can't be reached; the report says so.
      return fail(r);
    }
    cameraStarted = false;
    r = StopCamera(session);
    if (r != 0)
      return fail(r);
  }

  r = ReadFirmwareInfo(session, &records->hcFirmware);
  if (r == 57) {
    records->firmwareInfoMissing = true;
  } else if (r != 0) {
    return fail(r);
  }
  return 0;
}

ActionOutcome SivraActions::ReadDeviceInfo() {
  DeviceReportRecords records;
  ActionOutcome outcome;
  outcome.ran = true;
  const ResultCode r = QueryDevice(session_, &records);
  if (r != 0) {
    ShowError(window_, "ERROR", DeviceErrorText(r));
    session_.CloseSession();
    outcome.end = {ActionPhase::Failed, r};
    return outcome;
  }
  window_.ShowDeviceReport(BuildDeviceReport(records), records);
  outcome.end = {ActionPhase::Done};
  return outcome;
}

ActionOutcome SivraActions::UpdateFirmware() {
  ActionOutcome outcome;
  // Nothing to upload for a ticked box: do nothing at all.
  if (window_.IsChecked(DialogCheckBox::HandController) && !package_.hcImage.IsPresent())
    return outcome;
  if (window_.IsChecked(DialogCheckBox::Camera) && !package_.cameraImage.IsPresent())
    return outcome;
  outcome.ran = true;

  window_.SetControlEnabled(DialogControl::BrowseButton, false);
  window_.SetControlEnabled(DialogControl::UpdateButton, false);
  window_.SetControlEnabled(DialogControl::FirmwareFileField, false);
  window_.OnPhase({ActionPhase::ReadingDevice});
  window_.SetStatusText("Reading device state...");

  // Each failure shows its one box and returns false, with `failed` saying
  // what stopped it.
  PhaseChange failed{ActionPhase::Failed};
  auto refuse = [&](UpdateRefusal why) {
    failed.refusal = why;
    return false;
  };
  auto run = [&]() -> bool {
    int32_t bootMode = 0;
    uint16_t protocolVersion = 0;
    uint16_t protocolVersion2 = 0;
    ResultCode r = ReadDeviceMode(session_, &bootMode, &protocolVersion, &protocolVersion2);
    if (r != 0) {
      ShowError(window_, "Can't read device mode", DeviceErrorText(r));
      failed.code = r;
      return false;
    }
    if (bootMode == 0) {
      ShowError(window_, "ERROR", "Device is not in boot mode");
      return refuse(UpdateRefusal::NotBootMode);
    }
    if (protocolVersion >= 0x100) {
      ShowError(window_, "ERROR", "Protocol version is wrong");
      return refuse(UpdateRefusal::ProtocolVersion);
    }
    uint8_t pcb = 0;
    r = ReadPcbId(session_, &pcb);
    if (r != 0) {
      ShowError(window_, "Can't read PCB ID (version)", ResultText(r));
      failed.code = r;
      return false;
    }
    const uint8_t supported = package_.hcImage.supportedPcb();
    if (pcb < supported) {
      std::string text;
      AppendFormat(text, kPcbWarningFormat, static_cast<unsigned>(pcb),
                   static_cast<unsigned>(supported));
      if (window_.ShowMessageBox("WARNING", text, MessageIcon::Warning, MessageButtons::YesNo) !=
          MessageAnswer::Yes) {
        return refuse(UpdateRefusal::PcbDeclined);
      }
    }

    // The boxes are read again here. An image that is absent now was not
    // asked for at the start, and has no data to send: skip it.
    FirmwareImage& hcImage = package_.hcImage;
    if (window_.IsChecked(DialogCheckBox::HandController) && hcImage.IsPresent()) {
      window_.OnPhase({ActionPhase::UploadingHandController});
      window_.SetStatusText("Uploading HC firmware...");
      WindowProgress progress(window_, kHcImageName);
      r = UploadHcFirmware(session_, hcImage.data.get(), static_cast<int32_t>(hcImage.length),
                           hcImage.startCode, &progress);
      if (r == 0) {
        outcome.unitsWritten.push_back(kHcImageName);
        session_.clock().Sleep(100);
      } else {
        // The unit is still inside its update procedure: close it.
        if (r == 100 || r == 104)
          EndUpdate(session_);
        ShowError(window_, "HC firmware update error", ResultText(r));
        failed.code = r;
        failed.unit = kHcImageName;
        outcome.failedUnitBytes = progress.BytesDone();
        return false;
      }
    }

    FirmwareImage& cameraImage = package_.cameraImage;
    if (window_.IsChecked(DialogCheckBox::Camera) && cameraImage.IsPresent()) {
      window_.OnPhase({ActionPhase::UploadingCamera});
      window_.SetStatusText("Uploading Camera firmware...");
      WindowProgress progress(window_, kCameraImageName);
      r = UploadCameraFirmware(session_, cameraImage.data.get(),
                               static_cast<int32_t>(cameraImage.length), cameraImage.startCode,
                               &progress);
      if (r != 0) {
        ShowError(window_, "Camera firmware update error", ResultText(r));
        failed.code = r;
        failed.unit = kCameraImageName;
        outcome.failedUnitBytes = progress.BytesDone();
        return false;
      }
      outcome.unitsWritten.push_back(kCameraImageName);
    }
    return true;
  };

  if (run()) {
    outcome.end = {ActionPhase::Done};
    window_.OnPhase(outcome.end);
    window_.SetStatusText("DONE ok");
  } else {
    outcome.end = failed;
    window_.OnPhase(outcome.end);
    window_.SetStatusText("Update failed...");
    session_.CloseSession();
  }

  window_.SetControlEnabled(DialogControl::BrowseButton, true);
  window_.SetControlEnabled(DialogControl::UpdateButton, true);
  window_.SetControlEnabled(DialogControl::FirmwareFileField, true);
  window_.Redraw();
  return outcome;
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
