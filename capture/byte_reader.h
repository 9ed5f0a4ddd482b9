// Bounds-checked reads of packet fields: the only way decoders touch packet bytes.
// A read that would reach past the received bytes yields 0 and marks the reader
// short, so a caller can tell a truncated packet from one with odd values.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trovix {

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) noexcept : data_(data), size_(size) {}

  size_t size() const noexcept { return size_; }
  const uint8_t* data() const noexcept { return data_; }
  // True once any read asked for bytes that were not received.
  bool truncated() const noexcept { return truncated_; }
  bool Has(size_t offset, size_t count) const noexcept {
    return offset <= size_ && count <= size_ - offset;
  }

  uint8_t U8(size_t offset) noexcept {
    if (!Need(offset, 1)) return 0;
    return data_[offset];
  }
  uint16_t Be16(size_t offset) noexcept {
    if (!Need(offset, 2)) return 0;
    return static_cast<uint16_t>(data_[offset] << 8 | data_[offset + 1]);
  }
  uint32_t Be32(size_t offset) noexcept {
    if (!Need(offset, 4)) return 0;
    return static_cast<uint32_t>(data_[offset]) << 24 | static_cast<uint32_t>(data_[offset + 1]) << 16 |
           static_cast<uint32_t>(data_[offset + 2]) << 8 | data_[offset + 3];
  }
  // Little-endian fields, as capture files written on such machines hold them.
  uint16_t Le16(size_t offset) noexcept {
    if (!Need(offset, 2)) return 0;
    return static_cast<uint16_t>(data_[offset] | data_[offset + 1] << 8);
  }
  uint32_t Le32(size_t offset) noexcept {
    if (!Need(offset, 4)) return 0;
    return static_cast<uint32_t>(data_[offset]) | static_cast<uint32_t>(data_[offset + 1]) << 8 |
           static_cast<uint32_t>(data_[offset + 2]) << 16 | static_cast<uint32_t>(data_[offset + 3]) << 24;
  }
  // An IPv4 address as it stands on the wire, most significant byte first.
  uint32_t Ipv4(size_t offset) noexcept { return Be32(offset); }
  // Has(), marking the reader short when the bytes were not received: for fields that
  // are used in place (an IPv6 address) rather than read as a number.
  bool Need(size_t offset, size_t count) noexcept {
    if (Has(offset, count)) return true;
    truncated_ = true;
    return false;
  }

 private:

  const uint8_t* data_;
  size_t size_;
  bool truncated_ = false;
};

}  // namespace trovix
