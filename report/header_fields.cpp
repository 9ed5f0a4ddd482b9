// The IP header (RFC 791, RFC 8200 and its fragment header), TCP's (RFC 9293) and ICMP's
// (RFC 792, RFC 4443) fields of a one-line summary.
#include "report/header_fields.h"

#include <algorithm>

#include "capture/byte_reader.h"
#include "capture/ipv6_extensions.h"
#include "capture/packet_line.h"
#include "capture/protocol_table.h"

namespace trovix {

HeaderFields ReadHeaderFields(const uint8_t* datagram, size_t length) noexcept {
  HeaderFields e;
  ByteReader r(datagram, length);
  size_t at;
  uint8_t protocol;
  if (IsIpv6Datagram(datagram, length)) {
    e.ipv6 = true;
    e.flowLabel = r.Be32(0) & 0xFFFFFu;
    Ipv6UpperLayer upper = WalkIpv6Extensions(r, [&](uint8_t type, size_t header, size_t) {
      if (type != kFragment) return;
      e.fragmentFields = true;
      e.id = r.Be32(header + 4);
      e.moreFragments = (r.Be16(header + 2) & 1u) != 0;
    });
    e.fragmentOffset = upper.fragmentOffset;
    if (!upper.complete) {
      e.payloadAt = length;  // cut inside its headers: no payload is known
      return e;
    }
    at = upper.at;
    protocol = upper.protocol;
  } else {
    e.fragmentFields = true;
    e.id = r.Be16(4);
    uint16_t field = r.Be16(6);
    e.dontFragment = (field & 0x4000u) != 0;
    e.moreFragments = (field & 0x2000u) != 0;
    e.fragmentOffset = (field & 0x1FFFu) * 8u;
    at = std::max<size_t>((r.U8(0) & 0x0Fu) * 4u, 20);
    protocol = r.U8(9);
  }
  e.payloadAt = at;
  // A later fragment begins with payload bytes, which must not be read as a header.
  if (e.fragmentOffset == 0) {
    switch (SwitchRowFor(protocol, e.ipv6).which) {
      case ProtocolSwitch::kTcp:
        e.tcp = r.Has(at, 20);
        e.seq = r.Be32(at + 4);
        e.ack = r.Be32(at + 8);
        e.tcpFlags = r.U8(at + 13);
        e.window = r.Be16(at + 14);
        e.payloadAt = at + std::max<size_t>((r.U8(at + 12) >> 4) * 4u, 20);
        break;
      case ProtocolSwitch::kUdp: e.payloadAt = at + 8; break;
      case ProtocolSwitch::kIcmp:
        e.icmp = r.Has(at, 2);
        e.icmpType = r.U8(at);
        e.icmpCode = r.U8(at + 1);
        e.payloadAt = at + 8;
        break;
      case ProtocolSwitch::kIgmp:
      case ProtocolSwitch::kRaw: break;
    }
  }
  e.payloadAt = std::min(e.payloadAt, length);
  return e;
}

}  // namespace trovix
