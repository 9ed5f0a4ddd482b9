// The capture file image: header and record fields as other tools read them.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "capture/packet_store.h"
#include "capture/sources/pcap_writer.h"
#include "tests/datagram_builder.h"

namespace trovix {
namespace {

uint32_t Word(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, &b[at], 4);
  return v;
}

TEST(CaptureFile, RecordsKeepTimeLengthsAndTheTotalLengthOfACutDatagram) {
  auto state = std::make_unique<CaptureState>();
  auto whole = test::MakeDatagram({.protocol = 17, .sport = 1, .dport = 2, .payload = 4});
  auto cut = test::MakeDatagram({.protocol = 6, .sport = 3, .dport = 4, .payload = 60});
  AppendPacket(state->store, 17, whole.data(), whole.size(), nullptr, nullptr, 1700000000123456789);
  AppendPacket(state->store, 6, cut.data(), 40, nullptr, nullptr, 1700000001000000007);

  std::vector<uint8_t> file;
  ASSERT_TRUE(PacketCaptureBytes(*state, file));
  ASSERT_EQ(file.size(), 24u + 16 + 32 + 16 + 40);
  EXPECT_EQ(Word(file, 0), 0xa1b23c4du);  // nanosecond timestamps
  EXPECT_EQ(Word(file, 20), 101u);        // raw IPv4
  EXPECT_EQ(Word(file, 24), 1700000000u);
  EXPECT_EQ(Word(file, 28), 123456789u);
  EXPECT_EQ(Word(file, 32), 32u);
  EXPECT_EQ(Word(file, 36), 32u);
  EXPECT_EQ(std::memcmp(&file[40], whole.data(), 32), 0);
  EXPECT_EQ(Word(file, 76), 7u);
  EXPECT_EQ(Word(file, 80), 40u);   // captured
  EXPECT_EQ(Word(file, 84), 100u);  // on the wire
}

TEST(CaptureFile, OnlyNamesEndingInPcapAskForIt) {
  EXPECT_TRUE(IsPacketCaptureName("/tmp/a.pcap"));
  EXPECT_TRUE(IsPacketCaptureName("A.PcAp"));
  EXPECT_FALSE(IsPacketCaptureName("a.pcapng"));
  EXPECT_FALSE(IsPacketCaptureName("pcap"));
  EXPECT_FALSE(IsPacketCaptureName("a.pcap.txt"));
}

}  // namespace
}  // namespace trovix
