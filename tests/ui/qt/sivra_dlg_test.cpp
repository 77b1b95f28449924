// The main dialog under the offscreen platform, against the simulated device.

#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <vector>

#include "platform/clock.h"
#include "sim/bus/sim_bus.h"
#include "sim/units/package_writer.h"
#include "sim/units/sim_image.h"
#include "support/fixtures.h"
#include "support/sim_rig.h"
#include "ui/core/package_summary.h"
#include "ui/core/updater_options.h"
#include "ui/dialog_scenarios.h"
#include "ui/dialog_templates.h"
#include "ui/qt/devinfo_dlg.h"
#include "ui/qt/dialog_units.h"
#include "ui/qt/sivra_dlg.h"
#include "ui/qt/terminate_signal.h"

namespace vexo3 {
namespace {

namespace ds = dialog_scenario;
using test::UpdatableConfig;

QString ToQt(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Runs fn on the next modal window that opens (a box or a dialog that the
// action under test shows); polls until one does.
void OnNextModal(std::function<void(QWidget*)> fn, int triesLeft = 500) {
  QTimer::singleShot(5, [fn = std::move(fn), triesLeft]() mutable {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      fn(modal);
    } else if (triesLeft > 0) {
      OnNextModal(std::move(fn), triesLeft - 1);
    }
  });
}

}  // namespace

class SivraDlgTest : public QObject {
  Q_OBJECT

 private:
  QString WritePackage(uint16_t hcFlags = 0x1000) {
    return QString::fromStdString(dir_.Package("package.bin", ds::Package(hcFlags)));
  }

  test::ScratchDir dir_;

 private slots:
  void startState() {
    SimRig rig(UpdatableConfig());
    CSivraDlg dlg(rig.session);
    dlg.show();
    QCOMPARE(dlg.windowTitle(), QStringLiteral("Vexo-3 updater ver. 1.2"));
    QVERIFY(!dlg.windowIcon().pixmap(32, 32).isNull());
    QVERIFY(dlg.hcCheck()->isChecked());
    QVERIFY(dlg.cameraCheck()->isChecked());
    QVERIFY(dlg.fileEdit()->text().isEmpty());
    QVERIFY(dlg.summaryLabel()->text().isEmpty());
    QVERIFY(dlg.statusLabel()->text().isEmpty());
    for (QPushButton* b : {dlg.browseButton(), dlg.updateButton(), dlg.readInfoButton()}) {
      QVERIFY(b->isEnabled());
      QVERIFY(!b->isDefault());
      QVERIFY(!b->autoDefault());
    }
    QCOMPARE(dlg.browseButton()->text(), QStringLiteral("..."));
    QCOMPARE(dlg.updateButton()->text(), QStringLiteral("Update firmwares"));
    QCOMPARE(dlg.readInfoButton()->text(), QStringLiteral("Read device info"));
    // Tab order of the template.
    QWidget* w = dlg.fileEdit();
    const std::vector<QWidget*> order = {dlg.browseButton(), dlg.updateButton(), dlg.hcCheck(),
                                         dlg.cameraCheck(), dlg.readInfoButton()};
    for (QWidget* next : order) {
      while (w->nextInFocusChain()->focusPolicy() == Qt::NoFocus)
        w = w->nextInFocusChain();
      QCOMPARE(w->nextInFocusChain(), next);
      w = next;
    }
    // No package: the update button does nothing at all.
    dlg.updateButton()->click();
    QVERIFY(dlg.statusLabel()->text().isEmpty());
    QCOMPARE(rig.chip.CallCount(sim::D2xxCall::Open), 0u);
  }

