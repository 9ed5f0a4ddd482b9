// Rows of the main packet list that name a packet, and rows that do not.
#include <gtest/gtest.h>

#include "report/packet_row.h"

namespace trovix::test {
namespace {

TEST(PacketIndexOfRow, OnlyPacketLinesNameAPacket) {
  EXPECT_EQ(PacketIndexOfRow("\t0\ttcp\t10.0.0.1\t80\t10.0.0.2\t1034\t40\t64"), 0);
  EXPECT_EQ(PacketIndexOfRow("\t9999\traw\t1.2.3.4\t0\t5.6.7.8\t0\t20\t1"), 9999);
  for (const char* row : {"don't found data!", "", "\t", "\t\t", "\t12", "12\ttcp", "\t-1\ttcp",
                          "\t+1\ttcp", "\t007\ttcp", "\t1a\ttcp", "\t99999999999\ttcp"}) {
    EXPECT_EQ(PacketIndexOfRow(row), std::nullopt) << testing::PrintToString(row);
  }
}

}  // namespace
}  // namespace trovix::test
