// The packet line: the one-line, tab-separated description of a stored datagram that the
// packet list shows and the sniff log keeps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/protocol_table.h"

namespace trovix {

// Eight tabs, a four-digit index, a protocol word of up to kProtocolWordMax characters, two
// addresses of up to 45 characters (IPv6 text), two five-digit ports, a size of up to six
// digits (a jumbogram, BIG TCP) and a three-digit TTL or hop limit. (The addresses this
// program writes are at most 39 characters, which leaves room for the six digits of the
// larger store's index.)
inline constexpr size_t kPacketLineMax = 121 + kProtocolWordMax;
inline constexpr size_t kIpv4TextSize = 16;
// Either family's address text, NUL included (INET6_ADDRSTRLEN).
inline constexpr size_t kAddressTextSize = 46;

// Dotted decimal as inet_ntoa writes it, from an address as ByteReader::Ipv4 reads it
// (first byte most significant); `out` needs kIpv4TextSize bytes. Returns the length.
size_t FormatIpv4(uint32_t address, char* out) noexcept;

// The 16 bytes of an IPv6 address as inet_ntop writes them: lower-case hex groups, the
// longest run of two or more zero groups (the first of equals) as "::", and dotted decimal
// after "::ffff:" (IPv4-mapped) or "::" (the old IPv4-compatible form). `out` needs
// kAddressTextSize bytes. Returns the length.
size_t FormatIpv6(const uint8_t* address, char* out) noexcept;

inline constexpr uint8_t kIcmpv6 = 58;

// The list word of a stored protocol number, either family (see ReadProtocolWords).
inline const char* ProtocolWord(uint8_t protocol) noexcept { return TheProtocolWords().text[protocol]; }

// The fields of a received datagram that the filters and the line use.
struct DatagramFields {
  char src[kAddressTextSize];
  char dst[kAddressTextSize];
  bool ipv6;
  // IPv4: the header's protocol field. IPv6: the upper-layer protocol found behind the
  // extension headers, or kRawProtocol where they were cut short.
  uint8_t protocol;
  // False for TCP or UDP whose header length is below 5 or whose ports were not received:
  // such a datagram is never stored.
  bool portsValid;
  // 0 unless TCP or UDP, and 0 for a fragment other than the first: only the first
  // fragment carries the transport header.
  uint16_t sport;
  uint16_t dport;
  // DatagramSize: the total length (40 + the payload length for IPv6), or the received
  // length where the header cannot say it.
  uint32_t totalLength;
  uint8_t ttl;  // the hop limit of an IPv6 datagram
};

// Whether a datagram's first byte says IPv6 (version 6). Everything else is read as IPv4.
inline bool IsIpv6Datagram(const uint8_t* datagram, size_t length) noexcept {
  return length > 0 && (datagram[0] >> 4) == 6;
}

// The most of one datagram that is kept. A kernel with BIG TCP (and GRO) hands over IPv4
// and IPv6 datagrams of up to 512 KiB, more than a 16-bit length field can say.
inline constexpr size_t kMaxDatagramLength = 512u << 10;
// The largest length a 16-bit length field can say.
inline constexpr size_t kMaxFieldLength = 65535;

// The datagram's length as its own header gives it, which `length` received bytes begin:
// IPv4's total length, IPv6's 40 + its payload length. A field of 0 says nothing (a
// jumbogram, BIG TCP, a capture of segmentation offload) and then it is the received length.
uint32_t DatagramSize(const uint8_t* datagram, size_t length) noexcept;

// False for fewer than 20 bytes (IPv4) or 40 (IPv6). Reads nothing beyond `length`.
bool ReadDatagramFields(const uint8_t* datagram, size_t length, DatagramFields& out) noexcept;

// Writes the line of packet `index` and a NUL into `out` (kPacketLineMax + 1 bytes);
// returns its length.
size_t FormatPacketLine(uint32_t index, const DatagramFields& fields, char* out) noexcept;

// The line's columns after the index, from the protocol word to the TTL, tab-separated,
// and a NUL: at most kPacketColumnsMax + 1 bytes. Returns the length.
inline constexpr size_t kPacketColumnsMax = kPacketLineMax - 6;  // without its tab, index and tab
size_t FormatPacketColumns(const DatagramFields& fields, char* out) noexcept;

// The line of stored packet `index` derived from its bytes alone, as the capture wrote it.
// Returns 0 (and an empty text) for bytes that no capture would have stored.
size_t FormatStoredPacketLine(uint32_t index, const uint8_t* datagram, size_t length,
                              char* out) noexcept;

}  // namespace trovix
