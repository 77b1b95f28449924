#pragma once

#include <QDialog>
#include <QString>
#include <optional>
#include <string>

#include "firmware/firmware_package.h"
#include "ui/core/action_thread.h"
#include "ui/core/main_window.h"
#include "ui/core/sivra_actions.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace vexo3 {

class DeviceSession;

// The main dialog: owns the package and runs the three actions against the
// session it is given. Each action runs to its end inside its button handler,
// on a worker thread, while this thread runs its events but user input and
// performs the window calls the action asks for.
class CSivraDlg : public QDialog, public MainWindow {
  Q_OBJECT

 public:
  explicit CSivraDlg(DeviceSession& session, QWidget* parent = nullptr);
  ~CSivraDlg() override;

  FirmwarePackage& package() { return package_; }
  bool busy() const { return actionThread_.busy(); }

  // Ends the program as soon as no action runs (signal: SIGTERM and the
  // like): an update running now finishes the unit it is writing, writes
  // nothing after it and says on stderr what it left behind.
  void RequestTerminate(int signal);
  bool terminateRequested() const { return terminateSignal_ != 0; }

  // The controls, for tests and screenshots.
  QLineEdit* fileEdit() const { return fileEdit_; }
  QLabel* summaryLabel() const { return summaryLabel_; }
  QLabel* statusLabel() const { return statusLabel_; }
  QPushButton* browseButton() const { return browseButton_; }
  QPushButton* updateButton() const { return updateButton_; }
  QPushButton* readInfoButton() const { return readInfoButton_; }
  QCheckBox* hcCheck() const { return hcCheck_; }
  QCheckBox* cameraCheck() const { return cameraCheck_; }
  QProgressBar* progressBar() const { return progressBar_; }

  VEXO3_MAIN_WINDOW_OVERRIDES;

 public slots:
  void BrowseFirmwareFile();
  void UpdateFirmware();
  void ReadDeviceInfo();
  void LoadSelectedPackage();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void done(int result) override;

 private:
  // Marks an action as running, so the window can't be closed under it.
  template <typename F>
  void RunAction(F&& action);
  FirmwarePackage package_;
  WindowRelay relay_;  // the actions' window: this one, from the worker
  SivraActions actions_;
  ActionThread actionThread_;
  StopFlag stop_;  // set by a terminating signal, read by the running update
  int terminateSignal_ = 0;
  // A close asked for during an action, carried out once it has ended.
  bool closeRequested_ = false;

  QLineEdit* fileEdit_;
  QPushButton* browseButton_;
  QLabel* summaryLabel_;
  QPushButton* updateButton_;
  QLabel* statusLabel_;
  QCheckBox* hcCheck_;
  QCheckBox* cameraCheck_;
  QPushButton* readInfoButton_;
  QProgressBar* progressBar_;
};

}  // namespace vexo3
