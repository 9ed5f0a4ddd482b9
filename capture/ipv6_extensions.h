// The IPv6 extension headers that are walked to reach the upper layer (RFC 8200 section 4,
// the authentication header of RFC 4302), shared by the capture and the report so that
// both find the same upper layer at the same offset.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/byte_reader.h"

namespace trovix {

inline constexpr uint8_t kHopByHop = 0, kRouting = 43, kFragment = 44, kAuthentication = 51,
                         kDestination = 60;
inline constexpr size_t kIpv6HeaderSize = 40;

inline bool IsWalkedExtension(uint8_t type) noexcept {
  return type == kHopByHop || type == kRouting || type == kDestination || type == kFragment ||
         type == kAuthentication;
}

// The size the header at `at` announces: the authentication header counts 4-byte words
// less 2, the others 8-byte words less 1, and a fragment header is always 8 bytes. Every
// one is at least 8 bytes, so a walk always moves on. A length byte that was not received
// reads as 0 (and marks `r`).
inline size_t ExtensionSize(uint8_t type, ByteReader& r, size_t at) noexcept {
  if (type == kFragment) return 8;
  if (type == kAuthentication) return (r.U8(at + 1) + 2u) * 4u;
  return (r.U8(at + 1) + 1u) * 8u;
}

// A fragment header's offset in bytes (the field counts 8-byte units in its top 13 bits).
inline uint16_t FragmentOffsetBytes(uint16_t field) noexcept { return field & 0xFFF8u; }

// Where a walk over the extension headers ended.
struct Ipv6UpperLayer {
  uint8_t protocol;    // the last next-header value: the upper layer, once complete
  size_t at;           // the offset of that header
  bool complete;            // false: the header `protocol` at `at` was not received whole
  uint16_t fragmentOffset;  // in bytes; not 0 once a fragment other than the first was walked
};

// Walks from the fixed header's next-header field over every extension header received
// whole, calling visit(type, offset, size) for each, and stops at the upper layer or at
// the first header cut short. Reads nothing past the received bytes.
template <typename Visit>
Ipv6UpperLayer WalkIpv6Extensions(ByteReader& r, Visit&& visit) noexcept {
  Ipv6UpperLayer upper{r.U8(6), kIpv6HeaderSize, true, 0};
  while (IsWalkedExtension(upper.protocol)) {
    size_t size = ExtensionSize(upper.protocol, r, upper.at);
    if (!r.Has(upper.at, size)) {
      upper.complete = false;
      break;
    }
    if (upper.protocol == kFragment) {
      uint16_t offset = FragmentOffsetBytes(r.Be16(upper.at + 2));
      if (offset != 0) upper.fragmentOffset = offset;  // any later fragment header counts
    }
    visit(upper.protocol, upper.at, size);
    upper.protocol = r.U8(upper.at);
    upper.at += size;
  }
  return upper;
}

}  // namespace trovix
