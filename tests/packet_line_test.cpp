#include "capture/packet_line.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "tests/datagram_builder.h"

namespace trovix {
namespace {

std::string LineOf(uint32_t index, const std::vector<uint8_t>& d) {
  char out[kPacketLineMax + 1];
  size_t n = FormatStoredPacketLine(index, d.data(), d.size(), out);
  return std::string(out, n);
}

TEST(PacketLine, TcpLineHasEightTabsAndTheHeaderFields) {
  auto d = test::MakeDatagram({.protocol = 6, .src = "192.168.0.5", .dst = "10.0.0.1",
                               .sport = 1034, .dport = 80, .ttl = 128});
  EXPECT_EQ(LineOf(12, d), "\t12\ttcp\t192.168.0.5\t1034\t10.0.0.1\t80\t40\t128");
  EXPECT_EQ(LineOf(0, d).substr(0, 3), "\t0\t");
}

// Every protocol is kept with the word the protocols database gives it (Debian's netbase),
// "raw" where it has none that fits the list's word (135 is "mobility-header").
TEST(PacketLine, PortlessProtocolsShowZeroPortsAndTheirNames) {
  for (auto [protocol, word] : {std::pair{1, "icmp"}, {2, "igmp"}, {255, "raw"}, {47, "gre"}, {50, "esp"},
                                {51, "ah"}, {89, "ospf"}, {103, "pim"}, {112, "vrrp"}, {132, "sctp"}, {41, "ipv6"},
                                {0, "ip"}, {58, "icmp6"}, {254, "raw"}, {135, "raw"}}) {
    auto d = test::MakeDatagram({.protocol = static_cast<uint8_t>(protocol), .src = "1.2.3.4",
                                 .dst = "5.6.7.8", .payload = 8, .ttl = 1});
    EXPECT_EQ(LineOf(3, d), std::string("\t3\t") + word + "\t1.2.3.4\t0\t5.6.7.8\t0\t28\t1");
  }
}

TEST(PacketLine, OnlyTheFirstFragmentShowsPorts) {
  auto d = test::MakeDatagram({.protocol = 17, .sport = 1234, .dport = 53, .payload = 12});
  d[6] = 0x20;  // more fragments, offset 0: the UDP header is here
  EXPECT_EQ(LineOf(1, d), "\t1\tudp\t10.0.0.1\t1234\t10.0.0.2\t53\t40\t64");
  d[6] = 0x00;
  d[7] = 0xB9;  // offset 185 (1,480 bytes): bytes 20 on are payload
  EXPECT_EQ(LineOf(1, d), "\t1\tudp\t10.0.0.1\t0\t10.0.0.2\t0\t40\t64");
  d.resize(21);  // a later fragment may be shorter than any transport header
  EXPECT_EQ(LineOf(1, d), "\t1\tudp\t10.0.0.1\t0\t10.0.0.2\t0\t40\t64");
}

TEST(PacketLine, SizeColumnIsTheTotalLengthField) {
  auto d = test::MakeDatagram({.protocol = 17, .sport = 65535, .dport = 0});
  d[2] = 0xFF;  // claims 65,280 bytes; only 28 were received
  d[3] = 0x00;
  EXPECT_EQ(LineOf(9999, d), "\t9999\tudp\t10.0.0.1\t65535\t10.0.0.2\t0\t65280\t64");
  // A total length of 0 (segmentation offload) says nothing: the size is what was received.
  auto tso = test::MakeDatagram({.protocol = 6, .sport = 40000, .dport = 80, .payload = 1976});
  tso[2] = tso[3] = 0;
  EXPECT_EQ(LineOf(0, tso), "\t0\ttcp\t10.0.0.1\t40000\t10.0.0.2\t80\t2016\t64");
}

TEST(PacketLine, LongestLineFitsItsBound) {
  auto d = test::MakeDatagram({.protocol = 17, .src = "255.255.255.255", .dst = "255.255.255.254",
                               .sport = 65535, .dport = 65535, .ttl = 255});
  d[2] = d[3] = 0xFF;
  EXPECT_EQ(LineOf(9999, d).size(), 63u);
  auto v6 = test::MakeIpv6Datagram({.src = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
                                    .dst = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe", .sport = 65535,
                                    .dport = 65535, .hopLimit = 255});
  v6[4] = v6[5] = 0xFF;
  EXPECT_LE(LineOf(9999, v6).size(), kPacketLineMax);
}

TEST(PacketLine, Ipv6WalksItsExtensionHeadersToTheUpperLayer) {
  using test::FragmentHeader;
  std::vector<uint8_t> hopByHop(8, 0), routing(24, 0), authentication(16, 0);
  struct Case {
    test::Ipv6Shape shape;
    const char* line;
  } cases[] = {
      {{.src = "2001:DB8:0:0::0001", .sport = 5353, .dport = 53, .payload = 4},
       "\t0\tudp\t2001:db8::1\t5353\t2001:db8::2\t53\t52\t64"},
      {{.upper = 6, .sport = 443, .dport = 50000, .hopLimit = 1, .extensions = {{0, hopByHop}, {43, routing}}},
       "\t0\ttcp\t2001:db8::1\t443\t2001:db8::2\t50000\t92\t1"},
      {{.sport = 7, .dport = 9, .extensions = {{51, authentication}, FragmentHeader(0, true)}},
       "\t0\tudp\t2001:db8::1\t7\t2001:db8::2\t9\t72\t64"},
      {{.sport = 7, .dport = 9, .extensions = {FragmentHeader(1232, false)}},
       "\t0\tudp\t2001:db8::1\t0\t2001:db8::2\t0\t56\t64"},
      {{.upper = 58, .src = "::1", .dst = "::1", .payload = 8}, "\t0\ticmp6\t::1\t0\t::1\t0\t48\t64"},
      {{.upper = 50, .payload = 8}, "\t0\tesp\t2001:db8::1\t0\t2001:db8::2\t0\t48\t64"},
      {{.upper = 47, .payload = 4}, "\t0\tgre\t2001:db8::1\t0\t2001:db8::2\t0\t44\t64"},
      {{.upper = 59}, "\t0\tipv6-nonxt\t2001:db8::1\t0\t2001:db8::2\t0\t40\t64"},
  };
  for (const Case& c : cases) EXPECT_EQ(LineOf(0, test::MakeIpv6Datagram(c.shape)), c.line);

  // A routing header cut short: the upper layer is unknown, so the datagram is raw.
  auto cut = test::MakeIpv6Datagram({.extensions = {{43, routing}}});
  cut.resize(56);
  EXPECT_EQ(LineOf(0, cut), "\t0\traw\t2001:db8::1\t0\t2001:db8::2\t0\t72\t64");
  // UDP whose ports were not received is never stored, as for IPv4.
  auto shortUdp = test::MakeIpv6Datagram({.sport = 1, .dport = 2});
  shortUdp.resize(42);
  EXPECT_EQ(LineOf(0, shortUdp), "");
}

// The filters keep their IPv6 addresses in inet_ntop's text, so a datagram's must be the same.
TEST(PacketLine, Ipv6TextIsInetNtops) {
  auto expectSame = [](const uint8_t* address) {
    char ours[kAddressTextSize], theirs[INET6_ADDRSTRLEN];
    size_t n = FormatIpv6(address, ours);
    ASSERT_NE(inet_ntop(AF_INET6, address, theirs, sizeof theirs), nullptr);
    EXPECT_EQ(std::string(ours), theirs);
    EXPECT_EQ(n, std::strlen(ours));
  };
  const char* table[] = {"::", "::1", "1::", "2001:db8::1", "2001:db8:0:0:1:0:0:1", "1:0:0:2:0:0:0:3",
                         "1:0:2:3:4:5:6:7", "0:1:0:0:0:0:0:0", "ABCD:EF01:2345:6789:abcd:ef01:2345:6789",
                         "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe", "fe80::10:100:1000", "::ffff:192.0.2.1",
                         "::ffff:0.0.0.0", "::1.2.3.4", "::0.1.0.0", "::ffff:0:1.2.3.4", "::1:0:0", "0:0:0:0:1::"};
  for (const char* text : table) {
    in6_addr address;
    ASSERT_EQ(inet_pton(AF_INET6, text, &address), 1) << text;
    SCOPED_TRACE(text);
    expectSame(address.s6_addr);
  }
  // Half the groups zero, so that runs of every length and the dotted forms come up.
  std::mt19937 random(5952);
  for (int k = 0; k < 5000; ++k) {
    uint8_t address[16];
    for (int i = 0; i < 16; i += 2) {
      uint32_t r = random();
      uint32_t group = r % 8 < 4 ? 0 : r % 8 == 4 ? 0xFFFF : (r >> 8) & (r % 8 == 5 ? 0xF : r % 8 == 6 ? 0xFFF : 0xFFFF);
      address[i] = static_cast<uint8_t>(group >> 8);
      address[i + 1] = static_cast<uint8_t>(group);
    }
    expectSame(address);
  }
}

TEST(PacketLine, NothingForBytesNoCaptureWouldStore) {
  auto u = test::MakeDatagram({.protocol = 17});
  u.resize(22);
  EXPECT_EQ(LineOf(0, u), "");
  EXPECT_EQ(LineOf(10000, test::MakeDatagram({.protocol = 1})), "");
}

}  // namespace
}  // namespace trovix
