// Arbitrary bytes as one stored datagram, through the report, the splitting and the
// selection. Byte 0 is the protocol table entry; byte 1 holds the three view flags and
// where the datagram sits in the store; the rest is the datagram. It is always the last
// datagram stored, so in sanitizer builds the byte after it is unaddressable and a read
// past its end is reported.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "capture/capture_state.h"
#include "capture/packet_store.h"
#include "report/packet_report.h"
#include "report/report_items.h"

namespace {

using trovix::PacketStore;

constexpr uint8_t kFiller[20] = {0x45, 0, 0, 20, 0, 0, 0, 0, 64, 255};

void Check(bool ok) {
  if (!ok) std::abort();
}

// The store is large; one is kept and only its used part is rewritten per input.
PacketStore& Store() {
  static PacketStore* store = new PacketStore();
  return *store;
}

// Placement 0: the datagram is packet 0. 1: packet 1, behind a 20-byte filler. 2: packet
// 0, but the index asked for is one past the count. 3: packet 0, asked for with -1.
int32_t Fill(PacketStore& s, uint8_t protocol, int placement, const uint8_t* data, size_t size) {
  trovix::ResetPacketStore(s);
  if (placement == 1) trovix::AppendPacket(s, 255, kFiller, sizeof kFiller);
  Check(trovix::AppendPacket(s, protocol, data, size) != trovix::AcceptResult::kNoRoom);
  uint32_t count = trovix::PublishedPacketCount(s);
#ifdef TROVIX_AREA_POISONING
  Check(__asan_address_is_poisoned(s.bytes + s.storedBytes.load()));
#endif
  s.lengths[count] = 0x7FFFFFFF;  // a stale entry from an "earlier capture"
  if (placement == 2) return static_cast<int32_t>(count);
  if (placement == 3) return -1;
  return static_cast<int32_t>(count - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size - 2 > 65536) return 0;
  trovix::ReportViews views{(data[1] & 1) != 0, (data[1] & 2) != 0, (data[1] & 4) != 0};
  PacketStore& store = Store();
  int32_t index = Fill(store, data[0], (data[1] >> 3) & 3, data + 2, size - 2);

  trovix::PacketReport report = trovix::BuildPacketReport(store, index, views);
  if (report.outcome == trovix::ReportOutcome::kNothingStored) {
    Check(report.text.empty());
    return 0;
  }
  // Every line ends with CR LF, and a NUL would cut a list item short.
  Check(report.text.size() >= 2 && report.text.compare(report.text.size() - 2, 2, "\r\n") == 0);
  Check(report.text.find('\0') == std::string::npos);
  Check(report.selectedPacketIndex >= 0);
  auto items = trovix::SplitReportItems(report.text);
  Check(items.size() >= 4 && items.front() == "packets source:" && items.back().empty());
  auto selection = trovix::SelectTitleItem(items, report.selectedPacketIndex);
  Check(selection.selected == 2);
  return 0;
}
