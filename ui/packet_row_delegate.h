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
  // Widens both address columns, and the row, so that an address `pixels` wide fits with
  // the columns' own gap; they never narrow again. True when anything changed.
  bool FitAddress(int pixels);
  // Where field `i` (1 = the index) starts, after any widening.
  int FieldX(int i) const;

 private:
  QVector<int> columns_;
  int rowWidth_;
  int addressExtra_ = 0;  // pixels added to each address column
};

}  // namespace trovix
