// Builds IPv4 and IPv6 datagrams for tests: header fields as given, ports for TCP and UDP.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace trovix::test {

struct DatagramShape {
  uint8_t protocol = 17;
  const char* src = "10.0.0.1";
  const char* dst = "10.0.0.2";
  uint16_t sport = 0;
  uint16_t dport = 0;
  size_t payload = 0;  // bytes after the transport header (or after the IP header)
  uint8_t ttl = 64;
  uint8_t ihl = 5;     // header length in 32-bit words
};

inline std::vector<uint8_t> MakeDatagram(const DatagramShape& s) {
  size_t h = s.ihl * 4u;
  size_t transport = s.protocol == 6 ? 20 : s.protocol == 17 ? 8 : 0;
  std::vector<uint8_t> d(std::max<size_t>(h, 20) + transport + s.payload, 0);
  d[0] = static_cast<uint8_t>(0x40 | (s.ihl & 0x0F));
  d[2] = static_cast<uint8_t>(d.size() >> 8);
  d[3] = static_cast<uint8_t>(d.size());
  d[8] = s.ttl;
  d[9] = s.protocol;
  inet_pton(AF_INET, s.src, &d[12]);
  inet_pton(AF_INET, s.dst, &d[16]);
  if (transport != 0 && d.size() >= h + 4) {
    d[h] = static_cast<uint8_t>(s.sport >> 8);
    d[h + 1] = static_cast<uint8_t>(s.sport);
    d[h + 2] = static_cast<uint8_t>(s.dport >> 8);
    d[h + 3] = static_cast<uint8_t>(s.dport);
  }
  for (size_t i = h + transport; i < d.size(); ++i) d[i] = static_cast<uint8_t>(i);
  return d;
}

struct Ipv6Shape {
  uint8_t upper = 17;  // the upper-layer protocol, after `extensions`
  const char* src = "2001:db8::1";
  const char* dst = "2001:db8::2";
  uint16_t sport = 0;
  uint16_t dport = 0;
  size_t payload = 0;  // bytes after the transport header (or after the extension headers)
  uint8_t hopLimit = 64;
  // Extension headers as (type, bytes) pairs, each `bytes` long with its own next-header
  // byte filled in; the length byte is set from the size (8 for a fragment header).
  std::vector<std::pair<uint8_t, std::vector<uint8_t>>> extensions = {};
};

inline std::vector<uint8_t> MakeIpv6Datagram(const Ipv6Shape& s) {
  std::vector<uint8_t> d(40, 0);
  d[0] = 0x60;
  d[7] = s.hopLimit;
  inet_pton(AF_INET6, s.src, &d[8]);
  inet_pton(AF_INET6, s.dst, &d[24]);
  size_t nextAt = 6;
  for (const auto& [type, bytes] : s.extensions) {
    d[nextAt] = type;
    nextAt = d.size();
    d.insert(d.end(), bytes.begin(), bytes.end());
    if (type != 44) d[nextAt + 1] = static_cast<uint8_t>(type == 51 ? bytes.size() / 4 - 2 : bytes.size() / 8 - 1);
  }
  d[nextAt] = s.upper;
  size_t h = d.size();
  size_t transport = s.upper == 6 ? 20 : s.upper == 17 ? 8 : 0;
  d.resize(h + transport + s.payload, 0);
  if (transport != 0) {
    d[h] = static_cast<uint8_t>(s.sport >> 8);
    d[h + 1] = static_cast<uint8_t>(s.sport);
    d[h + 2] = static_cast<uint8_t>(s.dport >> 8);
    d[h + 3] = static_cast<uint8_t>(s.dport);
  }
  for (size_t i = h + transport; i < d.size(); ++i) d[i] = static_cast<uint8_t>(i);
  size_t payload = d.size() - 40;
  d[4] = static_cast<uint8_t>(payload >> 8);
  d[5] = static_cast<uint8_t>(payload);
  return d;
}

// A fragment header: `offset` in bytes (a multiple of 8), the more-fragments flag.
inline std::pair<uint8_t, std::vector<uint8_t>> FragmentHeader(uint16_t offset, bool more) {
  return {44, {0, 0, static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>((offset & 0xF8) | (more ? 1 : 0)), 0, 0, 0, 7}};
}

}  // namespace trovix::test
