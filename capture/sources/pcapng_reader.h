// pcapng read block by block from any source of bytes: section headers in either byte
// order, interface descriptions (link type, if_tsresol, if_tsoffset), enhanced, simple and
// obsolete packet blocks, name-resolution blocks and comments. Each block is read whole into
// one buffer and checked against its own length before any field of it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace trovix {

// A pcapng file's first four bytes, the same in either byte order.
constexpr uint8_t kPcapngMagic[4] = {0x0A, 0x0D, 0x0D, 0x0A};

// The block types and option codes that both the reader and the writer know.
namespace pcapng {
inline constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
inline constexpr uint32_t kInterfaceDescription = 1;
inline constexpr uint32_t kNameResolution = 4;
inline constexpr uint32_t kEnhancedPacket = 6;
inline constexpr uint16_t kOptComment = 1;
inline constexpr uint16_t kEpbFlags = 2;  // in enhanced packet blocks
inline constexpr uint16_t kIfTsresol = 9;
}  // namespace pcapng

struct PcapngInterface {
  uint16_t linkType = 0;  // as files write it (LINKTYPE_ numbers)
  uint32_t snapLength = 0;
  uint64_t unitsPerSecond = 1000000;  // if_tsresol
  int64_t offsetSeconds = 0;          // if_tsoffset
  std::vector<std::string> comments;
};

struct PcapngPacket {
  uint32_t interface = 0;  // an index into the section's interfaces
  int64_t receiveTime = 0;  // nanoseconds since 1970, clamped; 0 for a simple packet block
  const uint8_t* frame = nullptr;
  size_t size = 0;  // captured bytes, all within the block
  uint32_t wireLength = 0;
  uint32_t flags = 0;  // epb_flags (direction in bits 0 and 1); 0 when the block has none
};

// One name of a name-resolution record. Its bytes are the file's: whoever shows one must
// make it safe to show.
struct PcapngName {
  int family = 4;  // 4 or 6
  const uint8_t* address = nullptr;  // 4 or 16 bytes
  std::string_view name;
};

// A name for an address, as a name-resolution block holds it, owned (a reader keeps them
// past their block; a writer is handed them).
struct AddressName {
  int family = 4;            // 4 or 6
  uint8_t address[16] = {};  // the first 4 for IPv4
  std::string name;
};

class PcapngReader {
 public:
  // Fills `into` with `size` bytes; fewer only at the end of the bytes (or a failed read).
  using Source = size_t (*)(void* context, uint8_t* into, size_t size);
  // The largest block read: a hostile length would otherwise ask for up to 4 GiB.
  static constexpr uint32_t kMaxBlockSize = 16u << 20;

  enum class Block {
    kPacket,  // see packet()
    kNames,   // a name-resolution block: see names()
    kOther,   // a section header, an interface, or a block not read here
    kEnd,     // the bytes ended between blocks
    kError,   // see error(); every later call says so again
  };

  PcapngReader(Source source, void* context);
  ~PcapngReader();
  PcapngReader(const PcapngReader&) = delete;
  PcapngReader& operator=(const PcapngReader&) = delete;

  Block Next();

  const PcapngPacket& packet() const { return packet_; }
  // The records of the last name-resolution block, and the opt_comment texts of the last
  // block (of any kind); both point into that block and last until the next call.
  const std::vector<PcapngName>& names() const { return names_; }
  const std::vector<std::string_view>& comments() const { return comments_; }
  // The present section's interfaces, and its own comments.
  const std::vector<PcapngInterface>& interfaces() const { return interfaces_; }
  const std::vector<std::string>& sectionComments() const { return sectionComments_; }
  // What was wrong, in libpcap's words where it has them.
  const std::string& error() const { return error_; }
  // The error is that the bytes do not begin as a pcapng file does.
  bool notPcapng() const { return notPcapng_; }

 private:
  Block Fail(std::string why);
  Block TooShort(uint32_t type);
  size_t Fill(size_t from, size_t to);
  uint16_t U16(size_t at);
  uint32_t U32(size_t at);
  uint64_t U64(size_t at);
  template <class Each>
  bool Options(size_t at, Each each);
  Block Section();
  Block Interface();
  Block Packet(uint32_t type);
  Block Names();

  Source source_;
  void* context_;
  std::vector<uint8_t> block_;
  uint32_t length_ = 0;  // of the block in block_
  bool bigEndian_ = false;
  bool inSection_ = false;
  bool failed_ = false;
  bool notPcapng_ = false;
  PcapngPacket packet_;
  std::vector<PcapngName> names_;
  std::vector<std::string_view> comments_;
  std::vector<PcapngInterface> interfaces_;
  std::vector<std::string> sectionComments_;
  std::string error_;
};

}  // namespace trovix
