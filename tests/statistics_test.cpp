#include "capture/statistics.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/datagram_builder.h"

namespace trovix {
namespace {

constexpr int64_t kStart = 1700000000000000000;
constexpr int64_t kMs = 1000000;

// Seven datagrams: a UDP exchange (two ways, one conversation), an IPv6 TCP exchange whose
// first segment begins a TLS record, and an ICMP pair; the programs of a local table.
class StatisticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    uint32_t resolver = programs_.InternProgram("resolver", 10, "alice");
    uint32_t browser = programs_.InternProgram("browser", 20, "alice");
    uint32_t browserToo = programs_.InternProgram("browser", 21, "alice");
    auto udp = [](const char* src, const char* dst, uint16_t sp, uint16_t dp, size_t payload) {
      return test::MakeDatagram({.protocol = 17, .src = src, .dst = dst, .sport = sp, .dport = dp, .payload = payload});
    };
    auto tls = test::MakeIpv6Datagram({.upper = 6, .src = "2001:db8::1", .dst = "2001:db8::2", .sport = 40000,
                                       .dport = 443, .payload = 100});
    tls[52] = 0x50;  // a 20-byte TCP header
    tls[60] = 0x16, tls[61] = 3, tls[62] = 1;
    auto ack = test::MakeIpv6Datagram({.upper = 6, .src = "2001:db8::2", .dst = "2001:db8::1", .sport = 443,
                                       .dport = 40000});
    ack[52] = 0x50;
    Append(udp("10.0.0.1", "10.0.0.2", 5000, 53, 20), 17, 0, programs_.InternOwner(resolver, kNoProgram));
    Append(udp("10.0.0.2", "10.0.0.1", 53, 5000, 60), 17, 500, programs_.InternOwner(kNoProgram, resolver));
    Append(tls, 6, 1000, programs_.InternOwner(browser, kNoProgram));
    Append(ack, 6, 1250, programs_.InternOwner(kNoProgram, browserToo));
    Append(test::MakeDatagram({.protocol = 1, .src = "10.0.0.1", .dst = "10.0.0.3", .payload = 8}), 1, 1500,
           kUnknownOwner);
    Append(test::MakeDatagram({.protocol = 1, .src = "10.0.0.3", .dst = "10.0.0.1", .payload = 8}), 1, 1600,
           kUnknownOwner);
    Append(udp("10.0.0.1", "10.0.0.2", 5000, 53, 20), 17, 2000, programs_.InternOwner(resolver, kNoProgram));
  }
  void Append(const std::vector<uint8_t>& d, uint8_t protocol, int64_t ms, uint32_t owner) {
    uint32_t index = PublishedPacketCount(state_->store);
    ASSERT_EQ(AppendPacket(state_->store, protocol, d.data(), d.size(), nullptr, nullptr, kStart + ms * kMs),
              AcceptResult::kStored);
    SetPacketOwner(state_->store, index, owner);
  }
  const PacketStore& store() const { return state_->store; }

  std::unique_ptr<CaptureState> state_ = std::make_unique<CaptureState>();
  ProgramTable programs_;
};

std::string ConversationText(const Statistics& s, const Conversation& c) {
  std::string programs;
  for (uint32_t id : c.programs.id) {
    if (id != kNoProgram) programs += " " + s.ProgramText(id);
  }
  return std::to_string(c.key.protocol) + " " + AddressText(c.a(), c.key.ipv6) + ":" + std::to_string(c.aPort()) +
         " " + AddressText(c.b(), c.key.ipv6) + ":" + std::to_string(c.bPort()) + " " +
         std::to_string(c.aToB.packets) + "/" + std::to_string(c.aToB.bytes) + " " + std::to_string(c.bToA.packets) +
         "/" + std::to_string(c.bToA.bytes) + " " + std::to_string((c.first - kStart) / kMs) + "+" +
         std::to_string(c.duration() / kMs) + " " + std::to_string(static_cast<int64_t>(c.bitsPerSecond())) + programs;
}

