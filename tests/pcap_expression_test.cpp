#include "capture/pcap_expression.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/datagram_builder.h"

namespace trovix {
namespace {

// Five stored datagrams: a TCP SYN, a TCP ACK, two UDP, one over IPv6.
std::unique_ptr<CaptureState> StoreOfFive() {
  auto state = std::make_unique<CaptureState>();
  auto syn = test::MakeDatagram({.protocol = 6, .src = "198.18.0.1", .dst = "198.19.0.9", .sport = 40000, .dport = 443});
  syn[32] = 0x50, syn[33] = 0x02;
  auto ack = test::MakeDatagram({.protocol = 6, .src = "198.19.0.9", .dst = "198.18.0.1", .sport = 443, .dport = 40000});
  ack[32] = 0x50, ack[33] = 0x10;
  auto dns = test::MakeDatagram({.protocol = 17, .src = "198.18.0.2", .dst = "198.18.7.7", .sport = 5353, .dport = 53, .payload = 12});
  auto high = test::MakeDatagram({.protocol = 17, .src = "10.1.2.3", .dst = "10.1.2.4", .sport = 6001, .dport = 6100});
  auto v6 = test::MakeIpv6Datagram({.upper = 17, .sport = 53, .dport = 5353, .payload = 4});
  for (const auto* d : {&syn, &ack, &dns, &high, &v6}) {
    EXPECT_EQ(AppendPacket(state->store, (*d)[0] == 0x60 ? 17 : (*d)[9], d->data(), d->size()), AcceptResult::kStored);
  }
  return state;
}

std::vector<int32_t> Kept(const CaptureState& state, const std::string& expression, const CaptureSettings* fields = nullptr,
                          uint32_t from = 0, uint32_t to = 100) {
  std::vector<sock_filter> program;
  std::string error;
  EXPECT_TRUE(CompileExpression(expression, 12 /* DLT_RAW */, program, error)) << expression << ": " << error;
  std::vector<int32_t> kept;
  KeptPackets(state.store, program, fields, from, to, kept);
  return kept;
}

TEST(PcapExpressionTest, KeepsWhatTheExpressionSays) {
  auto state = StoreOfFive();
  struct Row {
    const char* expression;
    std::vector<int32_t> kept;
  };
  const Row rows[] = {
      {"tcp and port 443", {0, 1}},
      {"udp or tcp[tcpflags] & tcp-syn != 0", {0, 2, 3, 4}},
      {"not ip6 and udp", {2, 3}},
      {"net 198.18.0.0/16", {0, 1, 2}},
      {"udp portrange 6000-6050", {3}},
      {"tcp[tcpflags] & (tcp-syn|tcp-ack) == tcp-ack", {1}},
      {"ip6 and src port 53", {4}},
      {"icmp", {}},
  };
  for (const Row& row : rows) EXPECT_EQ(Kept(*state, row.expression), row.kept) << row.expression;
  // A range of the store, and an empty program keeping every packet in it.
  EXPECT_EQ(Kept(*state, "udp", nullptr, 3, 5), (std::vector<int32_t>{3, 4}));
  std::vector<int32_t> all;
  KeptPackets(state->store, {}, nullptr, 1, 100, all);
  EXPECT_EQ(all, (std::vector<int32_t>{1, 2, 3, 4}));
}

TEST(PcapExpressionTest, FieldsAndExpressionMustBothKeep) {
  auto state = StoreOfFive();
  CaptureSettings udpOnly, noIpv6;
  ApplyCaptureOptions(udpOnly, {"0.0.0.0", "*:*", "*:*", false, false, true, false, false, false, true});
  ApplyCaptureOptions(noIpv6, {"0.0.0.0", "*:*", "*:*", false, true, true, false, false, false, false});
  EXPECT_EQ(Kept(*state, "port 443 or port 53", &udpOnly), (std::vector<int32_t>{2, 4}));
  EXPECT_EQ(Kept(*state, "udp", &noIpv6), (std::vector<int32_t>{2, 3}));
}

TEST(PcapExpressionTest, RefusedExpressionsSayWhy) {
  std::vector<sock_filter> program;
  std::string error;
  EXPECT_FALSE(CompileExpression("tcp port", 12, program, error));
  EXPECT_EQ(error, "can't parse filter expression: syntax error");
  EXPECT_FALSE(CompileExpression("ether host 01:02:03:04:05:06", 12, program, error));
  EXPECT_EQ(error, "ethernet addresses supported only on ethernet/FDDI/token ring/802.11/ATM LANE/Fibre Channel");
  ASSERT_TRUE(CompileExpression("tcp", 12, program, error));
  EXPECT_TRUE(CaptureRuns(program, error));
}

}  // namespace
}  // namespace trovix
