// The header fields of a one-line summary, and where the payload begins.
#include "report/header_fields.h"

#include <gtest/gtest.h>

#include "tests/datagram_builder.h"

namespace trovix::test {
namespace {

TEST(HeaderFields, Ipv4TcpAndLaterFragmentsAndIcmpOfEachFamily) {
  auto tcp = MakeDatagram({.protocol = 6, .payload = 5});
  tcp[4] = 0x12, tcp[5] = 0x34, tcp[6] = 0x40;               // id 4660, DF
  tcp[27] = 1, tcp[31] = 2, tcp[32] = 0x60, tcp[33] = 0x12;  // seq 1, ack 2, data offset 24, SYN ACK
  tcp[34] = 0x02;                                            // window 512
  HeaderFields f = ReadHeaderFields(tcp.data(), tcp.size());
  EXPECT_TRUE(f.tcp && f.fragmentFields && f.dontFragment && !f.moreFragments && !f.ipv6);
  EXPECT_EQ(f.id, 4660u);
  EXPECT_EQ(f.seq, 1u);
  EXPECT_EQ(f.ack, 2u);
  EXPECT_EQ(f.tcpFlags, 0x12);
  EXPECT_EQ(f.window, 512);
  EXPECT_EQ(f.payloadAt, 44u);

  tcp[6] = 0x20, tcp[7] = 0xB9;  // MF, offset 185 * 8: payload bytes, not a TCP header
  f = ReadHeaderFields(tcp.data(), tcp.size());
  EXPECT_TRUE(!f.tcp && f.moreFragments);
  EXPECT_EQ(f.fragmentOffset, 1480u);
  EXPECT_EQ(f.payloadAt, 20u);

  auto icmp6OverIpv4 = MakeDatagram({.protocol = 58, .payload = 8});
  f = ReadHeaderFields(icmp6OverIpv4.data(), icmp6OverIpv4.size());
  EXPECT_FALSE(f.icmp);
  EXPECT_EQ(f.payloadAt, 20u);

  auto icmp6 = MakeIpv6Datagram({.upper = 58, .payload = 12, .extensions = {FragmentHeader(0, true)}});
  icmp6[1] = 0x0A, icmp6[2] = 0xBC, icmp6[3] = 0xDE;  // flow label 0xabcde
  icmp6[48] = 128;                                    // echo request, code 0
  f = ReadHeaderFields(icmp6.data(), icmp6.size());
  EXPECT_TRUE(f.ipv6 && f.icmp && f.fragmentFields && f.moreFragments);
  EXPECT_EQ(f.flowLabel, 0xABCDEu);
  EXPECT_EQ(f.id, 7u);
  EXPECT_EQ(f.icmpType, 128);
  EXPECT_EQ(f.payloadAt, 56u);
  f = ReadHeaderFields(icmp6.data(), 44);  // cut inside the fragment header
  EXPECT_EQ(f.payloadAt, 44u);
}

}  // namespace
}  // namespace trovix::test
