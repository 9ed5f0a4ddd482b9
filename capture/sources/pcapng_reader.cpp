// pcapng (draft-ietf-opsawg-pcapng): every length a block gives is checked against the
// block's own total length before anything behind it is read, and the messages are
// libpcap's where it has one for the same fault, so a file says the same in every tool.
#include "capture/sources/pcapng_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "capture/area_poison.h"
#include "capture/byte_reader.h"

namespace trovix {
namespace {

using namespace pcapng;
constexpr uint32_t kObsoletePacket = 2;
constexpr uint32_t kSimplePacket = 3;
constexpr uint16_t kIfTsoffset = 14;
constexpr uint8_t kBigEndianMagic[4] = {0x1A, 0x2B, 0x3C, 0x4D};
constexpr uint8_t kLittleEndianMagic[4] = {0x4D, 0x3C, 0x2B, 0x1A};
// The block's type and length; a section header's byte-order magic after them.
constexpr size_t kBlockHead = 8;
constexpr size_t kSectionHead = 12;

__extension__ typedef __int128 Wide;

size_t Padded(size_t size) { return (size + 3) & ~size_t{3}; }

// Nanoseconds since 1970 of a stamp counted in the interface's units from its offset,
// clamped to what 64 bits hold: 10^-19 s units and offsets of ages reach far beyond it.
int64_t StampTime(uint64_t stamp, const PcapngInterface& in) {
  constexpr uint64_t kBillion = 1000000000;
  uint64_t units = in.unitsPerSecond, part = stamp % units;
  // A 128-bit division costs more than the rest of a packet's reading: only where needed.
  uint64_t nanoseconds = units <= UINT64_MAX / kBillion ? part * kBillion / units
                                                        : static_cast<uint64_t>(Wide(part) * kBillion / units);
  Wide time = (Wide(stamp / units) + in.offsetSeconds) * kBillion + nanoseconds;
  if (time > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
  if (time < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(time);
}

// The units of if_tsresol `value` (bit 7 set: 2^-n seconds, else 10^-n); 0 when a 64-bit
// count could not hold one second of them.
uint64_t UnitsPerSecond(uint8_t value) {
  unsigned n = value & 0x7F;
  if ((value & 0x80) != 0) return n > 63 ? 0 : uint64_t{1} << n;
  if (n > 19) return 0;
  uint64_t units = 1;
  while (n-- > 0) units *= 10;
  return units;
}

}  // namespace

PcapngReader::PcapngReader(Source source, void* context) : source_(source), context_(context), block_(64 * 1024) {}

// Past the block in it, the buffer is marked unaddressable where a sanitizer watches.
PcapngReader::~PcapngReader() { UnpoisonBytes(block_.data(), block_.size()); }

// Reads the block's bytes from `from` to `to`, the buffer growing only as they arrive, so
// that a length claiming more than the stream holds costs no more than what came; it grows
// to the largest block once, and no block allocates after it. How many were read.
size_t PcapngReader::Fill(size_t from, size_t to) {
  size_t at = from;
  while (at < to) {
    if (at == block_.size()) block_.resize(std::min(to, 2 * block_.size()));
    size_t wanted = std::min(to, block_.size()) - at;
    size_t got = source_(context_, block_.data() + at, wanted);
    at += got;
    if (got < wanted) break;
  }
  return at - from;
}

PcapngReader::Block PcapngReader::Fail(std::string why) {
  failed_ = true;
  error_ = std::move(why);
  return Block::kError;
}

PcapngReader::Block PcapngReader::TooShort(uint32_t type) {
  return Fail("block of type " + std::to_string(type) + " in pcapng dump file is too short");
}

// Bytes of the block in block_, big- or little-endian as the section says; 0 past its end.
uint16_t PcapngReader::U16(size_t at) {
  ByteReader r(block_.data(), length_);
  return bigEndian_ ? r.Be16(at) : r.Le16(at);
}

uint32_t PcapngReader::U32(size_t at) {
  ByteReader r(block_.data(), length_);
  return bigEndian_ ? r.Be32(at) : r.Le32(at);
}

uint64_t PcapngReader::U64(size_t at) {
  uint64_t first = U32(at), second = U32(at + 4);
  return bigEndian_ ? first << 32 | second : second << 32 | first;
}

// Walks the options from `at` to the block's trailer, keeping each opt_comment and handing
// every other option to `each(code, offset, size)`; false when one runs past the block.
template <class Each>
bool PcapngReader::Options(size_t at, Each each) {
  const size_t end = length_ - 4;
  while (end - at >= 4) {
    uint16_t code = U16(at), size = U16(at + 2);
    if (code == 0) return true;  // opt_endofopt
    if (Padded(size) > end - at - 4) return false;
    if (code == kOptComment) comments_.emplace_back(reinterpret_cast<const char*>(block_.data() + at + 4), size);
    else each(code, at + 4, size);
    at += 4 + Padded(size);
  }
  return true;
}

PcapngReader::Block PcapngReader::Next() {
  if (failed_) return Block::kError;
  comments_.clear();
  names_.clear();
  uint8_t head[kSectionHead];
  size_t got = source_(context_, head, kBlockHead);
  if (got == 0) return Block::kEnd;
  auto truncated = [this](size_t wanted, size_t got) {
    return Fail("truncated pcapng dump file; tried to read " + std::to_string(wanted) + " bytes, only got " +
                std::to_string(got));
  };
  if (got < kBlockHead) return truncated(kBlockHead, got);
  bool section = std::memcmp(head, kPcapngMagic, 4) == 0;
  if (section) {
    got = source_(context_, head + kBlockHead, 4);
    if (got < 4) return truncated(4, got);
    if (std::memcmp(head + kBlockHead, kBigEndianMagic, 4) == 0) {
      bigEndian_ = true;
    } else if (std::memcmp(head + kBlockHead, kLittleEndianMagic, 4) == 0) {
      bigEndian_ = false;
    } else {
      notPcapng_ = !inSection_;
      return Fail(inSection_ ? "Section Header Block has an unknown byte-order magic" : "unknown file format");
    }
  } else if (!inSection_) {
    notPcapng_ = true;
    return Fail("unknown file format");
  }
  ByteReader fields(head, sizeof head);
  uint32_t length = bigEndian_ ? fields.Be32(4) : fields.Le32(4);
  uint32_t type = bigEndian_ ? fields.Be32(0) : fields.Le32(0);
  if (length < 12) return Fail("block in pcapng dump file has a length of " + std::to_string(length) + " < 12");
  if (length > kMaxBlockSize) {
    return Fail("pcapng block size " + std::to_string(length) + " > maximum " + std::to_string(kMaxBlockSize));
  }
  if (length % 4 != 0) {
    return Fail("block in pcapng dump file has a length of " + std::to_string(length) + " that is not a multiple of 4");
  }
  size_t headSize = section ? kSectionHead : kBlockHead;
  if (length < headSize + 4) return TooShort(type);
  UnpoisonBytes(block_.data(), block_.size());
  std::memcpy(block_.data(), head, headSize);
  got = Fill(headSize, length);
  if (got < length - headSize) return truncated(length - headSize, got);
  PoisonBytes(block_.data() + length, block_.size() - length);
  length_ = length;
  if (U32(length - 4) != length) return Fail("block total length in header and trailer don't match");
  switch (type) {
    case kSectionHeader: return Section();
    case kInterfaceDescription: return Interface();
    case kObsoletePacket: case kSimplePacket: case kEnhancedPacket: return Packet(type);
    case kNameResolution: return Names();
    default: return Block::kOther;  // statistics, decryption secrets, custom blocks
  }
}

// A new section: its own byte order (set by Next) and interfaces.
PcapngReader::Block PcapngReader::Section() {
  if (length_ < 28) return TooShort(kSectionHeader);
  uint16_t major = U16(12), minor = U16(14);
  if (major != 1) {
    return Fail("unsupported pcapng savefile version " + std::to_string(major) + "." + std::to_string(minor));
  }
  if (!Options(24, [](uint16_t, size_t, uint16_t) {})) return TooShort(kSectionHeader);
  inSection_ = true;
  interfaces_.clear();
  sectionComments_.assign(comments_.begin(), comments_.end());
  return Block::kOther;
}

PcapngReader::Block PcapngReader::Interface() {
  if (length_ < 20) return TooShort(kInterfaceDescription);
  PcapngInterface in;
  in.linkType = U16(8);
  in.snapLength = U32(12);
  std::string problem;
  bool whole = Options(16, [&](uint16_t code, size_t at, uint16_t size) {
    if (code == kIfTsresol && size != 1) {
      problem = "Interface Description Block has if_tsresol option with length " + std::to_string(size) + " != 1";
    } else if (code == kIfTsresol) {
      uint8_t value = ByteReader(block_.data(), length_).U8(at);
      in.unitsPerSecond = UnitsPerSecond(value);
      if (in.unitsPerSecond == 0) {
        problem = std::string("Interface Description Block if_tsresol option resolution ") +
                  ((value & 0x80) != 0 ? "2^-" : "10^-") + std::to_string(value & 0x7F) + " is too high";
      }
    } else if (code == kIfTsoffset && size != 8) {
      problem = "Interface Description Block has if_tsoffset option with length " + std::to_string(size) + " != 8";
    } else if (code == kIfTsoffset) {
      in.offsetSeconds = static_cast<int64_t>(U64(at));
    }
  });
  if (!whole) return TooShort(kInterfaceDescription);
  if (!problem.empty()) return Fail(problem);
  in.comments.assign(comments_.begin(), comments_.end());
  interfaces_.push_back(std::move(in));
  return Block::kOther;
}

PcapngReader::Block PcapngReader::Packet(uint32_t type) {
  // Enhanced and obsolete blocks: interface, time, captured and wire lengths, then the
  // frame at 28; a simple block: the wire length, then the frame at 12.
  bool simple = type == kSimplePacket;
  size_t frameAt = simple ? 12 : 28;
  if (length_ < frameAt + 4) return TooShort(type);
  uint32_t interface = simple ? 0 : type == kObsoletePacket ? U16(8) : U32(8);
  if (interface >= interfaces_.size()) {
    return Fail("a packet arrived on interface " + std::to_string(interface) +
                ", but there's no Interface Description Block for that interface");
  }
  const PcapngInterface& in = interfaces_[interface];
  uint32_t wire = U32(simple ? 8 : 24);
  uint32_t captured = simple ? wire : U32(20);
  if (simple && in.snapLength != 0 && in.snapLength < captured) captured = in.snapLength;
  if (captured > length_ - 4 - frameAt) return TooShort(type);
  uint32_t flags = 0;
  bool whole = simple || Options(frameAt + Padded(captured), [&](uint16_t code, size_t at, uint16_t size) {
    if (code == kEpbFlags && size == 4 && type == kEnhancedPacket) flags = U32(at);
  });
  if (!whole) return TooShort(type);
  packet_.flags = flags;
  packet_.interface = interface;
  packet_.receiveTime = simple ? 0 : StampTime(uint64_t{U32(12)} << 32 | U32(16), in);
  packet_.frame = block_.data() + frameAt;
  packet_.size = captured;
  packet_.wireLength = wire;
  return Block::kPacket;
}

// Records of a type, a length and a value: an address (4 or 16 bytes) and its names, each
// ended by a zero byte; then the block's options.
PcapngReader::Block PcapngReader::Names() {
  const size_t end = length_ - 4;
  size_t at = 8;
  while (end - at >= 4) {
    uint16_t type = U16(at), size = U16(at + 2);
    if (Padded(size) > end - at - 4) return TooShort(kNameResolution);
    at += 4;
    if (type == 0) {  // nrb_record_end
      at += Padded(size);
      break;
    }
    size_t addressSize = type == 1 ? 4 : type == 2 ? 16 : 0;
    if (addressSize != 0 && size > addressSize) {
      const char* text = reinterpret_cast<const char*>(block_.data() + at + addressSize);
      std::string_view rest(text, size - addressSize);
      for (size_t zero; (zero = rest.find('\0')) != std::string_view::npos; rest.remove_prefix(zero + 1)) {
        if (zero > 0) names_.push_back({type == 1 ? 4 : 6, block_.data() + at, rest.substr(0, zero)});
      }
    }
    at += Padded(size);
  }
  if (!Options(at, [](uint16_t, size_t, uint16_t) {})) return TooShort(kNameResolution);
  return Block::kNames;
}

}  // namespace trovix