  void controlsKeepTheirTemplatePlaces() {
    SimRig rig(UpdatableConfig());
    CSivraDlg dlg(rig.session);
    const DialogUnits du(dlg.font());
    // The template's controls by id (the label has none).
    const std::map<int, QWidget*> byId = {
        {dialog_template::kFileField, dlg.fileEdit()},
        {dialog_template::kBrowseButton, dlg.browseButton()},
        {dialog_template::kSummaryText, dlg.summaryLabel()},
        {dialog_template::kUpdateButton, dlg.updateButton()},
        {dialog_template::kStatusText, dlg.statusLabel()},
        {dialog_template::kHcCheckBox, dlg.hcCheck()},
        {dialog_template::kCameraCheckBox, dlg.cameraCheck()},
        {dialog_template::kReadInfoButton, dlg.readInfoButton()},
    };
    for (const dialog_template::Control& c : dialog_template::kMainControls) {
      const auto found = byId.find(c.id);
      if (found == byId.end())
        continue;
      QWidget* widget = found->second;
      const QRect rect = du.Rect(c.x, c.y, c.width, c.height);
      QCOMPARE(widget->pos(), rect.topLeft());
      QCOMPARE(widget->height(), rect.height());
      if (c.kind == dialog_template::Kind::CheckBox) {
        QVERIFY(widget->width() >= rect.width());  // widens when its text needs more room
      } else {
        QCOMPARE(widget->width(), rect.width());
      }
    }
    // The progress bar is below everything of the template.
    QVERIFY(dlg.progressBar()->geometry().top() > du.Y(146));
    QVERIFY(dlg.progressBar()->geometry().bottom() < dlg.height());
    QCOMPARE(dlg.width(), du.X(299));
  }

  void enterOrEscClosesTheDialog() {
    // Enter and Esc close it from any control but a push button.
    for (const bool inFileField : {false, true}) {
      for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
        SimRig rig(UpdatableConfig());
        CSivraDlg dlg(rig.session);
        dlg.show();
        QWidget* focus = inFileField ? static_cast<QWidget*>(dlg.fileEdit())
                                     : static_cast<QWidget*>(dlg.hcCheck());
        focus->setFocus();
        QTest::keyClick(focus, key);
        QVERIFY(!dlg.isVisible());
      }
    }
  }

  void enterOnAFocusedButtonPressesIt() {
    SimRig rig(UpdatableConfig());
    CSivraDlg dlg(rig.session);
    dlg.show();
    dlg.updateButton()->setFocus();
    bool clicked = false;
    connect(dlg.updateButton(), &QPushButton::clicked, [&] { clicked = true; });
    QTest::keyClick(dlg.updateButton(), Qt::Key_Return);
    QVERIFY(clicked);
    QVERIFY(dlg.isVisible());
  }

  void chosenPackageIsSummarised() {
    SimRig rig(UpdatableConfig());
    CSivraDlg dlg(rig.session);
    dlg.show();
    const QString path = WritePackage();
    QVERIFY(!path.isEmpty());
    bool sawChooser = false;
    OnNextModal([&](QWidget* modal) {
      auto* chooser = qobject_cast<QFileDialog*>(modal);
      sawChooser = chooser != nullptr;
      if (!chooser)
        return modal->close(), void();
      QCOMPARE(chooser->nameFilters(), QStringList{ToQt(ds::kFileFilter)});
      QCOMPARE(chooser->fileMode(), QFileDialog::ExistingFile);
      chooser->selectFile(path);
      static_cast<QDialog*>(chooser)->accept();  // QFileDialog::accept, virtually
    });
    dlg.browseButton()->click();
    QVERIFY(sawChooser);
    QCOMPARE(dlg.fileEdit()->text(), path);
    QCOMPARE(dlg.summaryLabel()->text(),
             QString::fromStdString(BuildPackageSummary(dlg.package())));
    QVERIFY(dlg.package().hcImage.IsPresent());
  }

  void updateRunsToDoneOk() {
    SimRig rig(UpdatableConfig());
    CSivraDlg dlg(rig.session);
    dlg.show();
    dlg.fileEdit()->setText(WritePackage());
    dlg.LoadSelectedPackage();
    QVERIFY(dlg.package().cameraImage.IsPresent());
    // Controls are disabled while the upload runs.
    bool disabledDuringUpload = true;
    QMetaObject::Connection watch = connect(dlg.progressBar(), &QProgressBar::valueChanged, [&] {
      disabledDuringUpload = disabledDuringUpload && !dlg.updateButton()->isEnabled() &&
                             !dlg.browseButton()->isEnabled() && !dlg.fileEdit()->isEnabled();
    });
    dlg.updateButton()->click();
    disconnect(watch);
    QCOMPARE(dlg.statusLabel()->text(), ToQt(ds::kDone));
    QVERIFY(disabledDuringUpload);
    QVERIFY(dlg.updateButton()->isEnabled());
    QVERIFY(dlg.browseButton()->isEnabled());
    QVERIFY(dlg.fileEdit()->isEnabled());
    QCOMPARE(dlg.progressBar()->value(), int{ds::kCameraImageSize});
    QCOMPARE(rig.hc.Flash(sim::Unit::Camera).size(), size_t{ds::kCameraImageSize});
  }

