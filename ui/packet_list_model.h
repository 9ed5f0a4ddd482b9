// The packet list: a view over the packet store plus the message lines the window adds.
// A packet row's text is its line in the sniff log, which the capture formatted once as it
// stored the packet; nothing is formatted or copied per row.
#pragma once

#include <QAbstractListModel>
#include <QFont>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_state.h"
#include "report/name_learner.h"

namespace trovix {

class PacketListModel : public QAbstractListModel {
  Q_OBJECT

 public:
  explicit PacketListModel(const CaptureState& state, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  // Asked for every row at each layout of the list: no more than a bounds check.
  QModelIndex index(int row, int column = 0, const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;

  // Empties the list.
  void Clear();
  // Appends a line that is not a packet line.
  void AddText(const QString& text);
  // A line kept after every other row (the kernel's drops while a capture runs): rows
  // added meanwhile go before it. Empty for none.
  void SetTrailer(const QString& text);
  // Appends rows for the packets published since the last call; returns how many. None
  // while the list is filtered.
  int FetchPublishedPackets();
  // Shows only `packets`, in that order, each with its own line (and number); nullptr
  // shows every row again, message lines in their places.
  void ShowOnlyPackets(const std::vector<int32_t>* packets);
  bool filtered() const { return filtered_; }
  // Each packet row begins with its receive time, in local time to the microsecond, with
  // the date once the packets span more than one day.
  void SetShowTimes(bool on);
  bool showTimes() const { return showTimes_; }
  // Each packet row ends with a field naming its local programs (program_table.h's
  // texts). `sampled`: a sampler decides the rows' entries, so a pending one shows nothing
  // until then; otherwise nothing will decide it and it shows "?".
  void SetShowPrograms(bool on, bool sampled);
  bool showPrograms() const { return showPrograms_; }
  // The programs' field of packet `packet`, as its row shows it.
  QString ProgramText(int32_t packet) const;
  // Each packet row ends with its info line (report/packet_info.h), made as it is drawn.
  void SetShowInfo(bool on);
  bool showInfo() const { return showInfo_; }
  QString InfoText(int32_t packet) const;
  // Each packet row shows its addresses as the names learned for them, which are learned
  // from the packets as they are listed; with `lookUp`, those still without one are
  // handed to the system's resolver as they are drawn.
  void SetShowNames(bool on, bool lookUp);
  bool showNames() const { return showNames_; }
  // With names, each packet row shows the name of the source it came from (after its
  // time, when times are shown); with none, no source.
  void SetSourceNames(std::vector<QString> names);
  const std::vector<QString>& sourceNames() const { return sourceNames_; }
  // A receive time as a row shows it.
  QString TimeText(int64_t receiveTime) const;
  // While filtered: the packets shown, row by row.
  const std::vector<int32_t>& shownPackets() const { return rows_; }

  // The packet that `row` shows, or -1 for a message line or no row.
  int32_t PacketAtRow(int row) const;
  // The row that shows `packet`, or -1.
  int RowOfPacket(int32_t packet) const;
  QString RowText(int row) const;
  // Whether the row's line holds `text`, letter case aside.
  bool RowHas(int row, const QString& text) const;
  // Whether listed packet `packet`'s row (with its programs, info and names as shown)
  // holds `text`; false for a packet not listed yet.
  bool PacketHas(int32_t packet, const QString& text) const;
  // The next row after `from` (before it, going back) whose line holds `text`, round the
  // end of the list; -1 when none does.
  int FindRow(const QString& text, int from, bool forward) const;
  int CountRows(const QString& text) const;
  int packetsShown() const { return packetsShown_; }

  // The fields of a packet line: the text before its first tab (empty), then its eight
  // columns, numbered as PacketRowDelegate numbers them.
  static constexpr int kLineFields = 9;
  // The program whose icon stands before the programs' field: the sender's, else the
  // receiver's; 0 for none.
  static constexpr int kProgramIdRole = Qt::UserRole + 1;
  // The list's font, by how wide it draws each byte the widest text of each field is
  // picked as rows arrive. Until set, every byte counts as wide as another.
  void SetRowFont(const QFont& font);
  // The widest text of each field of the packet rows since the list was last emptied.
  const std::array<QString, kLineFields>& widestFields() const { return widest_; }
  // Changes whenever one of widestFields() does.
  uint32_t widestGeneration() const { return widestGeneration_; }

 private:
  const CaptureState& state_;
  // Per row: a packet index (>= 0) or -1 - the index of the row's text in texts_.
  std::vector<int32_t> rows_;
  std::vector<QString> texts_;
  QString trailer_;
  // While filtered: every row, as it was before.
  bool filtered_ = false;
  bool showTimes_ = false;
  bool showPrograms_ = false;
  bool programsSampled_ = false;
  bool showInfo_ = false;
  bool showNames_ = false;
  bool lookUpNames_ = false;
  mutable NameLearner learner_;
  // The packet line with its addresses replaced by their names, where they have one.
  QString NamedLine(int32_t packet, const char* line, int length) const;
  // Whether packet `packet`'s info line or its addresses' names hold `text`, letter case aside.
  bool DerivedTextHas(int32_t packet, const QString& text) const;
  mutable QString needle_;               // the last text looked for in derived text
  mutable std::string loweredNeedle_;    // and its lower case
  std::vector<QString> sourceNames_;
  bool datesShown_ = false;  // the packets' first and last days differ
  void NoteDates();
  std::vector<int32_t> allRows_;
  // Per packet: where its line begins in the sniff log; one more entry ends the last line.
  std::vector<int32_t> lineAt_;
  uint32_t packetsShown_ = 0;
  // The font whose byte widths (in 64ths of a pixel) advances_ takes when the first packet
  // rows come: not at start-up, where the window would wait for it.
  std::optional<QFont> rowFont_;
  std::array<uint16_t, 256> advances_;
  std::array<uint32_t, kLineFields> widestAdvance_{};
  std::array<QString, kLineFields> widest_;
  uint32_t widestGeneration_ = 0;

  void MeasureBytes();
  // Keeps each field of the line from `line` to `end` (its CR) that is wider than the
  // widest so far.
  void MeasureFields(const char* line, const char* end);
};

}  // namespace trovix
