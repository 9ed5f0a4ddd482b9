// Finding a datagram's layers as the report's frame does: the IPv4 header length or the
// IPv6 extension walk, first fragments only, then the TCP or UDP header.
#include "report/datagram_layers.h"

#include "capture/ipv6_extensions.h"
#include "capture/packet_line.h"
#include "report/report_text.h"

namespace trovix {
namespace {

constexpr size_t kMinIpv4Header = 20;
constexpr size_t kMinTcpHeader = 20;
constexpr size_t kUdpHeader = 8;
constexpr uint8_t kTcp = 6, kUdp = 17;

void LocateTransport(DatagramLayers& layers) {
  ByteReader& t = layers.transport;
  if (layers.protocol == kTcp) {
    size_t header = static_cast<size_t>(t.U8(12) >> 4) * 4;
    layers.transportWhole = header >= kMinTcpHeader && t.Has(0, header);
    if (!layers.transportWhole) return;
    layers.tcpFlags = t.U8(13);
    layers.payload = Tail(t, header);
  } else if (layers.protocol == kUdp) {
    layers.transportWhole = t.Has(0, kUdpHeader);
    if (!layers.transportWhole) return;
    layers.payload = Tail(t, kUdpHeader);
  } else {
    layers.transportWhole = t.size() != 0;
    return;
  }
  layers.sourcePort = t.Be16(0);
  layers.destinationPort = t.Be16(2);
}

}  // namespace

DatagramLayers LocateLayers(const uint8_t* bytes, size_t length) noexcept {
  DatagramLayers layers;
  ByteReader r(bytes, length);
  if (IsIpv6Datagram(bytes, length)) {
    layers.ipv6 = true;
    if (!r.Has(0, kIpv6HeaderSize)) return layers;
    layers.source = bytes + 8;
    layers.destination = bytes + 24;
    layers.addressLength = 16;
    Ipv6UpperLayer upper = WalkIpv6Extensions(r, [](uint8_t, size_t, size_t) {});
    layers.protocol = upper.protocol;
    if (!upper.complete) return layers;
    layers.laterFragment = upper.fragmentOffset != 0;
    if (layers.laterFragment) return layers;
    layers.transport = Tail(r, upper.at);
  } else {
    size_t header = static_cast<size_t>(r.U8(0) & 0x0F) * 4;
    if (!r.Has(0, kMinIpv4Header) || header < kMinIpv4Header) return layers;
    layers.source = bytes + 12;
    layers.destination = bytes + 16;
    layers.addressLength = 4;
    layers.protocol = r.U8(9);
    layers.laterFragment = (r.Be16(6) & 0x1FFF) != 0;
    if (layers.laterFragment) return layers;
    layers.transport = Tail(r, header);
  }
  LocateTransport(layers);
  return layers;
}

}  // namespace trovix
