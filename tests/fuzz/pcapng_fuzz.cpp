// Arbitrary bytes as a pcapng stream, block by block through our own reader, each packet
// then through the link-layer stripping and the accept path with its interface's link type,
// as the window's reader takes it, and its comments and flags read as its programs. Under AddressSanitizer the reader marks its buffer past
// each block unaddressable, so a read past a block is reported.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "capture/sources/stream_source.h"
#include "capture/sources/link_layer.h"
#include "capture/packet_store.h"
#include "capture/program_comment.h"
#include "capture/sources/pcapng_reader.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace trovix;
using fuzz::Check;

struct Input {
  const uint8_t* data;
  size_t size;
  size_t at;
};

size_t FromInput(void* context, uint8_t* into, size_t size) {
  auto& in = *static_cast<Input*>(context);
  size_t n = size < in.size - in.at ? size : in.size - in.at;
  std::memcpy(into, in.data + in.at, n);
  in.at += n;
  return n;
}

// Reads every byte given, so that one outside its block is seen.
unsigned Touch(const void* bytes, size_t size) {
  unsigned sum = 0;
  for (size_t i = 0; i < size; ++i) sum += static_cast<const uint8_t*>(bytes)[i];
  return sum;
}

CaptureState& State() {
  static CaptureState* state = [] {
    CaptureState* s = &fuzz::State();
    s->OnTcp = s->OnUdp = s->OnIcmp = s->OnIgmp = s->OnRaw = s->OnIpv6 = 1;
    return s;
  }();
  return *state;
}

// A table of the target's own: the process's would fill with what every input names.
ProgramTable& Programs() {
  static ProgramTable* table = new ProgramTable;
  return *table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input{data, size, 0};
  PcapngReader reader(FromInput, &input);
  CaptureState& state = State();
  volatile unsigned sink = 0;
  for (;;) {
    PcapngReader::Block block = reader.Next();
    if (block == PcapngReader::Block::kEnd) break;
    if (block == PcapngReader::Block::kError) {
      Check(!reader.error().empty() && reader.Next() == PcapngReader::Block::kError);
      break;
    }
    for (std::string_view comment : reader.comments()) sink = sink + Touch(comment.data(), comment.size());
    for (const PcapngName& name : reader.names()) {
      Check(name.family == 4 || name.family == 6);
      sink = sink + Touch(name.address, name.family == 4 ? 4 : 16) + Touch(name.name.data(), name.name.size());
    }
    if (block != PcapngReader::Block::kPacket) continue;
    const PcapngPacket& p = reader.packet();
    Check(p.interface < reader.interfaces().size() && p.size <= size);
    sink = sink + Touch(p.frame, p.size);
    if (PublishedPacketCount(state.store) + 1 >= kMaxPackets) ResetStores(state);
    int linkType = LinkTypeOfFile(reader.interfaces()[p.interface].linkType);
    (void)AcceptFrame(state, linkType, p.frame, p.size, p.receiveTime);
    uint32_t owner = OwnerOfComments(Programs(), reader.comments(), p.flags);
    Check(owner == kOwnerPending || !Programs().OwnerText(owner).empty());
  }
  return 0;
}
