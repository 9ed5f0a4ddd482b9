// The programs column's texts and JSON, and the socket table's message read within its
// bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/platform/sock_diag.h"
#include "capture/program_table.h"
#include "cli/packet_output.h"

namespace trovix {
namespace {

TEST(ProgramTextTest, EachOwnerReadsAsTheColumnAndTheJsonSayIt) {
  ProgramTable table;
  uint32_t curl = table.InternProgram("curl", 4242, "alice");
  uint32_t nginx = table.InternProgram("nginx", 77, "www-data");
  uint32_t nobody = table.InternProgram("", 0, "nobody");
  EXPECT_EQ(table.InternProgram("curl", 4242, "alice"), curl);
  const struct {
    uint32_t source, destination;
    const char* column;
    const char* json;
  } cases[] = {
      {curl, kNoProgram, "curl 4242", R"([{"name":"curl","pid":4242,"user":"alice","end":"source"}])"},
      {kNoProgram, nginx, "nginx 77",
       R"([{"name":"nginx","pid":77,"user":"www-data","end":"destination"}])"},
      {curl, nginx, "curl 4242 \u2192 nginx 77",
       R"([{"name":"curl","pid":4242,"user":"alice","end":"source"},)"
       R"({"name":"nginx","pid":77,"user":"www-data","end":"destination"}])"},
      {kUnknownProgram, nobody, "? \u2192 user nobody",
       R"([{"name":null,"pid":null,"user":"nobody","end":"destination"}])"},
      {kUnknownProgram, kNoProgram, "?", "[]"},
      {kNoProgram, kNoProgram, "?", "[]"},
  };
  for (const auto& c : cases) {
    uint32_t owner = table.InternOwner(c.source, c.destination);
    EXPECT_EQ(table.OwnerText(owner), c.column);
    std::string json;
    cli::AppendJsonPrograms(json, table, owner);
    EXPECT_EQ(json, c.json) << c.column;
  }
  EXPECT_EQ(table.OwnerText(kOwnerPending), "?");
}

TEST(ProgramTextTest, ASocketMessageIsReadOnlyWhenWhole) {
  std::vector<uint8_t> message(72, 0);
  message[0] = 2;                            // AF_INET
  message[1] = 10;                           // listening
  message[4] = 0x1f, message[5] = 0x90;      // port 8080
  message[8] = 127, message[11] = 1;         // 127.0.0.1
  message[68] = 0x39, message[69] = 0x30;    // inode 12345, in the kernel's (little-endian) order
  DiagSocket s;
  ASSERT_TRUE(ParseDiagMessage(message.data(), message.size(), 6, s));
  EXPECT_EQ(s.localPort, 8080);
  EXPECT_EQ(s.inode, 12345u);
  EXPECT_EQ(s.state, 10);
  const uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
  EXPECT_EQ(std::vector<uint8_t>(s.local, s.local + 16), std::vector<uint8_t>(mapped, mapped + 16));
  EXPECT_FALSE(ParseDiagMessage(message.data(), 71, 6, s));
  message[0] = 1;  // AF_UNIX: not an inet socket
  EXPECT_FALSE(ParseDiagMessage(message.data(), message.size(), 6, s));
}

}  // namespace
}  // namespace trovix
