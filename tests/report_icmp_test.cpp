// ICMP sections: type and code names, the quoted endpoints of Destination Unreachable,
// and messages that end early.
#include <gtest/gtest.h>

#include "report/packet_report.h"
#include "tests/report_test_support.h"

namespace trovix::test {
namespace {

std::string ReportOf(const Bytes& message) {
  TestStore s;
  s.Add(1, Datagram(message));
  return s.Report(0);
}

// Type 3 quoting a datagram from 10.0.0.1:1234 to 10.0.0.2:53 behind a quoted header
// whose first byte is `quotedFirst`.
Bytes Unreachable(uint8_t code, uint8_t quotedFirst = 0x45) {
  Bytes quoted((quotedFirst & 0x0F) * 4u, 0);
  if (quoted.empty()) quoted.resize(1);
  quoted[0] = quotedFirst;
  if (quoted.size() >= 20) {
    quoted[9] = 17;
    std::copy_n(Bytes{10, 0, 0, 1, 10, 0, 0, 2}.begin(), 8, quoted.begin() + 12);
  }
  return Concat(Concat({3, code, 0, 0, 0, 0, 0, 0}, quoted), {0x04, 0xD2, 0x00, 0x35});
}

TEST(IcmpSection, TypesAndCodesAreNamedFromTheirTables) {
  const std::tuple<uint8_t, uint8_t, std::string> cases[] = {
      {8, 0, "Echo Request (8)\r\n"},
      {0, 5, "Echo Reply (0)\r\n"},
      {6, 0, "ICMP Type 6 (6)\r\n"},
      {18, 0, "Address Mask Reply (18)\r\n"},
      {19, 0, "UNKNOWN (19)\r\n"},
      {255, 0, "UNKNOWN (255)\r\n"},
      {5, 1, "Redirect (5)\r\nredirect with host\r\n"},
      {5, 3, "Redirect (5)\r\nredirect with type-of-service and host\r\n"},
      {5, 4, "Redirect (5)\r\nredirect with incorrect code\r\n"},
      {11, 0, "Time Exceeded (11)\r\nTTL == 0 with transit\r\n"},
      {11, 1, "Time Exceeded (11)\r\nTTL == 0 with reassembly\r\n"},
      {12, 1, "Parameter Problem (12)\r\nRequired option missing\r\n"},
      {12, 2, "Parameter Problem (12)\r\nincorrect code\r\n"},
  };
  for (const auto& [type, code, lines] : cases) {
    EXPECT_EQ(ReportOf({type, code, 0, 0, 0, 0, 0, 0}), Title(0, "icmp") + lines)
        << int(type) << "/" << int(code);
  }
}

TEST(IcmpSection, UnreachableShowsTheQuotedEndpoints) {
  const std::string ends = "source 10.0.0.1:1234\r\ndestination 10.0.0.2:53\r\n";
  EXPECT_EQ(ReportOf(Unreachable(3)),
            Title(0, "icmp") + "Destination Unreachable (3)\r\nPort unreachable,\r\n" + ends);
  EXPECT_EQ(ReportOf(Unreachable(15)), Title(0, "icmp") +
                                           "Destination Unreachable (3)\r\nPrecedence cutoff in effect,\r\n" + ends);
  EXPECT_EQ(ReportOf(Unreachable(16)),
            Title(0, "icmp") + "Destination Unreachable (3)\r\nincorrect code,\r\n" + ends);
  // A 24-byte quoted header moves the ports to offsets 32 and 34; the addresses stay.
  EXPECT_EQ(ReportOf(Unreachable(3, 0x46)),
            Title(0, "icmp") + "Destination Unreachable (3)\r\nPort unreachable,\r\n" + ends);
}

TEST(IcmpSection, ShortOrInvalidQuotesShowWhatExists) {
  const std::string head = Title(0, "icmp") + "Destination Unreachable (3)\r\nPort unreachable,\r\n";
  Bytes oneEnd = Unreachable(3);
  oneEnd.resize(oneEnd.size() - 1);  // the destination port is cut
  EXPECT_EQ(ReportOf(oneEnd), head + "source 10.0.0.1:1234\r\npacket is truncated\r\n");
  Bytes noQuote = Unreachable(3);
  noQuote.resize(8);
  EXPECT_EQ(ReportOf(noQuote), head + "packet is truncated\r\n");
  EXPECT_EQ(ReportOf(Unreachable(3, 0x44)), head + "invalid quoted IP header length = 16\r\n");
  EXPECT_EQ(ReportOf({3}), Title(0, "icmp") + "Destination Unreachable (3)\r\npacket is truncated\r\n");
  EXPECT_EQ(ReportOf({}), Title(0, "icmp") + "packet is truncated\r\n");
  EXPECT_EQ(ReportOf({8}), Title(0, "icmp") + "Echo Request (8)\r\n");
}

}  // namespace
}  // namespace trovix::test
