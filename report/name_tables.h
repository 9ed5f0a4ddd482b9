// Names the report gives to ICMP types and codes and to TCP flag bytes, kept as tables.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace trovix {

inline constexpr std::array<const char*, 19> IcmpTypeNames = {
    "Echo Reply",          "ICMP Type 1",         "ICMP Type 2",
    "Destination Unreachable", "Source Quench",   "Redirect",
    "ICMP Type 6",         "ICMP Type 7",         "Echo Request",
    "Router Advertisement", "Router Solicitation", "Time Exceeded",
    "Parameter Problem",   "Timestamp Request",   "Timestamp Reply",
    "Information Request", "Information Reply",   "Address Mask Request",
    "Address Mask Reply",
};

inline constexpr std::array<const char*, 16> UnreachableCodeNames = {
    "Network unreachable",
    "Host unreachable",
    "Protocol unreachable",
    "Port unreachable",
    "Fragmentation needed, DF bit set",
    "Source route failed",
    "Destination network unknown",
    "Destination host unknown",
    "Source host isolated",
    "Dest. network admin. prohibited",
    "Dest. host admin. prohibited",
    "Network unreachable for TOS",
    "Host unreachable for TOS",
    "Communication admin. prohibited",
    "Host precedence violation",
    "Precedence cutoff in effect",
};

inline constexpr std::array<const char*, 4> RedirectCodeNames = {
    "network", "host", "type-of-service and network", "type-of-service and host"};
inline constexpr std::array<const char*, 2> TimeExceededCodeNames = {"transit", "reassembly"};
inline constexpr std::array<const char*, 2> ParameterProblemCodeNames = {
    "IP header bad", "Required option missing"};

// ICMPv6 codes (RFC 4443; code 7 of Destination Unreachable from RFC 6554, code 3 of
// Parameter Problem from RFC 7112).
inline constexpr std::array<const char*, 8> Icmpv6UnreachableCodeNames = {
    "No route to destination",
    "Communication administratively prohibited",
    "Beyond scope of source address",
    "Address unreachable",
    "Port unreachable",
    "Source address failed ingress/egress policy",
    "Reject route to destination",
    "Error in source routing header",
};
inline constexpr std::array<const char*, 2> Icmpv6TimeExceededCodeNames = {
    "Hop limit exceeded in transit", "Fragment reassembly time exceeded"};
inline constexpr std::array<const char*, 4> Icmpv6ParameterProblemCodeNames = {
    "Erroneous header field encountered",
    "Unrecognized next header type encountered",
    "Unrecognized IPv6 option encountered",
    "First fragment has incomplete header chain",
};

inline constexpr const char* kUnknownTypeName = "UNKNOWN";
inline constexpr const char* kIncorrectCodeName = "incorrect code";

// A number and its name, in tables searched by number (types, options, suites).
struct CodeName {
  uint16_t code;
  const char* name;
};

// The entry of `table` whose `code` is `code`, or nullptr.
template <typename Entry, size_t N>
constexpr const Entry* FindCode(const std::array<Entry, N>& table, uint16_t code) {
  for (const Entry& entry : table) {
    if (entry.code == code) return &entry;
  }
  return nullptr;
}

// The name of `code` in `table`, or nullptr.
constexpr const char* CodeNameOf(std::span<const CodeName> table, uint16_t code) {
  for (const CodeName& entry : table) {
    if (entry.code == code) return entry.name;
  }
  return nullptr;
}

// table[index], or `fallback` for an index past the table's end.
constexpr const char* NameOr(std::span<const char* const> table, size_t index,
                             const char* fallback) {
  return index < table.size() ? table[index] : fallback;
}

// One flag byte that gets a flag block, with that block: six lines, URG to FIN.
struct TcpFlagText {
  uint8_t flags;
  std::array<char, 80> block;  // NUL-terminated
};

// The block is spelled from the value's bits, so a value and its text cannot disagree.
constexpr TcpFlagText MakeTcpFlagText(uint8_t flags) {
  constexpr const char* names[] = {"URG = ", "ACK = ", "PSH = ", "RST = ", "SYN = ", "FIN = "};
  constexpr uint8_t bits[] = {0x20, 0x10, 0x08, 0x04, 0x02, 0x01};
  TcpFlagText text{flags, {}};
  size_t n = 0;
  auto put = [&](const char* s) {
    while (*s != '\0') text.block[n++] = *s++;
  };
  for (size_t i = 0; i < 6; ++i) {
    put(names[i]);
    put((flags & bits[i]) != 0 ? "True\r\n" : "False\r\n");
  }
  return text;
}

// Only these flag byte values get a block; any other value, 0 included, is "invalid flags".
// 0xA2, not 0x22, is the one that shows URG and SYN; its top bit has no line.
inline constexpr std::array<TcpFlagText, 13> TcpFlagTexts = {
    MakeTcpFlagText(0x01), MakeTcpFlagText(0x02), MakeTcpFlagText(0x04), MakeTcpFlagText(0x08),
    MakeTcpFlagText(0x10), MakeTcpFlagText(0x11), MakeTcpFlagText(0x12), MakeTcpFlagText(0x14),
    MakeTcpFlagText(0x15), MakeTcpFlagText(0x18), MakeTcpFlagText(0x19), MakeTcpFlagText(0x20),
    MakeTcpFlagText(0xA2),
};

inline constexpr const char* kInvalidFlagsLine = "invalid flags\r\n";

// The block for `flags`, or "invalid flags\r\n".
constexpr const char* TcpFlagBlock(uint8_t flags) {
  for (const TcpFlagText& t : TcpFlagTexts) {
    if (t.flags == flags) return t.block.data();
  }
  return kInvalidFlagsLine;
}

}  // namespace trovix
