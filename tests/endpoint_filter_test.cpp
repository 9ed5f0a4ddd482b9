#include "capture/endpoint_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "capture/capture_settings.h"
#include "capture/packet_line.h"
#include "capture/sources/local_source.h"
#include "capture/packet_store.h"
#include "tests/datagram_builder.h"

namespace trovix {
namespace {

using test::DatagramShape;
using test::MakeDatagram;

void ExpectFilter(const char* text, const char* address, uint32_t port, bool anyAddress) {
  SCOPED_TRACE(text);
  EndpointFilter f = ParseEndpointFilter(text);
  EXPECT_STREQ(f.address, address);
  EXPECT_EQ(f.port, port);
  EXPECT_EQ(f.anyAddress, anyAddress ? 1 : 0);
  EXPECT_EQ(f.addressGiven, anyAddress ? 0 : 1);
}

TEST(ParseEndpointFilter, WildcardsAndEmptyMeanAnything) {
  ExpectFilter("*:*", "*", 0, true);
  ExpectFilter("*", "*:*", 0, true);
  ExpectFilter("", "*:*", 0, true);
  ExpectFilter("*:", "*", 0, true);
  ExpectFilter("192.168.0.1", "*:*", 0, true);  // no colon: the address is ignored
}

TEST(ParseEndpointFilter, Ipv6FormsKeepTheCanonicalAddress) {
  ExpectFilter("[2001:DB8::0001]:53", "2001:db8::1", 53, false);
  ExpectFilter("[::1]", "::1", 0, false);
  ExpectFilter("2001:db8:0:0:0:0:0:1", "2001:db8::1", 0, false);
  ExpectFilter("[fe80::1]:*", "fe80::1", 0, false);
  ExpectFilter("[zz::1]:80", "[zz::1]", 80, false);
  ExpectFilter("[::1]x", "[::1]x", 0, false);
  // Longer than an IPv4 text may be, as the field gives it.
  ExpectFilter("[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff]:65535", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 65535,
               false);
}

TEST(ParseEndpointFilter, AddressAndPortParts) {
  ExpectFilter("192.168.0.1:*", "192.168.0.1", 0, false);
  ExpectFilter("192.168.0.1:0", "192.168.0.1", 0, false);
  ExpectFilter("10.0.0.1:80", "10.0.0.1", 80, false);
  ExpectFilter("a:b:80", "a:b:80", 0, false);  // two colons: an IPv6 form that does not parse
  ExpectFilter(":80", "", 80, false);
  ExpectFilter("*:53", "*", 53, true);
}

TEST(ParseEndpointFilter, PortsReadLikeAtoi) {
  ExpectFilter("10.0.0.1:65536", "10.0.0.1", 0, false);
  ExpectFilter("10.0.0.1:65535", "10.0.0.1", 65535, false);
  ExpectFilter("10.0.0.1:-5", "10.0.0.1", 0, false);
  ExpectFilter("10.0.0.1:80x", "10.0.0.1", 80, false);
  ExpectFilter("10.0.0.1: +81", "10.0.0.1", 81, false);
  ExpectFilter("10.0.0.1:x80", "10.0.0.1", 0, false);
  ExpectFilter("1:99999999999999999999", "1", 0, false);  // no overflow into a small port
}

TEST(ParseEndpointFilter, ReadsAtMostTwentyThreeCharacters) {
  // The 24th character on is never read, so the colon at position 24 does not count.
  ExpectFilter("123456789012345678901:12", "123456789012345678901", 1, false);
  ExpectFilter("12345678901234567890123:80", "*:*", 0, true);
}

// The accept path over synthetic datagrams: the filters as the capture applies them.
class FilterOnDatagrams : public ::testing::Test {
 protected:
  void Prepare(const char* from, const char* to, bool both, bool tcp = true, bool udp = true,
               bool icmp = true, bool igmp = true, bool raw = true) {
    PrepareCapture(*state_, {"127.0.0.1", from, to, both, tcp, udp, icmp, igmp, raw});
  }
  bool Accepts(const DatagramShape& shape) {
    auto d = MakeDatagram(shape);
    return AcceptDatagram(*state_, d.data(), d.size()) == AcceptResult::kStored;
  }
  std::unique_ptr<CaptureState> state_ = std::make_unique<CaptureState>();
};

TEST_F(FilterOnDatagrams, BothTrafficWithoutPortsPassesBothDirections) {
  Prepare("10.0.0.1:*", "10.0.0.2:*", true);
  EXPECT_TRUE(Accepts({.protocol = 6, .src = "10.0.0.1", .dst = "10.0.0.2", .sport = 1, .dport = 2}));
  EXPECT_TRUE(Accepts({.protocol = 6, .src = "10.0.0.2", .dst = "10.0.0.1", .sport = 2, .dport = 1}));
  EXPECT_FALSE(Accepts({.protocol = 6, .src = "10.0.0.2", .dst = "10.0.0.3", .sport = 2, .dport = 1}));

  Prepare("10.0.0.1:*", "10.0.0.2:*", false);
  EXPECT_TRUE(Accepts({.protocol = 6, .src = "10.0.0.1", .dst = "10.0.0.2"}));
  EXPECT_FALSE(Accepts({.protocol = 6, .src = "10.0.0.2", .dst = "10.0.0.1"}));
}

TEST_F(FilterOnDatagrams, GivenPortDisablesTheReversePairButNotIcmp) {
  Prepare("10.0.0.1:80", "10.0.0.2:*", true);
  EXPECT_STREQ(state_->reverseSourceAddress, "");
  EXPECT_TRUE(Accepts({.protocol = 6, .src = "10.0.0.1", .dst = "10.0.0.2", .sport = 80, .dport = 9}));
  EXPECT_FALSE(Accepts({.protocol = 6, .src = "10.0.0.1", .dst = "10.0.0.2", .sport = 81, .dport = 9}));
  EXPECT_FALSE(Accepts({.protocol = 6, .src = "10.0.0.2", .dst = "10.0.0.1", .sport = 9, .dport = 80}));
  EXPECT_TRUE(Accepts({.protocol = 1, .src = "10.0.0.1", .dst = "10.0.0.2"}));
  EXPECT_FALSE(Accepts({.protocol = 1, .src = "10.0.0.2", .dst = "10.0.0.1"}));
}

TEST_F(FilterOnDatagrams, PortTestIsOneWay) {
  Prepare("*:*", "*:53", false);
  EXPECT_TRUE(Accepts({.protocol = 17, .src = "10.9.9.9", .dst = "10.0.0.53", .sport = 4000, .dport = 53}));
  EXPECT_FALSE(Accepts({.protocol = 17, .src = "10.0.0.53", .dst = "10.9.9.9", .sport = 53, .dport = 4000}));
  // ICMP, IGMP and raw have no ports to test.
  EXPECT_TRUE(Accepts({.protocol = 1, .src = "10.0.0.53", .dst = "10.9.9.9"}));
  EXPECT_TRUE(Accepts({.protocol = 255, .src = "10.0.0.53", .dst = "10.9.9.9"}));
}

TEST_F(FilterOnDatagrams, LaterFragmentsMeetThePortTestWithPortsZero) {
  auto d = MakeDatagram({.protocol = 17, .sport = 4000, .dport = 53, .payload = 8});
  d[7] = 0xB9;  // fragment offset 185: "4000 -> 53" is payload, not a header
  Prepare("*:*", "*:53", false);
  EXPECT_EQ(AcceptDatagram(*state_, d.data(), d.size()), AcceptResult::kDropped);
  Prepare("*:*", "*:*", false);
  EXPECT_EQ(AcceptDatagram(*state_, d.data(), 22), AcceptResult::kStored);
  Prepare("*:*", "*:*", false, true, /*udp=*/false);
  EXPECT_EQ(AcceptDatagram(*state_, d.data(), d.size()), AcceptResult::kDropped);
}

TEST_F(FilterOnDatagrams, AddressesCompareAsInetNtoaText) {
  Prepare("010.0.0.1:*", "*:*", false);  // leading zero: never the text of any address
  EXPECT_FALSE(Accepts({.protocol = 1, .src = "10.0.0.1"}));
  Prepare("10.0.0.*:*", "*:*", false);
  EXPECT_FALSE(Accepts({.protocol = 1, .src = "10.0.0.1"}));
  Prepare(":80", "*:*", false);  // empty address part passes nothing
  EXPECT_FALSE(Accepts({.protocol = 6, .src = "10.0.0.1", .sport = 80}));
  Prepare("*:*", "10.0.0.2:*", false);
  EXPECT_TRUE(Accepts({.protocol = 1, .dst = "10.0.0.2"}));
  EXPECT_FALSE(Accepts({.protocol = 1, .dst = "10.0.0.20"}));
}

// The helper and "filter the list" fill a settings record alone, with no store or run.
TEST(CaptureSettingsTest, OptionsFillTheRecordAndItScreensWithoutAStore) {
  CaptureSettings s;
  std::strcpy(s.interfaceSlots[1], "10.0.0.7");
  ApplyCaptureOptions(s, {"10.0.0.7", "10.0.0.1:*", "10.0.0.2:*", /*twoWayTraffic=*/true, false, /*udp=*/true});
  const int32_t matches[kBindMatches] = {0, 0, 1, 0, 0};
  EXPECT_TRUE(std::equal(matches, matches + kBindMatches, s.bindMatches));
  EXPECT_STREQ(s.fromText, "10.0.0.1:*");
  EXPECT_STREQ(s.reverseSourceAddress, "10.0.0.2");
  EXPECT_STREQ(s.reverseDestinationAddress, "10.0.0.1");
  auto keeps = [&s](const DatagramShape& shape) {
    auto d = MakeDatagram(shape);
    size_t length = d.size();
    DatagramFields fields;
    return ScreenDatagram(s, d.data(), length, fields);
  };
  EXPECT_TRUE(keeps({.protocol = 17, .src = "10.0.0.1", .dst = "10.0.0.2"}));
  EXPECT_TRUE(keeps({.protocol = 17, .src = "10.0.0.2", .dst = "10.0.0.1"})) << "both traffic";
  EXPECT_FALSE(keeps({.protocol = 17, .src = "10.0.0.3", .dst = "10.0.0.2"}));
  EXPECT_FALSE(keeps({.protocol = 6, .src = "10.0.0.1", .dst = "10.0.0.2"})) << "tcp is off";
}

// "raw" is every protocol but tcp, udp, icmp and igmp, in both families.
TEST_F(FilterOnDatagrams, ProtocolSwitchesAndRawForEveryOtherProtocol) {
  Prepare("*:*", "*:*", false, /*tcp=*/false);
  EXPECT_FALSE(Accepts({.protocol = 6}));
  EXPECT_TRUE(Accepts({.protocol = 17}));
  for (uint8_t p : {0, 3, 41, 47, 50, 58, 132, 254, 255}) EXPECT_TRUE(Accepts({.protocol = p})) << int(p);
  Prepare("*:*", "*:*", false, true, true, false, false, false);
  for (uint8_t p : {1, 2, 47, 50, 255}) EXPECT_FALSE(Accepts({.protocol = p})) << int(p);
  Prepare("*:*", "*:*", false, false, false, false, false, /*raw=*/true);
  for (uint8_t p : {1, 2, 6, 17}) EXPECT_FALSE(Accepts({.protocol = p})) << int(p);
}

// IPv6 beside IPv4: the families kept, the switches that cover IPv6, the bracket forms.
TEST_F(FilterOnDatagrams, Ipv6FollowsItsSwitchAndItsOwnFilterForms) {
  auto v6 = [this](const test::Ipv6Shape& shape) {
    auto d = test::MakeIpv6Datagram(shape);
    return AcceptDatagram(*state_, d.data(), d.size()) == AcceptResult::kStored;
  };
  test::Ipv6Shape dns{.sport = 4000, .dport = 53};
  Prepare("*:*", "*:53", false);
  EXPECT_FALSE(v6(dns)) << "IPv6 is kept only when asked for";
  PrepareCapture(*state_, {"127.0.0.1", "*:*", "*:53", false, true, true, true, true, true, /*ipv6=*/true});
  EXPECT_TRUE(v6(dns));
  EXPECT_TRUE(Accepts({.protocol = 17, .sport = 4000, .dport = 53}));
  EXPECT_TRUE(v6({.upper = 58, .src = "2001:db8::9"}));  // "icmp" covers ICMPv6
  EXPECT_TRUE(v6({.upper = 50}));                         // "raw" covers ESP

  PrepareCapture(*state_, {"127.0.0.1", "10.0.0.2:*", "*:*", false, true, true, true, true, true, true});
  EXPECT_FALSE(v6(dns)) << "an IPv4 filter never matches IPv6";
  PrepareCapture(*state_, {"127.0.0.1", "[2001:DB8::1]", "2001:db8::2", true, true, true, true, true, true, true});
  EXPECT_TRUE(v6(dns));
  EXPECT_TRUE(v6({.src = "2001:db8::2", .dst = "2001:db8::1"})) << "both traffic";
  EXPECT_FALSE(v6({.src = "2001:db8::2", .dst = "2001:db8::3"}));
  EXPECT_FALSE(Accepts({.protocol = 17}));

  PrepareCapture(*state_, {"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true, true, /*ipv4=*/false});
  EXPECT_TRUE(v6(dns));
  EXPECT_FALSE(Accepts({.protocol = 17})) << "IPv6 alone";
}

TEST_F(FilterOnDatagrams, ShortOrMalformedTransportHeadersAreDropped) {
  Prepare("*:*", "*:*", false);
  auto d = MakeDatagram({.protocol = 17, .sport = 1, .dport = 2});
  EXPECT_EQ(AcceptDatagram(*state_, d.data(), 19), AcceptResult::kDropped);
  EXPECT_EQ(AcceptDatagram(*state_, d.data(), 23), AcceptResult::kDropped);  // ports cut short
  EXPECT_EQ(AcceptDatagram(*state_, d.data(), 24), AcceptResult::kStored);
  d[0] = 0x44;  // header length 16: below the minimum
  EXPECT_EQ(AcceptDatagram(*state_, d.data(), d.size()), AcceptResult::kDropped);
  d[0] = 0x4F;  // header length 60 points past the 28 received bytes
  EXPECT_EQ(AcceptDatagram(*state_, d.data(), d.size()), AcceptResult::kDropped);
  // A header-only IGMP datagram is complete as it is.
  auto igmp = MakeDatagram({.protocol = 2});
  ASSERT_EQ(igmp.size(), 20u);
  EXPECT_EQ(AcceptDatagram(*state_, igmp.data(), igmp.size()), AcceptResult::kStored);
}

}  // namespace
}  // namespace trovix
