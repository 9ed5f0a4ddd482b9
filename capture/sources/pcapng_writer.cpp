// pcapng (draft-ietf-opsawg-pcapng) as other tools read it: the block's total length
// before and after its body, options padded to 32 bits and ended by opt_endofopt.
#include "capture/sources/pcapng_writer.h"

#include <algorithm>
#include <string_view>

#include "capture/packet_store.h"
#include "capture/program_comment.h"
#include "capture/sources/pcap_writer.h"

namespace trovix {
namespace {

using namespace pcapng;
constexpr uint16_t kLinkTypeRaw = 101;  // LINKTYPE_RAW: each record starts at its IP header
constexpr uint16_t kOptEnd = 0;
constexpr uint8_t kNanoseconds = 9;  // if_tsresol 10^-9: the store's receive times
constexpr uint16_t kNrbEnd = 0;
constexpr uint16_t kNrbIpv4 = 1;
constexpr uint16_t kNrbIpv6 = 2;
// Names go in blocks of about this size, well within what any reader takes as one block.
constexpr size_t kNamesPerBlock = 64 * 1024;

void Put16(std::vector<uint8_t>& out, uint16_t v) { out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
}
void Pad(std::vector<uint8_t>& out) { out.resize((out.size() + 3) & ~size_t{3}, 0); }

// A block from its type to its trailing length; the length is known once the body is in.
class BlockOut {
 public:
  BlockOut(std::vector<uint8_t>& out, uint32_t type) : out_(out), start_(out.size()) {
    Put32(out_, type);
    Put32(out_, 0);
  }
  ~BlockOut() {
    Pad(out_);
    uint32_t total = static_cast<uint32_t>(out_.size() - start_ + 4);
    for (int i = 0; i < 4; ++i) out_[start_ + 4 + i] = static_cast<uint8_t>(total >> (8 * i));
    Put32(out_, total);
  }
  BlockOut(const BlockOut&) = delete;
  BlockOut& operator=(const BlockOut&) = delete;

 private:
  std::vector<uint8_t>& out_;
  size_t start_;
};

void PutOption(std::vector<uint8_t>& out, uint16_t code, const void* value, size_t size) {
  Put16(out, code);
  Put16(out, static_cast<uint16_t>(size));
  const auto* bytes = static_cast<const uint8_t*>(value);
  out.insert(out.end(), bytes, bytes + size);
  Pad(out);
}

// The name as a record holds it: up to its first NUL; empty when it cannot be one.
std::string_view RecordName(const AddressName& entry) {
  std::string_view name(entry.name);
  name = name.substr(0, name.find('\0'));
  size_t room = 0xFFFF - 1 - (entry.family == 6 ? 16 : 4);
  return name.size() > room || (entry.family != 4 && entry.family != 6) ? std::string_view() : name;
}

}  // namespace

void AppendPcapngHead(std::vector<uint8_t>& out) {
  {
    BlockOut section(out, kSectionHeader);
    Put32(out, 0x1A2B3C4D);  // byte-order magic
    Put16(out, 1);           // version 1.0
    Put16(out, 0);
    Put32(out, 0xFFFFFFFF);  // section length not given
    Put32(out, 0xFFFFFFFF);
  }
  BlockOut interface(out, kInterfaceDescription);
  Put16(out, kLinkTypeRaw);
  Put16(out, 0);
  Put32(out, kCaptureSnapLength);
  PutOption(out, kIfTsresol, &kNanoseconds, 1);
  PutOption(out, kOptEnd, nullptr, 0);
}

void AppendPcapngNames(std::vector<uint8_t>& out, std::span<const AddressName> names) {
  size_t next = 0;
  auto skipUnnamed = [&] {
    while (next < names.size() && RecordName(names[next]).empty()) ++next;
  };
  skipUnnamed();
  while (next < names.size()) {
    BlockOut block(out, kNameResolution);
    size_t blockStart = out.size();
    while (next < names.size() && out.size() - blockStart < kNamesPerBlock) {
      const AddressName& entry = names[next];
      std::string_view name = RecordName(entry);
      size_t addressSize = entry.family == 6 ? 16 : 4;
      Put16(out, entry.family == 6 ? kNrbIpv6 : kNrbIpv4);
      Put16(out, static_cast<uint16_t>(addressSize + name.size() + 1));
      out.insert(out.end(), entry.address, entry.address + addressSize);
      out.insert(out.end(), name.begin(), name.end());
      out.push_back(0);
      Pad(out);
      ++next;
      skipUnnamed();
    }
    Put16(out, kNrbEnd);
    Put16(out, 0);
  }
}

void AppendPcapngPacket(std::vector<uint8_t>& out, const uint8_t* datagram, size_t length, int64_t receiveTime,
                        const ProgramTable* programs, uint32_t owner) {
  BlockOut block(out, kEnhancedPacket);
  uint64_t stamp = receiveTime < 0 ? 0 : static_cast<uint64_t>(receiveTime);
  size_t written = std::min<size_t>(length, kCaptureSnapLength);
  Put32(out, 0);  // the one interface
  Put32(out, static_cast<uint32_t>(stamp >> 32));
  Put32(out, static_cast<uint32_t>(stamp));
  Put32(out, static_cast<uint32_t>(written));
  Put32(out, OriginalLength(datagram, length));
  out.insert(out.end(), datagram, datagram + written);
  Pad(out);
  if (programs == nullptr || owner == kOwnerPending || owner == kUnknownOwner) return;
  Owner ends = programs->OwnerOf(owner);
  bool any = false;
  for (uint32_t id : {ends.source, ends.destination}) {
    std::string comment = ProgramComment(*programs, id);
    if (comment.empty()) continue;
    PutOption(out, kOptComment, comment.data(), std::min<size_t>(comment.size(), 0xFFFF));
    any = true;
  }
  // A lone comment's end, for whoever reads the file back.
  if (uint32_t direction = OwnerDirection(*programs, owner); direction != 0) {
    uint8_t flags[4] = {static_cast<uint8_t>(direction), 0, 0, 0};
    PutOption(out, kEpbFlags, flags, sizeof flags);
  }
  if (any) PutOption(out, kOptEnd, nullptr, 0);
}

bool PcapngCaptureBytes(const CaptureState& state, std::vector<uint8_t>& out, const std::vector<int32_t>* only,
                        const ProgramTable* programs, std::span<const AddressName> names) {
  out.clear();
  AppendPcapngHead(out);
  AppendPcapngNames(out, names);
  bool ok = EachSavedPacket(state, only, [&](int32_t index, const StoredPacket& p) {
    AppendPcapngPacket(out, p.bytes, static_cast<size_t>(p.length), p.receiveTime, programs,
                       PacketOwner(state.store, index));
  });
  if (!ok) out.clear();
  return ok;
}

}  // namespace trovix
