#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "firmware/firmware_package.h"
#include "ui/core/action_thread.h"
#include "ui/core/main_window.h"
#include "ui/core/sivra_actions.h"

namespace vexo3 {

class DeviceSession;

// The main dialog (template 102) as a plain Win32 dialog: owns the package and
// runs the three actions against the session it is given. Each action runs
// to its end inside its button handler, on a worker thread: meanwhile this
// thread answers messages sent to it, paints and runs timers, and performs
// the window calls the action asks for (and whatever the action's own boxes
// and dialogs run); user input waits in the queue until the action ends.
// Beyond the template: a progress strip along the bottom for uploads, and
// the focus goes back to where it was when an action ends.
class CSivraDlg final : public MainWindow {
 public:
  // session must outlive the dialog. Resources come from the program's own
  // module (the .rc is linked into the executable).
  explicit CSivraDlg(DeviceSession& session);
  ~CSivraDlg() override;
  CSivraDlg(const CSivraDlg&) = delete;
  CSivraDlg& operator=(const CSivraDlg&) = delete;

  // Runs the dialog modally; returns when it closes (close box, Esc, or
  // Enter while no push button has the focus).
  void DoModal();
  // Opens the dialog without a loop of its own, for tests and screenshots:
  // the caller pumps messages through IsDialogMessageW. Closing destroys the
  // window. False when the window can't be created.
  bool Create();
  // Null before Create/DoModal and once the dialog has closed.
  HWND hwnd() const { return hwnd_; }
  HWND Control(int id) const { return GetDlgItem(hwnd_, id); }
  HWND progressBar() const { return progress_; }
  HICON icon() const { return bigIcon_; }
  FirmwarePackage& package() { return package_; }
  bool busy() const { return actionThread_.busy(); }
  // The phase of the last update, as the actions told it.
  ActionPhase phase() const { return phase_; }

  // The buttons' handlers.
  void BrowseFirmwareFile();
  void UpdateFirmware();
  void ReadDeviceInfo();
  void LoadSelectedPackage();

  // MainWindow
  MessageAnswer ShowMessageBox(const std::string& caption, const std::string& text,
                               MessageIcon icon, MessageButtons buttons) override;
  void SetStatusText(const std::string& text) override;
  void OnPhase(const PhaseChange& change) override;
  void SetControlEnabled(DialogControl control, bool enabled) override;
  bool IsChecked(DialogCheckBox box) override;
  std::string FirmwareFileText() override;
  void SetFirmwareFileText(const std::string& text) override;
  std::optional<std::string> ChooseFirmwareFile() override;
  void SetSummaryText(const std::string& text) override;
  void ShowDeviceReport(const std::string& report, const DeviceReportRecords& records) override;
  void Redraw() override;
  void OnUploadProgress(std::string_view imageName, uint64_t bytesDone,
                        uint64_t bytesTotal) override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void OnInitDialog();
  void AddProgressStrip();
  // Places the strip and grows the dialog to hold it, for this DPI: the
  // layout made at creation, scaled.
  void LayOutStrip(UINT dpi);
  // The dialog has moved to a monitor of another scale: Windows re-lays the
  // template's controls; the window takes the suggested rectangle and the
  // strip and the extra height follow the new DPI.
  void OnDpiChanged(UINT dpi, const RECT& suggested);
  bool PaintIconic();
  void Close(int result);
  // Marks an action as running (the window can't close under it) and puts
  // the focus back afterwards.
  template <typename F>
  void RunAction(F&& action);
  // Runs this thread's messages until `ended` is signalled: sent messages
  // (the relayed window calls among them), paints and timers; never user
  // input nor other posted messages.
  void WaitAnswering(HANDLE ended);
  // Lets pending paints and timers run, and the messages sent meanwhile.
  void KeepAlive();

  FirmwarePackage package_;
  WindowRelay relay_;  // the actions' window: this one, from the worker
  SivraActions actions_;
  ActionThread actionThread_;
  HWND hwnd_ = nullptr;
  HWND progress_ = nullptr;
  UINT createdDpi_ = USER_DEFAULT_SCREEN_DPI;  // the DPI the template was laid out for
  RECT stripAtCreation_ = {};                  // the strip's pixels then
  int heightAtCreation_ = 0;                   // the client height that holds it then
  HICON bigIcon_ = nullptr;
  HICON smallIcon_ = nullptr;
  bool modal_ = false;
  ActionPhase phase_ = ActionPhase::Done;
};

}  // namespace vexo3
