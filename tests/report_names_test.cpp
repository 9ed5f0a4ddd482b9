// Names learned from datagrams: which address each is kept for, in which order of trust,
// and the bound of the table.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "capture/learned_names.h"
#include "capture/platform/name_resolver.h"
#include "report/name_learner.h"
#include "tests/quic_vectors.h"
#include "tests/wire_builders.h"

namespace trovix::test {
namespace {

NameAddress V4Address(const char* text) {
  uint8_t bytes[4];
  inet_pton(AF_INET, text, bytes);
  return NameAddress::Of(bytes, 4);
}

std::string NameOf(const LearnedNames& names, const char* address) {
  LearnedName found;
  return names.Find(V4Address(address), found) ? found.name + " / " + NameOriginText(found.origin) + " / " +
                                                     std::to_string(found.packet)
                                               : "";
}

struct Learning {
  LearnedNames names;
  NameLearner learner{names};
  int64_t packet = 0;
  void Take(const Bytes& d) { learner.Learn(d.data(), d.size(), packet++); }
};

TEST(LearnedNames, EachAnswerNamesItsOwnAddressWithTheNameAsked) {
  Learning l;
  // www.example.org -> edge.example.net -> a.example.net, whose address is 198.51.100.7;
  // mail.example.org's own A record is 198.51.100.8.
  l.Take(Readdressed(V4(17, Udp(53, 53124, Dns(0x8180, {1, 4, 0, 0},
                                               Cat(Question(Name("www.example.org"), 1),
                                                   Rr(kToQuestion, 5, Name("edge.example.net")),
                                                   Rr(Name("edge.example.net"), 5, Name("a.example.net")),
                                                   Rr(Name("a.example.net"), 1, Hex("c6 33 64 07")),
                                                   Rr(Name("mail.example.org"), 1, Hex("c6 33 64 08")))))),
                     "198.18.0.53", "198.18.0.1"));
  l.Take(Readdressed(V4(6, Tcp(40000, 443, ClientHello("tls.example.org"))), "198.18.0.1", "198.51.100.9"));
  l.Take(Readdressed(V4(6, Tcp(40000, 80, Text("GET / HTTP/1.1\r\nHost: web.example.org:8080\r\n\r\n"))),
                     "198.18.0.1", "198.51.100.10"));
  // A ClientHello to an address that a DNS answer named does not rename it.
  l.Take(Readdressed(V4(6, Tcp(40001, 443, ClientHello("cdn.example.com"))), "198.18.0.1", "198.51.100.7"));
  l.Take(V4(17, Udp(68, 67, Dhcp(1, "39 03 f3 26 00 00 80 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                                 Hex("35 01 03 0c 06 6c 61 70 74 6f 70 32 04 c6 12 00 0a ff")))));
  l.Take(Readdressed(V4(17, Udp(54321, 443, QuicBytes(kQuicClientInitial))), "198.18.0.1", "198.51.100.11"));
  EXPECT_EQ(NameOf(l.names, "198.51.100.7"), "www.example.org / DNS answer / 0");
  EXPECT_EQ(NameOf(l.names, "198.51.100.8"), "mail.example.org / DNS answer / 0");
  EXPECT_EQ(NameOf(l.names, "198.51.100.9"), "tls.example.org / TLS server name / 1");
  EXPECT_EQ(NameOf(l.names, "198.51.100.10"), "web.example.org / HTTP Host / 2");
  EXPECT_EQ(NameOf(l.names, "198.18.0.10"), "laptop / DHCP host name / 4");
  EXPECT_EQ(NameOf(l.names, "198.51.100.11"), "example.com / TLS server name / 5");
  // Neither the client nor the DNS server was named by anything.
  EXPECT_EQ(NameOf(l.names, "198.18.0.1"), "");
  EXPECT_EQ(NameOf(l.names, "198.18.0.53"), "");
  EXPECT_EQ(l.names.size(), 6u);
}

// A chain that loops back ends at the name asked, and never walks on for ever.
TEST(LearnedNames, ALoopingChainEnds) {
  Learning l;
  l.Take(V4(17, Udp(53, 53124, Dns(0x8180, {1, 3, 0, 0},
                                   Cat(Question(Name("a.example"), 1), Rr(Name("b.example"), 5, Name("a.example")),
                                       Rr(kToQuestion, 5, Name("b.example")), Rr(Name("b.example"), 1, Hex("c6 33 64 07")))))));
  EXPECT_EQ(NameOf(l.names, "198.51.100.7"), "a.example / DNS answer / 0");
}

TEST(LearnedNames, TrustDecidesAndTheTableIsBounded) {
  LearnedNames names;
  names.ReadHosts("# comment\n198.51.100.1 gateway gw\n198.51.100.1 second\n::1 localhost6\nbad line\n");
  EXPECT_EQ(NameOf(names, "198.51.100.1"), "gateway / hosts file / -1");
  EXPECT_TRUE(names.LearnName(V4Address("198.51.100.1"), "router.example", NameOrigin::kDhcpHostName, 3));
  EXPECT_FALSE(names.LearnName(V4Address("198.51.100.1"), "other.example", NameOrigin::kCaptureFile, 4));
  EXPECT_EQ(NameOf(names, "198.51.100.1"), "router.example / DHCP host name / 3");
  EXPECT_FALSE(names.LearnName(V4Address("198.51.100.2"), "with blank", NameOrigin::kDnsAnswer));
  EXPECT_FALSE(names.LearnName(V4Address("198.51.100.2"), "", NameOrigin::kDnsAnswer));
  uint8_t bytes[4] = {10, 0, 0, 0};
  size_t kept = 0;
  for (uint32_t k = 0; k < LearnedNames::kMaxLearnedAddresses + 10; ++k) {
    bytes[1] = static_cast<uint8_t>(k >> 16);
    bytes[2] = static_cast<uint8_t>(k >> 8);
    bytes[3] = static_cast<uint8_t>(k);
    kept += names.LearnName(NameAddress::Of(bytes, 4), "n.example", NameOrigin::kDnsAnswer) ? 1 : 0;
  }
  EXPECT_EQ(names.size(), LearnedNames::kMaxLearnedAddresses);
  EXPECT_EQ(kept, LearnedNames::kMaxLearnedAddresses - 1);  // router.example took one room
  names.Clear();
  EXPECT_EQ(names.size(), 0u);
  EXPECT_EQ(NameOf(names, "198.51.100.1"), "gateway / hosts file / -1");
}

// Each address is asked once, one already named not at all, and an answer is kept as the
// resolver's.
TEST(NameResolver, AsksEachAddressOnceAndKeepsItsAnswer) {
  LearnedNames names;
  names.LearnName(V4Address("198.51.100.9"), "known.example", NameOrigin::kDnsAnswer);
  std::atomic<int> asked{0};
  {
    NameResolver resolver(names, [&](const NameAddress& a, std::string& name) {
      ++asked;
      name = "seven.example";
      return a.bytes[3] == 7;
    });
    for (const char* address : {"198.51.100.7", "198.51.100.7", "198.51.100.8", "198.51.100.9"}) {
      resolver.Ask(V4Address(address));
    }
    for (int wait = 0; wait < 500 && resolver.answered() < 2; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  EXPECT_EQ(asked.load(), 2);
  EXPECT_EQ(NameOf(names, "198.51.100.7"), "seven.example / resolver / -1");
  EXPECT_EQ(NameOf(names, "198.51.100.8"), "");
}

}  // namespace
}  // namespace trovix::test
