// Dialog units to pixels: a horizontal unit is a quarter of the font's average character
// width, a vertical unit an eighth of its height, so layouts scale with the font.
#pragma once

#include <QFont>
#include <QRect>

#include "resources/dialogs.h"

namespace trovix {

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  int X(int units) const { return (units * baseX_ + 2) / 4; }
  int Y(int units) const { return (units * baseY_ + 4) / 8; }
  QRect Rect(int x, int y, int width, int height) const { return {X(x), Y(y), X(width), Y(height)}; }
  QRect Rect(const resources::ControlTemplate& c) const { return Rect(c.x, c.y, c.width, c.height); }

 private:
  int baseX_;
  int baseY_;
};

// The dialog font: the system's sans-serif face at 8 points.
QFont DialogFont();

}  // namespace trovix
