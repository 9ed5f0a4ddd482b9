#include "ui/statistics_model.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "capture/packet_line.h"

namespace trovix {
namespace {

std::vector<const char*> ColumnsOf(StatisticsTable table) {
  switch (table) {
    case StatisticsTable::kConversations:
      return {"protocol", "address_a", "port_a", "address_b", "port_b", "packets_a_to_b", "bytes_a_to_b",
              "packets_b_to_a", "bytes_b_to_a", "packets", "bytes", "first", "duration", "bits_per_second", "programs"};
    case StatisticsTable::kAddresses:
      return {"address", "packets_sent", "bytes_sent", "packets_received", "bytes_received", "packets", "bytes",
              "programs"};
    case StatisticsTable::kPorts:
      return {"address", "protocol", "port", "packets_sent", "bytes_sent", "packets_received", "bytes_received",
              "packets", "bytes", "programs"};
    case StatisticsTable::kPrograms:
      return {"program", "user", "packets_sent", "bytes_sent", "packets_received", "bytes_received", "packets",
              "bytes", "conversations"};
  }
  return {};
}

QString Text(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// Nanoseconds as seconds with six decimals, cut rather than rounded, as trovix-cli prints them.
QString SecondsText(int64_t ns) {
  char text[32];
  int64_t magnitude = ns < 0 ? -ns : ns;
  std::snprintf(text, sizeof text, "%s%" PRId64 ".%06" PRId64, ns < 0 ? "-" : "", magnitude / 1000000000,
                magnitude % 1000000000 / 1000);
  return QString::fromLatin1(text);
}

QString ProgramsText(const Statistics& s, const ProgramIds& ids) {
  QStringList names;
  for (uint32_t id : ids.id) {
    if (id != kNoProgram) names << Text(s.ProgramText(id));
  }
  return names.join(QStringLiteral(", "));
}

QString ProtocolText(uint8_t protocol, bool ipv6) {
  return QString::fromLatin1(ipv6 && protocol == kIcmpv6 ? "icmp6" : ProtocolWord(protocol));
}

// The traffic columns every endpoint and program row ends with, from `first` on.
template <typename Row>
bool TrafficCell(const Row& row, int column, int first, uint64_t& value) {
  Traffic all = row.total();
  const uint64_t values[] = {row.sent.packets, row.sent.bytes, row.received.packets, row.received.bytes, all.packets,
                             all.bytes};
  int at = column - first;
  if (at < 0 || at >= 6) return false;
  value = values[at];
  return true;
}

}  // namespace

StatisticsModel::StatisticsModel(StatisticsTable table, QObject* parent)
    : QAbstractTableModel(parent), table_(table), columns_(ColumnsOf(table)) {
  sortColumn_ = bytesColumn();
}

void StatisticsModel::SetStatistics(const Statistics* statistics) {
  beginResetModel();
  statistics_ = statistics;
  order_.clear();
  endResetModel();
  Refresh();
}

void StatisticsModel::SetTable(StatisticsTable table) {
  beginResetModel();
  table_ = table;
  columns_ = ColumnsOf(table);
  order_.clear();
  sortColumn_ = bytesColumn();
  sortOrder_ = Qt::DescendingOrder;
  endResetModel();
  Refresh();
}

size_t StatisticsModel::TableSize() const {
  if (statistics_ == nullptr) return 0;
  switch (table_) {
    case StatisticsTable::kConversations: return statistics_->conversations().size();
    case StatisticsTable::kAddresses: return statistics_->addresses().size();
    case StatisticsTable::kPorts: return statistics_->ports().size();
    case StatisticsTable::kPrograms: return statistics_->programs().size();
  }
  return 0;
}

void StatisticsModel::Refresh() {
  size_t size = TableSize();
  if (size > order_.size()) {
    beginInsertRows(QModelIndex(), static_cast<int>(order_.size()), static_cast<int>(size) - 1);
    for (size_t row = order_.size(); row < size; ++row) order_.push_back(static_cast<uint32_t>(row));
    endInsertRows();
  }
  if (order_.empty()) return;
  Order();
  emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
}

int StatisticsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(order_.size());
}

int StatisticsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant StatisticsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || statistics_ == nullptr || index.row() >= rowCount()) return {};
  if (role == Qt::DisplayRole) return CellText(index.row(), index.column());
  if (role == Qt::TextAlignmentRole) {
    bool numeric = CellOf(TableRow(index.row()), index.column()).numeric;
    return QVariant::fromValue(Qt::AlignVCenter | (numeric ? Qt::AlignRight : Qt::AlignLeft));
  }
  return {};
}

QVariant StatisticsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= columnCount()) return {};
  return QString::fromLatin1(columns_[static_cast<size_t>(section)]);
}

QString StatisticsModel::CellText(int row, int column) const { return CellOf(TableRow(row), column).text; }

int StatisticsModel::programsColumn() const {
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (QLatin1String(columns_[i]) == QLatin1String("programs")) return static_cast<int>(i);
  }
  return -1;
}

int StatisticsModel::bytesColumn() const {
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (QLatin1String(columns_[i]) == QLatin1String("bytes")) return static_cast<int>(i);
  }
  return 0;
}