  void readDeviceInfoShowsTheReport() {
    SimRig rig(UpdatableConfig());
    CSivraDlg dlg(rig.session);
    dlg.show();
    QString shown;
    QString caption;
    OnNextModal([&](QWidget* modal) {
      auto* report = qobject_cast<CDevinfoDlg*>(modal);
      if (!report)
        return modal->close(), void();
      caption = report->windowTitle();
      shown = report->reportView()->toPlainText();
      QVERIFY(report->reportView()->isReadOnly());
      QVERIFY(report->okButton()->isDefault());
      QTest::keyClick(report, Qt::Key_Return);  // OK is the default button
    });
    dlg.readInfoButton()->click();
    QCOMPARE(caption, QStringLiteral("Device information"));
    QVERIFY2(shown.startsWith(ToQt(ds::kReportStart)), qPrintable(shown));
    QVERIFY(shown.contains(ToQt(ds::kReportCamera)));
    QVERIFY(dlg.statusLabel()->text().isEmpty());
    QVERIFY(rig.chip.IsOpen());
  }

  void eachFailureShowsOneBox() {
    for (const ds::Failure& row : ds::kFailures) {
      SimRig rig(UpdatableConfig(row.mode));
      rig.chip.SetUnplugged(row.unplugged);
      CSivraDlg dlg(rig.session);
      dlg.show();
      dlg.fileEdit()->setText(WritePackage(row.hcFlags));
      dlg.LoadSelectedPackage();
      QString caption;
      QString text;
      QMessageBox::Icon icon = QMessageBox::NoIcon;
      QMessageBox::StandardButtons buttons;
      bool updateDisabled = false;
      OnNextModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (!box)
          return modal->close(), void();
        caption = box->windowTitle();
        text = box->text();
        icon = box->icon();
        buttons = box->standardButtons();
        updateDisabled = !dlg.updateButton()->isEnabled();  // still inside the action
        box->button(buttons & QMessageBox::No ? QMessageBox::No : QMessageBox::Ok)->click();
      });
      (row.action == ds::Action::Update ? dlg.updateButton() : dlg.readInfoButton())->click();
      const QString expected = ToQt(row.text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
      QVERIFY2(caption == ToQt(row.caption), row.name);
      QVERIFY2(row.wholeText ? text == expected : text.startsWith(expected), qPrintable(text));
      QVERIFY2(
          icon == (row.icon == MessageIcon::Error ? QMessageBox::Critical : QMessageBox::Warning),
          row.name);
      QVERIFY2(buttons == (row.buttons == MessageButtons::YesNo ? QMessageBox::Yes | QMessageBox::No
                                                                : QMessageBox::Ok),
               row.name);
      QVERIFY2(updateDisabled == (row.action == ds::Action::Update), row.name);
      QVERIFY2(dlg.statusLabel()->text() == ToQt(row.status), row.name);
      QVERIFY2(dlg.updateButton()->isEnabled(), row.name);
      QVERIFY2(!rig.chip.IsOpen(), row.name);
    }
  }

  void focusReturnsAfterEachAction() {
    // Each action leaves the focus where it was, so Enter presses the same
    // button again and never closes the program.
    const struct {
      const char* name;
      bool appMode;  // the update fails with a box
      bool opensWindow;
      QPushButton* (CSivraDlg::*button)() const;
    } cases[] = {
        {"update that succeeds", false, false, &CSivraDlg::updateButton},
        {"update that fails", true, true, &CSivraDlg::updateButton},
        {"read device info", false, true, &CSivraDlg::readInfoButton},
        {"browse, cancelled", false, true, &CSivraDlg::browseButton},
    };
    for (const auto& c : cases) {
      SimRig rig(UpdatableConfig(c.appMode ? sim::UnitMode::App : sim::UnitMode::Boot));
      CSivraDlg dlg(rig.session);
      dlg.show();
      QVERIFY(QTest::qWaitForWindowActive(&dlg));
      dlg.fileEdit()->setText(WritePackage());
      dlg.LoadSelectedPackage();
      QPushButton* button = (dlg.*c.button)();
      button->setFocus();
      if (c.opensWindow)
        OnNextModal([](QWidget* modal) { modal->close(); });  // the box, report or chooser
      QTest::keyClick(button, Qt::Key_Return);
      QVERIFY2(dlg.focusWidget() == button, c.name);
      QVERIFY2(dlg.isVisible(), c.name);
    }
  }

