#include "ui/qt/sivra_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "platform/signals.h"
#include "ui/qt/devinfo_dlg.h"
#include "ui/qt/dialog_units.h"

// The resources live in a static library, whose unreferenced initialiser the
// linker drops: register them by hand. Must be outside any namespace.
static void InitVexo3Resources() {
  Q_INIT_RESOURCE(vexo3_updater);
}

namespace vexo3 {
namespace {

QString ToQt(const std::string& text) {
  return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// Widens a control to its natural size when the font needs more room than the
// template gives; it keeps its place.
void FitWidth(QWidget* widget) {
  const int natural = widget->sizeHint().width();
  if (natural > widget->width())
    widget->resize(natural, widget->height());
}

QPushButton* MakeButton(const QString& text, QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  // No push button is the default, and none becomes it by having the focus.
  button->setAutoDefault(false);
  button->setDefault(false);
  return button;
}

}  // namespace

CSivraDlg::CSivraDlg(DeviceSession& session, QWidget* parent)
    : QDialog(parent),
      relay_(*this,
             [this](const std::function<void()>& call) {
               // Returns once the dialog's thread has run it.
               QMetaObject::invokeMethod(this, call, Qt::BlockingQueuedConnection);
             }),
      actions_(session, package_, relay_) {
  InitVexo3Resources();
  setWindowTitle(QStringLiteral("Vexo-3 updater ver. 1.2"));
  setWindowIcon(QIcon(QStringLiteral(":/vexo3/vexo3-updater.png")));
  // A top-level window, not a transient dialog: it is the program, so it
  // gets a task-bar entry of its own.
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  const DialogUnits du(font());

  // Created in the template's order, which is also the tab order.
  fileEdit_ = new QLineEdit(this);
  fileEdit_->setGeometry(du.Rect(7, 19, 258, 12));

  auto* fileLabel = new QLabel(QStringLiteral("Firmware file:"), this);
  fileLabel->setGeometry(du.Rect(7, 7, 47, 12));
  fileLabel->setBuddy(fileEdit_);
  FitWidth(fileLabel);

  browseButton_ = MakeButton(QStringLiteral("..."), this);
  browseButton_->setGeometry(du.Rect(270, 18, 20, 13));

  summaryLabel_ = new QLabel(this);
  summaryLabel_->setGeometry(du.Rect(7, 56, 158, 90));
  summaryLabel_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  summaryLabel_->setWordWrap(false);
  summaryLabel_->setTextFormat(Qt::PlainText);

  updateButton_ = MakeButton(QStringLiteral("Update firmwares"), this);
  updateButton_->setGeometry(du.Rect(195, 107, 70, 20));

  statusLabel_ = new QLabel(this);
  statusLabel_->setGeometry(du.Rect(171, 133, 121, 13));
  statusLabel_->setAlignment(Qt::AlignCenter);
  statusLabel_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  statusLabel_->setTextFormat(Qt::PlainText);

  hcCheck_ = new QCheckBox(QStringLiteral("HandController"), this);
  hcCheck_->setGeometry(du.Rect(201, 79, 64, 10));
  hcCheck_->setChecked(true);
  FitWidth(hcCheck_);

  cameraCheck_ = new QCheckBox(QStringLiteral("Camera"), this);
  cameraCheck_->setGeometry(du.Rect(201, 92, 43, 10));
  cameraCheck_->setChecked(true);
  FitWidth(cameraCheck_);

  readInfoButton_ = MakeButton(QStringLiteral("Read device info"), this);
  readInfoButton_->setGeometry(du.Rect(195, 53, 70, 20));

  setTabOrder(fileEdit_, browseButton_);
  setTabOrder(browseButton_, updateButton_);
  setTabOrder(updateButton_, hcCheck_);
  setTabOrder(hcCheck_, cameraCheck_);
  setTabOrder(cameraCheck_, readInfoButton_);

  // Beyond the template: upload progress along the bottom; the dialog grows
  // just enough to hold it.
  progressBar_ = new QProgressBar(this);
  const int barTop = du.Y(150);
  const int barHeight = std::max(du.Y(10), progressBar_->sizeHint().height());
  progressBar_->setGeometry(du.X(7), barTop, du.X(285), barHeight);
  progressBar_->setRange(0, 1);
  progressBar_->setValue(0);
  progressBar_->setTextVisible(false);
  progressBar_->setFocusPolicy(Qt::NoFocus);

  setFixedSize(du.X(299), std::max(du.Y(153), barTop + barHeight + du.Y(5)));

  connect(browseButton_, &QPushButton::clicked, this, &CSivraDlg::BrowseFirmwareFile);
  connect(updateButton_, &QPushButton::clicked, this, &CSivraDlg::UpdateFirmware);
  connect(readInfoButton_, &QPushButton::clicked, this, &CSivraDlg::ReadDeviceInfo);
  fileEdit_->setFocus();
}

CSivraDlg::~CSivraDlg() = default;

template <typename F>
void CSivraDlg::RunAction(F&& action) {
  if (busy())
    return;  // no action starts inside another
  // Disabling the focused button hands the focus to the next control (the
  // check box after "Update firmwares"), where Enter would close the
  // program. Give it back to the control that had it.
  QPointer<QWidget> hadFocus = focusWidget();
  QEventLoop loop;
  actionThread_.Run(
      action,
      [&loop] { QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection); },
      [&loop](const std::function<bool()>& ended) {
        // User input waits until the action has ended.
        while (!ended())
          loop.exec(QEventLoop::ExcludeUserInputEvents);
      });
  if (hadFocus && hadFocus->isEnabled() && hadFocus != focusWidget())
    hadFocus->setFocus(Qt::OtherFocusReason);
  if (terminateRequested() || closeRequested_)
    done(QDialog::Rejected);
}

void CSivraDlg::RequestTerminate(int signal) {
  if (terminateSignal_ == 0)
    terminateSignal_ = signal;
  stop_.Request(StopRequest::AfterUnit);
  if (!busy())
    done(QDialog::Rejected);
}

void CSivraDlg::BrowseFirmwareFile() {
  RunAction([this] { actions_.BrowseFirmwareFile(); });
}
void CSivraDlg::UpdateFirmware() {
  RunAction([this] { actions_.UpdateFirmware(stop_); });
}
void CSivraDlg::ReadDeviceInfo() {
  RunAction([this] { actions_.ReadDeviceInfo(); });
}
void CSivraDlg::LoadSelectedPackage() {
  RunAction([this] { actions_.LoadSelectedPackage(); });
}

MessageAnswer CSivraDlg::ShowMessageBox(const std::string& caption, const std::string& text,
                                        MessageIcon icon, MessageButtons buttons) {
  QString body = ToQt(text);
  body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  QMessageBox box(icon == MessageIcon::Error ? QMessageBox::Critical : QMessageBox::Warning,
                  ToQt(caption), body, QMessageBox::NoButton, this);
  box.setTextFormat(Qt::PlainText);
  if (buttons == MessageButtons::YesNo) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
  } else {
    box.setStandardButtons(QMessageBox::Ok);
  }
  const int answer = box.exec();
  if (buttons == MessageButtons::Ok)
    return MessageAnswer::Ok;
  return answer == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
}

