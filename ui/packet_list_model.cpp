#include "ui/packet_list_model.h"

#include <QFontMetricsF>

#include "capture/packet_line.h"
#include "capture/packet_store.h"
#include "capture/platform/name_resolver.h"
#include "capture/program_table.h"
#include "report/datagram_layers.h"
#include "report/packet_info.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <tuple>

namespace trovix {

PacketListModel::PacketListModel(const CaptureState& state, QObject* parent)
    : QAbstractListModel(parent), state_(state), learner_(TheLearnedNames()) {
  advances_.fill(64);
  rows_.reserve(kMaxPackets + 64);
  lineAt_.reserve(kMaxPackets + 1);
  lineAt_.push_back(0);
}

int PacketListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size()) + (trailer_.isEmpty() ? 0 : 1);
}

QModelIndex PacketListModel::index(int row, int column, const QModelIndex& parent) const {
  return !parent.isValid() && column == 0 && row >= 0 && row < PacketListModel::rowCount() ? createIndex(row, 0)
                                                                                           : QModelIndex();
}

QVariant PacketListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  if (role == kProgramIdRole) {
    int32_t packet = PacketAtRow(index.row());
    uint32_t owner = packet < 0 ? kOwnerPending : PacketOwner(state_.store, packet);
    if (!showPrograms_ || owner == kOwnerPending || owner == kUnknownOwner) return 0u;
    Owner o = TheProgramTable().OwnerOf(owner);
    return o.source > kUnknownProgram ? o.source : o.destination > kUnknownProgram ? o.destination : 0u;
  }
  if (role != Qt::DisplayRole) return {};
  return RowText(index.row());
}

QString PacketListModel::RowText(int row) const {
  if (row == static_cast<int>(rows_.size())) return trailer_;
  if (row < 0 || static_cast<size_t>(row) >= rows_.size()) return {};
  int32_t entry = rows_[static_cast<size_t>(row)];
  if (entry < 0) return texts_[static_cast<size_t>(-1 - entry)];
  // Without its CR LF.
  int32_t at = lineAt_[static_cast<size_t>(entry)];
  int length = lineAt_[static_cast<size_t>(entry) + 1] - at - 2;
  QString line = showNames_ ? NamedLine(entry, state_.sniffLog.text + at, length)
                            : QString::fromLatin1(state_.sniffLog.text + at, length);
  if (showPrograms_) line += QLatin1Char('\t') + ProgramText(entry);
  if (showInfo_) line += QLatin1Char('\t') + InfoText(entry);
  StoredPacket p;
  if ((!showTimes_ && sourceNames_.empty()) || !LocatePacket(state_.store, entry, p)) return line;
  // In the field before the line's first tab.
  QString lead = showTimes_ ? TimeText(p.receiveTime) : QString();
  if (!sourceNames_.empty()) {
    if (showTimes_) lead += QLatin1Char(' ');
    lead += p.source < sourceNames_.size() ? sourceNames_[p.source] : QString();
  }
  return lead + line;
}

QString PacketListModel::ProgramText(int32_t packet) const {
  uint32_t owner = PacketOwner(state_.store, packet);
  if (owner == kOwnerPending) return programsSampled_ ? QString() : QStringLiteral("?");
  return QString::fromStdString(TheProgramTable().OwnerText(owner));
}

void PacketListModel::SetShowPrograms(bool on, bool sampled) {
  if (on == showPrograms_ && sampled == programsSampled_) return;
  beginResetModel();
  showPrograms_ = on;
  programsSampled_ = sampled;
  endResetModel();
}

QString PacketListModel::InfoText(int32_t packet) const {
  StoredPacket p;
  if (!LocatePacket(state_.store, packet, p)) return {};
  return QString::fromStdString(PacketInfoText(p.bytes, static_cast<size_t>(p.length)));
}

void PacketListModel::SetShowInfo(bool on) {
  if (on == showInfo_) return;
  beginResetModel();
  showInfo_ = on;
  endResetModel();
}

void PacketListModel::SetShowNames(bool on, bool lookUp) {
  if (on == showNames_ && lookUp == lookUpNames_) return;
  beginResetModel();
  showNames_ = on;
  lookUpNames_ = on && lookUp;
  if (on) learner_.CatchUp(state_.store);  // what was listed before names were shown
  endResetModel();
}

// The source and destination fields (3 and 5 of the line) hold the addresses.
QString PacketListModel::NamedLine(int32_t packet, const char* line, int length) const {
  QString text = QString::fromLatin1(line, length);
  StoredPacket p;
  if (!LocatePacket(state_.store, packet, p)) return text;
  DatagramLayers layers = LocateLayers(p.bytes, static_cast<size_t>(p.length));
  if (layers.source == nullptr) return text;
  QStringList fields = text.split(QLatin1Char('\t'));
  LearnedName name;
  for (auto [field, address] : {std::pair{3, layers.source}, std::pair{5, layers.destination}}) {
    NameAddress a = NameAddress::Of(address, layers.addressLength);
    if (field < fields.size() && TheLearnedNames().Find(a, name)) {
      fields[field] = QString::fromStdString(name.name);
    } else if (lookUpNames_) {
      TheNameResolver().Ask(a);
    }
  }
  return fields.join(QLatin1Char('\t'));
}

