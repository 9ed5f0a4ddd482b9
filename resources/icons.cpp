#include "resources/icons.h"

#include <QPainter>

namespace trovix {
namespace {

// The tree, top to bottom: one root, two branches, three leaves.
enum Node { kTop, kMiddleLeft, kMiddleRight, kBottomLeft, kBottomMiddle, kBottomRight, kNodes };

constexpr QPoint kNodeCentre[kNodes] = {{16, 5}, {9, 16}, {23, 16}, {5, 27}, {16, 27}, {27, 27}};
constexpr int kNodeRadius = 4;

struct Link {
  Node from, to;
};
constexpr Link kLinks[] = {{kTop, kMiddleLeft},         {kTop, kMiddleRight},         {kMiddleLeft, kBottomLeft},
                           {kMiddleLeft, kBottomMiddle}, {kMiddleRight, kBottomMiddle}, {kMiddleRight, kBottomRight}};

// Which nodes each picture lights, one bit per node.
constexpr unsigned Bit(Node n) { return 1u << n; }
struct Picture {
  int resource;
  unsigned lit;
};
constexpr Picture kPictures[] = {
    {112, 0},
    {113, Bit(kTop)},
    {114, Bit(kTop) | Bit(kBottomLeft) | Bit(kBottomRight)},
    {115, Bit(kMiddleLeft) | Bit(kMiddleRight) | Bit(kBottomMiddle)},
    {116, Bit(kTop) | Bit(kMiddleLeft) | Bit(kMiddleRight) | Bit(kBottomLeft) | Bit(kBottomMiddle) | Bit(kBottomRight)},
};

const QColor kLinkColour(40, 40, 40);
const QColor kOutline(0, 0, 0);
const QColor kDark(96, 96, 96);
const QColor kLit(64, 255, 64);

// Draws `picture` in the 32 by 32 square at the painter's origin.
void PaintPicture(QPainter& painter, const Picture& picture) {
  painter.setPen(QPen(kLinkColour, 2));
  for (const Link& link : kLinks) painter.drawLine(kNodeCentre[link.from], kNodeCentre[link.to]);
  painter.setPen(kOutline);
  for (int n = 0; n < kNodes; ++n) {
    painter.setBrush((picture.lit & (1u << n)) != 0 ? kLit : kDark);
    painter.drawEllipse(kNodeCentre[n], kNodeRadius, kNodeRadius);
  }
}

const Picture* FindPicture(int resource) {
  for (const Picture& p : kPictures) {
    if (p.resource == resource) return &p;
  }
  return nullptr;
}

}  // namespace

QImage IconPicture(int resource) {
  const Picture* picture = FindPicture(resource);
  if (picture == nullptr) return {};
  QImage image(kIconSize, kIconSize, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  PaintPicture(painter, *picture);
  return image;
}

void PaintWindowIcon(QPainter& painter, qreal size) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size / kIconSize, size / kIconSize);
  PaintPicture(painter, *FindPicture(kIconWindow));
  painter.restore();
}

QIcon IconResource(int resource) { return QIcon(QPixmap::fromImage(IconPicture(resource))); }

QIcon WindowIcon() { return IconResource(kIconWindow); }

}  // namespace trovix
