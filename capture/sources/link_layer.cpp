// Ethernet (with 802.1Q tags), Linux cooked v1 and v2, raw IP, and the BSD loopback
// headers: the link types tcpdump writes on Linux, and those the BSDs and macOS write for
// their loopback.
#include "capture/sources/link_layer.h"

#include <pcap/pcap.h>

#include <cstring>

#include "capture/byte_reader.h"

namespace trovix {
namespace {

constexpr uint16_t kEtherIpv4 = 0x0800;
constexpr uint16_t kEtherIpv6 = 0x86DD;
constexpr uint16_t kEtherVlan = 0x8100;
constexpr uint16_t kEtherQinQ = 0x88A8;
constexpr size_t kIpv6HeaderSize = 40;

// What a link header says follows it.
enum class Carried { kNothing, kIpv4, kIpv6, kEither };

Carried OfEtherType(uint16_t type) {
  if (type == kEtherIpv4) return Carried::kIpv4;
  if (type == kEtherIpv6) return Carried::kIpv6;
  return Carried::kNothing;
}

// The loopback header holds the writer's own AF_ number, and IPv6's differs between
// systems: Linux, NetBSD and OpenBSD, FreeBSD, macOS.
Carried OfFamily(uint32_t family) {
  switch (family) {
    case 2: return Carried::kIpv4;
    case 10: case 24: case 28: case 30: return Carried::kIpv6;
    default: return Carried::kNothing;
  }
}

// The datagram behind a `header`-byte link header, when its version nibble is the one the
// header names (either, for raw IP).
bool Behind(Carried carried, const uint8_t* frame, size_t size, size_t header, const uint8_t*& datagram,
            size_t& length) {
  if (carried == Carried::kNothing || size <= header) return false;
  unsigned version = frame[header] >> 4;
  bool agrees = version == 4   ? carried != Carried::kIpv6
                : version == 6 ? carried != Carried::kIpv4 && size - header >= kIpv6HeaderSize
                               : false;
  if (!agrees) return false;
  datagram = frame + header;
  length = size - header;
  return true;
}

bool Ethernet(const uint8_t* frame, size_t size, const uint8_t*& datagram, size_t& length) {
  ByteReader r(frame, size);
  size_t at = 12;
  uint16_t type = r.Be16(at);
  while ((type == kEtherVlan || type == kEtherQinQ) && !r.truncated()) {
    at += 4;
    type = r.Be16(at);
  }
  return !r.truncated() && Behind(OfEtherType(type), frame, size, at + 2, datagram, length);
}

uint32_t HostOrderWord(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace

int LinkTypeOfFile(uint32_t fileLinkType) {
  constexpr uint32_t kLinktypeRaw = 101;
  return fileLinkType == kLinktypeRaw ? DLT_RAW : static_cast<int>(fileLinkType);
}

bool KnownLinkType(int linkType) {
  switch (linkType) {
    case DLT_EN10MB: case DLT_LINUX_SLL: case DLT_LINUX_SLL2: case DLT_RAW: case DLT_IPV4: case DLT_IPV6:
    case DLT_NULL: case DLT_LOOP:
      return true;
    default:
      return false;
  }
}

bool IpInFrame(int linkType, const uint8_t* frame, size_t size, const uint8_t*& datagram, size_t& length) {
  ByteReader r(frame, size);
  switch (linkType) {
    case DLT_EN10MB: return Ethernet(frame, size, datagram, length);
    case DLT_LINUX_SLL: {
      Carried carried = OfEtherType(r.Be16(14));
      return !r.truncated() && Behind(carried, frame, size, 16, datagram, length);
    }
    case DLT_LINUX_SLL2: {
      Carried carried = OfEtherType(r.Be16(0));
      return !r.truncated() && Behind(carried, frame, size, 20, datagram, length);
    }
    case DLT_RAW: return Behind(Carried::kEither, frame, size, 0, datagram, length);
    case DLT_IPV4: return Behind(Carried::kIpv4, frame, size, 0, datagram, length);
    case DLT_IPV6: return Behind(Carried::kIpv6, frame, size, 0, datagram, length);
    // The family is in the writer's byte order for DLT_NULL, which the file does not say,
    // and in network order for DLT_LOOP.
    case DLT_NULL: {
      if (size < 4) return false;
      Carried carried = OfFamily(HostOrderWord(frame));
      if (carried == Carried::kNothing) carried = OfFamily(__builtin_bswap32(HostOrderWord(frame)));
      return Behind(carried, frame, size, 4, datagram, length);
    }
    case DLT_LOOP: {
      Carried carried = OfFamily(r.Be32(0));
      return !r.truncated() && Behind(carried, frame, size, 4, datagram, length);
    }
    default: return false;
  }
}

}  // namespace trovix
