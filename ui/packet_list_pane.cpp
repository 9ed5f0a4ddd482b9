#include "ui/packet_list_pane.h"

#include <QClipboard>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QScrollBar>
#include <QShortcut>

#include <algorithm>
#include <chrono>
#include <functional>

#include "resources/dialogs.h"
#include "ui/dialog_units.h"
#include "ui/filter_bar.h"
#include "ui/packet_row_delegate.h"
#include "ui/program_icons.h"

namespace trovix {
namespace {

using namespace resources;

constexpr int kListExtentPixels = 480;

// Only the left button and the keyboard select a row: a right press opens the menu over
// the selection the user made, and the menu reports that selection. A double click or
// Enter opens a row; Ctrl+C copies the selected rows' lines.
class PacketListView : public QListView {
 public:
  using QListView::QListView;
  std::function<void(int row)> open;

  // How far the rows are scrolled sideways, as the view draws them.
  int scrolledBy() const { return horizontalOffset(); }
  // How long the last layout of the rows took.
  int lastLayoutMs() const { return lastLayoutMs_; }

 protected:
  // Timed: the window waits longer between updates of a list whose layout takes long.
  void doItemsLayout() override {
    auto start = std::chrono::steady_clock::now();
    QListView::doItemsLayout();
    lastLayoutMs_ = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
  }
  // Rows added below the last one on screen change only the scroll range: they are laid
  // out without repainting the rows on screen, which a flood would otherwise repaint at
  // every update. Qt's list forgets its layout when rows are inserted and lays them out
  // later; a paint or a scroll before then would find no rows (a blank list, a scroll
  // lost), so the rows are laid out at once, before anything else can happen.
  void rowsInserted(const QModelIndex& parent, int start, int end) override {
    // No row at the viewport's bottom edge: the list does not fill it, and new rows show.
    QModelIndex last = indexAt(QPoint(0, viewport()->height() - 1));
    bool below = last.isValid() && start > last.row();
    QPoint scrolled(horizontalOffset(), verticalOffset());  // while the layout holds
    QListView::rowsInserted(parent, start, end);
    if (!below) return executeDelayedItemsLayout();
    viewport()->setAttribute(Qt::WA_UpdatesDisabled, true);
    executeDelayedItemsLayout();
    viewport()->setAttribute(Qt::WA_UpdatesDisabled, false);
    // A scroll range that shrank moved the rows, and the viewport dropped that scroll.
    if (scrolled != QPoint(horizontalOffset(), verticalOffset())) viewport()->update();
  }
  void mousePressEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton) QListView::mousePressEvent(event);
  }
  void mouseReleaseEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton) QListView::mouseReleaseEvent(event);
  }
  void mouseDoubleClickEvent(QMouseEvent* event) override {
    if (event->button() != Qt::LeftButton) return;
    QListView::mouseDoubleClickEvent(event);
    if (QModelIndex at = indexAt(event->position().toPoint()); at.isValid()) open(at.row());
  }
  void keyPressEvent(QKeyEvent* event) override {
    bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && currentIndex().isValid()) return open(currentIndex().row());
    if (event->matches(QKeySequence::Copy)) return CopySelectedRows();
    QListView::keyPressEvent(event);
  }

 private:
  // The lines as the list shows them, in list order, one a line. A packet line's empty
  // field before its first tab (no time shown) is left out, so that a spreadsheet's
  // first column is the row's number.
  void CopySelectedRows() {
    QModelIndexList rows = selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList lines;
    for (const QModelIndex& row : rows) {
      QString line = row.data().toString();
      lines << (line.startsWith(QLatin1Char('\t')) ? line.mid(1) : line);
    }
    if (!lines.isEmpty()) QGuiApplication::clipboard()->setText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
  }

  int lastLayoutMs_ = 0;
};

// The find bar's field: Enter finds the next row (Shift+Enter the one before), Escape
// closes the bar instead of the window.
class FindField : public QLineEdit {
 public:
  using QLineEdit::QLineEdit;
  std::function<void(bool forward)> next;
  std::function<void()> close;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->key() == Qt::Key_Escape) return close();
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
      return next(!event->modifiers().testFlag(Qt::ShiftModifier));
    }
    QLineEdit::keyPressEvent(event);
  }
};

QLabel* SunkenLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  label->setAlignment(Qt::AlignCenter);
  return label;
}

