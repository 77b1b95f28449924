#pragma once

#include <QDialog>
#include <string>

class QPlainTextEdit;
class QPushButton;

namespace vexo3 {

// "Device information": the report in a fixed-pitch font, read-only but
// selectable, and an OK button that closes it.
class CDevinfoDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CDevinfoDlg(const std::string& reportText, QWidget* parent = nullptr);

  QPlainTextEdit* reportView() const { return reportView_; }
  QPushButton* okButton() const { return okButton_; }

 private:
  QPlainTextEdit* reportView_;
  QPushButton* okButton_;
};

}  // namespace vexo3
