#include "ui/qt/devinfo_dlg.h"

#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QPushButton>

#include "ui/qt/dialog_units.h"

namespace vexo3 {

CDevinfoDlg::CDevinfoDlg(const std::string& reportText, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Device information"));
  // The report's columns line up only in a fixed-pitch font.
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPointSize(10);
  setFont(font);
  const DialogUnits du(font);

  reportView_ = new QPlainTextEdit(this);
  reportView_->setGeometry(du.Rect(7, 7, 216, 239));
  reportView_->setReadOnly(true);
  reportView_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  reportView_->setLineWrapMode(QPlainTextEdit::NoWrap);
  reportView_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  reportView_->setPlainText(QString::fromStdString(reportText));

  okButton_ = new QPushButton(QStringLiteral("OK"), this);
  okButton_->setGeometry(du.Rect(89, 248, 50, 14));
  okButton_->setDefault(true);
  connect(okButton_, &QPushButton::clicked, this, &QDialog::accept);

  setFixedSize(du.X(230), du.Y(269));
  okButton_->setFocus();
}

}  // namespace vexo3
