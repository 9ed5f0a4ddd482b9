// Capture files written byte by byte, so that a test can also cut them or send them in steps.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace trovix::test {

// Bytes for a pcapng block reader (PcapngReader's source), in the pieces it asks for.
struct ByteSource {
  std::string text;
  size_t at = 0;
  static size_t Read(void* context, uint8_t* into, size_t size) {
    auto& b = *static_cast<ByteSource*>(context);
    size_t n = std::min(size, b.text.size() - b.at);
    std::memcpy(into, b.text.data() + b.at, n);
    b.at += n;
    return n;
  }
};

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

// pcapng blocks in either byte order, each with its length at both ends.
class Pcapng {
 public:
  explicit Pcapng(bool bigEndian = false) : big_(bigEndian) {}
  std::string U16(uint16_t v) const { return Bytes(v, 2); }
  std::string U32(uint32_t v) const { return Bytes(v, 4); }
  std::string U64(uint64_t v) const { return Bytes(v, 8); }
  std::string Block(uint32_t type, std::string body) const {
    body.resize((body.size() + 3) & ~size_t{3}, '\0');
    return U32(type) + U32(uint32_t(body.size() + 12)) + body + U32(uint32_t(body.size() + 12));
  }
  std::string Option(uint16_t code, std::string value) const {
    std::string padded = value + std::string((4 - value.size() % 4) % 4, '\0');
    return U16(code) + U16(uint16_t(value.size())) + padded;
  }
  std::string Section(const std::string& options = "") const {
    return Block(0x0A0D0D0A, U32(0x1A2B3C4D) + U16(1) + U16(0) + U64(~0ull) + options);
  }
  std::string Interface(uint16_t linkType, const std::string& options = "") const {
    return Block(1, U16(linkType) + U16(0) + U32(262144) + options);
  }
  std::string Packet(uint32_t interface, uint64_t stamp, const std::vector<uint8_t>& frame,
                     const std::string& options = "") const {
    std::string data(frame.begin(), frame.end());
    data.resize((data.size() + 3) & ~size_t{3}, '\0');
    return Block(6, U32(interface) + U32(uint32_t(stamp >> 32)) + U32(uint32_t(stamp)) + U32(uint32_t(frame.size())) +
                        U32(uint32_t(frame.size())) + data + options);
  }

 private:
  std::string Bytes(uint64_t v, int size) const {
    std::string out;
    for (int i = 0; i < size; ++i) out += char(v >> (8 * (big_ ? size - 1 - i : i)));
    return out;
  }
  bool big_;
};

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