void CSivraDlg::ShowUpdateStart() {
  // A new run: nothing of the last one's bytes may show.
  progressBar_->setRange(0, 1);
  progressBar_->setValue(0);
  progressBar_->setTextVisible(false);
}

void CSivraDlg::ShowUpdateEnd(const UpdateOutcome& outcome) {
  if (const std::optional<Unit> failed = outcome.FailedUnit()) {
    // The strip names the unit that failed and what it took.
    const UnitOutcome& unit = outcome.unit(*failed);
    const std::string_view name = UnitName(*failed);
    progressBar_->setFormat(QStringLiteral("%1: failed after %2 of %3 bytes")
                                .arg(QString::fromUtf8(name.data(), qsizetype(name.size())))
                                .arg(unit.bytesDone)
                                .arg(unit.bytesTotal));
    progressBar_->setTextVisible(true);
  }
  if (outcome.end == UpdateStage::Stopped && terminateSignal_ != 0) {
    const std::string report = UnitsReport(
        std::string("vexo3-updater: interrupted (") + SignalName(terminateSignal_) + ").", outcome);
    std::fputs(report.c_str(), stderr);
    std::fflush(stderr);
  }
}

void CSivraDlg::SetStatusText(const std::string& text) {
  statusLabel_->setText(ToQt(text));
  statusLabel_->repaint();
}

