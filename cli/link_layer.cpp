// Ethernet (with 802.1Q tags), Linux cooked v1 and v2, raw IP, and the BSD loopback
// headers: the link types tcpdump writes on Linux.
#include "cli/link_layer.h"

#include <pcap/pcap.h>

#include <cstring>

#include "capture/byte_reader.h"

namespace trovix::cli {
namespace {

constexpr uint16_t kEtherIpv4 = 0x0800;
constexpr uint16_t kEtherVlan = 0x8100;
constexpr uint16_t kEtherQinQ = 0x88A8;
constexpr uint32_t kAfInet = 2;

bool Skip(const uint8_t* frame, size_t size, size_t header, const uint8_t*& datagram, size_t& length) {
  if (size < header) return false;
  datagram = frame + header;
  length = size - header;
  return length > 0 && (datagram[0] >> 4) == 4;
}

bool Ethernet(const uint8_t* frame, size_t size, const uint8_t*& datagram, size_t& length) {
  ByteReader r(frame, size);
  size_t at = 12;
  uint16_t type = r.Be16(at);
  while ((type == kEtherVlan || type == kEtherQinQ) && !r.truncated()) {
    at += 4;
    type = r.Be16(at);
  }
  return !r.truncated() && type == kEtherIpv4 && Skip(frame, size, at + 2, datagram, length);
}

uint32_t HostOrderWord(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace

bool KnownLinkType(int linkType) {
  switch (linkType) {
    case DLT_EN10MB: case DLT_LINUX_SLL: case DLT_LINUX_SLL2: case DLT_RAW: case DLT_IPV4:
    case DLT_NULL: case DLT_LOOP:
      return true;
    default:
      return false;
  }
}

bool Ipv4InFrame(int linkType, const uint8_t* frame, size_t size, const uint8_t*& datagram, size_t& length) {
  ByteReader r(frame, size);
  switch (linkType) {
    case DLT_EN10MB: return Ethernet(frame, size, datagram, length);
    case DLT_LINUX_SLL: return r.Be16(14) == kEtherIpv4 && !r.truncated() && Skip(frame, size, 16, datagram, length);
    case DLT_LINUX_SLL2: return r.Be16(0) == kEtherIpv4 && !r.truncated() && Skip(frame, size, 20, datagram, length);
    case DLT_RAW: case DLT_IPV4: return Skip(frame, size, 0, datagram, length);
    // The family is in the writer's byte order for DLT_NULL, in network order for DLT_LOOP.
    case DLT_NULL:
      return size >= 4 && (HostOrderWord(frame) == kAfInet || __builtin_bswap32(HostOrderWord(frame)) == kAfInet) &&
             Skip(frame, size, 4, datagram, length);
    case DLT_LOOP: return r.Be32(0) == kAfInet && !r.truncated() && Skip(frame, size, 4, datagram, length);
    default: return false;
  }
}

}  // namespace trovix::cli
