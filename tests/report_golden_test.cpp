// Whole reports of IPv6 datagrams, ICMPv6 messages and named IGMP messages, and the IPv4
// header's and the application protocols' sections, pinned in golden files that list every
// text these layers print. After an intended change, run with TROVIX_REGENERATE_GOLDEN=1 and
// read the diff before committing it.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <array>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "capture/packet_line.h"
#include "report/packet_report.h"
#include "tests/quic_vectors.h"
#include "tests/report_test_support.h"
#include "tests/wire_builders.h"

namespace trovix::test {
namespace {

struct Case {
  const char* name;
  uint8_t protocol;  // as the capture stores it
  Bytes datagram;
  const char* from = nullptr;  // the title word of the first section kept; nullptr: all
};

std::vector<Case> Cases() {
  const Bytes target = Address("2001:db8::2");
  return {
      {"udp with a payload", 17, V6(17, Concat(Hex("0f a0 00 35 00 14 ab cd"), Text("hello, world")),
                                    "2001:db8::1", "2001:db8::2", "6b 81 23 45")},
      {"tcp", 6, V6(6, Concat(Hex("c3 50 00 50 00 00 00 01 00 00 00 02 50 18 ff ff 12 34 00 00"), Text("GET /")))},
      {"hop-by-hop options before udp", 17, V6(0, Hex("11 00 01 04 00 00 00 00 0f a0 00 35 00 08 00 00"))},
      {"first fragment", 17, V6(44, Concat(Hex("11 00 00 01 12 34 56 78 0f a0 00 35 05 c8 00 00"), Text("abcd")))},
      {"later fragment", 17, V6(44, Concat(Hex("11 00 05 a8 12 34 56 78"), Text("efgh")))},
      {"routing, destination options and authentication before tcp", 6,
       V6(43, Hex("3c 00 00 00 00 00 00 00 33 00 01 04 00 00 00 00 06 01 00 00 00 00 01 00 00 00 00 09"
                  " c3 50 00 50 00 00 00 01 00 00 00 00 50 02 20 00 00 00 00 00"))},
      {"routing header cut short", 255, V6(43, Hex("3b 02 00 00 00 00 00 00 00 00 00 00"))},
      {"fixed header cut short", 255, Hex("60 00 00 00 00 00 3b 40 20 01 0d b8 00 00 00 00 00 00 00 00 00 00")},
      {"no next header", 59, V6(59, {})},
      {"echo request", kIcmpv6, V6(58, Concat(Hex("80 00 7b 2c 12 34 00 01"), Text("abcd")))},
      {"echo reply", kIcmpv6, V6(58, Hex("81 00 7a 2c 12 34 00 01"))},
      {"neighbour solicitation", kIcmpv6,
       V6(58, Concat(Concat(Hex("87 00 4a 3b 00 00 00 00"), target), Hex("01 01 02 00 00 00 00 01")), "fe80::1",
          "ff02::1:ff00:2")},
      {"neighbour advertisement", kIcmpv6, V6(58, Concat(Hex("88 00 4a 3b e0 00 00 00"), target))},
      {"router solicitation", kIcmpv6, V6(58, Hex("85 00 cc dd 00 00 00 00"), "fe80::1", "ff02::2")},
      {"router advertisement", kIcmpv6, V6(58, Hex("86 00 cc dd 40 80 07 08 00 00 75 30 00 00 03 e8"))},
      {"redirect", kIcmpv6,
       V6(58, Concat(Concat(Hex("89 00 cc dd 00 00 00 00"), Address("fe80::1")), Address("2001:db8::99")))},
      {"destination unreachable quoting udp", kIcmpv6,
       V6(58, Concat(Hex("01 04 aa bb 00 00 00 00"), Quoted(17, "9c 40 82 9a 00 08 00 00")), "2001:db8::2",
          "2001:db8::1")},
      {"destination unreachable with an unknown code, quoting nothing", kIcmpv6, V6(58, Hex("01 09 aa bb 00 00 00 00"))},
      {"packet too big quoting tcp", kIcmpv6, V6(58, Concat(Hex("02 00 11 22 00 00 05 00"), Quoted(6, "c3 50 00 50")))},
      {"time exceeded quoting an echo request", kIcmpv6,
       V6(58, Concat(Hex("03 00 11 22 00 00 00 00"), Quoted(58, "80 00 00 00 00 01 00 01")))},
      {"parameter problem", kIcmpv6, V6(58, Concat(Hex("04 01 11 22 00 00 00 28"), Quoted(0x99, "")))},
      {"multicast listener query", kIcmpv6, V6(58, Concat(Hex("82 00 cc dd 27 10 00 00"), Address("::")))},
      {"multicast listener report", kIcmpv6, V6(58, Concat(Hex("83 00 cc dd 00 00 00 00"), Address("ff02::fb")))},
      {"multicast listener done", kIcmpv6, V6(58, Concat(Hex("84 00 cc dd 00 00 00 00"), Address("ff02::fb")))},
      {"version 2 listener report with two records", kIcmpv6,
       V6(58, Concat(Concat(Concat(Concat(Concat(Hex("8f 00 cc dd 00 00 00 02 04 00 00 01"), Address("ff02::fb")),
                                         Address("2001:db8::1")),
                                  Hex("02 01 00 00")),
                           Address("ff05::2")),
                    Hex("00 00 00 00")))},
      {"unknown type", kIcmpv6, V6(58, Hex("c8 03 00 00"))},
      {"igmp v3 report with two records", 2,
       Datagram(Hex("22 00 ab cd 00 00 00 02 04 01 00 01 ef 01 02 03 c6 12 00 01 09 09 09 09 02 00 00 00 ef 04 05 06"))},
      {"igmp v2 leave", 2, Datagram(Hex("17 00 0c 05 ef 01 02 03"))},
  };
}

std::string GoldenText(const std::vector<Case>& cases) {
  std::string all;
  for (size_t k = 0; k < cases.size(); ++k) {
    const Case& c = cases[k];
    std::string report = BuildDatagramReport(static_cast<int64_t>(k), c.protocol, c.datagram.data(),
                                             c.datagram.size(), {true, false, false});
    if (c.from != nullptr) {
      size_t from = report.find("\r\npacket" + std::to_string(k) + " " + c.from + "\r\n");
      report = from == std::string::npos ? "no " + std::string(c.from) + " section\r\n" : report.substr(from + 2);
    }
    all += "# ";
    all += c.name;
    all += '\n';
    // The file keeps plain line ends; none of these payloads holds a CR or LF of its own.
    for (char ch : report) {
      if (ch != '\r') all += ch;
    }
  }
  return all;
}

void ExpectGolden(const std::string& name, const std::vector<Case>& cases) {
  const std::string path = std::string(TROVIX_GOLDEN_DIR) + "/" + name;
  std::string actual = GoldenText(cases);
  if (std::getenv("TROVIX_REGENERATE_GOLDEN") != nullptr) {
    std::ofstream(path, std::ios::binary) << actual;
    GTEST_SKIP() << "rewrote " << path;
  }
  std::ifstream file(path, std::ios::binary);
  ASSERT_TRUE(file) << path;
  std::stringstream expected;
  expected << file.rdbuf();
  EXPECT_EQ(actual, expected.str());
}

TEST(ReportGolden, Ipv6Icmpv6AndIgmpMessages) { ExpectGolden("report_layers.txt", Cases()); }

// QUIC: a long header's fields up to its connection ids, then `rest`.
Bytes QuicLong(uint8_t first, uint32_t version, const Bytes& destination, const Bytes& source, const Bytes& rest) {
  return Cat(Bytes{first}, U32(version), Bytes{static_cast<uint8_t>(destination.size())}, destination,
             Bytes{static_cast<uint8_t>(source.size())}, source, rest);
}

std::vector<Case> SectionCases() {
  Bytes query = Dns(0x0100, {1, 0, 0, 0}, Question(Name("example.org"), 1));
  Bytes every = Dns(0x8580, {1, 11, 1, 1},
                    Cat(Question(Name("example.org"), 255), Rr(kToQuestion, 1, Hex("c6 33 64 07")),
                        Rr(kToQuestion, 28, Hex("20 01 0d b8 00 00 00 00 00 00 00 00 00 00 00 07")),
                        Rr(Name("www.example.org"), 5, kToQuestion), Rr(kToQuestion, 2, Name("ns1.example.org")),
                        Rr(Name("7.100.51.198.in-addr.arpa"), 12, kToQuestion),
                        Rr(kToQuestion, 15, Cat(U16(10), Name("mail.example.org"))),
                        Rr(kToQuestion, 16, Cat(Bytes{11}, Text("v=spf1 -all"), Bytes{4}, Text("a\"b\n"))),
                        Rr(Name("_sip._udp.example.org"), 33, Cat(U16(0), U16(5), U16(5060), Name("sip.example.org"))),
                        Rr(kToQuestion, 65,
                           Cat(U16(1), Name(""), Hex("00 01 00 06 02 68 32 02 68 33 00 03 00 02 20 fb"),
                               Hex("00 04 00 04 c6 33 64 07 00 05 00 03 01 02 03"),
                               Hex("00 06 00 10 20 01 0d b8 00 00 00 00 00 00 00 00 00 00 00 07"))),
                        Rr(kToQuestion, 99, Hex("01 02 03")), Rr(kToQuestion, 1, Hex("01 02 03 04 05")),
                        Rr(kToQuestion, 6,
                           Cat(Name("ns1.example.org"), Name("hostmaster.example.org"), U32(2024010101), U32(7200),
                               U32(3600), U32(1209600), U32(300)),
                           1, 3600),
                        Rr(Name(""), 41, {}, 1232, 0x00008000)));
  Bytes longName = Name("a123456789012345678901234567890123456789012345678901234567890ab."
                        "a123456789012345678901234567890123456789012345678901234567890ab."
                        "a123456789012345678901234567890123456789012345678901234567890ab."
                        "a123456789012345678901234567890123456789012345678901234567890ab.x");
  Bytes tcpResponse = Dns(0x8183, {1, 0, 1, 0},
                          Cat(Question(Name("nothing.example"), 28),
                              Rr(Hex("c0 14"), 6, Cat(Hex("02 6e 73 c0 0c"), Hex("c0 0c"), U32(1), U32(2), U32(3), U32(4), U32(5)))));
  Bytes hello = ClientHello();
  Bytes serverHello = Record(22, Handshake(2, Cat(U16(0x0303), Bytes(32, 0x5A), Bytes{0}, U16(0x1301), Bytes{0},
                                                  Vector16(Cat(Extension(43, U16(0x0304)),
                                                               Extension(16, Vector16(Hex("02 68 32"))))))));
  Bytes initial = QuicBytes(kQuicClientInitial);
  Bytes tampered = initial;
  tampered.back() ^= 1;
  Bytes clientId = Hex("83 94 c8 f0 3e 51 57 08");
  Bytes serverId = Hex("f0 67 a5 50 2a 42 62 b5");
  return {
      {"ipv4 with a router alert, no-operation and end of options", 17,
       V4(17, Udp(40000, 40001, Text("x")), Hex("94 04 00 00 01 00 00 00")), "ipv4"},
      {"ipv4 later fragment with an option of invalid length", 17, V4(17, Text("rest"), Hex("07 09 04 00"), 0x20B9),
       "ipv4"},
      {"ipv4 options cut short", 255, Cat(Hex("4f 00 00 3c"), Bytes(20, 0)), "ipv4"},
      {"ipv4 cut inside its fixed header", 255, Hex("45 00 00 54 12 34"), "ipv4"},
      {"dns query", 17, V4(17, Udp(53124, 53, query)), "dns"},
      {"dns response with every record type", 17, V4(17, Udp(53, 53124, every)), "dns"},
      {"dns name pointing at itself", 17, V4(17, Udp(53, 53124, Dns(0x8180, {1, 1, 0, 0}, Cat(Question(Hex("c0 0c"), 1))))),
       "dns"},
      {"dns name longer than 255 bytes", 17, V4(17, Udp(53124, 53, Dns(0x0100, {1, 0, 0, 0}, Question(longName, 1)))),
       "dns"},
      {"dns label of an unknown type", 17, V4(17, Udp(53124, 53, Dns(0x0100, {1, 0, 0, 0}, Question(Hex("41 00"), 1)))),
       "dns"},
      {"dns response cut short", 17,
       V4(17, Udp(53, 53124, Cat(Dns(0x8180, {1, 2, 0, 0}, Question(Name("example.org"), 1)),
                                 Rr(kToQuestion, 1, Hex("c6 33 64 07")), Hex("c0 0c 00 01")))),
       "dns"},
      {"dns over tcp, no such name", 6, V4(6, Tcp(53, 40000, Cat(U16(static_cast<uint16_t>(tcpResponse.size())), tcpResponse))),
       "dns"},
      {"dns over tcp, continued in the next segment", 6, V4(6, Tcp(40000, 53, Cat(U16(300), query))), "dns"},
      {"dns over ipv6", 17, V6(17, Udp(53124, 53, query)), "dns"},
      {"mdns question asking for a unicast answer, and a cache-flush answer", 17,
       V4(17, Udp(5353, 5353, Dns(0x8400, {1, 1, 0, 0},
                                 Cat(Question(Name("_ipp._tcp.local"), 12, 0x8001),
                                     Rr(kToQuestion, 12, Name("printer._ipp._tcp.local"), 0x8001, 120))))),
       "mdns"},
      {"llmnr query", 17, V4(17, Udp(50000, 5355, Dns(0x0000, {1, 0, 0, 0}, Question(Name("desktop"), 28)))), "llmnr"},
      {"tls client hello", 6, V4(6, Tcp(40000, 443, hello)), "tls"},
      {"tls client hello cut by the segment's end", 6, V4(6, Tcp(40000, 8443, Bytes(hello.begin(), hello.begin() + 150))),
       "tls"},
      {"tls server hello, change_cipher_spec and application data", 6,
       V4(6, Tcp(443, 40000, Cat(serverHello, Record(20, {1}), Record(23, Bytes(8, 0x77))))), "tls"},
      {"tls alerts, then bytes that are no record", 6,
       V4(6, Tcp(443, 40000, Cat(Record(21, {2, 40}), Record(21, Bytes(26, 0x99)), Hex("99 03 03 00")))), "tls"},
      {"tls change_cipher_spec, then a Finished whose nonce reads as a HelloRequest", 6,
       V4(6, Tcp(40000, 443, Cat(Record(20, {1}), Record(22, Cat(Bytes(8, 0), Bytes(32, 0x5c)))))), "tls"},
      {"tls compatibility change_cipher_spec, then a second client hello", 6,
       V4(6, Tcp(40000, 443, Cat(Record(20, {1}), hello))), "tls"},
      {"tls encrypted handshake message", 6, V4(6, Tcp(443, 40000, Record(22, Cat(Hex("8f 12 34 56"), Bytes(36, 1))))),
       "tls"},
      {"dhcp discover", 17,
       V4(17, Udp(68, 67, Dhcp(1, "39 03 f3 26 00 00 80 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                               Cat(Hex("35 01 01 0c 06"), Text("laptop"),
                                   Hex("37 04 01 03 06 0f 32 04 c6 12 00 0a 3d 07 01 52 54 00 12 34 56 00 ff"))))),
       "dhcp"},
      {"dhcp offer with an unknown option and a message type of the wrong length", 17,
       V4(17, Udp(67, 68, Dhcp(2, "39 03 f3 26 00 00 00 00 00 00 00 00 c6 12 00 0a c6 12 00 01 00 00 00 00",
                               Hex("35 01 02 36 04 c6 12 00 01 33 04 00 01 51 80 01 04 ff ff ff 00 03 04 c6 12 00 01"
                                   " 06 08 c6 12 00 01 c6 12 00 02 e0 02 ab cd 35 02 05 05 ff")))),
       "dhcp"},
      {"dhcp option cut short", 17,
       V4(17, Udp(68, 67, Dhcp(1, "00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                               Hex("35 01 03 0c 10 6c 61")))),
       "dhcp"},
      {"bootp without the magic cookie", 17,
       V4(17, Udp(68, 67, Dhcp(1, "00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", Bytes(4, 0),
                               false))),
       "dhcp"},
      {"dhcpv6 solicit", 17,
       V6(17, Udp(546, 547,
                  Hex("01 12 34 56 00 01 00 0a 00 03 00 01 52 54 00 12 34 56 00 08 00 02 00 00 00 06 00 04 00 17 00 18"
                      " 00 03 00 28 00 00 00 01 00 00 00 00 00 00 00 00 00 05 00 18 20 01 0d b8 00 00 00 00 00 00 00 00"
                      " 00 00 00 10 00 00 0e 10 00 00 1c 20 00 0e 00 00")),
          "fe80::1", "ff02::1:2"),
       "dhcpv6"},
      {"dhcpv6 relay-forward with an option cut short", 17,
       V6(17, Udp(547, 547,
                  Cat(Hex("0c 00"), Address("2001:db8::1"), Address("fe80::1"),
                      Hex("00 12 00 04 65 74 68 30 00 09 00 08 01 12 34 56 00 0e 00 00 00 19 00 20 00 00")))),
       "dhcpv6"},
      {"ntp client", 17, V4(17, Udp(40000, 123, Ntp("23 00 06 e9 00 00 00 00 00 00 00 00 00 00 00 00", {}, 0xe9b47780))),
       "ntp"},
      {"ntp server of stratum 1, its origin after 2036", 17,
       V4(17, Udp(123, 40000, Ntp("24 01 06 ec 00 00 00 10 00 00 00 20 47 50 53 00",
                                 {0xe9b47700, 0, 0x00000010, 0x40000000, 0xe9b47780, 0x10000000}, 0xe9b47781))),
       "ntp"},
      {"ntp server of stratum 2", 17,
       V4(17, Udp(123, 40000, Ntp("1c 02 0a fa ff ff 80 00 00 01 00 00 c6 12 00 01", {}, 0xe9b47781))), "ntp"},
      {"ntp control message", 17, V4(17, Udp(40000, 123, Hex("16 02 00 01 00 00 00 00 00 00 00 00"))), "ntp"},
      {"http request", 6,
       V4(6, Tcp(40000, 80, Text("GET /index.html HTTP/1.1\r\nHost: example.org\r\nUser-Agent: curl/8.5.0\r\n"
                                 "Accept: */*\r\n\r\n"))),
       "http"},
      {"http response", 6,
       V4(6, Tcp(80, 40000, Text("HTTP/1.1 301 Moved Permanently\r\nserver:  nginx \r\nLocation: https://example.org/"
                                 "\r\nContent-Type: text/html\r\nContent-Length: 162\r\n\r\n<html>"))),
       "http"},
      {"http request cut by the segment's end", 6, V4(6, Tcp(40000, 8080, Text("POST /form HTTP/1.1\r\nHost: exam"))),
       "http"},
      // The CNAME's data points at the answer's owner, itself a pointer to the question.
      {"dns pointer to a pointer", 17,
       V4(17, Udp(53, 53124, Dns(0x8180, {1, 1, 0, 0}, Cat(Question(Name("example.org"), 5),
                                                         Rr(kToQuestion, 5, Cat(Text("\x03www"), Hex("c0 1d"))))))),
       "dns"},
      {"quic client initial, decrypted", 17, V4(17, Udp(50000, 443, initial)), "quic"},
      {"quic version 2 client initial, decrypted", 17, V4(17, Udp(50000, 443, QuicBytes(kQuicVersion2ClientInitial))),
       "quic"},
      {"quic client initial with a tampered tag", 17, V4(17, Udp(50000, 443, tampered)), "quic"},
      {"quic client initial cut short", 17, V4(17, Udp(50000, 443, Bytes(initial.begin(), initial.begin() + 600))),
       "quic"},
      {"quic clienthello split over two coalesced initials", 17,
       V4(17, Udp(50001, 8443, QuicBytes(kQuicSplitClientHello))), "quic"},
      {"quic version negotiation", 17,
       V4(17, Udp(443, 50000, QuicLong(0xc0, 0, serverId, clientId, Hex("00 00 00 01 6b 33 43 cf ff 00 00 1d 1a 2a 3a 4a")))),
       "quic"},
      {"quic handshake packet, then a short-header packet", 17,
       V4(17, Udp(443, 50000, Cat(QuicLong(0xe1, 1, clientId, serverId, Cat(Hex("40 18"), Bytes(24, 0x5c))),
                                  Hex("41 83 94 c8 f0 3e 51 57 08 aa bb")))),
       "quic"},
      {"quic version 2 retry", 17,
       V6(17, Cat(Udp(443, 50000, QuicLong(0xc0, 0x6b3343cf, clientId, serverId, Cat(Text("token"), Bytes(16, 0x77)))))),
       "quic"},
      {"quic connection id longer than 20 bytes", 17, V4(17, Udp(50000, 443, QuicLong(0xc3, 1, Bytes(21, 1), {}, {}))),
       "quic"},
      {"quic version it does not know, whose connection ids may be longer", 17,
       V4(17, Udp(50000, 443, QuicLong(0xc3, 0xabcd0001, Bytes(21, 1), {}, Bytes(30, 0)))), "quic"},
  };
}

TEST(ReportGolden, Ipv4AndApplicationSections) { ExpectGolden("report_sections.txt", SectionCases()); }

}  // namespace
}  // namespace trovix::test
