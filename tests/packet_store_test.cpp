#include "capture/packet_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "capture/sources/local_source.h"
#include "tests/datagram_builder.h"

namespace trovix {
namespace {

class PacketStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { PrepareCapture(*state_, {"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true}); }
  AcceptResult Accept(size_t payload, uint8_t protocol = 17) {
    auto d = test::MakeDatagram({.protocol = protocol, .sport = 7, .dport = 9, .payload = payload});
    return AcceptDatagram(*state_, d.data(), d.size());
  }
  PacketStore& store() { return state_->store; }
  std::unique_ptr<CaptureState> state_ = std::make_unique<CaptureState>();
};

TEST_F(PacketStoreTest, PacketsLieBackToBackAndTotalsAgree) {
  std::vector<std::vector<uint8_t>> sent;
  for (size_t payload : {0, 100, 3, 1472}) {
    sent.push_back(test::MakeDatagram({.protocol = 17, .sport = 7, .dport = 9, .payload = payload}));
    ASSERT_EQ(AcceptDatagram(*state_, sent.back().data(), sent.back().size()), AcceptResult::kStored);
  }
  ASSERT_EQ(PublishedPacketCount(store()), 4u);
  const int32_t offsets[] = {0, 28, 156, 187};
  const int32_t lengths[] = {28, 128, 31, 1500};
  for (int32_t k = 0; k < 4; ++k) {
    StoredPacket p;
    ASSERT_TRUE(LocatePacket(store(), k, p));
    EXPECT_EQ(p.offset, offsets[k]);
    EXPECT_EQ(p.protocol, 17);
    ASSERT_EQ(p.length, lengths[k]);
    EXPECT_EQ(std::memcmp(p.bytes, sent[k].data(), sent[k].size()), 0);
  }
  EXPECT_EQ(store().storedBytes.load(), 1687);
  StoredPacket none;
  EXPECT_FALSE(LocatePacket(store(), 4, none));
  EXPECT_FALSE(LocatePacket(store(), -1, none));
}

TEST_F(PacketStoreTest, LogHoldsEachLineWithCrLf) {
  Accept(0);
  Accept(4, 1);
  EXPECT_STREQ(state_->sniffLog.text,
               "\t0\tudp\t10.0.0.1\t7\t10.0.0.2\t9\t28\t64\r\n"
               "\t1\ticmp\t10.0.0.1\t0\t10.0.0.2\t0\t24\t64\r\n");
  EXPECT_EQ(PublishedLogLength(state_->sniffLog), std::strlen(state_->sniffLog.text));
}

TEST_F(PacketStoreTest, ResetEmptiesEverythingButLeavesAreasZero) {
  Accept(500);
  Accept(10, 6);
  PrepareCapture(*state_, {"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true});
  EXPECT_EQ(PublishedPacketCount(store()), 0u);
  EXPECT_EQ(store().storedBytes.load(), 0);
  EXPECT_EQ(PublishedLogLength(state_->sniffLog), 0u);
  const uint8_t* bytes = store().bytes;
  UnpoisonBytes(bytes, kByteAreaSize);  // nothing is stored, so sanitizer builds mark it all unaddressable
  EXPECT_TRUE(std::all_of(bytes, bytes + kByteAreaSize, [](uint8_t b) { return b == 0; }));
  PoisonBytes(bytes, kByteAreaSize);
  EXPECT_TRUE(std::all_of(store().protocols.at, store().protocols.at + kTableEntries, [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(state_->sniffLog.text, state_->sniffLog.text + kSniffLogSize, [](char c) { return c == 0; }));
  Accept(1);
  StoredPacket p;
  ASSERT_TRUE(LocatePacket(store(), 0, p));
  EXPECT_EQ(p.offset, 0);
  EXPECT_EQ(p.length, 29);
}

// A reset leaves no column of either store holding an earlier capture's entries.
TEST_F(PacketStoreTest, ResetZeroesEveryColumnOfBothStores) {
  for (bool larger : {false, true}) {
    SCOPED_TRACE(larger ? "larger store" : "fixed store");
    ASSERT_TRUE(UseLargerStore(*state_, larger));
    auto d = test::MakeDatagram({.protocol = 6, .payload = 3});
    ASSERT_EQ(AcceptDatagram(*state_, d.data(), d.size(), 1700000000123456789, 2), AcceptResult::kStored);
    ASSERT_EQ(AcceptDatagram(*state_, d.data(), d.size(), 1700000000123456790, 3), AcceptResult::kStored);
    ResetPacketStore(store());
    for (int k : {0, 1}) {
      EXPECT_EQ(store().lengths[k], 0) << k;
      EXPECT_EQ(store().offsets[k], 0) << k;
      EXPECT_EQ(store().protocols[k], 0) << k;
      EXPECT_EQ(store().receiveTimes[k], 0) << k;
      EXPECT_EQ(store().sources[k], 0) << k;
    }
  }
  ASSERT_TRUE(UseLargerStore(*state_, false));
}

TEST_F(PacketStoreTest, TenThousandthPacketIsTheLast) {
  for (uint32_t k = 0; k + 1 < kMaxPackets; ++k) ASSERT_EQ(Accept(0), AcceptResult::kStored) << k;
  EXPECT_EQ(Accept(0), AcceptResult::kStoredLast);
  EXPECT_EQ(Accept(0), AcceptResult::kNoRoom);
  EXPECT_EQ(PublishedPacketCount(store()), kMaxPackets);
  EXPECT_EQ(store().storedBytes.load(), 280000);
  std::string log(state_->sniffLog.text);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 10000);
  EXPECT_NE(log.find("\r\n\t9999\tudp\t"), std::string::npos);
}

TEST_F(PacketStoreTest, DatagramThatDoesNotFitEndsTheCaptureUnstored) {
  // 12 datagrams of 65,535 bytes fill 786,420 bytes; the 13th would pass 819,200.
  for (int k = 0; k < 12; ++k) ASSERT_EQ(Accept(65535 - 28), AcceptResult::kStored);
  int32_t used = store().storedBytes.load();
  EXPECT_EQ(Accept(65535 - 28), AcceptResult::kNoRoom);
  EXPECT_EQ(PublishedPacketCount(store()), 12u);
  EXPECT_EQ(store().storedBytes.load(), used);
  // Exactly filling the area is allowed.
  EXPECT_EQ(Accept(kByteAreaSize - used - 28), AcceptResult::kStored);
  EXPECT_EQ(store().storedBytes.load(), kByteAreaSize);
  EXPECT_EQ(Accept(0), AcceptResult::kNoRoom);
}

// A length field of 0 says nothing once more arrived than it could say (BIG TCP): such a
// datagram is kept whole, up to 512 KiB, and read as what follows its header; a padded
// empty IPv6 datagram is still cut to its header.
TEST_F(PacketStoreTest, DatagramsLargerThanTheirLengthFieldAreKeptWhole) {
  PrepareCapture(*state_, {"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true, /*ipv6=*/true});
  auto v4 = test::MakeDatagram({.protocol = 6, .sport = 7, .dport = 9, .payload = 70000});
  v4[2] = v4[3] = 0;
  auto v6 = test::MakeIpv6Datagram({.upper = 6, .src = "::1", .dst = "::1", .sport = 8, .dport = 10, .payload = 100000});
  v6[4] = v6[5] = 0;
  auto huge = test::MakeIpv6Datagram({.upper = 17, .src = "::1", .dst = "::1", .payload = 600000});
  huge[4] = huge[5] = 0;
  auto empty = test::MakeIpv6Datagram({.upper = 59, .src = "::1", .dst = "::1"});
  empty.resize(60, 0);  // an Ethernet frame's padding
  for (const auto* d : {&v4, &v6, &huge, &empty}) ASSERT_EQ(AcceptDatagram(*state_, d->data(), d->size()), AcceptResult::kStored);
  const int32_t lengths[] = {70040, 100060, 524288, 40};
  for (int k = 0; k < 4; ++k) EXPECT_EQ(store().lengths[k], lengths[k]) << k;
  EXPECT_EQ(std::string(state_->sniffLog.text),
            "\t0\ttcp\t10.0.0.1\t7\t10.0.0.2\t9\t70040\t64\r\n"
            "\t1\ttcp\t::1\t8\t::1\t10\t100060\t64\r\n"
            "\t2\tudp\t::1\t0\t::1\t0\t524288\t64\r\n"
            "\t3\tipv6-nonxt\t::1\t0\t::1\t0\t40\t64\r\n");
}

// The larger store takes 1,000,000 datagrams, committing memory as it fills, then ends
// the capture; a new capture's store starts empty, the fixed one as before.
TEST_F(PacketStoreTest, TheLargerStoreKeepsAMillionDatagramsThenEnds) {
  ASSERT_TRUE(UseLargerStore(*state_, true));
  auto d = test::MakeDatagram({.protocol = 255});  // its header alone: 20 bytes
  uint32_t stored = 0;
  while (AppendPacket(store(), 255, d.data(), d.size()) == AcceptResult::kStored) ++stored;
  EXPECT_EQ(stored, 999999u);  // and the millionth was the last
  EXPECT_EQ(AppendPacket(store(), 255, d.data(), d.size()), AcceptResult::kNoRoom);
  StoredPacket last;
  ASSERT_TRUE(LocatePacket(store(), 999999, last));
  EXPECT_EQ(last.offset, 19999980);
  EXPECT_EQ(std::memcmp(last.bytes, d.data(), 20), 0);
  ASSERT_TRUE(UseLargerStore(*state_, true));
  EXPECT_EQ(PublishedPacketCount(store()), 0u);
  ASSERT_TRUE(UseLargerStore(*state_, false));
  EXPECT_EQ(store().packetCapacity, 10000u);
  EXPECT_EQ(Accept(0), AcceptResult::kStored);
}

// Memory the test says the process has left: a budget less what the larger store has
// committed so far.
const CaptureState* budgeted = nullptr;
uint64_t budget = 0;
uint64_t BudgetLeft() noexcept {
  const PacketStore& s = budgeted->store;
  uint64_t used = uint64_t(s.committedBytes) + budgeted->sniffLog.committed + s.committedPackets * 22ull;
  return budget - std::min(budget, used);
}

// A step of the larger store is committed only while 64 MiB would be left after it:
// otherwise the store takes no more, as a full store, and says that memory ran short.
TEST_F(PacketStoreTest, TheLargerStoreTakesNoStepThatWouldLeaveMemoryShort) {
  // The first 65,535-byte datagram commits 16 MiB of bytes, 65,536 entries of 22 bytes and
  // 4 MiB of log (22,413,312 bytes); the 257th, 16 MiB more.
  const struct {
    uint64_t budget;
    uint32_t stored;
  } cases[] = {{67108864 + 22413312 - 1, 0}, {67108864 + 22413312, 256}, {67108864 + 22413312 + 16777216, 512}};
  auto d = test::MakeDatagram({.protocol = 17, .sport = 7, .dport = 9, .payload = 65507});
  for (const auto& c : cases) {
    ASSERT_TRUE(UseLargerStore(*state_, true));
    budgeted = state_.get();
    budget = c.budget;
    store().availableMemory = BudgetLeft;
    uint32_t stored = 0;
    while (AcceptDatagram(*state_, d.data(), d.size()) == AcceptResult::kStored) ++stored;
    EXPECT_EQ(stored, c.stored) << c.budget;
    EXPECT_TRUE(store().memoryShort.load());
    EXPECT_EQ(store().storedBytes.load(), int32_t(c.stored * 65535));
    EXPECT_EQ(PublishedPacketCount(store()), c.stored);
  }
  ASSERT_TRUE(UseLargerStore(*state_, true));
  EXPECT_FALSE(store().memoryShort.load());
}

TEST_F(PacketStoreTest, LocateRefusesTablesPointingOutsideTheArea) {
  for (int k = 0; k < 3; ++k) Accept(0);
  StoredPacket p;
  store().lengths[0] = kByteAreaSize + 1;  // as if a table entry were corrupt
  EXPECT_FALSE(LocatePacket(store(), 0, p));
  store().offsets[1] = -28;  // packet 1 would start before the area
  EXPECT_FALSE(LocatePacket(store(), 1, p));
  store().offsets[2] = 80;  // within the area, but past what was stored (3 x 28 bytes)
  EXPECT_FALSE(LocatePacket(store(), 2, p));
  store().offsets[2] = 56;
  ASSERT_TRUE(LocatePacket(store(), 2, p));
  EXPECT_EQ(p.bytes, store().bytes + 56);
}

TEST(CaptureBindAddressTest, KnownAddressesBindTheirInterfaceOthersBindAll) {
  auto state = std::make_unique<CaptureState>();
  std::strcpy(state->interfaceSlots[0], "198.18.0.1");
  auto bind = [&](const char* text) {
    PrepareCapture(*state, {text, "", "", false});
    char out[INET_ADDRSTRLEN];
    uint32_t address = CaptureBindAddress(*state);
    return std::string(inet_ntop(AF_INET, &address, out, sizeof out));
  };
  EXPECT_EQ(bind("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(bind("198.18.0.1"), "198.18.0.1");
  EXPECT_EQ(bind("198.18.0.9"), "0.0.0.0");
  EXPECT_EQ(bind("localhost"), "0.0.0.0");
  EXPECT_EQ(bind(""), "0.0.0.0");  // equals the empty slots, but is no address
  EXPECT_EQ(state->bindMatches[2], 1);
}

}  // namespace
}  // namespace trovix
