#include "ui/about_box.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

#include "resources/about_text.h"
#include "resources/dialogs.h"
#include "ui/dialog_units.h"
#include "ui/painting.h"

namespace trovix {
namespace {

// The banner stays put behind the text: a scroll must repaint the whole field, or the
// copied pixels would carry the banner along with the text and smear it.
class BannerTextField : public QPlainTextEdit {
 public:
  using QPlainTextEdit::QPlainTextEdit;

 protected:
  void scrollContentsBy(int dx, int dy) override {
    QPlainTextEdit::scrollContentsBy(dx, dy);
    viewport()->update();
  }
};

}  // namespace

AboutBox::AboutBox(QWidget* owner, const PaintingResources* look) : QDialog(owner), text_(new BannerTextField(this)) {
  using namespace resources;
  setWindowTitle(QString::fromLatin1(kAboutDialog.title));
  setObjectName(QString::number(kAboutDialog.id));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFont(DialogFont());
  DialogUnits du(font());
  setFixedSize(du.X(kAboutDialog.width), du.Y(kAboutDialog.height));
  QScreen* screen = owner != nullptr ? owner->screen() : QGuiApplication::primaryScreen();
  if (screen != nullptr) move(screen->geometry().center() - rect().center());

  const int* at = kAboutTextPlace;
  text_->setObjectName(QString::number(kIdAboutText));
  text_->setGeometry(du.Rect(at[0], at[1], at[2], at[3]));
  text_->setReadOnly(true);
  text_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  text_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  text_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  if (look != nullptr) ApplyLabelColours(text_, kIdAboutText, *look);
  text_->setPlainText(QString::fromLatin1(AboutText()));
}

void AboutBox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), kRedWindowColour);  // shows only as a thin frame around the field
}

}  // namespace trovix
