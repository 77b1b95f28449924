#pragma once

#include <QFont>
#include <QRect>

namespace vexo3 {

// Maps dialog-template units to pixels for one font, the way dialog templates
// are laid out: a horizontal unit is a quarter of the font's average width of
// A-Z and a-z, a vertical unit an eighth of its height.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);

  int X(int dlu) const;
  int Y(int dlu) const;
  QRect Rect(int x, int y, int width, int height) const;

 private:
  int baseX_;
  int baseY_;
};

}  // namespace vexo3
