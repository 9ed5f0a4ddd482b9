// Built only with AddressSanitizer: a read one byte past the last stored datagram is
// reported, although that byte lies inside the byte area.
#include <gtest/gtest.h>

#include <memory>

#include "capture/capture_state.h"
#include "capture/packet_store.h"

namespace trovix {
namespace {

uint8_t Read(const uint8_t* at) { return *static_cast<const volatile uint8_t*>(at); }

TEST(StorePoisonDeathTest, AReadPastTheLastDatagramIsReported) {
  static_assert(kAreaPoisoning, "this test belongs to the AddressSanitizer build only");
  auto store = std::make_unique<PacketStore>();
  const uint8_t datagram[21] = {0x45, 0, 0, 21};
  EXPECT_DEATH(Read(store->bytes), "use-after-poison");  // a fresh store has nothing stored
  ASSERT_EQ(AppendPacket(*store, 255, datagram, sizeof datagram), AcceptResult::kStored);
  ASSERT_EQ(AppendPacket(*store, 255, datagram, 20), AcceptResult::kStored);
  EXPECT_EQ(Read(store->bytes + 40), 0);  // the last byte of the second datagram
  EXPECT_DEATH(Read(store->bytes + 41), "use-after-poison");

  ResetPacketStore(*store);
  EXPECT_DEATH(Read(store->bytes), "use-after-poison");
}

}  // namespace
}  // namespace trovix
