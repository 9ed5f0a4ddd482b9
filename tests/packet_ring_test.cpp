// The walk over one receive-ring block, on blocks built in memory: the kernel's offsets
// are believed only as far as the block reaches.
#include <linux/if_packet.h>

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "capture/platform/packet_socket.h"

namespace trovix {
namespace {

using Handed = std::vector<std::pair<size_t, size_t>>;  // (offset in the block, length)

constexpr uint32_t kBlock = 4096;

// Two frames: one at 64 with 20 bytes at 144, one at 256 with 28 bytes at 336.
struct FakeBlock {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(kBlock);  // on the heap, so overreads show
  tpacket_block_desc desc{};
  tpacket3_hdr frames[2]{};

  FakeBlock() {
    desc.hdr.bh1.num_pkts = 2;
    desc.hdr.bh1.offset_to_first_pkt = 64;
    frames[0].tp_next_offset = 192;
    frames[0].tp_net = 80;
    frames[0].tp_snaplen = 20;
    frames[1].tp_next_offset = 0;
    frames[1].tp_net = 80;
    frames[1].tp_snaplen = 28;
  }
  Handed Walk(uint32_t size = kBlock) {
    std::memcpy(bytes.data(), &desc, sizeof desc);
    std::memcpy(bytes.data() + 64, &frames[0], sizeof frames[0]);
    std::memcpy(bytes.data() + 256, &frames[1], sizeof frames[1]);
    Handed handed;
    auto record = [](void* context, const uint8_t* data, size_t length, int64_t) {
      auto* self = static_cast<std::pair<Handed*, const uint8_t*>*>(context);
      self->first->emplace_back(static_cast<size_t>(data - self->second), length);
      return true;
    };
    std::pair<Handed*, const uint8_t*> context{&handed, bytes.data()};
    EXPECT_TRUE(WalkRingBlock(bytes.data(), size, record, &context));
    return handed;
  }
};

TEST(RingBlockWalk, EveryFrameOfAWellFormedBlockIsHandedOver) {
  EXPECT_EQ(FakeBlock().Walk(), (Handed{{144, 20}, {336, 28}}));
  FakeBlock moreCounted;
  moreCounted.desc.hdr.bh1.num_pkts = 5;  // the last frame's zero next offset still ends it
  EXPECT_EQ(moreCounted.Walk(), (Handed{{144, 20}, {336, 28}}));
}

TEST(RingBlockWalk, HostileOffsetsEndTheWalkBeforeAnythingOutsideIsRead) {
  struct Case {
    const char* what;
    void (*spoil)(FakeBlock&);
    Handed expected;
  };
  const Case cases[] = {
      {"first frame past the end", [](FakeBlock& b) { b.desc.hdr.bh1.offset_to_first_pkt = 4096; }, {}},
      {"first frame header across the end", [](FakeBlock& b) { b.desc.hdr.bh1.offset_to_first_pkt = 4090; }, {}},
      {"first frame inside the block header", [](FakeBlock& b) { b.desc.hdr.bh1.offset_to_first_pkt = 8; }, {}},
      {"more frames than fit the block", [](FakeBlock& b) { b.desc.hdr.bh1.num_pkts = 0xFFFFFFFF; }, {}},
      {"data past the end", [](FakeBlock& b) { b.frames[0].tp_net = 0xFFFF; }, {}},
      {"data inside the frame header", [](FakeBlock& b) { b.frames[0].tp_net = 0; }, {}},
      {"snap length past the end", [](FakeBlock& b) { b.frames[0].tp_snaplen = 0xFFFFFFFF; }, {}},
      {"snap length one byte too long", [](FakeBlock& b) { b.frames[1].tp_snaplen = 4096 - 336 + 1; }, {{144, 20}}},
      {"next frame past the end", [](FakeBlock& b) { b.frames[0].tp_next_offset = 0xFFFFFFF0; }, {{144, 20}}},
  };
  for (const Case& c : cases) {
    FakeBlock block;
    c.spoil(block);
    EXPECT_EQ(block.Walk(), c.expected) << c.what;
  }
  EXPECT_EQ(FakeBlock().Walk(40), Handed{}) << "a block smaller than its own header";
}

}  // namespace
}  // namespace trovix
