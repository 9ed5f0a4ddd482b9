// The frame of the packet report (RFC 791 header length): locate the packet, title it, and
// hand the bytes after its IP header to the section its protocol table entry chooses, then
// a TCP or UDP payload to the section its port or first bytes choose. An IPv6 datagram
// gets a section of its own first, whose walk finds the upper layer; an IPv4 one gets its
// header's section after the upper layer's.
#include "report/packet_report.h"

#include <optional>
#include <string_view>
#include <tuple>

#include "capture/packet_line.h"
#include "capture/packet_store.h"
#include "capture/protocol_table.h"
#include "report/report_text.h"
#include "report/sections.h"
#include "report/service_names.h"

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
  ProtocolSwitch which;
};
constexpr size_t kMinIpHeader = 20;
constexpr size_t kMinTcpHeader = 20;
constexpr size_t kUdpHeader = 8;
constexpr uint16_t kFragmentOffsetMask = 0x1FFF;

using ApplicationBuilder = bool (*)(std::string&, ByteReader, bool overTcp);

// What TCP and UDP carry: the first row whose port either end uses, or whose test the
// payload's first bytes pass, gives the section. Its title is the row's word.
struct ApplicationSection {
  const char* title;
  uint16_t port;                     // 0: any port
  bool udp, tcp;
  bool (*begins)(ByteReader);        // nullptr: the port alone decides
  ApplicationBuilder build;
};
constexpr ApplicationSection kApplicationSections[] = {
    {"dns", 53, true, true, nullptr, AppendDnsFields},
    {"mdns", 5353, true, false, nullptr, AppendMdnsFields},
    {"llmnr", 5355, true, true, nullptr, AppendDnsFields},
    {"dhcp", 67, true, false, nullptr, AppendDhcpFields},
    {"dhcp", 68, true, false, nullptr, AppendDhcpFields},
    {"dhcpv6", 546, true, false, nullptr, AppendDhcpv6Fields},
    {"dhcpv6", 547, true, false, nullptr, AppendDhcpv6Fields},
    {"ntp", 123, true, false, nullptr, AppendNtpFields},
    {"quic", 443, true, false, BeginsQuicPacket, AppendQuicFields},
    {"tls", 0, false, true, BeginsTlsRecord, AppendTlsFields},
    {"http", 0, false, true, BeginsHttpMessage, AppendHttpFields},
};

// The line that ends a section whose message goes on past a TCP segment's end.
constexpr std::string_view kContinuedLine = "continued in a later segment\r\n";

// The protocol comes from the table the capture filled, never from the stored bytes.
SectionKind SectionFor(uint8_t protocol, bool ipv6) {
  const SwitchRow& row = SwitchRowFor(protocol, ipv6);
  for (const SectionBuilders& kind : kSections) {
    SectionBuilder build = ipv6 ? kind.ipv6 : kind.ipv4;
    if (kind.which == row.which && build != nullptr)
      return {ipv6 ? row.ipv6Word : row.word, kind.titleEnd, build, row.which};
  }
  return {ProtocolWord(protocol), "", nullptr, row.which};
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

const ApplicationSection* ApplicationFor(bool tcp, uint16_t source, uint16_t destination, ByteReader payload) {
  for (const ApplicationSection& row : kApplicationSections) {
    if (!(tcp ? row.tcp : row.udp)) continue;
    bool port = row.port != 0 && (source == row.port || destination == row.port);
    if (port || (row.begins != nullptr && row.begins(payload))) return &row;
  }
  return nullptr;
}

}  // namespace

const char* ApplicationWord(bool tcp, uint16_t source, uint16_t destination, ByteReader payload) {
  const ApplicationSection* row = ApplicationFor(tcp, source, destination, payload);
  return row != nullptr ? row->title : nullptr;
}

