// Multi-line tips for the main window's controls.
#pragma once

#include <QFontMetrics>
#include <QObject>
#include <QString>

class QWidget;

namespace trovix {

inline constexpr int kMaxTipWidth = 280;  // pixels

// The tips of one window; a child of its owner, so it goes away with it.
class TooltipWindow : public QObject {
 public:
  explicit TooltipWindow(QWidget* owner);

  void SetMaxTipWidth(int pixels) { maxTipWidth_ = pixels; }
  int maxTipWidth() const { return maxTipWidth_; }

 private:
  int maxTipWidth_ = -1;  // no limit until a tool is added
};

TooltipWindow* CreateTooltipWindow(QWidget* owner);

// Gives `control` the tip `text`, whose lines end with CR LF; no text, no tip.
void AddTool(TooltipWindow* tips, QWidget* control, const char* text);

// `text` as the lines a tip shows: a break at each CR LF, and long lines wrapped between
// words to at most `maxWidth` pixels (a word wider than that stands alone on its line).
QString TipLines(const QString& text, const QFontMetrics& metrics, int maxWidth);

}  // namespace trovix
