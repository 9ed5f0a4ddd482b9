#include "ui/packet_list_model.h"

#include "capture/packet_line.h"
#include "capture/packet_store.h"

#include <algorithm>
#include <cstring>

namespace trovix {

PacketListModel::PacketListModel(const CaptureState& state, QObject* parent)
    : QAbstractListModel(parent), state_(state) {
  rows_.reserve(kMaxPackets + 64);
}

int PacketListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant PacketListModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid()) return {};
  return RowText(index.row());
}

QString PacketListModel::RowText(int row) const {
  if (row < 0 || static_cast<size_t>(row) >= rows_.size()) return {};
  int32_t entry = rows_[static_cast<size_t>(row)];
  if (entry < 0) return texts_[static_cast<size_t>(-1 - entry)];
  StoredPacket packet;
  if (!LocatePacket(state_.store, entry, packet)) return {};
  char line[kPacketLineMax + 1];
  size_t n = FormatStoredPacketLine(static_cast<uint32_t>(entry), packet.bytes,
                                    static_cast<size_t>(packet.length), line);
  return QString::fromLatin1(line, static_cast<qsizetype>(n));
}

void PacketListModel::Clear() {
  beginResetModel();
  rows_.clear();
  texts_.clear();
  packetsShown_ = 0;
  scanOffset_ = 0;
  widestAddress_.clear();
  endResetModel();
}

void PacketListModel::AddText(const QString& text) {
  int row = static_cast<int>(rows_.size());
  beginInsertRows({}, row, row);
  texts_.push_back(text);
  rows_.push_back(-static_cast<int32_t>(texts_.size()));
  endInsertRows();
}

int PacketListModel::FetchPublishedPackets() {
  uint32_t published = PublishedPacketCount(state_.store);
  if (published <= packetsShown_) return 0;
  int first = static_cast<int>(rows_.size());
  int added = static_cast<int>(published - packetsShown_);
  // Only an IPv6 row can hold an address wider than its column; its fields are read once,
  // here, to find it. The new packets follow each other in the byte area, so they are
  // walked from where the last fetch ended rather than located one by one from the start.
  for (uint32_t k = packetsShown_; k < published; ++k) {
    int32_t length = state_.store.lengths[k];
    if (length < 0 || length > kByteAreaSize - scanOffset_) break;  // tables LocatePacket would refuse
    const uint8_t* bytes = state_.store.bytes + scanOffset_;
    scanOffset_ += length;
    DatagramFields fields;
    if (!IsIpv6Datagram(bytes, static_cast<size_t>(length)) ||
        !ReadDatagramFields(bytes, static_cast<size_t>(length), fields)) {
      continue;
    }
    for (const char* address : {fields.src, fields.dst}) {
      if (std::strlen(address) > static_cast<size_t>(std::max<qsizetype>(widestAddress_.size(), kIpv4TextSize - 1))) {
        widestAddress_ = QString::fromLatin1(address);
      }
    }
  }
  beginInsertRows({}, first, first + added - 1);
  for (; packetsShown_ < published; ++packetsShown_) rows_.push_back(static_cast<int32_t>(packetsShown_));
  endInsertRows();
  return added;
}

int32_t PacketListModel::PacketAtRow(int row) const {
  if (row < 0 || static_cast<size_t>(row) >= rows_.size()) return -1;
  int32_t entry = rows_[static_cast<size_t>(row)];
  return entry >= 0 ? entry : -1;
}

}  // namespace trovix
