// The services database as the report reads it, and the section it gives a port that no
// other section reads.
#include <gtest/gtest.h>

#include <string>

#include "report/service_names.h"
#include "tests/report_test_support.h"

namespace trovix::test {
namespace {

TEST(ServiceNames, TheFirstLineOfAPortNamesItAndOddLinesAreLeftOut) {
  ServiceNames names;
  ReadServiceNames("# a comment\nssh\t\t22/tcp\t\t\t# SSH\nhttp 80/tcp www\nwww-alt 80/tcp\ndomain 53/udp\n"
                   "big 70000/tcp\nodd 1x/tcp\nsctp-only 9/sctp\nname-longer-than-thirty-two-letters 7/tcp\n"
                   "we\x01rd 8/udp\nlast 443/tcp",
                   names);
  struct Row {
    bool tcp;
    uint16_t port;
    const char* name;
  } rows[] = {{true, 22, "ssh"}, {true, 80, "http"}, {false, 53, "domain"}, {true, 53, nullptr},
              {true, 4464, nullptr}, {true, 1, nullptr}, {true, 9, nullptr}, {true, 7, nullptr},
              {false, 8, nullptr}, {true, 443, "last"}};
  for (const Row& row : rows) {
    const char* found = FindServiceName(names, row.tcp, row.port);
    EXPECT_STREQ(found, row.name) << row.port;
  }
  EXPECT_EQ(names.entries.size(), 4u);
}

// The system's own database: skipped where it does not name port 22.
TEST(ServiceNames, APortNoSectionReadsIsNamedAfterTheOthers) {
  const char* ssh = FindServiceName(TheServiceNames(), true, 22);
  if (ssh == nullptr || std::string(ssh) != "ssh") GTEST_SKIP() << "/etc/services does not name 22/tcp ssh";
  TestStore s;
  Bytes tcp = {0x9C, 0x40, 0, 22, 0, 0, 0, 1, 0, 0, 0, 1, 0x50, 0x18, 0xFF, 0xFF, 0, 0, 0, 0, 'S', 'S', 'H', '-'};
  s.Add(6, Datagram(tcp));
  std::string report = BuildPacketReport(*s.store, 0, {}).text;
  EXPECT_NE(report.find("\r\n\r\npacket0 service\r\ndestination port 22 = ssh\r\n"), std::string::npos) << report;
  EXPECT_EQ(report.find("source port 40000"), std::string::npos);
}

}  // namespace
}  // namespace trovix::test
