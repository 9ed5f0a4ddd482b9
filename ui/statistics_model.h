// The statistics' tables as Qt models: a view over a Statistics object's rows in an order
// of their own, each cell made when it is drawn; the columns are trovix-cli's.
#pragma once

#include <QAbstractTableModel>
#include <QStringList>

#include <cstdint>
#include <vector>

#include "capture/statistics.h"

namespace trovix {

enum class StatisticsTable { kConversations, kAddresses, kPorts, kPrograms };

class StatisticsModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  StatisticsModel(StatisticsTable table, QObject* parent = nullptr);

  // The rows of `statistics` (none for nullptr), sorted as before.
  void SetStatistics(const Statistics* statistics);
  // Another table of the same statistics (the endpoints by address or by port).
  void SetTable(StatisticsTable table);
  StatisticsTable table() const { return table_; }
  // After a pass: new rows appended, every row's counts drawn anew, the order kept up.
  void Refresh();

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  void sort(int column, Qt::SortOrder order) override;

  // The row of the statistics' table that view row `row` shows.
  uint32_t TableRow(int row) const { return order_.at(static_cast<size_t>(row)); }
  // The column "programs" has, or -1.
  int programsColumn() const;
  int bytesColumn() const;
  QString CellText(int row, int column) const;

 private:
  struct Cell {
    QString text;
    double number;  // what a numeric column sorts by; -1 for an empty cell
    bool numeric;
  };
  Cell CellOf(uint32_t tableRow, int column) const;
  size_t TableSize() const;
  // Sorts order_ by the current column, keeping each persistent index on its row.
  void Order();

  StatisticsTable table_;
  const Statistics* statistics_ = nullptr;
  std::vector<const char*> columns_;
  std::vector<uint32_t> order_;
  int sortColumn_ = -1;
  Qt::SortOrder sortOrder_ = Qt::DescendingOrder;
};

// The header line and the rows of `lines` as text: tab-separated (a tab or line break in
// a cell becomes a space) or CSV (a cell with a comma, quote or line break quoted, its
// quotes doubled; lines ended by CR LF).
QString TabSeparated(const std::vector<QStringList>& lines);
QString CommaSeparated(const std::vector<QStringList>& lines);

}  // namespace trovix