PacketListView* ListView(QListView* view) { return static_cast<PacketListView*>(view); }
PacketRowDelegate* Delegate(QListView* view) { return static_cast<PacketRowDelegate*>(view->itemDelegate()); }

}  // namespace

PacketListPane::PacketListPane(const CaptureState& state, const DialogUnits& du, QWidget* parent)
    : QWidget(parent), model_(new PacketListModel(state, this)) {
  QRect list;
  QVector<int> columns;
  for (const ControlTemplate& c : kMainControls) {
    QRect at = du.Rect(c);
    if (c.kind == ControlKind::kListBox) {
      list = at;
    } else if (c.kind == ControlKind::kColumnHeader && headerStrip_ == nullptr) {
      // The pane's top is the strip's, which is as wide as the list and cuts off what
      // its columns push past it.
      setGeometry(list.left(), at.top(), list.width(), list.bottom() + 1 - at.top());
      listTop_ = list.top() - at.top();
      auto* view = new PacketListView(this);
      view_ = view;
      view->open = [this](int row) { emit rowOpened(row); };
      view_->setModel(model_);
      view_->setUniformItemSizes(true);
      view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
      view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
      view_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
      view_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
      // The scroll bars belong to the list: a right click there asks for the window's menu.
      view_->horizontalScrollBar()->setContextMenuPolicy(Qt::NoContextMenu);
      view_->verticalScrollBar()->setContextMenuPolicy(Qt::NoContextMenu);
      view_->setObjectName(QString::number(kIdPacketList));
      view_->setGeometry(0, listTop_, list.width(), list.height());
      controls_[kIdPacketList] = view_;
      headerStrip_ = new QWidget(this);
      headerStrip_->setGeometry(0, 0, list.width(), at.height());
    }
    if (c.kind != ControlKind::kColumnHeader) continue;
    at.translate(-pos());
    columns.push_back(at.x());
    headerWidths_.push_back(at.width());
    QLabel* header = SunkenLabel(QString::fromLatin1(c.text), headerStrip_);
    header->setObjectName(QString::number(c.id));
    header->setGeometry(at);
    headers_.push_back(header);
    controls_[c.id] = header;
  }
  // The time column's header, at the strip's left edge while times are shown.
  timeHeader_ = SunkenLabel(QStringLiteral("time"), headerStrip_);
  timeHeader_->hide();
  programHeader_ = SunkenLabel(QStringLiteral("program"), headerStrip_);
  programHeader_->hide();
  infoHeader_ = SunkenLabel(QStringLiteral("info"), headerStrip_);
  infoHeader_->hide();
  // Fields line up under their headers: positions relative to the list's left edge, and
  // where the last header ends.
  columns.push_back(headers_.back()->geometry().right() + 1);
  view_->setItemDelegate(new PacketRowDelegate(columns, kListExtentPixels, view_));
  icons_ = new ProgramIcons(this);
  connect(icons_, &ProgramIcons::ready, view_->viewport(), [this] { view_->viewport()->update(); });
  model_->SetRowFont(view_->font());
  // The headers go where the columns are, also when the rows are scrolled sideways.
  connect(view_->horizontalScrollBar(), &QScrollBar::valueChanged, this, &PacketListPane::PlaceColumnHeaders);
  connect(new QShortcut(QKeySequence::Find, this), &QShortcut::activated, this, [this] {
    if (findBar_ == nullptr) CreateFindBar();
    findBar_->show();
    findBar_->raise();
    PlaceBars();
    findField_->setFocus();
    findField_->selectAll();
    CountFound();
  });
  connect(new QShortcut(QKeySequence::FindNext, this), &QShortcut::activated, this, [this] { FindNext(true); });
  connect(new QShortcut(QKeySequence::FindPrevious, this), &QShortcut::activated, this, [this] { FindNext(false); });
}

