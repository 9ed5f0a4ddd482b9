// The about box: the fixed about text in a read-only field over the tiled banner.
#pragma once

#include <QDialog>
#include <QPlainTextEdit>

namespace trovix {

struct PaintingResources;

class AboutBox : public QDialog {
  Q_OBJECT

 public:
  // Without `look` (no painting resources) the field keeps the system's colours.
  AboutBox(QWidget* owner, const PaintingResources* look);

  QPlainTextEdit* textField() const { return text_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPlainTextEdit* text_;
};

}  // namespace trovix
