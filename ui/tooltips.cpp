#include "ui/tooltips.h"

#include <QStringList>
#include <QToolTip>
#include <QWidget>

namespace trovix {
namespace {

// Appends `line` to `out`, wrapped between words so that no piece is wider than `maxWidth`.
void WrapLine(const QString& line, const QFontMetrics& metrics, int maxWidth, QStringList& out) {
  QString current;
  for (const QString& word : line.split(QLatin1Char(' '))) {
    QString joined = current.isEmpty() ? word : current + QLatin1Char(' ') + word;
    if (!current.isEmpty() && metrics.horizontalAdvance(joined) > maxWidth) {
      out << current;
      current = word;
    } else {
      current = joined;
    }
  }
  out << current;
}

}  // namespace

TooltipWindow::TooltipWindow(QWidget* owner) : QObject(owner) {}

TooltipWindow* CreateTooltipWindow(QWidget* owner) { return new TooltipWindow(owner); }

void AddTool(TooltipWindow* tips, QWidget* control, const char* text) {
  if (tips == nullptr || control == nullptr || text == nullptr) return;
  tips->SetMaxTipWidth(kMaxTipWidth);
  control->setToolTip(TipLines(QString::fromLatin1(text), QFontMetrics(QToolTip::font()), tips->maxTipWidth()));
}

QString TipLines(const QString& text, const QFontMetrics& metrics, int maxWidth) {
  QStringList lines;
  for (const QString& line : text.split(QStringLiteral("\r\n"))) WrapLine(line, metrics, maxWidth, lines);
  return lines.join(QLatin1Char('\n'));
}

}  // namespace trovix