void PacketListPane::CreateFindBar() {
  // Over the list's last rows, made when first asked for: the window's first look (and
  // its first appearance) does not wait for it.
  findBar_ = new QFrame(this);
  findBar_->setFrameStyle(QFrame::Panel | QFrame::Raised);
  findBar_->setAutoFillBackground(true);
  auto* layout = new QHBoxLayout(findBar_);
  layout->setContentsMargins(4, 2, 4, 2);
  auto* field = new FindField(findBar_);
  findField_ = field;
  findCount_ = new QLabel(findBar_);
  layout->addWidget(new QLabel(QStringLiteral("find:"), findBar_));
  layout->addWidget(findField_, 1);
  layout->addWidget(findCount_);
  findBar_->resize(width(), findBar_->sizeHint().height());
  findBar_->hide();
  field->next = [this](bool forward) { FindNext(forward); };
  field->close = [this] {
    findBar_->hide();
    PlaceBars();
    view_->setFocus();
  };
  connect(findField_, &QLineEdit::textChanged, this, &PacketListPane::CountFound);
}

void PacketListPane::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  view_->setGeometry(0, listTop_, width(), height() - listTop_);
  headerStrip_->resize(width(), headerStrip_->height());
  PlaceBars();
}

FilterBar* PacketListPane::OpenFilterBar() {
  if (filterBar_ == nullptr) {
    filterBar_ = new FilterBar(this);
    filterBar_->resize(width(), filterBar_->sizeHint().height());
    connect(filterBar_, &FilterBar::closed, this, [this] { view_->setFocus(); });
  }
  filterBar_->Open();
  PlaceBars();
  return filterBar_;
}

void PacketListPane::PlaceBars() {
  int bottom = height();
  for (QWidget* bar : {static_cast<QWidget*>(findBar_), static_cast<QWidget*>(filterBar_)}) {
    if (bar == nullptr) continue;
    bar->setGeometry(0, bottom - bar->height(), width(), bar->height());
    if (bar->isVisible()) bottom -= bar->height();
  }
}

QString PacketListPane::findText() const {
  return findBar_ != nullptr && findBar_->isVisible() ? findField_->text() : QString();
}

void PacketListPane::CountFound() {
  QString text = findField_->text();
  int rows = text.isEmpty() ? 0 : model_->CountRows(text);
  findCount_->setText(text.isEmpty() ? QString() : QStringLiteral("%1 row%2").arg(rows).arg(rows == 1 ? "" : "s"));
}

void PacketListPane::FindNext(bool forward) {
  if (findField_ == nullptr) return;  // nothing was ever looked for
  QString text = findField_->text();
  if (text.isEmpty()) return;
  QModelIndex current = view_->currentIndex();
  int from = current.isValid() ? current.row() : (forward ? -1 : model_->rowCount());
  int row = model_->FindRow(text, from, forward);
  CountFound();
  if (row < 0) return;
  QModelIndex found = model_->index(row);
  view_->selectionModel()->setCurrentIndex(found, QItemSelectionModel::ClearAndSelect);
  view_->scrollTo(found);
}

int PacketListPane::lastLayoutMs() const { return ListView(view_)->lastLayoutMs(); }

void PacketListPane::FetchRows() {
  if (model_->FetchPublishedPackets() == 0) return;
  if (model_->showTimes()) SetShowTimes(true);  // the first day's change widens it
  if (model_->widestGeneration() == fittedGeneration_) return;
  fittedGeneration_ = model_->widestGeneration();
  const auto& widest = model_->widestFields();
  if (!Delegate(view_)->FitFields(widest.data(), static_cast<int>(widest.size()), view_->fontMetrics())) return;
  view_->doItemsLayout();  // rows all share one size, which is measured again
  view_->viewport()->update();
  PlaceColumnHeaders();
}

void PacketListPane::SetShowTimes(bool on) {
  if (on != model_->showTimes()) model_->SetShowTimes(on);
  // As wide as the widest time a row can show, and the widest source name, and a gap.
  const QFontMetrics metrics = view_->fontMetrics();
  int lead = on ? metrics.horizontalAdvance(model_->TimeText(0)) : 0;
  int widestSource = 0;
  for (const QString& name : model_->sourceNames()) widestSource = std::max(widestSource, metrics.horizontalAdvance(name));
  if (widestSource > 0) lead += widestSource + (on ? metrics.horizontalAdvance(QLatin1Char(' ')) : 0);
  if (lead > 0) lead += 8;
  bool sources = widestSource > 0;
  timeHeader_->setText(on && sources ? QStringLiteral("time, source") : sources ? QStringLiteral("source") : QStringLiteral("time"));
  if (!Delegate(view_)->SetLead(lead)) return;
  timeHeader_->setVisible(lead > 0);
  view_->doItemsLayout();
  view_->viewport()->update();
  PlaceColumnHeaders();
}

