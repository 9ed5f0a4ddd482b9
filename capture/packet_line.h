// The packet line: the one-line, tab-separated description of a stored datagram that the
// packet list shows and the sniff log keeps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trovix {

// Eight tabs, a four-digit index, a three-letter word, two 15-character addresses, two
// five-digit ports, a five-digit size and a three-digit TTL.
inline constexpr size_t kPacketLineMax = 63;
inline constexpr size_t kIpv4TextSize = 16;

// Dotted decimal as inet_ntoa writes it, from an address as ByteReader::Ipv4 reads it
// (first byte most significant); `out` needs kIpv4TextSize bytes. Returns the length.
size_t FormatIpv4(uint32_t address, char* out) noexcept;

// The protocol word of a stored protocol number, or nullptr for one that is never stored.
const char* ProtocolWord(uint8_t protocol) noexcept;

// The fields of a received datagram that the filters and the line use.
struct DatagramFields {
  char src[kIpv4TextSize];
  char dst[kIpv4TextSize];
  uint8_t protocol;
  // False for TCP or UDP whose header length is below 5 or whose ports were not received:
  // such a datagram is never stored.
  bool portsValid;
  // 0 unless TCP or UDP, and 0 for a fragment other than the first: only the first
  // fragment carries the transport header.
  uint16_t sport;
  uint16_t dport;
  uint16_t totalLength;
  uint8_t ttl;
};

// False for fewer than 20 bytes. Reads nothing beyond `length`.
bool ReadDatagramFields(const uint8_t* datagram, size_t length, DatagramFields& out) noexcept;

// Writes the line of packet `index` and a NUL into `out` (kPacketLineMax + 1 bytes);
// returns its length. `fields.protocol` must have a protocol word.
size_t FormatPacketLine(uint32_t index, const DatagramFields& fields, char* out) noexcept;

// The line's columns after the index, from the protocol word to the TTL, tab-separated,
// and a NUL: at most kPacketColumnsMax + 1 bytes. Returns the length.
inline constexpr size_t kPacketColumnsMax = 57;  // the line without its tab, index and tab
size_t FormatPacketColumns(const DatagramFields& fields, char* out) noexcept;

// The line of stored packet `index` derived from its bytes alone, as the capture wrote it.
// Returns 0 (and an empty text) for bytes that no capture would have stored.
size_t FormatStoredPacketLine(uint32_t index, const uint8_t* datagram, size_t length,
                              char* out) noexcept;

}  // namespace trovix
