// ICMPv6 section of the packet report (RFC 4443; neighbour discovery, RFC 4861; MLD,
// RFC 2710 and RFC 3810): the type and code by name, the checksum, then the fields of the
// message body that a reader looks for. Error messages show the ends of the datagram they
// quote, as the ICMP section does.
#include <array>
#include <span>

#include "capture/ipv6_extensions.h"
#include "report/group_records.h"
#include "report/name_tables.h"
#include "report/packet_meaning.h"
#include "report/report_text.h"
#include "report/sections.h"

namespace trovix {
namespace {

constexpr size_t kQuoteStart = 8;  // the quoted IPv6 header follows the 8-byte ICMPv6 header

using Body = void (*)(std::string&, ByteReader&);

struct Icmpv6Kind {
  uint8_t type;
  const char* name;
  std::span<const char* const> codes;  // empty: the code is shown as a number
  Body body;                           // nullptr: nothing after the checksum
};

// One end of the quoted datagram: "[address]:port" when it is TCP or UDP and its ports
// were received, the address alone otherwise.
void AppendQuotedEnd(std::string& out, ByteReader& m, const char* label, size_t addressAt,
                     size_t portAt) {
  if (!m.Need(addressAt, 16)) return;
  out += label;
  if (portAt == 0) {
    AppendIpv6(out, m.data() + addressAt);
    out += kLineEnd;
    return;
  }
  out += '[';
  AppendIpv6(out, m.data() + addressAt);
  AppendNumberLine(out, "]:", m.Be16(portAt));
}

void AppendQuote(std::string& out, ByteReader& m) {
  ByteReader quote = Tail(m, kQuoteStart);
  Ipv6UpperLayer upper = WalkIpv6Extensions(quote, [](uint8_t, size_t, size_t) {});
  bool ports = upper.complete && upper.fragmentOffset == 0 && (upper.protocol == 6 || upper.protocol == 17) &&
               quote.Has(upper.at, 4);
  size_t portsAt = ports ? kQuoteStart + upper.at : 0;
  AppendQuotedEnd(out, m, "source ", kQuoteStart + 8, portsAt);
  AppendQuotedEnd(out, m, "destination ", kQuoteStart + 24, ports ? portsAt + 2 : 0);
}

void AppendPacketTooBig(std::string& out, ByteReader& m) {
  if (auto v = ReadBe32(m, 4)) AppendNumberLine(out, "mtu = ", *v);
  AppendQuote(out, m);
}

void AppendParameterProblem(std::string& out, ByteReader& m) {
  if (auto v = ReadBe32(m, 4)) AppendNumberLine(out, "pointer = ", *v);
  AppendQuote(out, m);
}

void AppendEcho(std::string& out, ByteReader& m) {
  if (auto v = ReadBe16(m, 4)) AppendNumberLine(out, "identifier = ", *v);
  if (auto v = ReadBe16(m, 6)) AppendNumberLine(out, "sequence number = ", *v);
}

void AppendListener(std::string& out, ByteReader& m) {
  if (auto v = ReadBe16(m, 4)) AppendNumberLine(out, "maximum response delay = ", *v);
  AppendIpv6Line(out, "multicast address = ", m, 8);
}

void AppendRouterAdvertisement(std::string& out, ByteReader& m) {
  if (auto v = ReadU8(m, 4)) AppendNumberLine(out, "current hop limit = ", *v);
  if (auto flags = ReadU8(m, 5)) {
    AppendNumberLine(out, "managed address configuration = ", *flags >> 7);
    AppendNumberLine(out, "other configuration = ", (*flags >> 6) & 1);
  }
  if (auto v = ReadBe16(m, 6)) AppendNumberLine(out, "router lifetime = ", *v);
  if (auto v = ReadBe32(m, 8)) AppendNumberLine(out, "reachable time = ", *v);
  if (auto v = ReadBe32(m, 12)) AppendNumberLine(out, "retransmission timer = ", *v);
}

void AppendNeighborSolicitation(std::string& out, ByteReader& m) {
  AppendIpv6Line(out, "target address = ", m, 8);
}

void AppendNeighborAdvertisement(std::string& out, ByteReader& m) {
  if (auto flags = ReadU8(m, 4)) {
    AppendNumberLine(out, "router = ", *flags >> 7);
    AppendNumberLine(out, "solicited = ", (*flags >> 6) & 1);
    AppendNumberLine(out, "override = ", (*flags >> 5) & 1);
  }
  AppendIpv6Line(out, "target address = ", m, 8);
}

void AppendRedirect(std::string& out, ByteReader& m) {
  AppendIpv6Line(out, "target address = ", m, 8);
  AppendIpv6Line(out, "destination address = ", m, 24);
}

void AppendListenerReportV2(std::string& out, ByteReader& m) {
  auto records = ReadBe16(m, 6);
  if (!records) return;
  AppendNumberLine(out, "multicast address records = ", *records);
  WalkGroupRecords(m, 8, *records, 16, [&](size_t at) {
    out += "record multicast address = ";
    AppendIpv6(out, m.data() + at);
    out += kLineEnd;
  });
}

constexpr std::array<Icmpv6Kind, 15> kKinds = {{
    {1, "Destination Unreachable", Icmpv6UnreachableCodeNames, AppendQuote},
    {2, "Packet Too Big", {}, AppendPacketTooBig},
    {3, "Time Exceeded", Icmpv6TimeExceededCodeNames, AppendQuote},
    {4, "Parameter Problem", Icmpv6ParameterProblemCodeNames, AppendParameterProblem},
    {128, "Echo Request", {}, AppendEcho},
    {129, "Echo Reply", {}, AppendEcho},
    {130, "Multicast Listener Query", {}, AppendListener},
    {131, "Multicast Listener Report", {}, AppendListener},
    {132, "Multicast Listener Done", {}, AppendListener},
    {133, "Router Solicitation", {}, nullptr},
    {134, "Router Advertisement", {}, AppendRouterAdvertisement},
    {135, "Neighbor Solicitation", {}, AppendNeighborSolicitation},
    {136, "Neighbor Advertisement", {}, AppendNeighborAdvertisement},
    {137, "Redirect", {}, AppendRedirect},
    {143, "Version 2 Multicast Listener Report", {}, AppendListenerReportV2},
}};

const Icmpv6Kind* FindKind(uint8_t type) {
  for (const Icmpv6Kind& kind : kKinds) {
    if (kind.type == type) return &kind;
  }
  return nullptr;
}

void AppendCode(std::string& out, const Icmpv6Kind* kind, uint8_t code) {
  out += "code = ";
  if (kind == nullptr || kind->codes.empty()) {
    AppendNumberLine(out, "", code);
    return;
  }
  out += NameOr(kind->codes, code, kIncorrectCodeName);
  AppendNumberLine(out, " (", code, ")\r\n");
}

}  // namespace

const char* Icmpv6TypeName(uint8_t type) {
  const Icmpv6Kind* kind = FindKind(type);
  return kind != nullptr ? kind->name : nullptr;
}

bool AppendIcmpv6Fields(std::string& out, ByteReader message, const ReportViews&) {
  auto type = ReadU8(message, 0);
  if (!type) return true;
  const Icmpv6Kind* kind = FindKind(*type);
  out += "type = ";
  out += kind != nullptr ? kind->name : kUnknownTypeName;
  AppendNumberLine(out, " (", *type, ")\r\n");
  if (auto code = ReadU8(message, 1)) AppendCode(out, kind, *code);
  if (auto checksum = ReadBe16(message, 2)) AppendNumberLine(out, "checksum = ", *checksum);
  if (kind != nullptr && kind->body != nullptr) kind->body(out, message);
  return message.truncated();
}

}  // namespace trovix
