// trovix-cli's --stats and --stats-interval on a capture file the test writes, and their
// totals beside tshark's on the same file.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/command_output.h"
#include "tests/datagram_builder.h"
#include "tests/pcap_bytes.h"
#include "tests/temp_files.h"

namespace trovix {
namespace {

constexpr uint32_t kLinkTypeRaw = 101;
constexpr uint32_t kSecond = 1700000000;

// tshark reads a conversation only from whole headers: TCP's data offset, UDP's length.
std::vector<uint8_t> Whole(std::vector<uint8_t> d, size_t header, const char* payload = nullptr) {
  uint8_t protocol = (d[0] >> 4) == 6 ? d[6] : d[9];
  if (protocol == 6) d[header + 12] = 0x50;
  if (protocol == 17) {
    d[header + 4] = static_cast<uint8_t>((d.size() - header) >> 8);
    d[header + 5] = static_cast<uint8_t>(d.size() - header);
  }
  if (payload != nullptr) std::memcpy(&d[header + 20], payload, std::strlen(payload));
  return d;
}

// A UDP exchange (two ways, one conversation), an IPv6 HTTP request and its empty answer,
// an ICMP pair, an ICMPv6 message alone; times in milliseconds after kSecond.
std::string Capture() {
  auto udp = [](const char* src, const char* dst, uint16_t sp, uint16_t dp, size_t payload) {
    return Whole(test::MakeDatagram({.protocol = 17, .src = src, .dst = dst, .sport = sp, .dport = dp, .payload = payload}), 20);
  };
  std::pair<std::vector<uint8_t>, uint32_t> records[] = {
      {udp("198.18.0.1", "198.18.0.2", 40000, 53, 20), 0},
      {udp("198.18.0.2", "198.18.0.1", 53, 40000, 60), 400},
      {Whole(test::MakeIpv6Datagram({.upper = 6, .src = "2001:db8::1", .dst = "2001:db8::2", .sport = 40001,
                                     .dport = 80, .payload = 100}), 40, "GET / HTTP/1.1\r\n"), 1000},
      {Whole(test::MakeIpv6Datagram({.upper = 6, .src = "2001:db8::2", .dst = "2001:db8::1", .sport = 80,
                                     .dport = 40001}), 40), 1200},
      {test::MakeDatagram({.protocol = 1, .src = "198.18.0.1", .dst = "198.18.0.3", .payload = 8}), 1500},
      {test::MakeDatagram({.protocol = 1, .src = "198.18.0.3", .dst = "198.18.0.1", .payload = 8}), 1600},
      {udp("198.18.0.1", "198.18.0.2", 40000, 53, 20), 2500},
      {test::MakeIpv6Datagram({.upper = 58, .src = "2001:db8::1", .dst = "2001:db8::3", .payload = 8}), 2600},
  };
  std::string file = test::PcapHeader(kLinkTypeRaw);
  for (const auto& [datagram, ms] : records) file += test::PcapRecord(datagram, kSecond + ms / 1000, ms % 1000 * 1000000);
  return file;
}

class CliStats : public ::testing::Test {
 protected:
  test::CommandResult Cli(const std::string& options) {
    return test::RunCommand(std::string(TROVIX_CLI) + " -r '" + file_ + "' " + options + " 2>/dev/null");
  }
  test::TempFolder folder_;
  std::string file_ = folder_.Write("stats.pcap", Capture());
};

TEST_F(CliStats, EveryTableLargestFirst) {
  const std::pair<const char*, std::string> cases[] = {
      {"--stats=conversations",
       "protocol\taddress_a\tport_a\taddress_b\tport_b\tpackets_a_to_b\tbytes_a_to_b\tpackets_b_to_a\tbytes_b_to_a\t"
       "packets\tbytes\tfirst\tduration\tbits_per_second\tprograms\n"
       "tcp\t2001:db8::1\t40001\t2001:db8::2\t80\t1\t160\t1\t60\t2\t220\t1.000000\t0.200000\t8800\t\n"
       "udp\t198.18.0.1\t40000\t198.18.0.2\t53\t2\t96\t1\t88\t3\t184\t0.000000\t2.500000\t589\t\n"
       "icmp\t198.18.0.1\t\t198.18.0.3\t\t1\t28\t1\t28\t2\t56\t1.500000\t0.100000\t4480\t\n"
       "icmp6\t2001:db8::1\t\t2001:db8::3\t\t1\t48\t0\t0\t1\t48\t2.600000\t0.000000\t\t\n"},
      {"--stats=endpoints",
       "address\tpackets_sent\tbytes_sent\tpackets_received\tbytes_received\tpackets\tbytes\tprograms\n"
       "2001:db8::1\t2\t208\t1\t60\t3\t268\t\n198.18.0.1\t3\t124\t2\t116\t5\t240\t\n"
       "2001:db8::2\t1\t60\t1\t160\t2\t220\t\n198.18.0.2\t1\t88\t2\t96\t3\t184\t\n"
       "198.18.0.3\t1\t28\t1\t28\t2\t56\t\n2001:db8::3\t0\t0\t1\t48\t1\t48\t\n"},
      {"--stats=ports",
       "address\tprotocol\tport\tpackets_sent\tbytes_sent\tpackets_received\tbytes_received\tpackets\tbytes\tprograms\n"
       "2001:db8::1\ttcp\t40001\t1\t160\t1\t60\t2\t220\t\n2001:db8::2\ttcp\t80\t1\t60\t1\t160\t2\t220\t\n"
       "198.18.0.1\tudp\t40000\t2\t96\t1\t88\t3\t184\t\n198.18.0.2\tudp\t53\t1\t88\t2\t96\t3\t184\t\n"},
      {"--stats=protocols",
       "protocol\tpackets\tbytes\tshare\nIPv6\t3\t268\t52.76\nIPv6/TCP\t2\t220\t43.31\nIPv6/TCP/HTTP\t1\t160\t31.50\n"
       "IPv6/ICMPv6\t1\t48\t9.45\nIPv4\t5\t240\t47.24\nIPv4/UDP\t3\t184\t36.22\nIPv4/UDP/DNS\t3\t184\t36.22\n"
       "IPv4/ICMP\t2\t56\t11.02\n"},
      // A file names no program.
      {"--stats=programs",
       "program\tuser\tpackets_sent\tbytes_sent\tpackets_received\tbytes_received\tpackets\tbytes\tconversations\n"},
      {"--stats=programs --json", "[]\n"},
      {"--stats-interval=1", "start\tframes\tbytes\n0.000000\t2\t136\n1.000000\t4\t276\n2.000000\t2\t96\n"},
      {"--stats-interval=0.5 --json -c 3",
       "[\n{\"start\":0.000000,\"frames\":2,\"bytes\":136},\n{\"start\":0.500000,\"frames\":0,\"bytes\":0},\n"
       "{\"start\":1.000000,\"frames\":1,\"bytes\":160}\n]\n"},
      {"--stats=conversations --json -c 5 icmp",
       "[\n{\"protocol\":\"icmp\",\"address_a\":\"198.18.0.1\",\"port_a\":null,\"address_b\":\"198.18.0.3\",\"port_b\":"
       "null,\"packets_a_to_b\":1,\"bytes_a_to_b\":28,\"packets_b_to_a\":1,\"bytes_b_to_a\":28,\"packets\":2,\"bytes\":"
       "56,\"first\":0.000000,\"duration\":0.100000,\"bits_per_second\":4480,\"programs\":[]}\n]\n"},
  };
  for (const auto& [options, expected] : cases) {
    test::CommandResult r = Cli(options);
    EXPECT_EQ(r.status, 0) << options;
    EXPECT_EQ(r.out, expected) << options;
  }
}

TEST_F(CliStats, OptionsThatCannotGoTogetherAreRefused) {
  for (const char* options : {"--stats=hosts", "--stats-interval=0", "--stats-interval=1x", "--stats=programs -d",
                              "--stats=endpoints --stats-interval=1", "--stats-interval=1 -w -"}) {
    test::CommandResult r = Cli(options);
    EXPECT_EQ(r.status, 2) << options;
    EXPECT_EQ(r.out, "") << options;
  }
}

// Frames and bytes of every conversation tshark lists, "udp 184" and the like, sorted.
std::vector<std::string> TsharkConversations(const std::string& text) {
  std::vector<std::string> rows;
  std::string kind;
  std::istringstream lines(text);
  static const std::regex row(R"(<->.*?\s(\d+)\s+(\d+) bytes\s+(\d+)\s+(\d+) bytes\s+(\d+)\s+(\d+) bytes)");
  for (std::string line; std::getline(lines, line);) {
    if (line.find(" Conversations") != std::string::npos) kind = line.substr(0, line.find(' '));
    std::smatch m;
    if (std::regex_search(line, m, row)) rows.push_back(kind + " " + m[5].str() + " " + m[6].str());
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

std::vector<std::string> OurConversations(const std::string& tsv) {
  std::vector<std::string> rows;
  std::istringstream lines(tsv);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> cells;
    std::istringstream fields(line);
    for (std::string cell; std::getline(fields, cell, '\t');) cells.push_back(cell);
    if (cells.size() > 10 && (cells[0] == "tcp" || cells[0] == "udp")) {
      rows.push_back((cells[0] == "tcp" ? "TCP " : "UDP ") + cells[9] + " " + cells[10]);
    }
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

// "frames bytes" of each interval tshark lists.
std::vector<std::string> TsharkIntervals(const std::string& text) {
  std::vector<std::string> rows;
  static const std::regex row(R"(<>\s*\S+\s*\|\s*(\d+)\s*\|\s*(\d+)\s*\|)");
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, row)) rows.push_back(m[1].str() + " " + m[2].str());
  }
  return rows;
}

std::vector<std::string> OurIntervals(const std::string& tsv) {
  std::vector<std::string> rows;
  std::istringstream lines(tsv);
  std::string line;
  std::getline(lines, line);  // the header
  while (std::getline(lines, line)) rows.push_back(line.substr(line.find('\t') + 1));
  for (std::string& r : rows) r[r.find('\t')] = ' ';
  return rows;
}

// A raw-IP file's bytes are IP bytes, so here tshark's byte counts are ours too.
TEST_F(CliStats, TotalsAreTsharks) {
  if (test::RunCommand("command -v tshark").status != 0) GTEST_SKIP() << "no tshark";
  test::CommandResult conv = test::RunCommand("tshark -n -r '" + file_ + "' -q -z conv,tcp -z conv,udp 2>/dev/null");
  test::CommandResult io = test::RunCommand("tshark -n -r '" + file_ + "' -q -z io,stat,1 2>/dev/null");
  ASSERT_EQ(conv.status, 0);
  ASSERT_EQ(io.status, 0);
  const std::vector<std::string> conversations = {"TCP 2 220", "UDP 3 184"};
  EXPECT_EQ(TsharkConversations(conv.out), conversations) << conv.out;
  EXPECT_EQ(OurConversations(Cli("--stats=conversations").out), conversations);
  const std::vector<std::string> intervals = {"2 136", "4 276", "2 96"};
  EXPECT_EQ(TsharkIntervals(io.out), intervals) << io.out;
  EXPECT_EQ(OurIntervals(Cli("--stats-interval=1").out), intervals);
}

}  // namespace
}  // namespace trovix
