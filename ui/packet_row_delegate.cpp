#include "ui/packet_row_delegate.h"

#include <QApplication>
#include <QPainter>

#include "ui/packet_list_model.h"
#include "ui/program_icons.h"

namespace trovix {
namespace {

// The room a column keeps after its widest text, so that no field runs into the next.
constexpr int kColumnGap = 6;

}  // namespace

PacketRowDelegate::PacketRowDelegate(QVector<int> columns, int rowWidth, QObject* parent)
    : QStyledItemDelegate(parent), base_(std::move(columns)), x_(base_), rowWidth_(rowWidth) {}

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
      // A field ends where the next begins: a name longer than its column is cut there.
      int width = i + 1 < fields.size() ? FieldX(i + 1) - x - 2 : opt.rect.width() - x;
      QRect cell(opt.rect.left() + x, opt.rect.top(), width, opt.rect.height());
      if (i == programField_ && icons_ != nullptr) {
        // The program's icon, as its desktop entry names it, before its name.
        int side = opt.rect.height() - 2;
        QIcon icon = icons_->IconOf(index.data(PacketListModel::kProgramIdRole).toUInt());
        if (!icon.isNull()) icon.paint(painter, QRect(cell.left(), cell.top() + 1, side, side));
        cell.setLeft(cell.left() + side + 3);
      }
      painter->drawText(cell, Qt::AlignVCenter | Qt::AlignLeft, fields[i]);
    }
  }
  painter->restore();
}

QSize PacketRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QSize size = QStyledItemDelegate::sizeHint(option, index);
  int widened = x_.back() - base_.back();
  int fieldsEnd = x_[x_.size() - 2] + lastFieldNeed_;
  // To the end of the last column at least, so that scrolling sideways shows it whole.
  return {lead_ + std::max({size.width(), rowWidth_ + widened, fieldsEnd, x_.back() + tail_ + infoTail_}), size.height()};
}

// Fields: 1 index, 2 protocol, 3 source address, 4 its port, 5 destination, 6 its port...
// then the programs' or the info field, and the info after the programs'.
int PacketRowDelegate::FieldX(int i) const {
  int columns = static_cast<int>(x_.size()) - 1;
  if (i <= columns) return lead_ + x_[i - 1];
  return lead_ + x_.back() + (i > columns + 1 ? tail_ + 40 * (i - columns - 2) : 0);
}

bool PacketRowDelegate::SetLead(int pixels) {
  if (pixels == lead_) return false;
  lead_ = pixels;
  return true;
}

bool PacketRowDelegate::SetTail(int pixels) {
  if (pixels == tail_) return false;
  tail_ = pixels;
  return true;
}

bool PacketRowDelegate::SetInfoTail(int pixels) {
  if (pixels == infoTail_) return false;
  infoTail_ = pixels;
  return true;
}

int PacketRowDelegate::Widening(int i) const {
  if (i < 1 || i >= x_.size()) return 0;
  return (x_[i] - x_[i - 1]) - (base_[i] - base_[i - 1]);
}

bool PacketRowDelegate::FitFields(const QString* widest, int count, const QFontMetrics& metrics) {
  int columns = static_cast<int>(x_.size()) - 1;
  bool changed = false;
  for (int i = 1; i <= columns && i < count; ++i) {
    if (widest[i].isEmpty()) continue;
    int need = metrics.horizontalAdvance(widest[i]) + kColumnGap;
    if (i == columns && need > lastFieldNeed_) {
      lastFieldNeed_ = need;  // the row must reach it, or scrolling could not show it
      changed = true;
    }
    int grow = need - (x_[i] - x_[i - 1]);
    if (grow <= 0) continue;
    for (int j = i; j <= columns; ++j) x_[j] += grow;
    changed = true;
  }
  return changed;
}

}  // namespace trovix
