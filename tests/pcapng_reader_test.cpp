// What the pcapng block reader keeps beside the packets: comments and name records.
#include <gtest/gtest.h>

#include "capture/sources/pcapng_reader.h"
#include "tests/pcap_bytes.h"

namespace trovix {
namespace {

using namespace std::string_literals;
using Block = PcapngReader::Block;

TEST(PcapngReader, CommentsAndNameRecordsAreKeptInEitherByteOrder) {
  for (bool big : {false, true}) {
    const test::Pcapng ng(big);
    test::ByteSource bytes{ng.Section(ng.Option(1, "capture of the lab")) + ng.Interface(101, ng.Option(1, "uplink")) +
                ng.Block(4, ng.Option(1, "\xc6\x12\x00\x01" "a.test\0b.test\0"s) +
                                ng.Option(2, "\x20\x01\x0d\xb8" + std::string(11, '\0') + "\x02" "c.test\0"s) +
                                ng.Option(0, "") + ng.Option(1, "from DNS")) +
                ng.Packet(0, 7, {0x45, 0, 0, 20}, ng.Option(1, "program: ssh (pid 42, user ann)"))};
    PcapngReader reader(test::ByteSource::Read, &bytes);
    ASSERT_EQ(reader.Next(), Block::kOther);
    EXPECT_EQ(reader.sectionComments(), std::vector<std::string>({"capture of the lab"}));
    ASSERT_EQ(reader.Next(), Block::kOther);
    EXPECT_EQ(reader.interfaces().at(0).comments, std::vector<std::string>({"uplink"}));
    ASSERT_EQ(reader.Next(), Block::kNames);
    ASSERT_EQ(reader.names().size(), 3u);
    std::vector<std::string> seen;
    for (const PcapngName& n : reader.names()) {
      seen.push_back(std::to_string(n.family) + " " + std::to_string(n.address[n.family == 4 ? 3 : 15]) + " " +
                     std::string(n.name));
    }
    EXPECT_EQ(seen, std::vector<std::string>({"4 1 a.test", "4 1 b.test", "6 2 c.test"}));
    EXPECT_EQ(reader.comments(), std::vector<std::string_view>({"from DNS"}));
    ASSERT_EQ(reader.Next(), Block::kPacket);
    EXPECT_EQ(reader.packet().receiveTime, 7000);
    EXPECT_EQ(reader.packet().size, 4u);
    EXPECT_EQ(reader.comments(), std::vector<std::string_view>({"program: ssh (pid 42, user ann)"}));
    EXPECT_EQ(reader.Next(), Block::kEnd);
  }
}

}  // namespace
}  // namespace trovix
