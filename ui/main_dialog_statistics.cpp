// The main window's side of the statistics window: opening it over the current capture or
// file, and a row's datagrams shown alone in the list.
#include <algorithm>

#include "capture/packet_store.h"
#include "capture/program_table.h"
#include "ui/main_dialog.h"
#include "ui/statistics_window.h"

namespace trovix {

void MainDialog::ShowStatistics() {
  if (statistics_ == nullptr) {
    // A live capture's pass waits for its programs, so each datagram counts at its programs once.
    auto passable = [this] {
      uint32_t published = PublishedPacketCount(state_.store);
      bool waiting = session_.Running() && session_.programsSampled();
      return waiting ? std::min(published, session_.programsMatched()) : published;
    };
    statistics_ = new StatisticsWindow(this, state_, options_, services_, passable);
    connect(statistics_, &StatisticsWindow::onlyThisRow, this, &MainDialog::ShowOnlyStatisticsRow);
    statistics_->SetLive(session_.Running());
  }
  statistics_->showNormal();
  statistics_->raise();
  statistics_->activateWindow();
}

void MainDialog::ShowOnlyStatisticsRow(const StatisticsRow& row) {
  if (session_.Running()) return;  // as "filter the list": what is stored, once it stays
  const ProgramTable& programs = TheProgramTable();
  std::vector<int32_t> shown;
  uint32_t count = PublishedPacketCount(state_.store);
  for (uint32_t k = 0; k < count; ++k) {
    StoredPacket p;
    DatagramKey d;
    if (!LocatePacket(state_.store, static_cast<int32_t>(k), p)) continue;
    if (!ReadDatagramKey(p.bytes, static_cast<size_t>(p.length), p.protocol, d)) continue;
    if (row.Holds(d, PacketOwner(state_.store, static_cast<int32_t>(k)), programs)) shown.push_back(static_cast<int32_t>(k));
  }
  list_->ShowOnlyPackets(&shown);
}

}  // namespace trovix
