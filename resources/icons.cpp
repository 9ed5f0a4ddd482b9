#include "resources/icons.h"

#include <QPainter>
#include <QPixmap>

namespace trovix {

void PaintWindowIcon(QPainter& p, qreal size) {
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(QColor(224, 160, 64));
  p.setPen(QPen(QColor(90, 50, 10), size / 16.0));
  p.drawEllipse(QRectF(size * 0.06, size * 0.06, size * 0.62, size * 0.62));
  p.setPen(QPen(QColor(90, 50, 10), size / 8.0, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(size * 0.6, size * 0.6), QPointF(size * 0.92, size * 0.92));
}

QIcon WindowIcon() {
  QIcon icon;
  for (int size : {16, 32, 48}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    PaintWindowIcon(p, size);
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace trovix
