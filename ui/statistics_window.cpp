#include "ui/statistics_window.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "settings/file_replacement.h"
#include "ui/dialog_units.h"

namespace trovix {
namespace {

// A live capture's tables are brought up to date this often: often enough to watch, and
// rarely enough that sorting a long table takes little of the window's time.
constexpr int kLiveMs = 250;
// The most datagrams one step of a pass takes before the window answers again.
constexpr uint32_t kPassStep = 250000;
constexpr const char* kTreeColumns[] = {"protocol", "packets", "bytes", "share"};
constexpr int kNodeRole = Qt::UserRole;

// A tree item sorts its counts as numbers.
class NodeItem : public QTreeWidgetItem {
 public:
  using QTreeWidgetItem::QTreeWidgetItem;
  bool operator<(const QTreeWidgetItem& other) const override {
    int column = treeWidget() != nullptr ? treeWidget()->sortColumn() : 0;
    if (column == 0) return text(0) < other.text(0);
    return text(column).toDouble() < other.text(column).toDouble();
  }
};

QString ShareText(uint64_t part, uint64_t whole) {
  char text[16];
  std::snprintf(text, sizeof text, "%.2f", whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return QString::fromLatin1(text);
}

bool SameAddress(const Address& a, const EndpointKey& e) { return std::memcmp(a.bytes, e.address.bytes, 16) == 0; }

}  // namespace

bool StatisticsRow::Holds(const DatagramKey& d, uint32_t owner, const ProgramTable& programs) const {
  const ConversationKey& k = d.key;
  switch (kind) {
    case kConversation: return k == conversation;
    case kAddress: return k.ipv6 == endpoint.ipv6 && (SameAddress(k.low, endpoint) || SameAddress(k.high, endpoint));
    case kPort:
      return k.ipv6 == endpoint.ipv6 && k.protocol == endpoint.protocol &&
             ((SameAddress(k.low, endpoint) && k.lowPort == endpoint.port) ||
              (SameAddress(k.high, endpoint) && k.highPort == endpoint.port));
    case kProtocol:
      return k.ipv6 == family && (protocol < 0 || k.protocol == protocol) &&
             (application < 0 || static_cast<int>(d.application()) == application);
    case kProgram: {
      if (owner == kOwnerPending || owner == kUnknownOwner) return false;
      Owner ends = programs.OwnerOf(owner);
      for (uint32_t id : {ends.source, ends.destination}) {
        const Program* p = programs.ProgramOf(id);
        if (p != nullptr && (p->pid == 0 ? std::string() : std::string(p->name)) == program && user == p->user) {
          return true;
        }
      }
      return false;
    }
    case kNone: break;
  }
  return false;
}

StatisticsWindow::StatisticsWindow(QWidget* owner, const CaptureState& state, const WindowOptions& options,
                                   const Services& services, std::function<uint32_t()> passable)
    : QDialog(owner), state_(state), options_(options), services_(services), passable_(std::move(passable)) {
  setWindowTitle(QStringLiteral("statistics"));
  setObjectName(QStringLiteral("statistics"));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
  setFont(DialogFont());
  DialogUnits du(font());
  resize(du.X(440), du.Y(240));
  // Beside the main window, on its right.
  if (owner != nullptr) move(owner->frameGeometry().topRight() + QPoint(du.X(4), 0));

  tabs_ = new QTabWidget(this);
  const std::pair<Tab, const char*> tables[] = {
      {kConversationsTab, "conversations"}, {kEndpointsTab, "endpoints"}, {kProgramsTab, "programs"}};
  const StatisticsTable kinds[] = {StatisticsTable::kConversations, StatisticsTable::kAddresses,
                                   StatisticsTable::kPrograms};
  for (int i = 0; i < 3; ++i) {
    auto* view = new QTableView(this);
    auto* model = new StatisticsModel(kinds[i], view);
    view->setModel(model);
    view->setSortingEnabled(true);
    view->sortByColumn(model->bytesColumn(), Qt::DescendingOrder);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->verticalHeader()->hide();
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
    view->setObjectName(QString::fromLatin1(tables[i].second));
    view->installEventFilter(this);
    connect(view, &QTableView::doubleClicked, this, &StatisticsWindow::OpenRow);
    tables_[tables[i].first] = view;
  }
  tree_ = new QTreeWidget(this);
  tree_->setObjectName(QStringLiteral("protocols"));
  QStringList headers;
  for (const char* column : kTreeColumns) headers << QString::fromLatin1(column);
  tree_->setHeaderLabels(headers);
  tree_->setSortingEnabled(true);
  tree_->sortByColumn(2, Qt::DescendingOrder);
  tree_->installEventFilter(this);
  connect(tree_, &QTreeWidget::doubleClicked, this, &StatisticsWindow::OpenRow);
  tabs_->addTab(tables_[kConversationsTab], QStringLiteral("conversations"));
  tabs_->addTab(tables_[kEndpointsTab], QStringLiteral("endpoints"));
  tabs_->addTab(tree_, QStringLiteral("protocols"));
  tabs_->addTab(tables_[kProgramsTab], QStringLiteral("programs"));
  connect(tabs_, &QTabWidget::currentChanged, this, [this] {
    ports_->setVisible(tabs_->currentIndex() == kEndpointsTab);
    RefreshCurrent();
  });

  ports_ = new QCheckBox(QStringLiteral("by &port"), this);
  ports_->setVisible(false);
  connect(ports_, &QCheckBox::toggled, this, [this](bool on) {
    StatisticsModel* model = ModelOf(kEndpointsTab);
    model->SetTable(on ? StatisticsTable::kPorts : StatisticsTable::kAddresses);
    tables_[kEndpointsTab]->sortByColumn(model->bytesColumn(), Qt::DescendingOrder);
    ShowPrograms();
  });
  onlyThis_ = new QPushButton(QStringLiteral("only &this"), this);
  connect(onlyThis_, &QPushButton::clicked, this, [this] {
    QWidget* view = tabs_->currentWidget();
    if (view == tree_) return OpenRow(tree_->currentIndex());
    OpenRow(static_cast<QTableView*>(view)->currentIndex());
  });
  save_ = new QPushButton(QStringLiteral("save as &CSV..."), this);
  connect(save_, &QPushButton::clicked, this, &StatisticsWindow::SaveCsv);
  for (QPushButton* button : {onlyThis_, save_}) button->setAutoDefault(false);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(ports_);
  buttons->addStretch();
  buttons->addWidget(onlyThis_);
  buttons->addWidget(save_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  layout->addLayout(buttons);

  liveTimer_.setInterval(kLiveMs);
  connect(&liveTimer_, &QTimer::timeout, this, &StatisticsWindow::CatchUp);
  Restart();
  ShowPrograms();
}

QTableView* StatisticsWindow::table(Tab tab) const { return tables_[tab]; }

StatisticsModel* StatisticsWindow::ModelOf(Tab tab) const {
  return static_cast<StatisticsModel*>(tables_[tab]->model());
}

void StatisticsWindow::Restart() {
  auto fresh = std::make_unique<Statistics>();
  for (Tab tab : {kConversationsTab, kEndpointsTab, kProgramsTab}) ModelOf(tab)->SetStatistics(fresh.get());
  statistics_ = std::move(fresh);
  tree_->clear();
  CatchUp();
}

void StatisticsWindow::SetLive(bool live) {
  live_ = live;
  onlyThis_->setEnabled(!live);
  if (live) {
    liveTimer_.start();
  } else {
    liveTimer_.stop();
    CatchUp();
  }
}

void StatisticsWindow::ShowPrograms() {
  bool on = options_.ShowPrograms == 1;
  for (Tab tab : {kConversationsTab, kEndpointsTab}) {
    // The view keeps a hidden column's number when its model changes table.
    StatisticsModel* model = ModelOf(tab);
    for (int c = 0; c < model->columnCount(); ++c) tables_[tab]->setColumnHidden(c, !on && c == model->programsColumn());
  }
}

void StatisticsWindow::CatchUp() {
  if (!isVisible()) return;  // shown again, it takes everything at once
  uint32_t passable = passable_();
  if (passable <= statistics_->end()) return;
  uint32_t to = std::min(passable, statistics_->end() + kPassStep);
  statistics_->PassTo(state_.store, to);
  if (to < passable) {
    if (!stepQueued_) {
      stepQueued_ = true;
      QTimer::singleShot(0, this, [this] {
        stepQueued_ = false;
        CatchUp();
      });
    }
    return;
  }
  RefreshCurrent();
}

void StatisticsWindow::RefreshCurrent() {
  QWidget* current = tabs_->currentWidget();
  if (current == tree_) return RefreshTree();
  static_cast<StatisticsModel*>(static_cast<QTableView*>(current)->model())->Refresh();
}

void StatisticsWindow::RefreshTree() {
  tree_->setSortingEnabled(false);  // sorted once, after every count is in
  std::vector<QTreeWidgetItem*> parents;
  for (const ProtocolNode& node : statistics_->ProtocolTree()) {
    parents.resize(static_cast<size_t>(node.depth));
    QString path = QString::fromStdString(node.path);
    QTreeWidgetItem* item = nullptr;
    int count = parents.empty() ? tree_->topLevelItemCount() : parents.back()->childCount();
    for (int i = 0; i < count && item == nullptr; ++i) {
      QTreeWidgetItem* child = parents.empty() ? tree_->topLevelItem(i) : parents.back()->child(i);
      if (child->data(0, kNodeRole).toString() == path) item = child;
    }
    if (item == nullptr) {
      item = parents.empty() ? new NodeItem(tree_) : new NodeItem(parents.back());
      item->setText(0, QString::fromStdString(node.name));
      item->setData(0, kNodeRole, path);
      item->setData(1, kNodeRole, QList<QVariant>{node.family, node.protocol, node.application});
      for (int column = 1; column < 4; ++column) item->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
      item->setExpanded(true);
    }
    item->setText(1, QString::number(node.traffic.packets));
    item->setText(2, QString::number(node.traffic.bytes));
    item->setText(3, ShareText(node.traffic.bytes, statistics_->total().bytes));
    parents.push_back(item);
  }
  tree_->setSortingEnabled(true);
}

std::vector<QStringList> StatisticsWindow::Lines(bool selectedOnly) const {
  std::vector<QStringList> lines;
  QWidget* current = tabs_->currentWidget();
  if (current == tree_) {
    QStringList header;
    for (const char* column : kTreeColumns) header << QString::fromLatin1(column);
    lines.push_back(header);
    // In the tree's order, each node as its path.
    for (QTreeWidgetItemIterator it(tree_); *it != nullptr; ++it) {
      if (selectedOnly && !(*it)->isSelected()) continue;
      lines.push_back({(*it)->data(0, kNodeRole).toString(), (*it)->text(1), (*it)->text(2), (*it)->text(3)});
    }
    return lines;
  }
  auto* view = static_cast<QTableView*>(current);
  auto* model = static_cast<StatisticsModel*>(view->model());
  std::vector<int> columns;
  QStringList header;
  for (int c = 0; c < model->columnCount(); ++c) {
    if (view->isColumnHidden(c)) continue;
    columns.push_back(c);
    header << model->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
  }
  lines.push_back(header);
  std::vector<int> rows;
  if (selectedOnly) {
    for (const QModelIndex& index : view->selectionModel()->selectedRows()) rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
  } else {
    for (int r = 0; r < model->rowCount(); ++r) rows.push_back(r);
  }
  for (int r : rows) {
    QStringList line;
    for (int c : columns) line << model->CellText(r, c);
    lines.push_back(line);
  }
  return lines;
}

bool StatisticsWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
    CopySelection();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void StatisticsWindow::CopySelection() {
  std::vector<QStringList> lines = Lines(true);
  if (lines.size() > 1) QGuiApplication::clipboard()->setText(TabSeparated(lines));
}

void StatisticsWindow::SaveCsv() {
  if (services_.savePrompt == nullptr) return;
  QString what = tabs_->tabText(tabs_->currentIndex()) + QStringLiteral(" as CSV");
  std::optional<SaveTarget> target =
      services_.savePrompt->Ask(this, QString::fromLocal8Bit(options_.SettingsFolder), false, false, what);
  if (!target) return;
  QByteArray text = CommaSeparated(Lines(false)).toUtf8();
  ReplaceResult result = ReplaceFile(QFile::encodeName(target->path).toStdString(), text.constData(),
                                     static_cast<size_t>(text.size()));
  if (result == ReplaceResult::kReplaced || services_.messages == nullptr) return;
  services_.messages->Show(this, QStringLiteral("error:"),
                           result == ReplaceResult::kCannotCreate ? QStringLiteral("don't create file!")
                                                                  : QStringLiteral("don't write file!"));
}

void StatisticsWindow::OpenRow(const QModelIndex& index) {
  if (live_ || !index.isValid()) return;
  StatisticsRow row;
  if (tabs_->currentWidget() == tree_) {
    QList<QVariant> node = tree_->itemFromIndex(index)->data(1, kNodeRole).toList();
    if (node.size() != 3) return;
    row.kind = StatisticsRow::kProtocol;
    row.family = node[0].toInt();
    row.protocol = node[1].toInt();
    row.application = node[2].toInt();
    return emit onlyThisRow(row);
  }
  auto* model = static_cast<StatisticsModel*>(static_cast<QTableView*>(tabs_->currentWidget())->model());
  uint32_t r = model->TableRow(index.row());
  switch (model->table()) {
    case StatisticsTable::kConversations:
      row.kind = StatisticsRow::kConversation;
      row.conversation = statistics_->conversations()[r].key;
      break;
    case StatisticsTable::kAddresses:
    case StatisticsTable::kPorts: {
      bool ports = model->table() == StatisticsTable::kPorts;
      row.kind = ports ? StatisticsRow::kPort : StatisticsRow::kAddress;
      row.endpoint = (ports ? statistics_->ports() : statistics_->addresses())[r].key;
      break;
    }
    case StatisticsTable::kPrograms:
      row.kind = StatisticsRow::kProgram;
      row.program = statistics_->programs()[r].name;
      row.user = statistics_->programs()[r].user;
      break;
  }
  emit onlyThisRow(row);
}

void StatisticsWindow::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  CatchUp();
}

}  // namespace trovix