void PacketListPane::SetShowPrograms(bool on, bool sampled) {
  model_->SetShowPrograms(on, sampled);
  programHeader_->setVisible(on);
  if (programWidth_ == 0) programWidth_ = std::max(headerWidths_.back(), programHeader_->sizeHint().width());
  programsMatched_ = 0;
  ProgramsMatched(0);
  Delegate(view_)->SetProgramField(on ? PacketListModel::kLineFields : 0, icons_);
  if (Delegate(view_)->SetTail(on ? programWidth_ : 0)) view_->doItemsLayout();
  view_->viewport()->update();
  PlaceColumnHeaders();
}

void PacketListPane::SetShowInfo(bool on) {
  model_->SetShowInfo(on);
  infoHeader_->setVisible(on);
  // Room for a usual line ("DNS response AAAA www.example.org 2001:db8::7 (+1)"); a longer
  // one runs on past it to the row's end.
  int width = view_->fontMetrics().horizontalAdvance(QString(48, QLatin1Char('x')));
  if (Delegate(view_)->SetInfoTail(on ? width : 0)) view_->doItemsLayout();
  view_->viewport()->update();
  PlaceColumnHeaders();
}

void PacketListPane::SetShowNames(bool on, bool lookUp) {
  model_->SetShowNames(on, lookUp);
  view_->viewport()->update();
}

void PacketListPane::ProgramsMatched(uint32_t matched) {
  if (!model_->showPrograms()) return;
  // Owners are few and never change: each new one is measured once, whichever capture
  // made it, and nothing per packet.
  const ProgramTable& table = TheProgramTable();
  const QFontMetrics metrics = view_->fontMetrics();
  int widest = programWidth_;
  for (uint32_t id = ownersMeasured_ + 1;; ownersMeasured_ = id++) {
    Owner o = table.OwnerOf(id);
    if (o.source == kNoProgram && o.destination == kNoProgram) break;  // not made yet
    // Room for the icon before the name, as the rows draw it.
    widest = std::max(widest, metrics.horizontalAdvance(QString::fromStdString(table.OwnerText(id))) + 8 +
                                  metrics.height() + 4);
  }
  if (widest > programWidth_) {
    programWidth_ = widest;
    Delegate(view_)->SetTail(widest);
    view_->doItemsLayout();
    PlaceColumnHeaders();
  }
  if (matched == programsMatched_ && widest == programWidth_) return;
  uint32_t before = programsMatched_;
  programsMatched_ = matched;
  // Only a row on screen whose entry was pending needs painting again: under a flood the
  // rows on screen are the newest, not matched yet, and the rows' own arrival paints them.
  QWidget* viewport = view_->viewport();
  int rows = model_->rowCount();
  if (rows == 0) return;
  QModelIndex top = view_->indexAt(QPoint(0, 0));
  QModelIndex bottom = view_->indexAt(QPoint(0, viewport->height() - 1));
  int first = top.isValid() ? top.row() : 0;
  int last = bottom.isValid() ? bottom.row() : rows - 1;
  for (int row = first; row <= last; ++row) {
    uint32_t packet = static_cast<uint32_t>(model_->PacketAtRow(row));
    if (packet >= before && packet < matched) {
      viewport->update();
      return;
    }
  }
}

void PacketListPane::PlaceColumnHeaders() {
  PacketRowDelegate* delegate = Delegate(view_);
  int scrolled = ListView(view_)->scrolledBy();
  timeHeader_->setGeometry(-scrolled, headers_[0]->y(), delegate->lead(), headers_[0]->height());
  for (int i = 0; i < headers_.size(); ++i) {
    QWidget* header = headers_[i];
    header->setGeometry(delegate->FieldX(i + 1) - scrolled, header->y(), headerWidths_[i] + delegate->Widening(i + 1),
                        header->height());
  }
  programHeader_->setGeometry(delegate->FieldX(PacketListModel::kLineFields) - scrolled, headers_[0]->y(),
                              programWidth_, headers_[0]->height());
  int infoField = PacketListModel::kLineFields + (model_->showPrograms() ? 1 : 0);
  infoHeader_->setGeometry(delegate->FieldX(infoField) - scrolled, headers_[0]->y(),
                           std::max(infoHeader_->sizeHint().width(), 48), headers_[0]->height());
}

}  // namespace trovix
