// Builds IPv4 datagrams for tests: header fields as given, ports for TCP and UDP.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
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

}  // namespace trovix::test
