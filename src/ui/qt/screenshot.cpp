#include "ui/qt/screenshot.h"

#include <QApplication>
#include <QDir>
#include <QFocusEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <vector>

#include "sim/units/package_writer.h"
#include "ui/qt/devinfo_dlg.h"
#include "ui/qt/sivra_dlg.h"

namespace vexo3 {

bool TakeScreenshots(CSivraDlg& dialog, const std::string& dir) {
  const QDir out(QString::fromStdString(dir));
  if (!out.exists() && !QDir().mkpath(out.path()))
    return false;

  const QString package = QDir(QDir::tempPath()).filePath(QStringLiteral("vexo3-demo.bin"));
  if (!sim::WritePackage(package.toStdString(), sim::DemoPackage()))
    return false;

  bool ok = true;
  // Modal windows run their own loops: deal with them from a timer. The report
  // is photographed; any message box means the run went wrong.
  QTimer watcher;
  watcher.setInterval(20);
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* report = qobject_cast<CDevinfoDlg*>(modal)) {
      ok = report->grab().save(out.filePath(QStringLiteral("device-information.png"))) && ok;
      report->accept();
    } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      std::fprintf(stderr, "vexo3-updater: %s: %s\n", qPrintable(box->windowTitle()),
                   qPrintable(box->text()));
      ok = false;
      box->reject();
    }
  });
  watcher.start();

  dialog.show();
  dialog.SetFirmwareFileText(package.toStdString());
  dialog.LoadSelectedPackage();
  dialog.UpdateFirmware();
  QApplication::processEvents();
  // As after a click on the update button. The offscreen platform never
  // activates the window, so tell the field itself that it lost the focus.
  dialog.updateButton()->setFocus();
  QFocusEvent focusOut(QEvent::FocusOut, Qt::OtherFocusReason);
  QApplication::sendEvent(dialog.fileEdit(), &focusOut);
  ok = dialog.grab().save(out.filePath(QStringLiteral("main-dialog.png"))) && ok;
  dialog.ReadDeviceInfo();

  watcher.stop();
  QFile::remove(package);
  return ok;
}

}  // namespace vexo3
