#include "ui/dialog_units.h"

#include <QApplication>
#include <QFontMetrics>

namespace trovix {

DialogUnits::DialogUnits(const QFont& font) {
  QFontMetrics metrics(font);
  // The average width over both alphabets, rounded, as dialog managers measure it.
  const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  baseX_ = (metrics.horizontalAdvance(alphabet) / 26 + 1) / 2;
  baseY_ = metrics.height();
}

QFont DialogFont() {
  QFont font = QApplication::font();
  font.setPointSize(8);
  return font;
}

}  // namespace trovix
