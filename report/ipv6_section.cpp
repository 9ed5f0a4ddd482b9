// IPv6 section of the packet report (RFC 8200): the fixed header's fields, then one line
// per extension header on the way to the upper layer, which the caller decodes.
#include <array>
#include <string_view>

#include "capture/ipv6_extensions.h"
#include "report/report_text.h"
#include "report/sections.h"

namespace trovix {
namespace {

struct ExtensionName {
  uint8_t type;
  const char* label;  // begins the header's line
};

constexpr std::array<ExtensionName, 5> kExtensionNames = {{
    {kHopByHop, "hop-by-hop options header"},
    {kRouting, "routing header"},
    {kFragment, "fragment header"},
    {kDestination, "destination options header"},
    {kAuthentication, "authentication header"},
}};

const char* ExtensionLabel(uint8_t type) {
  for (const ExtensionName& name : kExtensionNames) {
    if (name.type == type) return name.label;
  }
  return "";  // not reached: only walked types are named
}

void AppendFixedHeader(std::string& out, ByteReader& d) {
  if (auto word = ReadBe32(d, 0)) {
    AppendNumberLine(out, "version = ", *word >> 28);
    AppendNumberLine(out, "traffic class = ", (*word >> 20) & 0xFF);
    AppendNumberLine(out, "flow label = ", *word & 0xFFFFF);
  }
  if (auto v = ReadBe16(d, 4)) AppendNumberLine(out, "payload length = ", *v);
  if (auto v = ReadU8(d, 6)) AppendNumberLine(out, "next header = ", *v);
  if (auto v = ReadU8(d, 7)) AppendNumberLine(out, "hop limit = ", *v);
  AppendIpv6Line(out, "source = ", d, 8);
  AppendIpv6Line(out, "destination = ", d, 24);
}

// "label = field (N bytes)": a field that counts in units, with what it counts to.
void AppendUnits(std::string& out, std::string_view label, int64_t field, int64_t bytes,
                 std::string_view end) {
  AppendNumberLine(out, label, field, " (");
  AppendNumberLine(out, "", bytes, " bytes)");
  out += end;
}

// The header's length field, which counts 4- or 8-byte words beyond a first few.
void AppendLength(std::string& out, ByteReader& d, uint8_t type, size_t at, std::string_view end) {
  AppendUnits(out, " length = ", d.U8(at + 1), static_cast<int64_t>(ExtensionSize(type, d, at)), end);
}

// The line of a header received whole.
void AppendExtension(std::string& out, ByteReader& d, uint8_t type, size_t at) {
  out += ExtensionLabel(type);
  if (type == kFragment) {
    uint16_t field = d.Be16(at + 2);
    uint16_t offset = FragmentOffsetBytes(field);
    AppendUnits(out, " offset = ", offset / 8, offset, ", ");
    AppendNumberLine(out, "more fragments = ", field & 1, ", ");
    AppendNumberLine(out, "identification = ", d.Be32(at + 4), ", ");
  } else {
    AppendLength(out, d, type, at, ", ");
  }
  AppendNumberLine(out, "next header = ", d.U8(at));
}

// A header cut short is named, with its length when that much of it was received.
void AppendCutExtension(std::string& out, ByteReader& d, uint8_t type, size_t at) {
  out += ExtensionLabel(type);
  if (type != kFragment && d.Has(at, 2)) AppendLength(out, d, type, at, "");
  out += kLineEnd;
}

}  // namespace

Ipv6UpperLayer AppendIpv6Fields(std::string& out, ByteReader datagram) {
  AppendFixedHeader(out, datagram);
  if (datagram.truncated()) return {0, 0, false, 0};
  Ipv6UpperLayer upper = WalkIpv6Extensions(
      datagram, [&](uint8_t type, size_t at, size_t) { AppendExtension(out, datagram, type, at); });
  if (!upper.complete) AppendCutExtension(out, datagram, upper.protocol, upper.at);
  return upper;
}

}  // namespace trovix
