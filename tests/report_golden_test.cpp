// Whole reports of IPv6 datagrams, ICMPv6 messages and named IGMP messages, pinned in one
// golden file that lists every text these layers print. After an intended change, run
// with TROVIX_REGENERATE_GOLDEN=1 and read the diff before committing it.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "capture/packet_line.h"
#include "report/packet_report.h"
#include "tests/report_test_support.h"

namespace trovix::test {
namespace {

Bytes Hex(std::string_view text) {
  Bytes bytes;
  for (size_t k = 0; k + 1 < text.size();) {
    if (text[k] == ' ') {
      ++k;
      continue;
    }
    bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(k, 2)), nullptr, 16)));
    k += 2;
  }
  return bytes;
}

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes Address(const char* text) {
  Bytes a(16);
  inet_pton(AF_INET6, text, a.data());
  return a;
}

// A fixed IPv6 header whose payload length counts `rest`.
Bytes V6(uint8_t next, const Bytes& rest, const char* src = "2001:db8::1", const char* dst = "2001:db8::2",
         std::string_view firstWord = "60 00 00 00") {
  Bytes d = Concat(Hex(firstWord), {static_cast<uint8_t>(rest.size() >> 8), static_cast<uint8_t>(rest.size()), next, 64});
  return Concat(Concat(Concat(d, Address(src)), Address(dst)), rest);
}

// The quoted start of a datagram from 2001:db8::1 to 2001:db8::2.
Bytes Quoted(uint8_t next, std::string_view upper) { return V6(next, Hex(upper)); }

struct Case {
  const char* name;
  uint8_t protocol;  // as the capture stores it
  Bytes datagram;
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

std::string GoldenText() {
  std::string all;
  std::vector<Case> cases = Cases();
  for (size_t k = 0; k < cases.size(); ++k) {
    const Case& c = cases[k];
    std::string report = BuildDatagramReport(static_cast<int64_t>(k), c.protocol, c.datagram.data(),
                                             c.datagram.size(), {true, false, false});
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

TEST(ReportGolden, Ipv6Icmpv6AndIgmpMessages) {
  const std::string path = std::string(TROVIX_GOLDEN_DIR) + "/report_layers.txt";
  std::string actual = GoldenText();
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

}  // namespace
}  // namespace trovix::test
