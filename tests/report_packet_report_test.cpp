// The report frame: which packet is reported, its title, the header length and the
// stores a new capture leaves behind.
#include <gtest/gtest.h>

#include "report/packet_report.h"
#include "report/report_items.h"
#include "tests/report_test_support.h"

namespace trovix::test {
namespace {

// An IGMP message whose group address tells the packets apart.
Bytes IgmpFor(uint8_t last) { return Datagram({0x11, 0, 0, 0, 224, 0, 0, last}); }

std::string IgmpReport(int32_t index, uint8_t last) {
  return Title(index, "igmp") + "version = 1\r\ntype = 1\r\ncheksum = 0\r\ngroup adddress = 224.0.0." +
         std::to_string(last) + "\r\nmessage = membership query\r\n";
}

TEST(PacketReport, NothingStoredGivesNoReportAndKeepsTheIndex) {
  TestStore s;
  PacketReport report = BuildPacketReport(*s.store, -1, {});
  EXPECT_EQ(report.outcome, ReportOutcome::kNothingStored);
  EXPECT_EQ(report.text, "");
  EXPECT_EQ(report.selectedPacketIndex, -1);
}

TEST(PacketReport, NoSelectedRowReportsPacketZeroAndSelectsIt) {
  TestStore s;
  s.Add(2, IgmpFor(1));
  s.Add(2, IgmpFor(2));
  PacketReport report = BuildPacketReport(*s.store, -1, {});
  EXPECT_EQ(report.outcome, ReportOutcome::kReport);
  EXPECT_EQ(UpperLayerLines(report.text, 0), IgmpReport(0, 1));
  EXPECT_EQ(report.selectedPacketIndex, 0);
}

TEST(PacketReport, LocatesEachPacketBySummingTheLengthsBeforeIt) {
  TestStore s;
  s.Add(2, IgmpFor(1));
  s.Add(2, Concat(IgmpFor(2), Bytes(13, 0)));  // odd length, so offsets are not aligned
  s.Add(2, IgmpFor(3));
  EXPECT_EQ(s.Report(0), IgmpReport(0, 1));
  EXPECT_EQ(s.Report(2), IgmpReport(2, 3));
}

// A protocol without a section of its own is titled by its list word (the protocols
// database's name, or "raw").
TEST(PacketReport, RawSectionsAreTheirProtocolWordAlone) {
  TestStore s;
  // The bytes claim TCP: the protocol table decides, not the copy.
  Bytes tcpLooking = Datagram(Bytes(20, 0x50));
  tcpLooking[9] = 6;
  for (int k = 0; k < 8; ++k) s.Add(255, tcpLooking);
  s.Add(0, tcpLooking);
  s.Add(47, tcpLooking);
  s.Add(50, tcpLooking);
  s.Add(17, {});  // an empty datagram still gets the right title
  std::string raw = s.Report(7);
  EXPECT_EQ(raw, "packets source:\r\n\r\npacket7 raw\r\n");
  EXPECT_EQ(SplitReportItems(raw), (std::vector<std::string>{"packets source:", "", "packet7 raw", ""}));
  EXPECT_EQ(s.Report(8), Title(8, "ip"));
  EXPECT_EQ(s.Report(9), Title(9, "gre"));
  EXPECT_EQ(s.Report(10), Title(10, "esp"));
  EXPECT_EQ(s.Report(11), Title(11, "udp ") + "packet is truncated\r\n");
}

TEST(PacketReport, HeaderLengthIsTheLowNibbleOfTheFirstByteOnly) {
  Bytes udp = {0, 80, 0, 53, 0, 8, 0x12, 0x34};
  std::string expected = Title(0, "udp ") +
                         "sourse port = 80 \r\ndestination port = 53 \r\nchecksum = 4660\r\n";
  for (uint8_t first : {0x46, 0x06, 0xF6}) {
    TestStore s;
    s.Add(17, Datagram(udp, first));
    EXPECT_EQ(s.Report(0), expected) << int(first);
  }
}

TEST(PacketReport, HeaderLengthBelowTwentyOrPastTheEndIsShownNotDecoded) {
  TestStore s;
  s.Add(6, Bytes(40, 0x44));                           // 16-byte header: invalid
  s.Add(1, Concat(Bytes{0x4F}, Bytes(39, 0)));         // 60-byte header in 40 bytes: truncated
  EXPECT_EQ(s.Report(0), Title(0, "tcp") + "invalid IP header length = 16\r\n");
  EXPECT_EQ(s.Report(1), Title(1, "icmp") + "packet is truncated\r\n");
}

// A later fragment's first bytes belong to another datagram's payload, not to a header.
TEST(PacketReport, LaterFragmentIsNotDecodedAsATransportHeader) {
  Bytes udp = {0, 80, 0, 53, 0, 8, 0x12, 0x34};
  TestStore s;
  s.Add(17, Datagram(udp, 0x45, 0x00B9));  // offset 185 (1,480 bytes), more fragments clear
  s.Add(6, Datagram(udp, 0x45, 0x3FFF));   // largest offset, more-fragments set
  s.Add(17, Datagram(udp, 0x45, 0x2000));  // first fragment: has the header
  EXPECT_EQ(s.Report(0), Title(0, "udp ") + "fragment at offset = 1480\r\n");
  EXPECT_EQ(s.Report(1), Title(1, "tcp") + "fragment at offset = 65528\r\n");
  EXPECT_EQ(s.Report(2), Title(2, "udp ") +
                             "sourse port = 80 \r\ndestination port = 53 \r\nchecksum = 4660\r\n");
}

// The sections after an IPv4 datagram's own lines leave the details list selecting the
// upper layer's title, as it always did.
TEST(PacketReport, LaterSectionsLeaveTheUpperLayersTitleSelected) {
  TestStore s;
  Bytes query = {0x9C, 0x40, 0, 53, 0, 21, 0, 0, 0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1};
  s.Add(17, Datagram(query));
  std::vector<std::string> items = SplitReportItems(BuildPacketReport(*s.store, 0, {}).text);
  ASSERT_GT(items.size(), 30u);
  EXPECT_EQ(SelectTitleItem(items, 0).selected, 2);
  EXPECT_EQ(items[2], "packet0 udp ");
  int32_t ipv4 = FindItemWithPrefix(items, "packet0 ipv4");
  EXPECT_GT(ipv4, 2);
  EXPECT_GT(FindItemWithPrefix(items, "packet0 dns"), ipv4);
}

// After a new capture began, the index may exceed the count while the length table
// still holds the old capture's lengths; none of them may be used.
TEST(PacketReport, IndexBeyondTheCaptureNamesThePacketAndReadsNothing) {
  TestStore s;
  s.Add(2, IgmpFor(1));
  s.store->lengths[5] = 9'999'999;
  s.store->protocols[5] = 6;
  for (int32_t index : {1, 5, 16383, 2'000'000'000}) {
    PacketReport report = BuildPacketReport(*s.store, index, {});
    EXPECT_EQ(report.outcome, ReportOutcome::kNoSuchPacket);
    EXPECT_EQ(report.text, Title(index, "is not in the current capture"));
    EXPECT_EQ(report.selectedPacketIndex, index);
    EXPECT_EQ(SelectTitleItem(SplitReportItems(report.text), index).selected, 2);
  }
  // Tables that point outside the byte area are refused the same way.
  s.store->lengths[0] = kByteAreaSize + 1;
  EXPECT_EQ(BuildPacketReport(*s.store, 0, {}).outcome, ReportOutcome::kNoSuchPacket);
}

// A datagram as large as one receive returns: every byte is shown, nothing is cut.
TEST(PacketReport, LargestDatagramIsReportedWhole) {
  TestStore s;
  Bytes udp = {0, 1, 0, 2, 0, 0, 0, 3};
  Bytes datagram = Concat(Datagram(udp), Bytes(65535 - 28, 0xAB));
  s.Add(17, datagram);
  const size_t payload = 65535 - 28;
  std::string ascii;
  for (size_t k = 1; k <= payload; ++k) ascii += k % 64 == 0 ? "\xAB\r\n" : "\xAB";
  std::string hex;
  for (size_t k = 1; k <= payload; ++k) hex += k % 16 == 0 ? "ab \r\n" : "ab ";
  std::string expected = Title(0, "udp ") +
                         "sourse port = 1 \r\ndestination port = 2 \r\nchecksum = 3\r\n"
                         "data length = 65507\r\ndata in ASCII view:\r\n" + ascii +
                         "\r\ndata in HEX view:\r\n" + hex + "\r\n";
  std::string report = s.Report(0);
  EXPECT_GT(report.size(), 200'000u);
  EXPECT_EQ(report, expected);
}

}  // namespace
}  // namespace trovix::test