namespace {

// A payload no section reads: the names the services database gives its ports, if any.
void AppendServiceSection(std::string& out, int64_t index, bool tcp, uint16_t source, uint16_t destination) {
  const ServiceNames& names = TheServiceNames();
  const char* sourceName = FindServiceName(names, tcp, source);
  const char* destinationName = FindServiceName(names, tcp, destination);
  if (sourceName == nullptr && destinationName == nullptr) return;
  AppendTitle(out, index, "service");
  for (auto [label, port, name] : {std::tuple{"source port ", source, sourceName},
                                   std::tuple{"destination port ", destination, destinationName}}) {
    if (name == nullptr) continue;
    AppendNumberLine(out, label, port, " = ");
    out += name;
    out += kLineEnd;
  }
}

// The section of a TCP or UDP payload, after the transport's own lines; nothing when the
// transport header was not received whole or carries no payload.
void AppendApplicationSection(std::string& out, int64_t index, ProtocolSwitch which, ByteReader transport) {
  bool tcp = which == ProtocolSwitch::kTcp;
  if (!tcp && which != ProtocolSwitch::kUdp) return;
  size_t headerLength = tcp ? static_cast<size_t>(transport.U8(12) >> 4) * 4 : kUdpHeader;
  if (tcp && headerLength < kMinTcpHeader) return;
  if (!transport.Has(0, headerLength) || transport.size() == headerLength) return;
  ByteReader payload = Tail(transport, headerLength);
  uint16_t source = transport.Be16(0);
  uint16_t destination = transport.Be16(2);
  const ApplicationSection* row = ApplicationFor(tcp, source, destination, payload);
  if (row == nullptr) {
    AppendServiceSection(out, index, tcp, source, destination);
    return;
  }
  AppendTitle(out, index, row->title);
  if (row->build(out, payload, tcp)) out += tcp ? kContinuedLine : kTruncatedLine;
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
  ByteReader upper = Tail(datagram, walk.at);
  if (kind.build(out, upper, views)) out += kTruncatedLine;
  AppendApplicationSection(out, index, kind.which, upper);
}

// The upper layer's title and lines of an IPv4 datagram; its bytes when they were decoded.
std::optional<ByteReader> AppendIpv4Upper(std::string& out, int64_t index, const SectionKind& kind,
                                          ByteReader datagram, const ReportViews& views) {
  AppendTitle(out, index, kind.title, kind.titleEnd);
  if (kind.build == nullptr) return std::nullopt;
  auto first = ReadU8(datagram, 0);
  if (!first) {
    out += kTruncatedLine;
    return std::nullopt;
  }
  size_t headerLength = static_cast<size_t>(*first & 0x0F) * 4;
  if (headerLength < kMinIpHeader) {
    // Decoding would read the IP header's own bytes as the transport header.
    AppendNumberLine(out, "invalid IP header length = ", static_cast<int64_t>(headerLength));
    return std::nullopt;
  }
  // Only the first fragment starts with the transport header; the others hold the middle
  // or end of another datagram's payload, which no header decoder may be shown.
  auto fragment = ReadBe16(datagram, 6);
  if (fragment && (*fragment & kFragmentOffsetMask) != 0) {
    AppendFragmentLine(out, (*fragment & kFragmentOffsetMask) * 8);
    return std::nullopt;
  }
  ByteReader upper = Tail(datagram, headerLength);
  if (kind.build(out, upper, views)) out += kTruncatedLine;
  return upper;
}

// An IPv4 datagram keeps the lines it always had; its own header's section and what the
// transport carries come after them.
void AppendSection(std::string& out, int64_t index, uint8_t protocol, const uint8_t* bytes, size_t length,
                   const ReportViews& views) {
  if (IsIpv6Datagram(bytes, length)) {
    AppendIpv6Sections(out, index, protocol, bytes, length, views);
    return;
  }
  ByteReader datagram(bytes, length);
  SectionKind kind = SectionFor(protocol, false);
  std::optional<ByteReader> upper = AppendIpv4Upper(out, index, kind, datagram, views);
  AppendTitle(out, index, "ipv4");
  if (AppendIpv4Fields(out, datagram)) out += kTruncatedLine;
  if (upper) AppendApplicationSection(out, index, kind.which, *upper);
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
