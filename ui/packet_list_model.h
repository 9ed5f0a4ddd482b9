// The packet list: a view over the packet store plus the message lines the window adds.
// A packet row's text is its line in the sniff log, which the capture formatted once as it
// stored the packet; nothing is formatted or copied per row.
#pragma once

#include <QAbstractListModel>
#include <QString>

#include <cstdint>
#include <vector>

#include "capture/capture_state.h"

namespace trovix {

class PacketListModel : public QAbstractListModel {
  Q_OBJECT

 public:
  explicit PacketListModel(const CaptureState& state, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;

  // Empties the list.
  void Clear();
  // Appends a line that is not a packet line.
  void AddText(const QString& text);
  // Appends rows for the packets published since the last call; returns how many.
  int FetchPublishedPackets();

  // The packet that `row` shows, or -1 for a message line or no row.
  int32_t PacketAtRow(int row) const;
  // The row that shows `packet`, or -1.
  int RowOfPacket(int32_t packet) const;
  QString RowText(int row) const;
  int packetsShown() const { return packetsShown_; }
  // The longest address text of the packet rows so far, when one is longer than any IPv4
  // text (an IPv6 address); empty otherwise.
  const QString& widestAddress() const { return widestAddress_; }

 private:
  const CaptureState& state_;
  // Per row: a packet index (>= 0) or -1 - the index of the row's text in texts_.
  std::vector<int32_t> rows_;
  std::vector<QString> texts_;
  // Per packet: where its line begins in the sniff log; one more entry ends the last line.
  std::vector<int32_t> lineAt_;
  uint32_t packetsShown_ = 0;
  QString widestAddress_;
};

}  // namespace trovix
