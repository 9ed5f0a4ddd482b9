#include "capture/protocol_table.h"

#include <gtest/gtest.h>

#include <string>

namespace trovix {
namespace {

// The first line of a number names it, when its name fits the list and holds nothing a
// line or a JSON string could not; the switches' words and 255 are never replaced.
TEST(ProtocolWords, TheDatabasesFirstUsableNameElseRaw) {
  ProtocolWords words;
  ReadProtocolWords("# protocols\nip\t0\tIP\t# first\nhopopt 0\n  gre 47 GRE\nesp\t50\r\nipv6-icmp 58\n"
                    "ipv6-nonxt 59\nmobility-header 135\nmh 135\nbad\"name 100\ntcp-like 6\nmptcp 262\n"
                    "padded 0048\nno-number\n#commented 49\nreserved 255\nlast 254",
                    words);
  const std::pair<int, std::string> expected[] = {
      {0, "ip"},   {1, "icmp"}, {2, "igmp"}, {3, "raw"},    {6, "tcp"},   {17, "udp"},         {47, "gre"},
      {48, "raw"}, {49, "raw"}, {50, "esp"}, {58, "icmp6"}, {59, "ipv6-nonxt"}, {100, "raw"}, {135, "raw"},
      {254, "last"}, {255, "raw"}};
  for (const auto& [protocol, word] : expected) EXPECT_EQ(words.text[protocol], word) << protocol;
}

}  // namespace
}  // namespace trovix