  void progressBarStartsEachRunAfresh() {
    SimRig rig(UpdatableConfig());
    CSivraDlg dlg(rig.session);
    dlg.show();
    dlg.fileEdit()->setText(WritePackage());
    dlg.LoadSelectedPackage();
    dlg.updateButton()->click();
    QCOMPARE(dlg.progressBar()->value(), int{ds::kCameraImageSize});
    // The next run fails in its checks: none of the last run's bytes show.
    rig.hc.InjectNext(sim::FaultAction::Timeout);
    OnNextModal([](QWidget* modal) { modal->close(); });
    dlg.updateButton()->click();
    QCOMPARE(dlg.statusLabel()->text(), ToQt(ds::kFailed));
    QCOMPARE(dlg.progressBar()->value(), 0);
    QVERIFY(!dlg.progressBar()->isTextVisible());
    // A run that fails inside an upload says where it stopped.
    // The first run sent four 218s (the readiness poll and three chunks),
    // the second none: the seventh is this run's second chunk.
    rig.hc.AddFault({sim::Unit::HandController, 247, 218, 7, sim::FaultAction::Status, 9});
    OnNextModal([](QWidget* modal) { modal->close(); });
    dlg.updateButton()->click();
    QCOMPARE(dlg.progressBar()->text(),
             QStringLiteral("HandController: failed after 4096 of %1 bytes").arg(ds::kHcImageSize));
    // The Camera failing after a good HandController: the strip names the
    // Camera, not the last bar that moved. Its third 218 is this run's first.
    rig.hc.AddFault({sim::Unit::Camera, 247, 218, 3, sim::FaultAction::Status, 9});
    OnNextModal([](QWidget* modal) { modal->close(); });
    dlg.updateButton()->click();
    QCOMPARE(dlg.progressBar()->text(),
             QStringLiteral("Camera: failed after 0 of %1 bytes").arg(ds::kCameraImageSize));
  }

  void isATopLevelWindowOfFixedSize() {
    SimRig rig(UpdatableConfig());
    CSivraDlg dlg(rig.session);
    QCOMPARE(dlg.windowType(), Qt::Window);  // its own task-bar entry, no transient owner
    QVERIFY(dlg.windowFlags() & Qt::WindowMinimizeButtonHint);
    QCOMPARE(dlg.minimumSize(), dlg.maximumSize());
  }

  void terminateFinishesTheUnitThenCloses() {
    SimRig rig(UpdatableConfig());
    CSivraDlg dlg(rig.session);
    dlg.show();
    dlg.fileEdit()->setText(WritePackage());
    dlg.LoadSelectedPackage();
    // SIGTERM during the HandController upload: it finishes, the Camera is
    // left alone, the window closes when the action is over.
    int caught = 0;
    WatchTerminateSignals(&dlg, [&](int sig) {
      caught = sig;
      dlg.RequestTerminate(sig);
    });
    bool sent = false;
    QMetaObject::Connection watch = connect(dlg.progressBar(), &QProgressBar::valueChanged, [&] {
      if (!sent) {
        sent = true;
        std::raise(SIGTERM);
      }
      QVERIFY(dlg.isVisible());  // never while the action runs
    });
    dlg.updateButton()->click();
    disconnect(watch);
    QCOMPARE(caught, SIGTERM);
    QVERIFY(!dlg.isVisible());
    QCOMPARE(rig.hc.Flash(sim::Unit::HandController).size(), size_t{ds::kHcImageSize});
    QVERIFY(rig.hc.Flash(sim::Unit::Camera).empty());
    QCOMPARE(dlg.statusLabel()->text(), QStringLiteral("Update stopped..."));
  }

