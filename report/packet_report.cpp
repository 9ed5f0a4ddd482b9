// The frame of the packet report (RFC 791 header length): locate the packet, title it, and
// hand the bytes after its IP header to the section its protocol table entry chooses. An
// IPv6 datagram gets a section of its own first, whose walk finds the upper layer.
#include "report/packet_report.h"

#include "capture/packet_line.h"
#include "capture/packet_store.h"
#include "capture/protocol_table.h"
#include "report/report_text.h"
#include "report/sections.h"

namespace trovix {
namespace {

using SectionBuilder = bool (*)(std::string&, ByteReader, const ReportViews&);

// The builders of the protocols a switch keeps, over IPv4 and over IPv6 (nullptr: none);
// their numbers and titles are the switch table's (protocol_table.h). Any other protocol
// is its protocol word alone.
struct SectionBuilders {
  ProtocolSwitch which;
  SectionBuilder ipv4;
  SectionBuilder ipv6;
  const char* titleEnd;  // after the title: the UDP title keeps its trailing blank
};
constexpr SectionBuilders kSections[] = {
    {ProtocolSwitch::kTcp, AppendTcpFields, AppendTcpFields, ""},
    {ProtocolSwitch::kUdp, AppendUdpFields, AppendUdpFields, " "},
    {ProtocolSwitch::kIcmp, AppendIcmpFields, AppendIcmpv6Fields, ""},
    {ProtocolSwitch::kIgmp, AppendIgmpFields, nullptr, ""},
};

struct SectionKind {
  const char* title;     // follows "packet%d "
  const char* titleEnd;
  SectionBuilder build;  // nullptr: the section is its title alone
};
constexpr size_t kMinIpHeader = 20;
constexpr uint16_t kFragmentOffsetMask = 0x1FFF;

// The protocol comes from the table the capture filled, never from the stored bytes.
SectionKind SectionFor(uint8_t protocol, bool ipv6) {
  const SwitchRow& row = SwitchRowFor(protocol, ipv6);
  for (const SectionBuilders& kind : kSections) {
    SectionBuilder build = ipv6 ? kind.ipv6 : kind.ipv4;
    if (kind.which == row.which && build != nullptr) return {ipv6 ? row.ipv6Word : row.word, kind.titleEnd, build};
  }
  return {ProtocolWord(protocol), "", nullptr};
}

void AppendTitle(std::string& out, int64_t index, const char* title, const char* titleEnd = "") {
  out += "\r\npacket";
  AppendDecimal(out, index);
  out += ' ';
  out += title;
  out += titleEnd;
  out += kLineEnd;
}

void AppendFragmentLine(std::string& out, int64_t offset) {
  AppendNumberLine(out, "fragment at offset = ", offset);
}

// The IPv6 section, then the upper layer's from where the walk ended. A later fragment or
// a walk cut short leaves the upper layer's title alone, as the IPv4 frame does.
void AppendIpv6Sections(std::string& out, int64_t index, uint8_t protocol, const uint8_t* bytes,
                        size_t length, const ReportViews& views) {
  AppendTitle(out, index, "ipv6");
  ByteReader datagram(bytes, length);
  Ipv6UpperLayer walk = AppendIpv6Fields(out, datagram);
  if (!walk.complete) out += kTruncatedLine;
  SectionKind kind = SectionFor(protocol, true);
  AppendTitle(out, index, kind.title, kind.titleEnd);
  if (kind.build == nullptr || !walk.complete) return;
  if (walk.fragmentOffset != 0) {
    AppendFragmentLine(out, walk.fragmentOffset);
    return;
  }
  if (kind.build(out, Tail(datagram, walk.at), views)) out += kTruncatedLine;
}

void AppendSection(std::string& out, int64_t index, uint8_t protocol, const uint8_t* bytes, size_t length,
                   const ReportViews& views) {
  if (IsIpv6Datagram(bytes, length)) {
    AppendIpv6Sections(out, index, protocol, bytes, length, views);
    return;
  }
  SectionKind kind = SectionFor(protocol, false);
  AppendTitle(out, index, kind.title, kind.titleEnd);
  if (kind.build == nullptr) return;
  ByteReader datagram(bytes, length);
  auto first = ReadU8(datagram, 0);
  if (!first) {
    out += kTruncatedLine;
    return;
  }
  size_t headerLength = static_cast<size_t>(*first & 0x0F) * 4;
  if (headerLength < kMinIpHeader) {
    // Decoding would read the IP header's own bytes as the transport header.
    AppendNumberLine(out, "invalid IP header length = ", static_cast<int64_t>(headerLength));
    return;
  }
  // Only the first fragment starts with the transport header; the others hold the middle
  // or end of another datagram's payload, which no header decoder may be shown.
  auto fragment = ReadBe16(datagram, 6);
  if (fragment && (*fragment & kFragmentOffsetMask) != 0) {
    AppendFragmentLine(out, (*fragment & kFragmentOffsetMask) * 8);
    return;
  }
  if (kind.build(out, Tail(datagram, headerLength), views)) out += kTruncatedLine;
}

// Nothing is reportable until a packet is published; a total of 0 also means an empty store.
bool NothingStored(const PacketStore& store) {
  return PublishedPacketCount(store) == 0 || store.storedBytes.load(std::memory_order_relaxed) == 0;
}

}  // namespace

PacketReport BuildPacketReport(const PacketStore& store, int32_t selectedPacketIndex,
                               const ReportViews& views) {
  PacketReport report;
  report.selectedPacketIndex = selectedPacketIndex;
  if (NothingStored(store)) return report;

  // -1 is "no row selected"; no other negative index names a row either.
  int32_t index = selectedPacketIndex < 0 ? 0 : selectedPacketIndex;
  report.selectedPacketIndex = index;
  report.text = "packets source:\r\n";
  StoredPacket packet;
  if (!LocatePacket(store, index, packet)) {
    // An index kept from an earlier capture: its old length must not be used.
    report.outcome = ReportOutcome::kNoSuchPacket;
    AppendTitle(report.text, index, "is not in the current capture");
    return report;
  }
  report.outcome = ReportOutcome::kReport;
  AppendSection(report.text, index, packet.protocol, packet.bytes, static_cast<size_t>(packet.length), views);
  return report;
}

std::string BuildDatagramReport(int64_t index, uint8_t protocol, const uint8_t* datagram, size_t length,
                                const ReportViews& views) {
  std::string text = "packets source:\r\n";
  AppendSection(text, index, protocol, datagram, length, views);
  return text;
}

}  // namespace trovix
