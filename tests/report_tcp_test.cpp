// TCP sections: header lines, flag blocks, MSS, payload views and short segments.
#include <gtest/gtest.h>

#include "report/packet_report.h"
#include "tests/report_test_support.h"

namespace trovix::test {
namespace {

// Ports 80 -> 1034, sequence 0x80000000, acknowledgement 7, window 65535, checksum 0xBEEF.
Bytes Segment(uint8_t flags, uint8_t dataOffset = 5, const Bytes& rest = {}) {
  Bytes s = {0x00, 0x50, 0x04, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 7,
             static_cast<uint8_t>(dataOffset << 4), flags, 0xFF, 0xFF, 0xBE, 0xEF, 0, 0};
  return Concat(s, rest);
}

const std::string kHeaderLines =
    "sourse port = 80\r\ndestination port = 1034\r\nchecksum = 48879\r\n"
    "acknowledgement number = 7\r\nsequence number = 2147483648\r\nwindow size = 65535\r\n";
const std::string kSyn =
    "URG = False\r\nACK = False\r\nPSH = False\r\nRST = False\r\nSYN = True\r\nFIN = False\r\n";
const std::string kAckPsh =
    "URG = False\r\nACK = True\r\nPSH = True\r\nRST = False\r\nSYN = False\r\nFIN = False\r\n";

std::string ReportOf(const Bytes& segment, ReportViews views = {}) {
  TestStore s;
  s.Add(6, Datagram(segment));
  return s.Report(0, views);
}

TEST(TcpSection, FlagByteGetsItsBlockOnlyWhenListed) {
  const std::string ackSyn =
      "URG = False\r\nACK = True\r\nPSH = False\r\nRST = False\r\nSYN = True\r\nFIN = False\r\n";
  const std::string urgSyn =
      "URG = True\r\nACK = False\r\nPSH = False\r\nRST = False\r\nSYN = True\r\nFIN = False\r\n";
  const std::string ackFin =
      "URG = False\r\nACK = True\r\nPSH = False\r\nRST = False\r\nSYN = False\r\nFIN = True\r\n";
  const std::pair<uint8_t, std::string> cases[] = {
      {0x02, kSyn}, {0x12, ackSyn}, {0x18, kAckPsh}, {0x11, ackFin}, {0xA2, urgSyn},
      {0x00, "invalid flags\r\n"}, {0x22, "invalid flags\r\n"}, {0x52, "invalid flags\r\n"},
      {0xFF, "invalid flags\r\n"}};
  for (const auto& [flags, block] : cases) {
    EXPECT_EQ(ReportOf(Segment(flags)), Title(0, "tcp") + kHeaderLines + block) << int(flags);
  }
}

TEST(TcpSection, MssShowsOnlyWhenTheFirstOptionOfALongerHeaderIsKindTwo) {
  EXPECT_EQ(ReportOf(Segment(0x02, 6, {2, 4, 0x05, 0xB4})),
            Title(0, "tcp") + kHeaderLines + kSyn + "MSS = 1460\r\n");
  // With a 20-byte header the same bytes are payload, not an option.
  EXPECT_EQ(ReportOf(Segment(0x02, 5, {2, 4, 0x05, 0xB4})),
            Title(0, "tcp") + kHeaderLines + kSyn + "data length = 4\r\n");
  // The first option is another kind: no MSS even though kind 2 follows.
  EXPECT_EQ(ReportOf(Segment(0x02, 7, {1, 2, 4, 0x05, 0xB4, 0, 0, 0})),
            Title(0, "tcp") + kHeaderLines + kSyn);
}

TEST(TcpSection, ViewFlagsChooseTheViews) {
  Bytes segment = Segment(0x18, 5, {'G', 'E', 'T', 0, 'X'});
  std::string start = Title(0, "tcp") + kHeaderLines + kAckPsh + "data length = 5\r\n";
  const std::string ascii = "data in ASCII view:\r\nGETX\r\n";
  const std::string text = "data in a text view:\r\nGET\r\n";
  const std::string hex = "data in HEX view:\r\n47 45 54 0 58 \r\n";
  EXPECT_EQ(ReportOf(segment, {}), start);
  EXPECT_EQ(ReportOf(segment, {false, true, false}), start + text);
  EXPECT_EQ(ReportOf(segment, {true, false, true}), start + ascii + hex);
  EXPECT_EQ(ReportOf(segment, {true, true, true}), start + ascii + hex);
  EXPECT_EQ(ReportOf(segment, {false, true, true}), start + text + hex);
  EXPECT_EQ(ReportOf(segment, {false, false, true}), start + hex);
}

TEST(TcpSection, ViewLinesBreakAfterEvery64thAsciiAnd16thHexByte) {
  Bytes payload(64, 'a');
  payload[1] = 0;  // zero bytes count towards the break but show nothing
  payload[16] = 0x0A;
  std::string start = Title(0, "tcp") + kHeaderLines + kAckPsh + "data length = 64\r\n";
  std::string asciiLine = "a" + std::string(14, 'a') + "\n" + std::string(47, 'a');
  std::string hex = "data in HEX view:\r\n61 0 " + [] {
    std::string lines;
    for (int k = 3; k <= 64; ++k) lines += std::string(k == 17 ? "a " : "61 ") + (k % 16 == 0 ? "\r\n" : "");
    return lines;
  }() + "\r\n";
  EXPECT_EQ(ReportOf(Segment(0x18, 5, payload), {true, false, true}),
            start + "data in ASCII view:\r\n" + asciiLine + "\r\n\r\n" + hex);
  EXPECT_EQ(ReportOf(Segment(0x18, 5, Bytes(17, 0xFF)), {false, false, true}),
            Title(0, "tcp") + kHeaderLines + kAckPsh + "data length = 17\r\ndata in HEX view:\r\n" +
                "ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff \r\nff \r\n");
}

TEST(TcpSection, ShortSegmentsShowTheFieldsThatExistThenSaySo) {
  // Ten bytes: ports and sequence number exist; acknowledgement, checksum, window and
  // flags do not.
  Bytes segment = Segment(0x18);
  segment.resize(10);
  EXPECT_EQ(ReportOf(segment), Title(0, "tcp") +
                                   "sourse port = 80\r\ndestination port = 1034\r\n"
                                   "sequence number = 2147483648\r\npacket is truncated\r\n");
  // A 60-byte header announced in 24 received bytes: no payload length, no view.
  EXPECT_EQ(ReportOf(Segment(0x02, 15, {2, 4, 0x05, 0xB4}), {true, false, true}),
            Title(0, "tcp") + kHeaderLines + kSyn + "MSS = 1460\r\npacket is truncated\r\n");
  // An MSS option cut after its kind byte.
  EXPECT_EQ(ReportOf(Segment(0x02, 6, {2, 4, 0x05})),
            Title(0, "tcp") + kHeaderLines + kSyn + "packet is truncated\r\n");
}

TEST(TcpSection, DataOffsetBelowFiveIsInvalidAndShowsNoPayload) {
  EXPECT_EQ(ReportOf(Segment(0x18, 4, {'x', 'y'}), {true, false, true}),
            Title(0, "tcp") + kHeaderLines + kAckPsh + "invalid TCP header length = 16\r\n");
}

}  // namespace
}  // namespace trovix::test
