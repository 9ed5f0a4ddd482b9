// The info line of one datagram per protocol, and the readers it is made with.
#include <gtest/gtest.h>

#include "report/packet_info.h"
#include "report/packet_meaning.h"
#include "tests/quic_vectors.h"
#include "tests/wire_builders.h"

namespace trovix::test {
namespace {

std::string Info(const Bytes& d) { return PacketInfoText(d.data(), d.size()); }

Bytes TcpFlags(uint8_t flags, uint16_t source = 40000, uint16_t destination = 443) {
  return Cat(U16(source), U16(destination), Hex("00 00 00 01 00 00 00 00 50"), Bytes{flags}, Hex("ff ff 00 00 00 00"));
}

TEST(PacketInfo, OneLinePerProtocol) {
  Bytes answers = Dns(0x8180, {1, 2, 0, 0},
                      Cat(Question(Name("example.org"), 1), Rr(kToQuestion, 1, Hex("c6 33 64 07")),
                          Rr(kToQuestion, 1, Hex("c6 33 64 08"))));
  Bytes chain = Dns(0x8180, {1, 2, 0, 0},
                    Cat(Question(Name("www.example.org"), 28), Rr(kToQuestion, 5, Name("edge.example.net")),
                        Rr(Name("edge.example.net"), 28, Address("2001:db8::7"))));
  Bytes serverHello = Record(22, Handshake(2, Cat(U16(0x0303), Bytes(32, 0x5A), Bytes{0}, U16(0x1301), Bytes{0},
                                                  Vector16(Extension(16, Vector16(Hex("02 68 32")))))));
  Bytes discover = Dhcp(1, "39 03 f3 26 00 00 80 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                        Cat(Hex("35 01 01 0c 06"), Text("laptop"), Hex("ff")));
  Bytes offer = Dhcp(2, "39 03 f3 26 00 00 00 00 00 00 00 00 c6 12 00 0a c6 12 00 01 00 00 00 00", Hex("35 01 02 ff"));
  Bytes ntp = Ntp("23 00 06 e9 00 00 00 00 00 00 00 00 00 00 00 00", {}, 0xe9b47780);
  struct Row {
    Bytes datagram;
    const char* info;
  } rows[] = {
      {V4(17, Udp(53124, 53, Dns(0x0100, {1, 0, 0, 0}, Question(Name("example.org"), 1)))), "DNS query A example.org"},
      {V4(17, Udp(53, 53124, answers)), "DNS response A example.org 198.51.100.7 (+1)"},
      {V4(17, Udp(53, 53124, chain)), "DNS response AAAA www.example.org 2001:db8::7 (+1)"},
      {V4(17, Udp(53, 53124, Dns(0x8183, {1, 0, 0, 0}, Question(Name("nothing.example"), 1)))),
       "DNS response A nothing.example NXDOMAIN"},
      {V4(17, Udp(5353, 5353, Dns(0x0000, {1, 0, 0, 0}, Question(Name("printer.local"), 28)))),
       "MDNS query AAAA printer.local"},
      {V4(6, Tcp(40000, 443, ClientHello())), "TLS ClientHello example.org h2,http/1.1"},
      {V4(6, Tcp(443, 40000, serverHello)), "TLS ServerHello h2"},
      {V4(6, Tcp(443, 40000, Record(23, Bytes(8, 0x77)))), "TLS application_data"},
      {V4(6, Tcp(40000, 80, Text("GET /index.html HTTP/1.1\r\nHost: example.org\r\n\r\n"))),
       "HTTP GET /index.html example.org"},
      {V4(6, Tcp(80, 40000, Text("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html>"))), "HTTP 200 OK text/html"},
      {V4(17, Udp(68, 67, discover)), "DHCP Discover laptop"},
      {V4(17, Udp(67, 68, offer)), "DHCP Offer 198.18.0.10"},
      {V6(17, Udp(546, 547, Hex("01 12 34 56"))), "DHCPV6 Solicit"},
      {V4(17, Udp(40000, 123, ntp)), "NTP client v4"},
      {V4(17, Udp(54321, 443, QuicBytes(kQuicClientInitial))), "QUIC Initial example.com"},
      {V4(6, TcpFlags(0x02)), "TCP SYN"},
      {V4(6, TcpFlags(0x12, 443, 40000)), "TCP SYN ACK"},
      {V4(6, TcpFlags(0x11)), "TCP FIN ACK"},
      {V4(1, Hex("08 00 f7 ff 00 01 00 01")), "ICMP echo request"},
      {V6(58, Hex("81 00 00 00 00 01 00 01")), "ICMP6 echo reply"},
      {V4(17, Text("rest"), {}, 0x20B9), "UDP fragment"},
      {V4(17, Hex("9c 40")), "UDP truncated"},
      {Hex("45 00 00 54 12 34"), ""},
  };
  for (const Row& row : rows) EXPECT_EQ(Info(row.datagram), row.info);
}

// A name that is not printable comes out escaped: no tab or line end reaches a column.
TEST(PacketInfo, EscapesTheNamesBytes) {
  Bytes query = Dns(0x0100, {1, 0, 0, 0}, Question(Cat(Bytes{3}, Text("a\tb"), Bytes{0}), 1));
  EXPECT_EQ(Info(V4(17, Udp(53124, 53, query))), "DNS query A a\\009b");
}

// A CNAME chain is read in order, each record with its owner, so that it can be taken back.
TEST(PacketMeaning, DnsAnswersKeepOwnersTypesAndAddresses) {
  Bytes chain = Dns(0x8180, {1, 3, 0, 0},
                    Cat(Question(Name("www.example.org"), 1), Rr(kToQuestion, 5, Name("a.example.net")),
                        Rr(Name("a.example.net"), 5, Name("b.example.net")), Rr(Name("b.example.net"), 1, Hex("c6 33 64 09"))));
  Bytes d = V4(17, Udp(53, 53124, chain));
  DnsReading dns;
  ASSERT_TRUE(ReadDnsMessage(ByteReader(d.data() + 28, d.size() - 28), false, dns));
  ASSERT_EQ(dns.answersKept, 3u);
  EXPECT_EQ(dns.kept[0].owner, "www.example.org");
  EXPECT_EQ(dns.kept[0].data, "a.example.net");
  EXPECT_EQ(dns.kept[2].owner, "b.example.net");
  EXPECT_EQ(dns.kept[2].addressLength, 4);
  EXPECT_EQ(dns.kept[2].address[3], 9);
}

}  // namespace
}  // namespace trovix::test
