// The main window's side of the details window: the report of the packet a row shows.
#include <QApplication>

#include <algorithm>

#include "capture/learned_names.h"
#include "capture/packet_line.h"
#include "capture/packet_store.h"
#include "capture/program_table.h"
#include "report/datagram_layers.h"
#include "report/packet_report.h"
#include "report/report_items.h"
#include "ui/details_window.h"
#include "ui/main_dialog.h"

namespace trovix {
namespace {

// The details' lines for a packet's owner entry: each local end's program with its
// process and user, sender first; one line of "?" when none can be named.
std::vector<std::string> ProgramLines(uint32_t ownerId) {
  const ProgramTable& table = TheProgramTable();
  Owner owner = table.OwnerOf(ownerId);
  std::vector<std::string> lines;
  for (auto [id, end] : {std::pair{owner.source, "sent by "}, std::pair{owner.destination, "received by "}}) {
    if (id == kNoProgram) continue;
    const Program* p = table.ProgramOf(id);
    if (p == nullptr) lines.push_back(end + std::string("?"));
    else if (p->pid == 0) lines.push_back(end + std::string("a program of user ") + p->user);
    else lines.push_back(end + std::string(p->name) + ", process " + std::to_string(p->pid) + ", user " + p->user);
  }
  if (lines.empty()) lines.push_back("program ?");
  return lines;
}

// "198.51.100.7 is example.org (DNS answer, packet 12)" for each address of the packet
// that has a name.
std::vector<std::string> NameLines(const StoredPacket& p) {
  std::vector<std::string> lines;
  DatagramLayers layers = LocateLayers(p.bytes, static_cast<size_t>(p.length));
  if (layers.source == nullptr) return lines;
  LearnedName name;
  for (const uint8_t* address : {layers.source, layers.destination}) {
    if (!TheLearnedNames().Find(NameAddress::Of(address, layers.addressLength), name)) continue;
    char text[64];
    size_t n = layers.addressLength == 16 ? FormatIpv6(address, text)
                                          : FormatIpv4(static_cast<uint32_t>(address[0]) << 24 | address[1] << 16 |
                                                           address[2] << 8 | address[3],
                                                       text);
    std::string line = std::string(text, n) + " is " + name.name + " (" + NameOriginText(name.origin);
    if (name.packet >= 0) line += ", packet " + std::to_string(name.packet);
    lines.push_back(line + ")");
  }
  return lines;
}

}  // namespace

void MainDialog::ShowPacketDetails() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  if (details_ != nullptr) {
    details_->Clear();
  } else {
    details_ = new DetailsWindow(this);
  }
  ShowPacketReport();
  QApplication::restoreOverrideCursor();
  details_->showNormal();
  details_->raise();
  details_->activateWindow();
}

void MainDialog::ShowPacketReport() {
  // The selection is a row of the packet list; the list says which packet that row shows.
  int32_t row = state_.selectedPacketIndex.load();
  bool messageRow = row >= 0 && row < list_->rowCount() && list_->PacketAtRow(row) < 0;
  // A row past the list's end names no packet; the report says so.
  int32_t packet = row < 0 || row >= list_->rowCount() ? row : list_->PacketAtRow(row);
  ReportViews views{options_.TcpDataInAsciiView == 1, options_.TcpDataInTextView == 1,
                    options_.DataInHexViewTcpAndUdp == 1};
  PacketReport report = BuildPacketReport(state_.store, messageRow ? -1 : packet, views);
  if (report.outcome == ReportOutcome::kNothingStored) {
    list_->AddText(QString::fromLatin1(kNothingStoredText));
    return;
  }
  if (messageRow) {
    // Never another packet's report for a line such as "don't found data!".
    details_->ShowItems({"the selected row is not a packet line"}, {-1, -1});
    return;
  }
  // The report chose the packet: later requests name its row, which a line before the
  // packet rows moves down.
  if (row < 0) state_.selectedPacketIndex.store(std::max(list_->RowOfPacket(report.selectedPacketIndex), 0));
  std::vector<std::string> items = SplitReportItems(report.text);
  StoredPacket p;
  if (options_.ShowTimes == 1 && LocatePacket(state_.store, report.selectedPacketIndex, p)) {
    // The receive time first, in a line of its own, as the list shows it.
    items.insert(items.begin(), "received " + list_->TimeText(p.receiveTime).toStdString());
  }
  if (options_.ShowPrograms == 1) {
    std::vector<std::string> programs = ProgramLines(PacketOwner(state_.store, report.selectedPacketIndex));
    items.insert(items.begin(), programs.begin(), programs.end());
  }
  if (options_.ShowNames == 1 && LocatePacket(state_.store, report.selectedPacketIndex, p)) {
    std::vector<std::string> names = NameLines(p);
    items.insert(items.begin(), names.begin(), names.end());
  }
  details_->ShowItems(items, SelectTitleItem(items, report.selectedPacketIndex));
}

}  // namespace trovix
