#include "ui/packet_row_delegate.h"

#include <QApplication>
#include <QPainter>

namespace trovix {

PacketRowDelegate::PacketRowDelegate(QVector<int> columns, int rowWidth, QObject* parent)
    : QStyledItemDelegate(parent), columns_(std::move(columns)), rowWidth_(rowWidth) {}

void PacketRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
  QStyleOptionViewItem opt = option;
  initStyleOption(&opt, index);
  const QString text = opt.text;
  opt.text.clear();
  QStyle* style = opt.widget != nullptr ? opt.widget->style() : QApplication::style();
  style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, opt.widget);

  painter->save();
  painter->setFont(opt.font);
  bool selected = (opt.state & QStyle::State_Selected) != 0;
  painter->setPen(opt.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
  const QStringList fields = text.split(QLatin1Char('\t'));
  QRect row = opt.rect.adjusted(2, 0, 0, 0);
  if (fields.size() == 1) {
    painter->drawText(row, Qt::AlignVCenter | Qt::AlignLeft, text);
  } else {
    // A tab moves to the next column; text before the first tab starts at the left edge.
    painter->drawText(row, Qt::AlignVCenter | Qt::AlignLeft, fields[0]);
    for (int i = 1; i < fields.size(); ++i) {
      int x = FieldX(i);
      QRect cell(opt.rect.left() + x, opt.rect.top(), opt.rect.width() - x, opt.rect.height());
      painter->drawText(cell, Qt::AlignVCenter | Qt::AlignLeft, fields[i]);
    }
  }
  painter->restore();
}

QSize PacketRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QSize size = QStyledItemDelegate::sizeHint(option, index);
  return {std::max(size.width(), rowWidth_ + 2 * addressExtra_), size.height()};
}

// Fields: 1 index, 2 protocol, 3 source address, 4 its port, 5 destination, 6 its port...
int PacketRowDelegate::FieldX(int i) const {
  int x = i - 1 < columns_.size() ? columns_[i - 1] : columns_.back() + 40 * (i - columns_.size());
  if (i > 3) x += addressExtra_;
  if (i > 5) x += addressExtra_;
  return x;
}

bool PacketRowDelegate::FitAddress(int pixels) {
  if (columns_.size() < 6) return false;
  // The narrower of the two address columns, with the gap an IPv4 address leaves.
  int column = std::min(columns_[3] - columns_[2], columns_[5] - columns_[4]);
  int extra = pixels + 6 - column;
  if (extra <= addressExtra_) return false;
  addressExtra_ = extra;
  return true;
}

}  // namespace trovix
