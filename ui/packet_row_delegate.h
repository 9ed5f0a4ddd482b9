// Draws packet lines with each tab-separated field under its column header.
#pragma once

#include <QStyledItemDelegate>
#include <QVector>

namespace trovix {

class PacketRowDelegate : public QStyledItemDelegate {
 public:
  // `columns`: the x of each column in the list's coordinates, one per field after a tab.
  PacketRowDelegate(QVector<int> columns, int rowWidth, QObject* parent);
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 private:
  QVector<int> columns_;
  int rowWidth_;
};

}  // namespace trovix
