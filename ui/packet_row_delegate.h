// Draws packet lines with each tab-separated field under its column header.
#pragma once

#include <QStyledItemDelegate>
#include <QVector>

class QFontMetrics;

namespace trovix {
class ProgramIcons;
}

namespace trovix {

class PacketRowDelegate : public QStyledItemDelegate {
 public:
  // `columns`: the x of each column in the list's coordinates, one per field after a tab,
  // then where the last column ends. `rowWidth`: the rows' width before any widening.
  PacketRowDelegate(QVector<int> columns, int rowWidth, QObject* parent);
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  // Widens every column too narrow for its field's widest text (`widest[i]` for field i,
  // of `count`) and the columns' gap, moving the columns after it, and lengthens the row
  // to the end of the last field's widest text; nothing narrows again. True when
  // anything changed.
  bool FitFields(const QString* widest, int count, const QFontMetrics& metrics);
  // Where field `i` (1 = the index) starts, after any widening.
  int FieldX(int i) const;
  // How much FitFields widened the column of field `i`.
  int Widening(int i) const;
  // Room kept at the left for the text before a row's first tab (its time), moving every
  // column right. False when it was already so.
  bool SetLead(int pixels);
  int lead() const { return lead_; }
  // Room for a field after the last column (the programs'), which rows reach to. False
  // when it was already so.
  bool SetTail(int pixels);
  // The field whose text a program's icon goes before (0: none), and where the icons
  // come from.
  void SetProgramField(int field, ProgramIcons* icons) {
    programField_ = field;
    icons_ = icons;
  }
  // Room for the info field, after the programs' when both are shown.
  bool SetInfoTail(int pixels);

 private:
  QVector<int> base_;  // the columns as laid out, then the end of the last
  QVector<int> x_;     // the same after widening
  int rowWidth_;
  int lastFieldNeed_ = 0;  // the last field's widest text and its gap
  int lead_ = 0;
  int tail_ = 0;
  int programField_ = 0;
  ProgramIcons* icons_ = nullptr;
  int infoTail_ = 0;
};

}  // namespace trovix