  // A close asked for during an action is kept: the action runs to its
  // end, then the window closes.
  void closeDuringAnActionClosesAfterIt() {
    SimRig rig(UpdatableConfig());
    CSivraDlg dlg(rig.session);
    dlg.show();
    dlg.fileEdit()->setText(WritePackage());
    dlg.LoadSelectedPackage();
    bool sent = false;
    QMetaObject::Connection watch = connect(dlg.progressBar(), &QProgressBar::valueChanged, [&] {
      if (!sent) {
        sent = true;
        dlg.close();
      }
    });
    dlg.updateButton()->click();
    disconnect(watch);
    QVERIFY(sent);
    QVERIFY(!dlg.isVisible());
    QCOMPARE(dlg.statusLabel()->text(), ToQt(ds::kDone));
    QCOMPARE(rig.hc.Flash(sim::Unit::Camera).size(), size_t{ds::kCameraImageSize});
  }

  // A long wait inside an action: a timer of the window's thread keeps
  // firing (the window system's pings are answered the same way).
  void windowAnswersThroughoutLongWaits_data() {
    QTest::addColumn<bool>("update");  // else "Read device info"
    QTest::addColumn<uint32_t>("notReadyPolls");
    QTest::addColumn<bool>("silentCamera");  // the Camera's start goes unanswered (5 s)
    QTest::addColumn<QString>("status");
    QTest::newRow("readiness wait") << true << 250u << false << QStringLiteral("DONE ok");
    QTest::newRow("silent Camera") << false << 0u << true << QString();
  }

  void windowAnswersThroughoutLongWaits() {
    using Steady = std::chrono::steady_clock;
    QFETCH(bool, update);
    QFETCH(uint32_t, notReadyPolls);
    QFETCH(bool, silentCamera);
    QFETCH(QString, status);
    sim::HandControllerConfig cfg = test::UpdatableConfig();
    cfg.update.notReadyPolls = notReadyPolls;
    RealTimeRig rig(cfg, 10000);  // 10 ms before each answer
    if (silentCamera)
      rig.hc.AddFault({sim::Unit::HandController, 244, 193, 1, sim::FaultAction::Timeout, 0});
    CSivraDlg dlg(rig.session);
    dlg.show();
    dlg.fileEdit()->setText(WritePackage());
    dlg.LoadSelectedPackage();
    dlg.cameraCheck()->setChecked(false);

    Steady::time_point last = Steady::now();
    Steady::duration longestGap{};
    QTimer tick;
    tick.setInterval(100);
    connect(&tick, &QTimer::timeout, [&] {
      const Steady::time_point now = Steady::now();
      longestGap = std::max(longestGap, now - last);
      last = now;
    });
    // Only the silent Camera ends in a box; a watcher left waiting would
    // close the next test's box.
    if (silentCamera)
      OnNextModal([](QWidget* modal) { modal->close(); }, 2000);
    const Steady::time_point start = Steady::now();
    last = start;
    tick.start();
    (update ? dlg.updateButton() : dlg.readInfoButton())->click();
    const Steady::duration took = Steady::now() - start;
    tick.stop();
    qInfo(
        "action took %lld ms, longest gap between ticks %lld ms",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(longestGap).count()));
    QVERIFY(took > std::chrono::milliseconds(1500));  // long enough to mean something
    QVERIFY(longestGap < std::chrono::seconds(1));
    QCOMPARE(dlg.statusLabel()->text(), status);
    QVERIFY(dlg.updateButton()->isEnabled());
  }

  void loadingFailureBoxAndClearedSummary() {
    SimRig rig(UpdatableConfig());
    CSivraDlg dlg(rig.session);
    dlg.show();
    dlg.fileEdit()->setText(WritePackage());
    dlg.LoadSelectedPackage();
    QVERIFY(!dlg.summaryLabel()->text().isEmpty());
    dlg.fileEdit()->setText(QString::fromStdString(dir_.File("missing.bin")));
    QString caption;
    OnNextModal([&](QWidget* modal) {
      caption = modal->windowTitle();
      modal->close();
    });
    dlg.LoadSelectedPackage();
    QCOMPARE(caption, QStringLiteral("Loading failed"));
    QVERIFY(dlg.summaryLabel()->text().isEmpty());
    QVERIFY(!dlg.package().hcImage.IsPresent());
  }
};

}  // namespace vexo3

QTEST_MAIN(vexo3::SivraDlgTest)
#include "sivra_dlg_test.moc"