StatisticsModel::Cell StatisticsModel::CellOf(uint32_t r, int column) const {
  const Statistics& s = *statistics_;
  auto number = [](uint64_t n) { return Cell{QString::number(n), static_cast<double>(n), true}; };
  auto text = [](QString t) { return Cell{std::move(t), 0, false}; };
  const Cell empty{QString(), -1, true};
  uint64_t value = 0;
  switch (table_) {
    case StatisticsTable::kConversations: {
      const Conversation& c = s.conversations()[r];
      bool ipv6 = c.key.ipv6 != 0;
      Traffic all = c.total();
      switch (column) {
        case 0: return text(ProtocolText(c.key.protocol, ipv6));
        case 1: return text(Text(AddressText(c.a(), ipv6)));
        case 2: return c.ports() ? number(c.aPort()) : empty;
        case 3: return text(Text(AddressText(c.b(), ipv6)));
        case 4: return c.ports() ? number(c.bPort()) : empty;
        case 5: return number(c.aToB.packets);
        case 6: return number(c.aToB.bytes);
        case 7: return number(c.bToA.packets);
        case 8: return number(c.bToA.bytes);
        case 9: return number(all.packets);
        case 10: return number(all.bytes);
        case 11: return {SecondsText(c.first - s.start()), static_cast<double>(c.first - s.start()), true};
        case 12: return {SecondsText(c.duration()), static_cast<double>(c.duration()), true};
        case 13: return c.duration() > 0 ? number(static_cast<uint64_t>(c.bitsPerSecond() + 0.5)) : empty;
        default: return text(ProgramsText(s, c.programs));
      }
    }
    case StatisticsTable::kAddresses:
    case StatisticsTable::kPorts: {
      bool ports = table_ == StatisticsTable::kPorts;
      const Endpoint& e = (ports ? s.ports() : s.addresses())[r];
      if (column == 0) return text(Text(AddressText(e.key.address, e.key.ipv6 != 0)));
      if (ports && column == 1) return text(QString::fromLatin1(ProtocolWord(e.key.protocol)));
      if (ports && column == 2) return number(e.key.port);
      if (TrafficCell(e, column, ports ? 3 : 1, value)) return number(value);
      return text(ProgramsText(s, e.programs));
    }
    case StatisticsTable::kPrograms: {
      const ProgramRow& p = s.programs()[r];
      if (column == 0) return text(Text(p.name));
      if (column == 1) return text(Text(p.user));
      if (TrafficCell(p, column, 2, value)) return number(value);
      return number(p.conversations);
    }
  }
  return empty;
}

void StatisticsModel::sort(int column, Qt::SortOrder order) {
  if (column < 0 || column >= columnCount()) return;
  sortColumn_ = column;
  sortOrder_ = order;
  Order();
}

void StatisticsModel::Order() {
  if (sortColumn_ < 0 || statistics_ == nullptr) return;
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList before = persistentIndexList();
  std::vector<uint32_t> held;
  for (const QModelIndex& index : before) held.push_back(TableRow(index.row()));
  // Each row's key once, not once per comparison.
  std::vector<Cell> keys(order_.size());
  for (uint32_t row = 0; row < keys.size(); ++row) keys[row] = CellOf(row, sortColumn_);
  bool descending = sortOrder_ == Qt::DescendingOrder;
  std::sort(order_.begin(), order_.end(), [&](uint32_t x, uint32_t y) {
    const Cell &a = keys[x], &b = keys[y];
    int compared = a.numeric ? (a.number < b.number ? -1 : a.number > b.number ? 1 : 0) : a.text.compare(b.text);
    if (compared != 0) return descending ? compared > 0 : compared < 0;
    return x < y;  // equal rows in table order, whichever way
  });
  std::vector<int> at(order_.size());
  for (size_t i = 0; i < order_.size(); ++i) at[order_[i]] = static_cast<int>(i);
  QModelIndexList after;
  for (qsizetype k = 0; k < before.size(); ++k) after << index(at[held[static_cast<size_t>(k)]], before[k].column());
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

namespace {

QString Joined(const std::vector<QStringList>& lines, const QString& separator, const QString& end,
               QString (*cell)(const QString&)) {
  QString out;
  for (const QStringList& line : lines) {
    for (qsizetype i = 0; i < line.size(); ++i) {
      if (i != 0) out += separator;
      out += cell(line[i]);
    }
    out += end;
  }
  return out;
}

}  // namespace

QString TabSeparated(const std::vector<QStringList>& lines) {
  return Joined(lines, QStringLiteral("\t"), QStringLiteral("\n"), [](const QString& cell) {
    QString flat = cell;
    for (QChar& c : flat) {
      if (c == u'\t' || c == u'\n' || c == u'\r') c = u' ';
    }
    return flat;
  });
}

QString CommaSeparated(const std::vector<QStringList>& lines) {
  return Joined(lines, QStringLiteral(","), QStringLiteral("\r\n"), [](const QString& cell) {
    bool quoted = cell.contains(u',') || cell.contains(u'"') || cell.contains(u'\n') || cell.contains(u'\r');
    if (!quoted) return cell;
    QString doubled = cell;
    doubled.replace(QStringLiteral("\""), QStringLiteral("\"\""));
    return QStringLiteral("\"") + doubled + QStringLiteral("\"");
  });
}

}  // namespace trovix