void CSivraDlg::SetControlEnabled(DialogControl control, bool enabled) {
  switch (control) {
    case DialogControl::BrowseButton:
      browseButton_->setEnabled(enabled);
      break;
    case DialogControl::UpdateButton:
      updateButton_->setEnabled(enabled);
      break;
    case DialogControl::FirmwareFileField:
      fileEdit_->setEnabled(enabled);
      break;
  }
}

bool CSivraDlg::IsChecked(DialogCheckBox box) {
  return (box == DialogCheckBox::HandController ? hcCheck_ : cameraCheck_)->isChecked();
}

std::string CSivraDlg::FirmwareFileText() {
  return fileEdit_->text().toStdString();
}

void CSivraDlg::SetFirmwareFileText(const std::string& text) {
  fileEdit_->setText(ToQt(text));
}

std::optional<std::string> CSivraDlg::ChooseFirmwareFile() {
  QFileDialog dialog(this);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilter(QStringLiteral("Vexo-3 firmware files (*.bin)"));
  dialog.setDefaultSuffix(QStringLiteral("bin"));
  if (dialog.exec() != QDialog::Accepted)
    return std::nullopt;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty())
    return std::nullopt;
  return files.first().toStdString();
}

void CSivraDlg::SetSummaryText(const std::string& text) {
  summaryLabel_->setText(ToQt(text));
}

void CSivraDlg::ShowDeviceReport(const std::string& report) {
  CDevinfoDlg dialog(report, this);
  dialog.exec();
}

void CSivraDlg::Redraw() {
  repaint();
}

void CSivraDlg::ShowUploadProgress(Unit unit, uint64_t bytesDone, uint64_t bytesTotal) {
  // Images are at most 2 MiB, so int holds the counts.
  const int total = static_cast<int>(std::min<uint64_t>(bytesTotal, INT32_MAX));
  const int done = static_cast<int>(std::min<uint64_t>(bytesDone, static_cast<uint64_t>(total)));
  const std::string_view name = UnitName(unit);
  progressBar_->setRange(0, std::max(total, 1));
  progressBar_->setValue(done);
  progressBar_->setFormat(QStringLiteral("%1: %2 of %3 bytes")
                              .arg(QString::fromUtf8(name.data(), qsizetype(name.size())))
                              .arg(done)
                              .arg(total));
  progressBar_->setTextVisible(true);
  progressBar_->repaint();
}

void CSivraDlg::keyPressEvent(QKeyEvent* event) {
  if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
      // A focused push button takes Enter; anywhere else it closes the dialog.
      if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
        if (button->isEnabled())
          button->click();
      } else {
        accept();
      }
      return;
    }
  }
  QDialog::keyPressEvent(event);
}

void CSivraDlg::closeEvent(QCloseEvent* event) {
  if (busy()) {
    // Kept, and carried out once the action has ended.
    closeRequested_ = true;
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void CSivraDlg::done(int result) {
  if (busy()) {
    closeRequested_ = true;  // the window stays until the running action ends
    return;
  }
  closeRequested_ = false;
  QDialog::done(result);
}

}  // namespace vexo3
