// The "&statistics" window: conversations, endpoints, the protocol tree and programs of
// the current capture or file, kept up while it runs; a row leads to its datagrams.
#pragma once

#include <QDialog>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/capture_state.h"
#include "capture/program_table.h"
#include "capture/statistics.h"
#include "settings/window_options.h"
#include "ui/services.h"
#include "ui/statistics_model.h"

class QCheckBox;
class QPushButton;
class QTabWidget;
class QTableView;
class QTreeWidget;

namespace trovix {

// What a row of the statistics stands for, to find its datagrams in the store.
struct StatisticsRow {
  enum Kind { kNone, kConversation, kAddress, kPort, kProtocol, kProgram } kind = kNone;
  ConversationKey conversation{};  // both directions
  EndpointKey endpoint{};          // either end
  int family = -1, protocol = -1, application = -1;  // a node of the tree, as ProtocolNode
  std::string program, user;       // a program row: name (empty for a user alone) and user
  // Whether the datagram read as `d`, with owner entry `owner`, is one of the row's.
  bool Holds(const DatagramKey& d, uint32_t owner, const ProgramTable& programs) const;
};

class StatisticsWindow : public QDialog {
  Q_OBJECT

 public:
  enum Tab { kConversationsTab, kEndpointsTab, kProtocolsTab, kProgramsTab };

  // `passable` says how many of the store's packets a pass may take now (a live capture's
  // programs must be matched first). Opens beside `owner`.
  StatisticsWindow(QWidget* owner, const CaptureState& state, const WindowOptions& options, const Services& services,
                   std::function<uint32_t()> passable);

  // A new capture or file: the tables start from nothing.
  void Restart();
  // While a capture or reading runs the tables follow it on a timer; at its end they take
  // the rest, and "only this" is offered.
  void SetLive(bool live);
  // The programs' columns, as "show &programs" says.
  void ShowPrograms();
  // Takes what the store holds beyond the last pass, in steps that leave the window answering.
  void CatchUp();

  const Statistics& statistics() const { return *statistics_; }
  QTabWidget* tabs() const { return tabs_; }
  QTableView* table(Tab tab) const;
  QTreeWidget* protocolTree() const { return tree_; }
  QCheckBox* portsSwitch() const { return ports_; }
  QPushButton* onlyThisButton() const { return onlyThis_; }
  QPushButton* saveButton() const { return save_; }
  // The current tab's header line and rows (the selected ones, or all) as shown.
  std::vector<QStringList> Lines(bool selectedOnly) const;

 signals:
  // The main list is to show `row`'s datagrams alone.
  void onlyThisRow(const StatisticsRow& row);

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void RefreshCurrent();
  void RefreshTree();
  void CopySelection();
  void SaveCsv();
  void OpenRow(const QModelIndex& index);
  StatisticsModel* ModelOf(Tab tab) const;

  const CaptureState& state_;
  const WindowOptions& options_;
  Services services_;
  std::function<uint32_t()> passable_;
  std::unique_ptr<Statistics> statistics_;
  QTabWidget* tabs_ = nullptr;
  QTableView* tables_[4] = {};  // the protocols' slot stays empty: the tree shows them
  QTreeWidget* tree_ = nullptr;
  QCheckBox* ports_ = nullptr;
  QPushButton* onlyThis_ = nullptr;
  QPushButton* save_ = nullptr;
  QTimer liveTimer_;
  bool live_ = false;
  bool stepQueued_ = false;
};

}  // namespace trovix
