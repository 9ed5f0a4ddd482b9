// Finding the IP datagram in frames of the link types capture files carry.
#include <pcap/pcap.h>

#include <gtest/gtest.h>

#include <vector>

#include "capture/sources/link_layer.h"

namespace trovix {
namespace {

// What IpInFrame finds: the offset of the datagram and its length, or -1.
std::pair<long, size_t> Found(int linkType, const std::vector<uint8_t>& frame) {
  const uint8_t* datagram = nullptr;
  size_t length = 0;
  if (!IpInFrame(linkType, frame.data(), frame.size(), datagram, length)) return {-1, 0};
  return {datagram - frame.data(), length};
}

TEST(LinkLayer, EachHeaderIsSkippedAndIpv4FoundOnlyWhereNamed) {
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
  EXPECT_EQ(Found(DLT_EN10MB, ethernet({0x86, 0xDD})).first, -1);  // IPv4 behind IPv6's type
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

TEST(LinkLayer, Ipv6IsFoundBehindEachHeaderOnlyWhole) {
  // 2001:db8::1 -> 2001:db8::2, UDP 5000 -> 5001 with no payload.
  const std::vector<uint8_t> ip6 = {0x60, 0, 0, 0, 0, 8, 17, 64, 0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0,
                                    0,    0, 0, 1, 0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2,
                                    0x13, 0x88, 0x13, 0x89, 0, 8, 0, 0};
  std::vector<uint8_t> mac(12, 0xAA);
  auto then = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::pair<int, std::vector<uint8_t>> cases[] = {
      {DLT_EN10MB, then(mac, {0x86, 0xDD})}, {DLT_EN10MB, then(mac, {0x81, 0, 0, 5, 0x88, 0xA8, 0, 6, 0x86, 0xDD})},
      {DLT_LINUX_SLL, then(std::vector<uint8_t>(14, 0), {0x86, 0xDD})},
      {DLT_LINUX_SLL2, then({0x86, 0xDD}, std::vector<uint8_t>(18, 0))}, {DLT_IPV6, {}},
      {DLT_NULL, {10, 0, 0, 0}}, {DLT_NULL, {24, 0, 0, 0}}, {DLT_NULL, {28, 0, 0, 0}}, {DLT_NULL, {30, 0, 0, 0}},
      {DLT_NULL, {0, 0, 0, 30}}, {DLT_LOOP, {0, 0, 0, 10}}, {DLT_LOOP, {0, 0, 0, 24}}, {DLT_LOOP, {0, 0, 0, 28}},
      {DLT_LOOP, {0, 0, 0, 30}}};
  for (const auto& [linkType, header] : cases) {
    std::vector<uint8_t> frame = then(header, ip6);
    EXPECT_EQ(Found(linkType, frame), std::make_pair(static_cast<long>(header.size()), size_t{48})) << linkType;
    EXPECT_EQ(Found(linkType, std::vector<uint8_t>(frame.begin(), frame.begin() + header.size() + 39)).first, -1);
    frame[header.size()] = 0x40;
    EXPECT_EQ(Found(linkType, frame).first, -1) << linkType;
  }
  EXPECT_EQ(Found(DLT_RAW, ip6), std::make_pair(0L, size_t{48}));
  EXPECT_EQ(Found(DLT_RAW, std::vector<uint8_t>(ip6.begin(), ip6.begin() + 39)).first, -1);
  EXPECT_EQ(Found(DLT_IPV4, ip6).first, -1);
  EXPECT_EQ(Found(DLT_LOOP, then({30, 0, 0, 0}, ip6)).first, -1);  // LOOP's family is big-endian only
}

TEST(LinkLayer, FramesShorterThanTheirHeaderGiveNothing) {
  EXPECT_EQ(Found(DLT_EN10MB, std::vector<uint8_t>(13, 0)).first, -1);
  EXPECT_EQ(Found(DLT_EN10MB, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x81, 0, 0, 1}).first, -1);
  EXPECT_EQ(Found(DLT_LINUX_SLL, std::vector<uint8_t>(16, 0)).first, -1);
  EXPECT_EQ(Found(DLT_NULL, {2, 0, 0}).first, -1);
  EXPECT_EQ(Found(DLT_EN10MB, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x08, 0}).first, -1);  // header alone
}

}  // namespace
}  // namespace trovix