// Made into buffers kept from call to call, so that a find over every row allocates nothing.
bool PacketListModel::DerivedTextHas(int32_t packet, const QString& text) const {
  thread_local std::string derived;
  thread_local LearnedName name;
  StoredPacket p;
  if (!LocatePacket(state_.store, packet, p)) return false;
  derived.clear();
  if (showInfo_) AppendPacketInfo(derived, p.bytes, static_cast<size_t>(p.length));
  if (showNames_) {
    DatagramLayers layers = LocateLayers(p.bytes, static_cast<size_t>(p.length));
    for (const uint8_t* address : {layers.source, layers.destination}) {
      if (address == nullptr || !TheLearnedNames().Find(NameAddress::Of(address, layers.addressLength), name)) continue;
      derived += '\t';
      derived += name.name;
    }
  }
  // Derived text is ASCII: the text is lowered once, and each byte of it by a table.
  if (text != needle_) {
    needle_ = text;
    loweredNeedle_ = text.toLower().toStdString();
  }
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  auto same = [&](char a, char b) { return lower(a) == b; };
  return std::search(derived.begin(), derived.end(), loweredNeedle_.begin(), loweredNeedle_.end(), same) !=
         derived.end();
}

void PacketListModel::SetSourceNames(std::vector<QString> names) {
  beginResetModel();
  sourceNames_ = std::move(names);
  endResetModel();
}

QString PacketListModel::TimeText(int64_t receiveTime) const {
  int64_t seconds = receiveTime / 1000000000;
  int64_t nanoseconds = receiveTime % 1000000000;
  if (nanoseconds < 0) {
    nanoseconds += 1000000000;
    --seconds;
  }
  time_t t = static_cast<time_t>(seconds);
  tm local{};
  if (localtime_r(&t, &local) == nullptr) return QString();
  char text[64];
  strftime(text, sizeof text, datesShown_ ? "%Y-%m-%d %H:%M:%S" : "%H:%M:%S", &local);
  return QString::fromLatin1(text) + QStringLiteral(".%1").arg(nanoseconds / 1000, 6, 10, QLatin1Char('0'));
}

void PacketListModel::SetShowTimes(bool on) {
  beginResetModel();
  showTimes_ = on;
  NoteDates();
  endResetModel();
}

void PacketListModel::NoteDates() {
  uint32_t count = packetsShown_;
  StoredPacket first, last;
  if (datesShown_ || count < 2 || !LocatePacket(state_.store, 0, first) ||
      !LocatePacket(state_.store, static_cast<int32_t>(count - 1), last)) {
    return;
  }
  auto day = [](int64_t receiveTime) {
    time_t t = static_cast<time_t>(receiveTime / 1000000000);
    tm local{};
    localtime_r(&t, &local);
    return std::tuple(local.tm_year, local.tm_yday);
  };
  datesShown_ = day(first.receiveTime) != day(last.receiveTime);
}

bool PacketListModel::RowHas(int row, const QString& text) const {
  if (row == static_cast<int>(rows_.size())) return trailer_.contains(text, Qt::CaseInsensitive);
  int32_t entry = rows_[static_cast<size_t>(row)];
  if (entry < 0) return texts_[static_cast<size_t>(-1 - entry)].contains(text, Qt::CaseInsensitive);
  return PacketHas(entry, text);
}

bool PacketListModel::PacketHas(int32_t entry, const QString& text) const {
  if (entry < 0 || static_cast<size_t>(entry) + 1 >= lineAt_.size()) return false;
  // A packet line is single-byte text: searched where it lies in the sniff log.
  const char* line = state_.sniffLog.text + lineAt_[static_cast<size_t>(entry)];
  const char* end = state_.sniffLog.text + lineAt_[static_cast<size_t>(entry) + 1] - 2;
  auto same = [](char a, QChar b) { return QChar::toLower(static_cast<uchar>(a)) == b.toLower().unicode(); };
  if (std::search(line, end, text.begin(), text.end(), same) != end || text.isEmpty()) return true;
  if (showPrograms_ && ProgramText(entry).contains(text, Qt::CaseInsensitive)) return true;
  return (showInfo_ || showNames_) && DerivedTextHas(entry, text);
}

int PacketListModel::FindRow(const QString& text, int from, bool forward) const {
  int count = rowCount();
  for (int step = 1; step <= count; ++step) {
    int row = ((from + (forward ? step : -step)) % count + count) % count;
    if (RowHas(row, text)) return row;
  }
  return -1;
}

int PacketListModel::CountRows(const QString& text) const {
  int found = 0;
  for (int row = 0; row < rowCount(); ++row) found += RowHas(row, text) ? 1 : 0;
  return found;
}

void PacketListModel::Clear() {
  beginResetModel();
  rows_.clear();
  texts_.clear();
  trailer_.clear();
  filtered_ = false;
  datesShown_ = false;
  allRows_.clear();
  packetsShown_ = 0;
  lineAt_.resize(1);
  // Names are the capture's own: a new one learns its own.
  learner_.Restart();
  TheLearnedNames().Clear();
  widestAdvance_.fill(0);
  for (QString& text : widest_) text.clear();
  ++widestGeneration_;
  endResetModel();
}

