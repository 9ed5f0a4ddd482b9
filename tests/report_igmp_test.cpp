// IGMP sections: nibbles, the checksum in network byte order, the group address, then the
// message the whole first byte names.
#include <gtest/gtest.h>

#include "report/packet_report.h"
#include "tests/report_test_support.h"

namespace trovix::test {
namespace {

TEST(IgmpSection, ShowsNibblesChecksumAndGroupThenNamesTheMessage) {
  const std::pair<uint8_t, std::string> cases[] = {
      {0x11, "version = 1\r\ntype = 1\r\n"},
      {0x16, "version = 1\r\ntype = 6\r\n"},
      {0x22, "version = 2\r\ntype = 2\r\n"},
      {0x13, "version = 1\r\ntype = 3\r\n"},
  };
  const std::string named[] = {
      "message = membership query\r\n",
      "message = v2 membership report\r\n",
      // The group field's last two bytes are a v3 report's record count: one record
      // announced, none received.
      "message = v3 membership report\r\ngroup records = 1\r\npacket is truncated\r\n",
      "",
  };
  for (size_t k = 0; k < std::size(cases); ++k) {
    TestStore s;
    s.Add(2, Datagram({cases[k].first, 0x64, 0x12, 0x34, 224, 0, 0, 1}));
    EXPECT_EQ(s.Report(0), Title(0, "igmp") + cases[k].second +
                               "cheksum = 4660\r\ngroup adddress = 224.0.0.1\r\n" + named[k]);
  }
}

TEST(IgmpSection, ShortMessageShowsTheFieldsThatExistThenSaysSo) {
  TestStore s;
  s.Add(2, Datagram({0x16, 0, 0xFF, 0xFF, 239, 255}));
  EXPECT_EQ(s.Report(0), Title(0, "igmp") +
                             "version = 1\r\ntype = 6\r\ncheksum = 65535\r\n"
                             "message = v2 membership report\r\npacket is truncated\r\n");
}

}  // namespace
}  // namespace trovix::test
