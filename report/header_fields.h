// The header fields a one-line summary of a datagram shows (trovix-cli's -v and its JSON),
// and where its payload begins (its -A dump): read here, beside the report's sections, so
// that the headers are decoded in one room.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trovix {

struct HeaderFields {
  bool ipv6 = false;
  uint32_t flowLabel = 0;
  bool fragmentFields = false;  // always for IPv4; for IPv6, once a fragment header is walked
  uint32_t id = 0;
  bool dontFragment = false, moreFragments = false;
  uint32_t fragmentOffset = 0;  // in bytes
  bool tcp = false, icmp = false;  // whose header was received whole
  uint8_t tcpFlags = 0;
  uint32_t seq = 0, ack = 0;
  uint16_t window = 0;
  uint8_t icmpType = 0, icmpCode = 0;
  size_t payloadAt = 0;  // at most `length`; `length` when no payload is known
};

// Reads only the `length` bytes of `datagram` (an IPv4 or IPv6 datagram from its IP header).
HeaderFields ReadHeaderFields(const uint8_t* datagram, size_t length) noexcept;

}  // namespace trovix
