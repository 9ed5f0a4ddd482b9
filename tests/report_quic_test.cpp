// The summary of a client's first QUIC packet that the info column and the learned names
// read.
#include <gtest/gtest.h>

#include "report/quic_initial.h"
#include "tests/quic_vectors.h"

namespace trovix::test {
namespace {

TEST(ReportQuic, ClientInitialSummaryNamesWhereTheConnectionGoes) {
  std::vector<uint8_t> initial = QuicBytes(kQuicClientInitial);
  auto summary = ReadQuicClientInitial(ByteReader(initial.data(), initial.size()));
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->version, 1u);
  EXPECT_EQ(summary->destinationConnectionId, (std::vector<uint8_t>{0x83, 0x94, 0xc8, 0xf0, 0x3e, 0x51, 0x57, 0x08}));
  EXPECT_EQ(summary->serverName, "example.com");
  EXPECT_EQ(summary->alpn, std::vector<std::string>{"alpn"});

  // The first of two Initials holds the ClientHello's first 100 bytes: its names, not its end.
  std::vector<uint8_t> split = QuicBytes(kQuicSplitClientHello);
  summary = ReadQuicClientInitial(ByteReader(split.data(), split.size()));
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->serverName, "example.com");
  EXPECT_EQ(summary->alpn, std::vector<std::string>{"alpn"});

  initial[100] ^= 1;
  EXPECT_FALSE(ReadQuicClientInitial(ByteReader(initial.data(), initial.size())));
}

}  // namespace
}  // namespace trovix::test