std::string EndpointText(const Endpoint& e) {
  return AddressText(e.key.address, e.key.ipv6) + (e.key.port != 0 ? ":" + std::to_string(e.key.port) : "") + " " +
         std::to_string(e.sent.packets) + "/" + std::to_string(e.sent.bytes) + " " + std::to_string(e.received.packets) +
         "/" + std::to_string(e.received.bytes);
}

// Every table as text, largest first, for comparing passes.
std::vector<std::string> Tables(const Statistics& s) {
  std::vector<std::string> out;
  for (uint32_t i : Statistics::ByBytes(s.conversations())) out.push_back(ConversationText(s, s.conversations()[i]));
  for (uint32_t i : Statistics::ByBytes(s.addresses())) out.push_back(EndpointText(s.addresses()[i]));
  for (uint32_t i : Statistics::ByBytes(s.ports())) out.push_back(EndpointText(s.ports()[i]));
  for (const ProtocolNode& n : s.ProtocolTree()) {
    out.push_back(n.path + " " + std::to_string(n.traffic.packets) + "/" + std::to_string(n.traffic.bytes));
  }
  for (uint32_t i : Statistics::ByBytes(s.programs())) {
    const ProgramRow& p = s.programs()[i];
    out.push_back(p.name + "/" + p.user + " " + std::to_string(p.sent.packets) + "/" + std::to_string(p.sent.bytes) +
                  " " + std::to_string(p.received.packets) + "/" + std::to_string(p.received.bytes) + " " +
                  std::to_string(p.conversations));
  }
  for (const Traffic& t : s.rates()) out.push_back(std::to_string(t.packets) + "/" + std::to_string(t.bytes));
  return out;
}

TEST_F(StatisticsTest, TablesOfKnownConversations) {
  Statistics s(1000 * kMs, programs_);
  s.Pass(store(), 0, 7);
  const std::vector<std::string> expected = {
      // protocol A B a->b b->a first+duration bits/s programs
      "6 2001:db8::1:40000 2001:db8::2:443 1/160 1/60 1000+250 7040 browser 20",
      "17 10.0.0.1:5000 10.0.0.2:53 2/96 1/88 0+2000 736 resolver 10",
      "1 10.0.0.1:0 10.0.0.3:0 1/28 1/28 1500+100 4480",
      // addresses: sent, received
      "10.0.0.1 3/124 2/116", "2001:db8::1 1/160 1/60", "2001:db8::2 1/60 1/160", "10.0.0.2 1/88 2/96",
      "10.0.0.3 1/28 1/28",
      // addresses and ports
      "2001:db8::1:40000 1/160 1/60", "2001:db8::2:443 1/60 1/160", "10.0.0.1:5000 2/96 1/88",
      "10.0.0.2:53 1/88 2/96",
      // the tree
      "IPv4 5/240", "IPv4/UDP 3/184", "IPv4/UDP/DNS 3/184", "IPv4/ICMP 2/56", "IPv6 2/220", "IPv6/TCP 2/220",
      "IPv6/TCP/TLS 1/160",
      // programs: sent, received, conversations (two processes of one program, one row)
      "browser/alice 1/160 1/60 1", "resolver/alice 2/96 1/88 1",
      // rates per second
      "2/136", "4/276", "1/48"};
  EXPECT_EQ(Tables(s), expected);
  EXPECT_EQ(s.total().packets, 7u);
  EXPECT_EQ(s.total().bytes, 460u);
  EXPECT_EQ(s.start(), kStart);
  EXPECT_EQ(s.end(), 7u);
}

TEST_F(StatisticsTest, PassesInPiecesEqualOnePass) {
  Statistics whole(250 * kMs, programs_);
  whole.Pass(store(), 0, 7);
  Statistics pieces(250 * kMs, programs_);
  for (uint32_t to : {1u, 4u, 4u, 6u, 100u}) pieces.PassTo(store(), to);
  EXPECT_EQ(pieces.end(), 7u);
  EXPECT_EQ(Tables(pieces), Tables(whole));
  EXPECT_EQ(pieces.total().bytes, whole.total().bytes);
}

