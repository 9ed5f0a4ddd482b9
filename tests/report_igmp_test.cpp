// IGMP sections: nibbles, the checksum in network byte order, the group address.
#include <gtest/gtest.h>

#include "report/packet_report.h"
#include "tests/report_test_support.h"

namespace trovix::test {
namespace {

TEST(IgmpSection, ShowsNibblesChecksumAndGroup) {
  const std::pair<uint8_t, std::string> cases[] = {
      {0x11, "version = 1\r\ntype = 1\r\n"},
      {0x16, "version = 1\r\ntype = 6\r\n"},
      {0x22, "version = 2\r\ntype = 2\r\n"},
  };
  for (const auto& [first, nibbles] : cases) {
    TestStore s;
    s.Add(2, Datagram({first, 0x64, 0x12, 0x34, 224, 0, 0, 1}));
    EXPECT_EQ(s.Report(0),
              Title(0, "igmp") + nibbles + "cheksum = 4660\r\ngroup adddress = 224.0.0.1\r\n");
  }
}

TEST(IgmpSection, ShortMessageShowsTheFieldsThatExistThenSaysSo) {
  TestStore s;
  s.Add(2, Datagram({0x16, 0, 0xFF, 0xFF, 239, 255}));
  EXPECT_EQ(s.Report(0), Title(0, "igmp") +
                             "version = 1\r\ntype = 6\r\ncheksum = 65535\r\npacket is truncated\r\n");
}

}  // namespace
}  // namespace trovix::test
