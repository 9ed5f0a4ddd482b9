// Which TCP payloads the TLS and HTTP sections take on any port, and how packet bytes are
// written into a report line.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "report/report_text.h"
#include "report/sections.h"
#include "tests/report_test_support.h"

namespace trovix::test {
namespace {

TEST(PayloadKinds, OnlyARecordHeaderOrAnHttpStartIsTakenWhateverThePort) {
  struct Row {
    std::string_view bytes;
    bool tls, http;
  } rows[] = {
      {std::string_view("\x16\x03\x01\x02\x00", 5), true, false},
      {std::string_view("\x17\x03\x03", 3), true, false},
      {std::string_view("\x16\x03\x05\x00\x10", 5), false, false},  // no such version
      {std::string_view("\x19\x03\x03\x00\x10", 5), false, false},  // no such content type
      {std::string_view("\x16\x03", 2), false, false},
      {"GET / HTTP/1.1\r\n", false, true},
      {"OPTIONS * HTTP/1.1\r\n", false, true},
      {"HTTP/1.0 200 OK\r\n", false, true},
      {"GETX / HTTP/1.1\r\n", false, false},
      {"get / HTTP/1.1\r\n", false, false},
      {"HTTP/2 200\r\n", false, false},
      {"PRI * HTTP/2.0\r\n", false, false},
  };
  for (const Row& row : rows) {
    Bytes bytes(row.bytes.begin(), row.bytes.end());
    EXPECT_EQ(BeginsTlsRecord(ByteReader(bytes.data(), bytes.size())), row.tls) << row.bytes;
    EXPECT_EQ(BeginsHttpMessage(ByteReader(bytes.data(), bytes.size())), row.http) << row.bytes;
  }
}

TEST(PayloadKinds, PacketBytesReachALineAsPrintableTextOnly) {
  Bytes bytes = {'a', ' ', '~', '\\', '\r', '\n', 0, 0x7F, 0xFF};
  ByteReader r(bytes.data(), bytes.size());
  std::string line;
  EXPECT_TRUE(AppendEscaped(line, r, 0, bytes.size()));
  EXPECT_EQ(line, "a ~\\092\\013\\010\\000\\127\\255");
  // Bytes not all received: nothing, and the reader says so.
  EXPECT_FALSE(AppendEscaped(line, r, 8, 2));
  EXPECT_TRUE(r.truncated());
  EXPECT_EQ(line, "a ~\\092\\013\\010\\000\\127\\255");
}

}  // namespace
}  // namespace trovix::test
