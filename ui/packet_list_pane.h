// The packet list as the window shows it: the list view over the store, the strip of
// column headers over it, the time column, the find bar (Ctrl+F, F3, Shift+F3) and the
// filter bar.
#pragma once

#include <QVector>
#include <QWidget>

#include <map>

#include "capture/capture_state.h"
#include "capture/program_table.h"
#include "ui/packet_list_model.h"

class QFrame;
class QLabel;
class QLineEdit;
class QListView;

namespace trovix {

class ProgramIcons;

class DialogUnits;
class FilterBar;

class PacketListPane : public QWidget {
  Q_OBJECT

 public:
  // Laid out from the window's template: its list and column headers, at their places in
  // `parent` (the pane spans the header strip's top to the list's bottom).
  PacketListPane(const CaptureState& state, const DialogUnits& du, QWidget* parent);

  PacketListModel& model() { return *model_; }
  QListView* view() const { return view_; }
  // The list and its column headers by control id, as the template names them.
  const std::map<int, QWidget*>& controls() const { return controls_; }
  // The time column's header, which has no control id.
  QLabel* timeHeader() const { return timeHeader_; }

  // Lists the packets published since the last call; columns too narrow for the widest
  // texts so far are widened, their headers with them.
  void FetchRows();
  // Times shown (or not) and the sources' names in the time column; its room and header.
  void SetShowTimes(bool on);
  // The programs' column after the last one, and its header; `sampled` as the model's.
  void SetShowPrograms(bool on, bool sampled);
  // The sampler has written the entries of the packets below `matched`: rows that waited
  // for theirs are painted again, and the column widens to its widest text.
  void ProgramsMatched(uint32_t matched);
  QLabel* programHeader() const { return programHeader_; }
  // The info column after every other, and its header.
  void SetShowInfo(bool on);
  QLabel* infoHeader() const { return infoHeader_; }
  // The find bar's text while it is shown; empty otherwise.
  QString findText() const;
  // Addresses as names (model's SetShowNames).
  void SetShowNames(bool on, bool lookUp);
  // The filter bar over the list's last rows (above the find bar while that is shown), made
  // when first opened; the keyboard goes to its field.
  FilterBar* OpenFilterBar();
  FilterBar* filterBar() const { return filterBar_; }
  // How long the list's last layout of its rows took.
  int lastLayoutMs() const;

 signals:
  // A double click or Enter on a row.
  void rowOpened(int row);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void CreateFindBar();
  void FindNext(bool forward);
  void CountFound();
  // The find and filter bars at the list's bottom edge, the find bar lowest.
  void PlaceBars();
  // Puts the column headers over their columns, as widened and scrolled.
  void PlaceColumnHeaders();

  PacketListModel* model_;
  QListView* view_ = nullptr;
  std::map<int, QWidget*> controls_;
  QWidget* headerStrip_ = nullptr;
  QLabel* timeHeader_ = nullptr;
  QLabel* programHeader_ = nullptr;
  QLabel* infoHeader_ = nullptr;
  uint32_t programsMatched_ = 0;  // as last painted
  uint32_t ownersMeasured_ = kUnknownOwner;  // the program table's owners measured so far
  ProgramIcons* icons_;
  int programWidth_ = 0;  // the programs' column, as wide as its widest text and header
  QVector<QWidget*> headers_;  // the column headers, field 1 first
  QVector<int> headerWidths_;  // as laid out
  int listTop_ = 0;  // the list's top in the pane, below the strip
  uint32_t fittedGeneration_ = 0;  // the list's widest texts the columns were fitted to
  QFrame* findBar_ = nullptr;
  QLineEdit* findField_ = nullptr;
  QLabel* findCount_ = nullptr;
  FilterBar* filterBar_ = nullptr;
};

}  // namespace trovix