TEST(Statistics, ApplicationByPortThenFirstBytes) {
  struct Case {
    bool tcp;
    uint16_t source, destination;
    std::string payload;
    Application expected;
  } cases[] = {
      {false, 5000, 53, "x", Application::kDns},        {false, 5353, 5353, "x", Application::kDns},
      {false, 68, 67, "x", Application::kDhcp},         {false, 546, 547, "x", Application::kDhcp},
      {false, 123, 40000, "x", Application::kNtp},      {false, 40000, 443, "x", Application::kQuic},
      {false, 40000, 9999, "x", Application::kOther},   {true, 40000, 5000, "\x16\x03\x03", Application::kTls},
      {true, 40000, 8000, "GET / HTTP/1.1", Application::kHttp}, {true, 40000, 443, "xyz", Application::kTls},
      {true, 80, 40000, "xyz", Application::kHttp},     {true, 40000, 53, "GET / HTTP/1.1", Application::kDns},
      {true, 40000, 5000, "xyz", Application::kOther},  {true, 40000, 123, "xyz", Application::kOther},
  };
  for (const Case& c : cases) {
    auto* bytes = reinterpret_cast<const uint8_t*>(c.payload.data());
    EXPECT_EQ(ApplicationOf(c.tcp, c.source, c.destination, bytes, c.payload.size()), c.expected)
        << c.tcp << " " << c.source << " " << c.destination << " " << c.payload;
  }
}

TEST(Statistics, BoundsAndShortDatagrams) {
  Statistics s(1000 * kMs);
  const uint8_t shortOne[] = {0x45, 0, 0, 19};
  s.Add(shortOne, sizeof shortOne, 17, kStart, kUnknownOwner);
  auto d = test::MakeDatagram({.protocol = 17, .sport = 1, .dport = 2});
  s.Add(d.data(), d.size(), 17, kStart, kUnknownOwner);
  // Far past the last interval: counted in all but the rates.
  s.Add(d.data(), d.size(), 17, kStart + int64_t{kMaxRateBuckets} * 1000 * kMs, kUnknownOwner);
  EXPECT_EQ(s.unreadable(), 1u);
  EXPECT_EQ(s.total().packets, 2u);
  EXPECT_EQ(s.rates().size(), 1u);
  EXPECT_EQ(s.lateForRates().packets, 1u);
  EXPECT_EQ(s.conversations().size(), 1u);
  EXPECT_EQ(s.conversations()[0].aToB.packets, 2u);
}

// A later fragment's first bytes are payload, not ports; a TCP header that claims less than
// 20 bytes, or more than came, carries no payload to classify.
TEST(Statistics, PortsAndPayloadOnlyFromWholeHeaders) {
  Statistics s(0);
  auto fragment = test::MakeDatagram({.protocol = 17, .sport = 1, .dport = 2, .payload = 8});
  fragment[6] = 0x00, fragment[7] = 0x10;  // offset 128 bytes
  s.Add(fragment.data(), fragment.size(), 17, kStart, kUnknownOwner);
  for (uint8_t offset : {0x40, 0xF0}) {
    auto tcp = test::MakeDatagram({.protocol = 6, .sport = 40000, .dport = 443, .payload = 4});
    tcp[32] = offset;
    s.Add(tcp.data(), tcp.size(), 6, kStart, kUnknownOwner);
  }
  ASSERT_EQ(s.conversations().size(), 2u);
  EXPECT_EQ(s.conversations()[0].aPort(), 0);
  EXPECT_EQ(s.conversations()[0].bPort(), 0);
  EXPECT_EQ(s.conversations()[1].total().packets, 2u);
  EXPECT_EQ(s.protocols().protocol[0][6].packets, 2u);
  EXPECT_EQ(s.protocols().application[0][0][static_cast<size_t>(Application::kTls)].packets, 0u);
  EXPECT_TRUE(s.rates().empty());
}

}  // namespace
}  // namespace trovix
