// UDP sections: blanks at the line ends, both views always, short datagrams.
#include <gtest/gtest.h>

#include "report/packet_report.h"
#include "tests/report_test_support.h"

namespace trovix::test {
namespace {

const Bytes kHeader = {0x04, 0xD2, 0x00, 0x35, 0x00, 0x0D, 0xFF, 0xFE};
const std::string kLines = "sourse port = 1234 \r\ndestination port = 53 \r\nchecksum = 65534\r\n";

TEST(UdpSection, PayloadGetsAsciiThenHexWhateverTheViewFlagsSay) {
  TestStore s;
  // The length field says 13, the stored bytes give 5: the stored length wins.
  s.Add(17, Datagram(Concat(kHeader, {'h', 'i', '\r', '\n', 0})));
  const std::string expected = Title(0, "udp ") + kLines +
                               "data length = 5\r\ndata in ASCII view:\r\nhi\r\n\r\n"
                               "data in HEX view:\r\n68 69 d a 0 \r\n";
  for (ReportViews views : {ReportViews{}, ReportViews{false, true, false}, ReportViews{true, true, true}}) {
    EXPECT_EQ(s.Report(0, views), expected);
  }
}

// For a terminal: odd bytes of the character view as '.', one for one; zeros and hex kept.
TEST(UdpSection, PrintableOnlyShowsOddBytesAsDotsInTheCharacterViewAlone) {
  TestStore s;
  s.Add(17, Datagram(Concat(kHeader, {'h', 0x1b, 0, '\r', '\n', 0x9b})));
  EXPECT_EQ(s.Report(0, ReportViews{false, false, false, /*printableOnly=*/true}),
            Title(0, "udp ") + kLines +
                "data length = 6\r\ndata in ASCII view:\r\nh....\r\ndata in HEX view:\r\n68 1b 0 d a 9b \r\n");
}

TEST(UdpSection, HeaderAloneEndsAfterTheChecksum) {
  TestStore s;
  s.Add(17, Datagram(kHeader));
  EXPECT_EQ(s.Report(0, {true, false, true}), Title(0, "udp ") + kLines);
}

TEST(UdpSection, ShortDatagramShowsTheFieldsThatExistThenSaysSo) {
  TestStore s;
  s.Add(17, Datagram(Bytes(kHeader.begin(), kHeader.begin() + 7)));
  s.Add(17, Datagram(Bytes(kHeader.begin(), kHeader.begin() + 3)));
  EXPECT_EQ(s.Report(0), Title(0, "udp ") +
                             "sourse port = 1234 \r\ndestination port = 53 \r\npacket is truncated\r\n");
  EXPECT_EQ(s.Report(1), Title(1, "udp ") + "sourse port = 1234 \r\npacket is truncated\r\n");
}

}  // namespace
}  // namespace trovix::test
