// Capture files written byte by byte, so that a test can also cut them or send them in steps.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace trovix::test {

inline void Put(std::string& out, const void* bytes, size_t size) { out.append(static_cast<const char*>(bytes), size); }
template <typename T>
void Put(std::string& out, T value) {
  Put(out, &value, sizeof value);
}

// A pcap file header, nanosecond times, this machine's byte order.
inline std::string PcapHeader(uint32_t linkType) {
  std::string out;
  for (uint32_t word : {0xa1b23c4du, 0x00040002u, 0u, 0u, 262144u, linkType}) Put(out, word);
  return out;
}

inline std::string PcapRecord(const std::vector<uint8_t>& frame, uint32_t seconds, uint32_t nanoseconds) {
  std::string out;
  for (uint32_t word : {seconds, nanoseconds, uint32_t(frame.size()), uint32_t(frame.size())}) Put(out, word);
  Put(out, frame.data(), frame.size());
  return out;
}

// A pcapng section and one interface of `linkType`, nanosecond times.
inline std::string PcapngHeader(uint16_t linkType) {
  std::string out;
  for (uint32_t word : {0x0A0D0D0Au, 28u, 0x1A2B3C4Du, 0x00000001u, 0xFFFFFFFFu, 0xFFFFFFFFu, 28u}) Put(out, word);
  // if_tsresol 9: nanoseconds.
  for (uint32_t word : {1u, 32u}) Put(out, word);
  Put(out, linkType);
  Put(out, uint16_t{0});
  for (uint32_t word : {262144u, 0x00010009u, 0x00000009u, 0u, 32u}) Put(out, word);
  return out;
}

inline std::string PcapngRecord(const std::vector<uint8_t>& frame, uint64_t nanoseconds) {
  uint32_t padded = uint32_t((frame.size() + 3) & ~size_t{3});
  uint32_t total = 32 + padded;
  std::string out;
  for (uint32_t word : {6u, total, 0u, uint32_t(nanoseconds >> 32), uint32_t(nanoseconds), uint32_t(frame.size()),
                        uint32_t(frame.size())}) {
    Put(out, word);
  }
  Put(out, frame.data(), frame.size());
  out.append(padded - frame.size(), '\0');
  Put(out, total);
  return out;
}

// `datagram` behind an Ethernet header (`etherType`), or a Linux cooked (v1) one.
inline std::vector<uint8_t> Ethernet(const std::vector<uint8_t>& datagram, uint16_t etherType) {
  std::vector<uint8_t> frame(12, 0x02);
  frame.push_back(uint8_t(etherType >> 8));
  frame.push_back(uint8_t(etherType));
  frame.insert(frame.end(), datagram.begin(), datagram.end());
  return frame;
}
inline std::vector<uint8_t> Cooked(const std::vector<uint8_t>& datagram, uint16_t etherType) {
  std::vector<uint8_t> frame(14, 0);
  frame.push_back(uint8_t(etherType >> 8));
  frame.push_back(uint8_t(etherType));
  frame.insert(frame.end(), datagram.begin(), datagram.end());
  return frame;
}

}  // namespace trovix::test
