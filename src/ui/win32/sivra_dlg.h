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
  // The unit whose upload the strip shows; nullopt before the first chunk
  // of an update.
  std::optional<Unit> progressUnit() const { return progressUnit_; }

  // The buttons' handlers.
  void BrowseFirmwareFile();
  void UpdateFirmware();
  void ReadDeviceInfo();
  void LoadSelectedPackage();

  VEXO3_MAIN_WINDOW_OVERRIDES;

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
  std::optional<Unit> progressUnit_;
};

}  // namespace vexo3