void PacketListModel::AddText(const QString& text) {
  int row = static_cast<int>(rows_.size());
  beginInsertRows({}, row, row);
  texts_.push_back(text);
  rows_.push_back(-static_cast<int32_t>(texts_.size()));
  if (filtered_) allRows_.push_back(rows_.back());  // and there when every row is back
  endInsertRows();
}

void PacketListModel::SetTrailer(const QString& text) {
  int row = static_cast<int>(rows_.size());
  if (text.isEmpty() == trailer_.isEmpty()) {
    trailer_ = text;
    if (!text.isEmpty()) emit dataChanged(index(row), index(row));
    return;
  }
  if (text.isEmpty()) {
    beginRemoveRows({}, row, row);
    trailer_.clear();
    endRemoveRows();
  } else {
    beginInsertRows({}, row, row);
    trailer_ = text;
    endInsertRows();
  }
}

void PacketListModel::ShowOnlyPackets(const std::vector<int32_t>* packets) {
  beginResetModel();
  if (!filtered_) allRows_ = rows_;
  filtered_ = packets != nullptr;
  if (filtered_) {
    rows_ = *packets;
  } else {
    rows_ = std::move(allRows_);
    allRows_.clear();
  }
  endResetModel();
}

int PacketListModel::FetchPublishedPackets() {
  // The count is published after the lines of its packets (release), so every line below
  // it is whole in the log.
  uint32_t published = PublishedPacketCount(state_.store);
  if (showNames_) learner_.CatchUp(state_.store);  // filtered or not: later rows may show them
  if (published <= packetsShown_ || filtered_) return 0;
  if (rowFont_) MeasureBytes();
  const char* log = state_.sniffLog.text;
  int32_t logEnd = static_cast<int32_t>(PublishedLogLength(state_.sniffLog));
  for (uint32_t k = packetsShown_; k < published; ++k) {
    int32_t at = lineAt_.back();
    const char* end =
        at < logEnd ? static_cast<const char*>(std::memchr(log + at, '\n', static_cast<size_t>(logEnd - at))) : nullptr;
    if (end == nullptr) {
      published = k;  // not reached: a log that lacks a line shows what it holds
      break;
    }
    MeasureFields(log + at, end - 1);
    lineAt_.push_back(static_cast<int32_t>(end + 1 - log));
  }
  if (published <= packetsShown_) return 0;
  int first = static_cast<int>(rows_.size());
  int added = static_cast<int>(published - packetsShown_);
  beginInsertRows({}, first, first + added - 1);
  for (; packetsShown_ < published; ++packetsShown_) rows_.push_back(static_cast<int32_t>(packetsShown_));
  endInsertRows();
  if (showTimes_ && !datesShown_) {
    NoteDates();
    if (datesShown_) emit dataChanged(index(0), index(rowCount() - 1));  // every time gains its date
  }
  return added;
}

void PacketListModel::SetRowFont(const QFont& font) { rowFont_ = font; }

void PacketListModel::MeasureBytes() {
  QFontMetricsF metrics(*rowFont_);
  rowFont_.reset();
  // Fields are printable text; a control byte has no glyph in any font, and asking for one
  // sends the font engine through every fallback font.
  advances_.fill(0);
  for (int c = 0; c < 256; ++c) {
    if ((c >= 0x20 && c < 0x7f) || c >= 0xa0) {
      advances_[static_cast<size_t>(c)] = static_cast<uint16_t>(std::lround(metrics.horizontalAdvance(QChar(c)) * 64));
    }
  }
}

// A table lookup per byte on a walk that looks at each byte anyway; a text is made only
// for a field wider than any before it, which few rows have.
void PacketListModel::MeasureFields(const char* line, const char* end) {
  int field = 0;
  uint32_t advance = 0;
  const char* start = line;
  for (const char* c = line;; ++c) {
    if (c != end && *c != '\t') {
      advance += advances_[static_cast<uint8_t>(*c)];
      continue;
    }
    if (field < kLineFields && advance > widestAdvance_[field]) {
      widestAdvance_[field] = advance;
      widest_[field] = QString::fromLatin1(start, c - start);
      ++widestGeneration_;
    }
    if (c == end) return;
    ++field;
    advance = 0;
    start = c + 1;
  }
}

int32_t PacketListModel::PacketAtRow(int row) const {
  if (row < 0 || static_cast<size_t>(row) >= rows_.size()) return -1;
  int32_t entry = rows_[static_cast<size_t>(row)];
  return entry >= 0 ? entry : -1;
}

int PacketListModel::RowOfPacket(int32_t packet) const {
  // Message rows only push packet rows down: packet k is at row k or after it.
  for (size_t row = static_cast<size_t>(std::max(packet, 0)); packet >= 0 && row < rows_.size(); ++row) {
    if (rows_[row] == packet) return static_cast<int>(row);
  }
  return -1;
}

}  // namespace trovix
