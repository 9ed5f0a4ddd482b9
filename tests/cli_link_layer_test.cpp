// Finding the IPv4 datagram in frames of the link types capture files carry.
#include <pcap/pcap.h>

#include <gtest/gtest.h>

#include <vector>

#include "cli/link_layer.h"

namespace trovix::cli {
namespace {

// What Ipv4InFrame finds: the offset of the datagram and its length, or -1.
std::pair<long, size_t> Found(int linkType, const std::vector<uint8_t>& frame) {
  const uint8_t* datagram = nullptr;
  size_t length = 0;
  if (!Ipv4InFrame(linkType, frame.data(), frame.size(), datagram, length)) return {-1, 0};
  return {datagram - frame.data(), length};
}

TEST(LinkLayer, EachHeaderIsSkippedAndOnlyIpv4Found) {
  const std::vector<uint8_t> ip = {0x45, 0, 0, 20};
  auto with = [&ip](std::vector<uint8_t> header) {
    header.insert(header.end(), ip.begin(), ip.end());
    return header;
  };
  std::vector<uint8_t> mac(12, 0xAA);
  auto ethernet = [&](std::vector<uint8_t> types) {
    std::vector<uint8_t> h = mac;
    h.insert(h.end(), types.begin(), types.end());
    return with(h);
  };
  EXPECT_EQ(Found(DLT_EN10MB, ethernet({0x08, 0x00})), std::make_pair(14L, size_t{4}));
  EXPECT_EQ(Found(DLT_EN10MB, ethernet({0x81, 0x00, 0, 5, 0x08, 0x00})), std::make_pair(18L, size_t{4}));
  EXPECT_EQ(Found(DLT_EN10MB, ethernet({0x86, 0xDD})).first, -1);  // IPv6
  std::vector<uint8_t> cooked(16, 0);
  cooked[14] = 0x08;
  EXPECT_EQ(Found(DLT_LINUX_SLL, with(cooked)), std::make_pair(16L, size_t{4}));
  std::vector<uint8_t> cooked2(20, 0);
  cooked2[0] = 0x08;
  EXPECT_EQ(Found(DLT_LINUX_SLL2, with(cooked2)), std::make_pair(20L, size_t{4}));
  EXPECT_EQ(Found(DLT_RAW, ip), std::make_pair(0L, size_t{4}));
  EXPECT_EQ(Found(DLT_RAW, {0x60, 0, 0, 0}).first, -1);
  EXPECT_EQ(Found(DLT_NULL, with({2, 0, 0, 0})), std::make_pair(4L, size_t{4}));
  EXPECT_EQ(Found(DLT_NULL, with({0, 0, 0, 2})), std::make_pair(4L, size_t{4}));  // written big-endian
  EXPECT_EQ(Found(DLT_LOOP, with({0, 0, 0, 2})), std::make_pair(4L, size_t{4}));
  EXPECT_EQ(Found(DLT_LOOP, with({0, 0, 0, 24})).first, -1);  // an IPv6 family number
}

TEST(LinkLayer, FramesShorterThanTheirHeaderGiveNothing) {
  EXPECT_EQ(Found(DLT_EN10MB, std::vector<uint8_t>(13, 0)).first, -1);
  EXPECT_EQ(Found(DLT_EN10MB, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x81, 0, 0, 1}).first, -1);
  EXPECT_EQ(Found(DLT_LINUX_SLL, std::vector<uint8_t>(16, 0)).first, -1);
  EXPECT_EQ(Found(DLT_NULL, {2, 0, 0}).first, -1);
  EXPECT_EQ(Found(DLT_EN10MB, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x08, 0}).first, -1);  // header alone
}

}  // namespace
}  // namespace trovix::cli
