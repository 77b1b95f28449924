#include "ui/qt/dialog_units.h"

#include <QFontMetrics>
#include <QString>

namespace vexo3 {

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  // Rounded the same way as the classic base-unit computation.
  baseX_ = (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
  baseY_ = metrics.height();
  if (baseX_ < 1)
    baseX_ = 1;
  if (baseY_ < 1)
    baseY_ = 1;
}

int DialogUnits::X(int dlu) const {
  return (dlu * baseX_ + 2) / 4;
}
int DialogUnits::Y(int dlu) const {
  return (dlu * baseY_ + 4) / 8;
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
  return QRect(X(x), Y(y), X(width), Y(height));
}

}  // namespace vexo3
