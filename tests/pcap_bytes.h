// Capture files written byte by byte, so that a test can also cut them or send them in steps.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace trovix::test {

// 32-bit words in this machine's byte order.
inline std::string Words(std::initializer_list<uint32_t> words) {
  std::string out;
  for (uint32_t w : words) out.append(reinterpret_cast<const char*>(&w), sizeof w);
  return out;
}

// A pcap file header (nanosecond times), and a record.
inline std::string PcapHeader(uint32_t linkType) { return Words({0xa1b23c4d, 0x00040002, 0, 0, 262144, linkType}); }
inline std::string PcapRecord(const std::vector<uint8_t>& frame, uint32_t seconds, uint32_t nanoseconds) {
  return Words({seconds, nanoseconds, uint32_t(frame.size()), uint32_t(frame.size())}) +
         std::string(frame.begin(), frame.end());
}

// A pcapng section with one interface (if_tsresol 9: nanoseconds), and a packet block.
inline std::string PcapngHeader(uint16_t linkType) {
  return Words({0x0A0D0D0A, 28, 0x1A2B3C4D, 1, ~0u, ~0u, 28, 1, 32, linkType, 262144, 0x00010009, 9, 0, 32});
}
inline std::string PcapngRecord(const std::vector<uint8_t>& frame, uint32_t nanoseconds) {
  uint32_t padded = uint32_t((frame.size() + 3) & ~size_t{3});
  return Words({6, 32 + padded, 0, 0, nanoseconds, uint32_t(frame.size()), uint32_t(frame.size())}) +
         std::string(frame.begin(), frame.end()) + std::string(padded - frame.size(), '\0') + Words({32 + padded});
}

// `datagram` behind a link header of `size` bytes that ends in `etherType`: 14 for
// Ethernet, 16 for Linux cooked (v1).
inline std::vector<uint8_t> Framed(const std::vector<uint8_t>& datagram, size_t size, uint16_t etherType) {
  std::vector<uint8_t> frame(size - 2, 0x02);
  frame.push_back(uint8_t(etherType >> 8));
  frame.push_back(uint8_t(etherType));
  frame.insert(frame.end(), datagram.begin(), datagram.end());
  return frame;
}

}  // namespace trovix::test
