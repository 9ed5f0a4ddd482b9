// IPv4 section of the packet report (RFC 791; DSCP and ECN of RFC 2474 and RFC 3168): every
// field of the fixed header, then one line per option.
#include <array>
#include <utility>

#include "report/name_tables.h"
#include "report/report_text.h"
#include "report/sections.h"

namespace trovix {
namespace {

constexpr size_t kFixedHeader = 20;
constexpr uint8_t kEndOfOptions = 0;
constexpr uint8_t kNoOperation = 1;

// By the whole type byte: copied flag, class and number together, as on the wire.
constexpr std::array<CodeName, 9> kOptionNames = {{
    {kEndOfOptions, "end of options"},
    {kNoOperation, "no operation"},
    {7, "record route"},
    {68, "timestamp"},
    {130, "security"},
    {131, "loose source route"},
    {136, "stream identifier"},
    {137, "strict source route"},
    {148, "router alert"},
}};

void AppendOptionType(std::string& out, uint8_t type) {
  AppendNumberLine(out, "option = ", type, "");
  if (const char* name = CodeNameOf(kOptionNames, type)) {
    out += " (";
    out += name;
    out += ')';
  }
}

// The three flag bits by name; the first is reserved and should be clear.
void AppendFlags(std::string& out, uint16_t field) {
  static constexpr const char* kNames[] = {"reserved", "don't fragment", "more fragments"};
  unsigned flags = field >> 13;
  AppendNumberLine(out, "flags = ", flags, "");
  const char* separator = " (";
  for (unsigned bit = 0; bit < 3; ++bit) {
    if ((flags & (4u >> bit)) == 0) continue;
    out += separator;
    out += kNames[bit];
    separator = ", ";
  }
  if (flags != 0) out += ')';
  out += kLineEnd;
  unsigned offset = field & 0x1FFFu;
  AppendNumberLine(out, "fragment offset = ", offset, " (");
  AppendNumberLine(out, "", offset * 8, " bytes)\r\n");
}

void AppendFixedHeader(std::string& out, ByteReader& d) {
  if (auto first = ReadU8(d, 0)) {
    AppendNumberLine(out, "version = ", *first >> 4);
    AppendNumberLine(out, "header length = ", *first & 0x0F, " (");
    AppendNumberLine(out, "", (*first & 0x0F) * 4, " bytes)\r\n");
  }
  if (auto tos = ReadU8(d, 1)) {
    AppendNumberLine(out, "DSCP = ", *tos >> 2);
    AppendNumberLine(out, "ECN = ", *tos & 3);
  }
  if (auto v = ReadBe16(d, 2)) AppendNumberLine(out, "total length = ", *v);
  if (auto v = ReadBe16(d, 4)) AppendNumberLine(out, "identification = ", *v);
  if (auto v = ReadBe16(d, 6)) AppendFlags(out, *v);
  if (auto v = ReadU8(d, 8)) AppendNumberLine(out, "time to live = ", *v);
  if (auto v = ReadU8(d, 9)) AppendNumberLine(out, "protocol = ", *v);
  if (auto v = ReadBe16(d, 10)) AppendNumberLine(out, "checksum = ", *v);
  using Address = std::pair<const char*, size_t>;
  for (auto [label, at] : {Address{"source = ", 12}, Address{"destination = ", 16}}) {
    if (auto v = ReadBe32(d, at)) {
      out += label;
      AppendIpv4(out, *v);
      out += kLineEnd;
    }
  }
}

// Options fill the header from byte 20 to its stated length; each but the two one-byte
// kinds carries its own length, which must stay inside the header.
void AppendOptions(std::string& out, ByteReader& d, size_t headerEnd) {
  size_t at = kFixedHeader;
  while (at < headerEnd) {
    auto type = ReadU8(d, at);
    if (!type) return;
    AppendOptionType(out, *type);
    if (*type == kEndOfOptions || *type == kNoOperation) {
      out += kLineEnd;
      if (*type == kEndOfOptions) return;
      ++at;
      continue;
    }
    auto length = ReadU8(d, at + 1);
    if (!length) {
      out += kLineEnd;
      return;
    }
    if (*length < 2 || at + *length > headerEnd) {
      AppendNumberLine(out, ", invalid length = ", *length);
      return;
    }
    AppendNumberLine(out, ", length = ", *length);
    at += *length;
  }
}

}  // namespace

bool AppendIpv4Fields(std::string& out, ByteReader datagram) {
  AppendFixedHeader(out, datagram);
  size_t headerEnd = static_cast<size_t>(datagram.U8(0) & 0x0F) * 4;
  if (headerEnd > kFixedHeader) AppendOptions(out, datagram, headerEnd);
  datagram.Need(0, headerEnd);  // options announced but not received
  return datagram.truncated();
}

}  // namespace trovix
