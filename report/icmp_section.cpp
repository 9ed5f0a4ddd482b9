// ICMP section of the packet report (RFC 792): the type's name and, for four types, the
// code's; Destination Unreachable also shows the endpoints of the datagram it quotes.
#include <array>
#include <span>

#include "report/name_tables.h"
#include "report/packet_meaning.h"
#include "report/report_text.h"
#include "report/sections.h"

namespace trovix {
namespace {

constexpr uint8_t kUnreachable = 3;
constexpr size_t kQuoteStart = 8;  // the quoted IP header follows the 8-byte ICMP header
constexpr size_t kMinQuotedHeader = 20;

// Types whose code line is "<prefix><code name>".
struct CodeLine {
  uint8_t type;
  std::span<const char* const> names;
  const char* prefix;
};

constexpr std::array<CodeLine, 3> kCodeLines = {{
    {5, RedirectCodeNames, "redirect with "},
    {11, TimeExceededCodeNames, "TTL == 0 with "},
    {12, ParameterProblemCodeNames, ""},
}};

// "address:port" of one end of the quoted datagram, when both parts were received.
void AppendQuotedEnd(std::string& out, ByteReader& m, const char* label, size_t addressAt,
                     size_t portAt) {
  auto address = ReadBe32(m, addressAt);
  auto port = ReadBe16(m, portAt);
  if (!address || !port) return;
  out += label;
  AppendIpv4(out, *address);
  AppendNumberLine(out, ":", *port);
}

// The ports are the first four bytes after the quoted IP header, whatever its protocol.
void AppendUnreachable(std::string& out, ByteReader& m, uint8_t code) {
  out += NameOr(UnreachableCodeNames, code, kIncorrectCodeName);
  out += ",\r\n";
  auto first = ReadU8(m, kQuoteStart);
  if (!first) return;
  size_t quotedHeader = static_cast<size_t>(*first & 0x0F) * 4;
  if (quotedHeader < kMinQuotedHeader) {
    // Ports taken from inside the quoted header would be made up; say why none show.
    AppendNumberLine(out, "invalid quoted IP header length = ", static_cast<int64_t>(quotedHeader));
    return;
  }
  size_t ports = kQuoteStart + quotedHeader;
  AppendQuotedEnd(out, m, "source ", kQuoteStart + 12, ports);
  AppendQuotedEnd(out, m, "destination ", kQuoteStart + 16, ports + 2);
}

const CodeLine* FindCodeLine(uint8_t type) {
  for (const CodeLine& line : kCodeLines) {
    if (line.type == type) return &line;
  }
  return nullptr;
}

// Only four types have a code line; every other type's code is not shown.
void AppendCodeLine(std::string& out, ByteReader& m, uint8_t type) {
  const CodeLine* line = FindCodeLine(type);
  if (type != kUnreachable && line == nullptr) return;
  auto code = ReadU8(m, 1);
  if (!code) return;
  if (type == kUnreachable) {
    AppendUnreachable(out, m, *code);
    return;
  }
  out += line->prefix;
  out += NameOr(line->names, *code, kIncorrectCodeName);
  out += kLineEnd;
}

}  // namespace

const char* IcmpTypeName(uint8_t type) { return NameOr(IcmpTypeNames, type, nullptr); }

bool AppendIcmpFields(std::string& out, ByteReader message, const ReportViews&) {
  auto type = ReadU8(message, 0);
  if (!type) return true;
  const char* name = IcmpTypeName(*type);
  out += name != nullptr ? name : kUnknownTypeName;
  AppendNumberLine(out, " (", *type, ")\r\n");
  AppendCodeLine(out, message, *type);
  return message.truncated();
}

}  // namespace trovix
