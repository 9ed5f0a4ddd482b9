// What each IP protocol number means to a capture: the switch that keeps it (and whether the
// port filters apply), and the word the packet list names it by. The accept path, the kernel
// program, the report's titles, trovix-cli's -p and the ssh source's remote filters all read
// these tables, so a protocol is one row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

namespace trovix {

enum class ProtocolSwitch : uint8_t { kTcp, kUdp, kIcmp, kIgmp, kRaw };

inline constexpr int16_t kNoProtocol = -1;

struct SwitchRow {
  ProtocolSwitch which;
  // The switch's word (trovix-cli's -p, the pcap filter word), which is also the list word
  // of its IPv4 protocol.
  const char* word;
  // The protocol it keeps in each family, or kNoProtocol. "raw" names none: it keeps every
  // protocol that no other row names, in both families.
  int16_t ipv4;
  int16_t ipv6;
  const char* ipv6Word;  // the list word of its IPv6 protocol
  bool ports;            // the "from:" and "to:" ports apply
};

inline constexpr SwitchRow kSwitchRows[] = {
    {ProtocolSwitch::kTcp, "tcp", 6, 6, "tcp", true},
    {ProtocolSwitch::kUdp, "udp", 17, 17, "udp", true},
    {ProtocolSwitch::kIcmp, "icmp", 1, 58, "icmp6", false},
    {ProtocolSwitch::kIgmp, "igmp", 2, kNoProtocol, nullptr, false},
    {ProtocolSwitch::kRaw, "raw", kNoProtocol, kNoProtocol, nullptr, false},
};
inline constexpr const SwitchRow& kRawRow = kSwitchRows[std::size(kSwitchRows) - 1];

// The row whose switch keeps `protocol`, the upper layer of an IPv4 or IPv6 datagram.
constexpr const SwitchRow& SwitchRowFor(uint8_t protocol, bool ipv6) noexcept {
  for (const SwitchRow& row : kSwitchRows) {
    if ((ipv6 ? row.ipv6 : row.ipv4) == protocol) return row;
  }
  return kRawRow;
}

// The switch `which` of options that name theirs tcp, udp, icmp, igmp and raw.
template <typename Options>
constexpr auto& SwitchOf(Options& options, ProtocolSwitch which) noexcept {
  switch (which) {
    case ProtocolSwitch::kTcp: return options.tcp;
    case ProtocolSwitch::kUdp: return options.udp;
    case ProtocolSwitch::kIcmp: return options.icmp;
    case ProtocolSwitch::kIgmp: return options.igmp;
    case ProtocolSwitch::kRaw: break;
  }
  return options.raw;
}

// The row of a switch's word, or nullptr.
constexpr const SwitchRow* SwitchRowNamed(std::string_view word) noexcept {
  for (const SwitchRow& row : kSwitchRows) {
    if (word == row.word) return &row;
  }
  return nullptr;
}

// The stored protocol of a datagram whose upper layer is unknown (an IPv6 header chain cut
// short); also a protocol number of its own. Its word is "raw", whatever the database says.
inline constexpr uint8_t kRawProtocol = 255;

// The longest list word: the packet line's bound (kPacketLineMax) counts on it. The
// database's longer names ("mobility-header") are not used: those protocols are "raw".
inline constexpr size_t kProtocolWordMax = 10;

struct ProtocolWords {
  char text[256][kProtocolWordMax + 1];
};

// The list word of every protocol number from a protocols database's text (the form of
// /etc/protocols: "NAME NUMBER [ALIASES...] [# comment]" a line): the switches' words for
// their protocols and "raw" for kRawProtocol; else the first name the database gives the
// number, when it is at most kProtocolWordMax letters, digits, '.', '-', '_' or '+'; else
// "raw".
void ReadProtocolWords(std::string_view database, ProtocolWords& out) noexcept;

// The next line of such a database without its comment, taken off its front.
std::string_view TakeDatabaseLine(std::string_view& database) noexcept;
// The next blank-separated field of a line of such a database, taken off its front.
std::string_view TakeDatabaseField(std::string_view& line) noexcept;

// The words from /etc/protocols, read at the first call and never again. PrepareCapture
// makes that call, so no capture thread ever reads the file.
const ProtocolWords& TheProtocolWords() noexcept;

}  // namespace trovix
