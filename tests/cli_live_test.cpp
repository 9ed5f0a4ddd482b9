// trovix-cli as a user runs it, on real traffic inside this process's private namespace.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <linux/capability.h>
#include <pcap/dlt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/capture_helpers.h"
#include "tests/command_output.h"
#include "tests/datagram_builder.h"
#include "tests/loopback_traffic.h"
#include "tests/netns.h"
#include "tests/pcap_bytes.h"
#include "tests/ssh_server.h"
#include "tests/temp_files.h"
#include "tests/veth6_traffic.h"
#include "tests/wire_builders.h"

namespace trovix {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kUsageLine =
    "usage: trovix-cli [-46AbdDhlnqvVX] [-i INTERFACE|ssh://[USER@]HOST[:PORT][/INTERFACE]]\n";

// A running trovix-cli (or tcpdump) with its standard output and error kept.
class Program {
 public:
  explicit Program(std::vector<std::string> args, bool withoutNetRaw = false) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      if (withoutNetRaw) prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }
  // Reads standard error until it says it is listening.
  bool Listening() {
    auto end = std::chrono::steady_clock::now() + 5s;
    while (stderr_.find("listening on") == std::string::npos && std::chrono::steady_clock::now() < end) {
      if (!ReadSome(err_, stderr_, 100)) break;
    }
    return stderr_.find("listening on") != std::string::npos;
  }
  // Reads until standard output (or error) holds `text`.
  bool Await(const std::string& text, std::chrono::milliseconds wait = 5s, bool inOut = true) {
    auto end = std::chrono::steady_clock::now() + wait;
    const std::string& kept = inOut ? stdout_ : stderr_;
    while (kept.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) {
      ReadSome(out_, stdout_, 20);
      ReadSome(err_, stderr_, 0);
    }
    return kept.find(text) != std::string::npos;
  }
  void Signal(int signal) { kill(pid_, signal); }
  pid_t pid() const { return pid_; }
  // Collects the output until the program ends; its exit code, or -1.
  int Wait() {
    for (bool outOpen = true, errOpen = true; outOpen || errOpen;) {
      if (outOpen) outOpen = ReadSome(out_, stdout_, 10);
      if (errOpen) errOpen = ReadSome(err_, stderr_, 10);
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& out() const { return stdout_; }
  const std::string& err() const { return stderr_; }

 private:
  // False once the pipe is at its end.
  static bool ReadSome(int fd, std::string& into, int waitMs) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) return true;
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    into.append(buf, static_cast<size_t>(n));
    return true;
  }
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  std::string stdout_, stderr_;
};

std::vector<std::string> Cli(std::initializer_list<std::string> args) {
  std::vector<std::string> all{TROVIX_CLI};
  all.insert(all.end(), args);
  return all;
}

// `sizes.size()` datagrams from 127.0.0.1:`from` to :`from`+1, payloads of the given sizes.
void SendFrom(uint16_t from, std::initializer_list<size_t> sizes) {
  for (size_t size : sizes) test::SendNumbered(from, static_cast<uint16_t>(from + 1), 1, size);
}

class CliLive : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::PrivateNetworkProblem().empty()) GTEST_SKIP() << test::PrivateNetworkProblem();
  }
  test::TempFolder folder_;
};

TEST_F(CliLive, LinesAreExactAndCountEndsTheCapture) {
  Program cli(Cli({"-i", "127.0.0.1", "-f", "*:40401", "-p", "udp", "-c", "3", "--time=none"}));
  ASSERT_TRUE(cli.Listening()) << cli.err();
  SendFrom(40409, {4});  // filtered out
  SendFrom(40401, {4, 5, 6, 7});
  EXPECT_EQ(cli.Wait(), 0);
  EXPECT_EQ(cli.out(),
            "0\tudp\t127.0.0.1\t40401\t127.0.0.1\t40402\t32\t64\n"
            "1\tudp\t127.0.0.1\t40401\t127.0.0.1\t40402\t33\t64\n"
            "2\tudp\t127.0.0.1\t40401\t127.0.0.1\t40402\t34\t64\n");
  EXPECT_NE(cli.err().find("\n3 datagrams written\n"), std::string::npos) << cli.err();
}

// One UDP datagram of `size` payload bytes from [::1]:`from` to [::1]:`from`+1.
void SendFromIpv6(uint16_t from, size_t size) {
  int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 self{}, to{};
  self.sin6_family = to.sin6_family = AF_INET6;
  self.sin6_addr = to.sin6_addr = in6addr_loopback;
  self.sin6_port = htons(from);
  to.sin6_port = htons(static_cast<uint16_t>(from + 1));
  std::string payload(size, 'x');
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self), 0);
  EXPECT_EQ(sendto(fd, payload.data(), size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(size));
  close(fd);
}

// -c ends a live capture, whose table then comes: both directions in one row, both families.
TEST_F(CliLive, StatsFollowACountedCapture) {
  Program cli(Cli({"-i", "lo", "-c", "4", "--stats=conversations", "udp portrange 40431-40432"}));
  ASSERT_TRUE(cli.Listening()) << cli.err();
  SendFrom(40431, {4, 5});
  test::SendNumbered(40432, 40431, 1, 6);
  SendFromIpv6(40431, 7);
  EXPECT_EQ(cli.Wait(), 0) << cli.err();
  // The columns up to the bytes: times and programs are the run's own.
  std::string table;
  std::istringstream lines(cli.out());
  for (std::string line; std::getline(lines, line);) {
    size_t at = 0;
    for (int tab = 0; tab < 11 && at != std::string::npos; ++tab) at = line.find('\t', at + 1);
    table += line.substr(0, at) + "\n";
  }
  EXPECT_EQ(table,
            "protocol\taddress_a\tport_a\taddress_b\tport_b\tpackets_a_to_b\tbytes_a_to_b\tpackets_b_to_a\t"
            "bytes_b_to_a\tpackets\tbytes\n"
            "udp\t127.0.0.1\t40431\t127.0.0.1\t40432\t2\t65\t1\t34\t3\t99\n"
            "udp\t::1\t40431\t::1\t40432\t1\t55\t0\t0\t1\t55\n");
}

TEST_F(CliLive, BothFamiliesByDefaultAndOneWithFourOrSix) {
  struct Case {
    std::vector<std::string> family;
    std::string out;
  } cases[] = {
      {{}, "0\tudp\t::1\t40421\t::1\t40422\t52\t64\n1\tudp\t127.0.0.1\t40421\t127.0.0.1\t40422\t33\t64\n"},
      {{"-6"}, "0\tudp\t::1\t40421\t::1\t40422\t52\t64\n1\tudp\t::1\t40421\t::1\t40422\t53\t64\n"},
      {{"-4"}, "0\tudp\t127.0.0.1\t40421\t127.0.0.1\t40422\t33\t64\n"
               "1\tudp\t127.0.0.1\t40421\t127.0.0.1\t40422\t34\t64\n"},
  };
  for (const Case& c : cases) {
    // UDP alone: the port unreachable errors the datagrams cause are kept by default.
    std::vector<std::string> args = Cli({"-i", "127.0.0.1", "-p", "udp", "-f", "*:40421", "-c", "2", "--time=none"});
    args.insert(args.end(), c.family.begin(), c.family.end());
    Program cli(args);
    ASSERT_TRUE(cli.Listening()) << cli.err();
    SendFromIpv6(40421, 4);
    SendFrom(40421, {5});
    SendFromIpv6(40421, 5);
    SendFrom(40421, {6});
    EXPECT_EQ(cli.Wait(), 0);
    EXPECT_EQ(cli.out(), c.out) << (c.family.empty() ? "both" : c.family[0]);
  }
  Program json(Cli({"--json", "-d", "-6", "-f", "[::1]:40431", "-c", "1"}));
  ASSERT_TRUE(json.Listening()) << json.err();
  SendFromIpv6(40431, 4);
  EXPECT_EQ(json.Wait(), 0);
  EXPECT_NE(json.out().find("\"family\":6,\"protocol\":\"udp\",\"from\":\"::1\",\"from_port\":40431,"),
            std::string::npos)
      << json.out();
  // Its report decodes the IPv6 header, then UDP from where the header ends.
  size_t ipv6 = json.out().find("packet0 ipv6");
  ASSERT_NE(ipv6, std::string::npos) << json.out();
  size_t udp = json.out().find("destination = ::1", ipv6);
  EXPECT_NE(json.out().find("packet0 udp ", udp), std::string::npos) << json.out();
  EXPECT_NE(json.out().find("sourse port = 40431 ", udp), std::string::npos) << json.out();
}

// A record's original length is its datagram's own, for either family (an IPv6 datagram's
// bytes 2 and 3 belong to its flow label, which the kernel sets): tshark reads each whole.
TEST_F(CliLive, CaptureFilesGiveEachRecordItsDatagramsLength) {
  std::string pcap = folder_.Path("both.pcap");
  Program cli(Cli({"-i", "lo", "-p", "udp", "-f", "*:40441", "-c", "2", "-w", pcap}));
  ASSERT_TRUE(cli.Listening()) << cli.err();
  SendFromIpv6(40441, 38);
  SendFrom(40441, {6});
  ASSERT_EQ(cli.Wait(), 0);
  test::CommandResult fields = test::RunCommand("tshark -r '" + pcap +
                                                "' -T fields -e frame.len -e frame.cap_len -e ipv6.flow 2>/dev/null");
  EXPECT_EQ(fields.out.substr(0, 6), "86\t86\t") << fields.out;
  EXPECT_NE(fields.out.substr(0, 13), "86\t86\t0x00000") << "an IPv6 datagram with a flow label";
  EXPECT_EQ(fields.out.substr(fields.out.find('\n') + 1), "34\t34\t\n");
}

TEST_F(CliLive, JsonParsesBackWithTheSameFields) {
  Program cli(Cli({"--json", "-d", "-f", "*:40411", "-c", "2"}));
  ASSERT_TRUE(cli.Listening()) << cli.err();
  SendFrom(40411, {4, 40});
  ASSERT_EQ(cli.Wait(), 0);
  std::string file = folder_.Write("out.json", cli.out());
  test::CommandResult parsed = test::RunCommand(
      "python3 -c 'import json,sys\n"
      "for l in open(sys.argv[1]):\n"
      " o=json.loads(l); print(o[\"index\"],o[\"protocol\"],o[\"from\"],o[\"from_port\"],o[\"to\"],o[\"to_port\"],"
      "o[\"size\"],o[\"ttl\"],o[\"time\"][:2],o[\"time\"][-1],len(o[\"time\"]),o[\"report\"].splitlines()[2])' " + file);
  EXPECT_EQ(parsed.out,
            "0 udp 127.0.0.1 40411 127.0.0.1 40412 32 64 20 Z 30 packet0 udp \n"
            "1 udp 127.0.0.1 40411 127.0.0.1 40412 68 64 20 Z 30 packet1 udp \n");
}

TEST_F(CliLive, CtrlCDuringAFloodLosesNoStoredDatagram) {
  std::string pcap = folder_.Path("flood.pcap");
  Program cli(Cli({"-i", "127.0.0.1", "-f", "*:40051", "-w", pcap}));
  ASSERT_TRUE(cli.Listening()) << cli.err();
  std::atomic<bool> stop{false};
  std::thread flood([&] { test::SendNumbered(40051, 40052, UINT32_MAX, 4, &stop); });
  std::this_thread::sleep_for(300ms);
  cli.Signal(SIGINT);
  int status = cli.Wait();
  stop = true;
  flood.join();
  EXPECT_EQ(status, 0);
  unsigned long long stored = 0, received = 0, dropped = 0;
  ASSERT_EQ(std::sscanf(cli.err().c_str(), "trovix-cli: listening on 127.0.0.1\n%llu datagrams written\n"
                        "%llu datagrams received by filter\n%llu datagrams dropped by kernel\n",
                        &stored, &received, &dropped), 3) << cli.err();
  EXPECT_GT(stored, 1000u);
  EXPECT_EQ(std::count(cli.out().begin(), cli.out().end(), '\n'), static_cast<long>(stored));
  test::CommandResult records = test::RunCommand("tcpdump -r '" + pcap + "' -nn 2>/dev/null | wc -l");
  EXPECT_EQ(records.out, std::to_string(stored) + "\n");
}

TEST_F(CliLive, ReadsWhatTcpdumpWritesOnEveryLinkType) {
  if (test::RunCommand("command -v tcpdump").status != 0) GTEST_SKIP() << "no tcpdump";
  const std::string expected =
      "0\tudp\t127.0.0.1\t40421\t127.0.0.1\t40422\t33\t64\n1\tudp\t127.0.0.1\t40421\t127.0.0.1\t40422\t34\t64\n";
  struct Kind {
    const char* name;
    std::vector<std::string> args;
  };
  std::vector<Kind> kinds = {
      {"EN10MB", {"-i", "lo"}}, {"LINUX_SLL", {"-i", "any", "-y", "LINUX_SLL"}}, {"LINUX_SLL2", {"-i", "any", "-y", "LINUX_SLL2"}}};
  for (Kind& kind : kinds) {
    std::string file = folder_.Path(std::string(kind.name) + ".pcap");
    std::vector<std::string> args{"tcpdump", "--immediate-mode", "-U", "-Z", "root", "-w", file};
    args.insert(args.end(), kind.args.begin(), kind.args.end());
    Program dump(args);
    ASSERT_TRUE(dump.Listening()) << dump.err();
    SendFrom(40421, {5, 6});
    std::this_thread::sleep_for(200ms);
    dump.Signal(SIGINT);
    dump.Wait();
    ASSERT_NE(test::RunCommand("tcpdump -r '" + file + "' 2>&1").out.find(kind.name), std::string::npos);
    Program cli(Cli({"-r", file, "-f", "*:40421", "--time=none"}));
    EXPECT_EQ(cli.Wait(), 0);
    EXPECT_EQ(cli.out(), expected) << kind.name;
  }
  // And the raw IPv4 files trovix-cli writes itself.
  std::string raw = folder_.Path("raw.pcap");
  Program writer(Cli({"-r", folder_.Path("EN10MB.pcap"), "-w", raw}));
  ASSERT_EQ(writer.Wait(), 0);
  Program cli(Cli({"-r", raw, "--time=none"}));
  EXPECT_EQ(cli.Wait(), 0);
  EXPECT_EQ(cli.out(), expected);
}

TEST_F(CliLive, EveryErrorIsOneLineAndAFailingExit) {
  struct Case {
    std::vector<std::string> args;
    bool withoutNetRaw;
    int status;
    std::string firstLine;
  };
  std::string text = folder_.Write("notes.txt", "not a capture\n");
  std::vector<Case> cases = {
      {Cli({}), true, 1,
       "trovix-cli: capturing needs membership of group trovix: join it with "
       "\"sudo usermod -aG trovix $USER\", then log in again\n"},
      {Cli({"-i", "198.18.7.7"}), false, 1, "trovix-cli: no interface has the address 198.18.7.7\n"},
      {Cli({"-t", "10.0.0.01:80"}), false, 2,
       "trovix-cli: -t 10.0.0.01:80: \"10.0.0.01\" is not an address as datagrams' are written (like 10.0.0.1); "
       "the forms are ADDRESS:PORT, ADDRESS:*, *:PORT or *:*; for IPv6 [ADDRESS]:PORT, [ADDRESS]:*, [ADDRESS] or "
       "ADDRESS; PORT a number from 0 to 65535 (0 and * keep any port)\n"},
      {Cli({"-r", text}), false, 1, "trovix-cli: cannot read " + text + " as a capture file: unknown file format\n"},
      {Cli({"-p", "tcp,http"}), false, 2, "trovix-cli: -p tcp,http: not a list of tcp, udp, icmp, igmp, raw\n"},
  };
  for (Case& c : cases) {
    Program cli(c.args, c.withoutNetRaw);
    EXPECT_EQ(cli.Wait(), c.status) << c.firstLine;
    EXPECT_EQ(cli.err().substr(0, cli.err().find('\n') + 1), c.firstLine);
    EXPECT_EQ(cli.out(), "");
  }
  // An expression whose program the helper would refuse, refused before a capture starts.
  Program wordIndex(Cli({"ip[ip[0:4]] = 1"}));
  ASSERT_FALSE(wordIndex.Listening());
  EXPECT_EQ(wordIndex.Wait(), 2);
  EXPECT_EQ(wordIndex.err(), "trovix-cli: the expression may read outside the datagram (an index that could come "
                             "out negative, or what the kernel keeps beside it), which the capture does not run\n");
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n') + 1); }

// A pcap file (raw IP, nanosecond times) of `datagrams`, each received at 1700000000.123456789,
// which is 2023-11-14 22:13:20 UTC.
std::string PcapOf(const std::vector<std::vector<uint8_t>>& datagrams) {
  const uint32_t head[6] = {0xa1b23c4d, 0x00040002, 0, 0, 65535, 101};
  std::string file(reinterpret_cast<const char*>(head), sizeof head);
  for (const std::vector<uint8_t>& d : datagrams) {
    const uint32_t record[4] = {1700000000, 123456789, static_cast<uint32_t>(d.size()), static_cast<uint32_t>(d.size())};
    file.append(reinterpret_cast<const char*>(record), sizeof record);
    file.append(d.begin(), d.end());
  }
  return file;
}

// 10.0.0.1:40461 to 10.0.0.2:40462, UDP, with `payload`.
std::vector<uint8_t> UdpWith(const std::string& payload) {
  std::vector<uint8_t> d = test::MakeDatagram({17, "10.0.0.1", "10.0.0.2", 40461, 40462, payload.size()});
  std::copy(payload.begin(), payload.end(), d.end() - static_cast<long>(payload.size()));
  return d;
}

TEST_F(CliLive, WhatATcpdumpUserTypesWorks) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;  // first lines
  } cases[] = {
      {Cli({"-h"}), 0, std::string(kUsageLine), ""},
      {Cli({"--help"}), 0, std::string(kUsageLine), ""},
      {Cli({"-V"}), 0, "trovix-cli 0.1.0\n", ""},
      {Cli({"--version"}), 0, "trovix-cli 0.1.0\n", ""},
      {Cli({"udp", "prt", "53"}), 2, "", "trovix-cli: can't parse filter expression: syntax error\n"},
  };
  for (const Case& c : cases) {
    Program cli(c.args);
    EXPECT_EQ(cli.Wait(), c.status) << c.args[1];
    EXPECT_EQ(FirstLine(cli.out()), c.out);
    EXPECT_EQ(FirstLine(cli.err()), c.err);
  }
  for (const char* interface : {"lo", "any"}) {
    Program cli(Cli({"-nli", interface, "--time=none", "-f", "*:40441", "-c", "1"}));
    ASSERT_TRUE(cli.Listening()) << cli.err();
    SendFrom(40441, {4});
    EXPECT_EQ(cli.Wait(), 0);
    EXPECT_EQ(cli.out(), "0\tudp\t127.0.0.1\t40441\t127.0.0.1\t40442\t32\t64\n") << interface;
  }
  Program quiet(Cli({"-qc", "2", "-f", "*:40451"}));
  ASSERT_TRUE(quiet.Listening()) << quiet.err();
  SendFrom(40451, {4, 4});
  EXPECT_EQ(quiet.Wait(), 0);
  EXPECT_EQ(quiet.out(), "");
  EXPECT_EQ(quiet.err(), "trovix-cli: listening on every interface\n2 datagrams written\n"
                         "2 datagrams received by filter\n0 datagrams dropped by kernel\n");
}

TEST_F(CliLive, LinesBeginWithTheReceiveTimeAsAsked) {
  std::string file = folder_.Write("in.pcap", PcapOf({UdpWith("x")}));
  const std::string columns = "0\tudp\t10.0.0.1\t40461\t10.0.0.2\t40462\t29\t64\n";
  std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "03:43:20.123456\t" + columns},  // local time by default
      {{"--time=utc"}, "22:13:20.123456\t" + columns},
      {{"--time=epoch"}, "1700000000.123456\t" + columns},
      {{"--time=none"}, columns},
      {{"--json"}, "{\"index\":0,\"time\":\"2023-11-14T22:13:20.123456789Z\""}};
  for (const auto& [option, line] : cases) {
    std::vector<std::string> args{"env", "TZ=<+0530>-5:30", TROVIX_CLI, "-r", file};
    args.insert(args.end(), option.begin(), option.end());
    Program cli(args);
    EXPECT_EQ(cli.Wait(), 0);
    EXPECT_EQ(cli.out().substr(0, line.size()), line) << args.back();
  }
}

TEST_F(CliLive, NoMistakeTouchesTheFileToWrite) {
  std::string keep = folder_.Write("keep.pcap", "precious");
  struct Case {
    std::vector<std::string> args;
    bool withoutNetRaw;
    int status;
  } cases[] = {
      {Cli({"-r", folder_.Path("typo.pcap"), "-w", keep}), false, 1},
      {Cli({"-i", "198.18.7.7", "-w", keep}), false, 1},
      {Cli({"-i", "nosuch0", "-w", keep}), false, 1},
      {Cli({"-w", keep}), true, 1},
      {Cli({"-r", keep, "-w", keep}), false, 2},
  };
  for (const Case& c : cases) {
    Program cli(c.args, c.withoutNetRaw);
    EXPECT_EQ(cli.Wait(), c.status) << cli.err();
    EXPECT_EQ(test::RunCommand("cat '" + keep + "'").out, "precious") << cli.err();
  }
  for (const char* beside : {"-d", "--json", "-X"}) {
    Program cli(Cli({"-w", "-", beside}));
    EXPECT_EQ(cli.Wait(), 2);
    EXPECT_EQ(FirstLine(cli.err()), "trovix-cli: -w - writes the capture file to standard output, which then carries "
                                    "no lines: -d, -v, -A, -X and --json have nowhere to go (write the file elsewhere "
                                    "with -w FILE)\n");
  }
  std::string in = folder_.Write("in.pcap", PcapOf({UdpWith("x")}));
  test::CommandResult terminal = test::RunCommand("script -qec '" TROVIX_CLI " -r " + in + " -w -' /dev/null");
  EXPECT_EQ(terminal.status, 2);
  EXPECT_EQ(FirstLine(terminal.out), "trovix-cli: -w - would write the capture file to the terminal: send standard "
                                     "output to a file or a program\r\n");
}

// A pcapng file of `datagram` (raw IPv4) on interfaces with nanosecond stamps offset by
// `offsets` seconds, record i on interface i stamped `stamps[i]`.
std::string PcapngOf(const std::vector<int64_t>& offsets, const std::vector<uint64_t>& stamps,
                     const std::vector<uint8_t>& datagram) {
  auto bytes = [](auto... f) { return (std::string(reinterpret_cast<const char*>(&f), sizeof f) + ...); };
  auto block = [&](uint32_t type, std::string body) {
    body.resize((body.size() + 3) & ~size_t{3}, '\0');
    return bytes(type, static_cast<uint32_t>(body.size() + 12)) + body + bytes(static_cast<uint32_t>(body.size() + 12));
  };
  std::string file = block(0x0A0D0D0A, bytes(uint32_t{0x1A2B3C4D}, uint16_t{1}, uint16_t{0}, int64_t{-1}));
  for (int64_t offset : offsets) {  // options if_tsresol 9, if_tsoffset, end
    file += block(1, bytes(uint16_t{228}, uint16_t{0}, uint32_t{65535}, uint16_t{9}, uint16_t{1}, uint8_t{9},
                           uint8_t{0}, uint16_t{0}, uint16_t{14}, uint16_t{8}, offset, uint32_t{0}));
  }
  for (uint32_t i = 0, size = static_cast<uint32_t>(datagram.size()); i < stamps.size(); ++i) {
    file += block(6, bytes(i, static_cast<uint32_t>(stamps[i] >> 32), static_cast<uint32_t>(stamps[i]), size, size) +
                         std::string(datagram.begin(), datagram.end()));
  }
  return file;
}

// By default every protocol is kept and named, from a file and live, in both families; an
// expression picks one out; a total length of 0 (segmentation offload) is sized by what
// was received.
TEST_F(CliLive, EveryProtocolIsKeptAndNamedAndATotalLengthOfZeroIsTheReceivedSize) {
  std::vector<uint8_t> tso = test::MakeDatagram({6, "10.0.0.1", "10.0.0.2", 40471, 80, 1976});
  tso[2] = tso[3] = 0;
  std::string file = folder_.Write("protocols.pcap", PcapOf({test::MakeDatagram({47}), test::MakeDatagram({132}),
                                                            test::MakeIpv6Datagram({.upper = 50}), tso}));
  const std::string gre = "0\tgre\t10.0.0.1\t0\t10.0.0.2\t0\t20\t64\n";
  std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, gre + "1\tsctp\t10.0.0.1\t0\t10.0.0.2\t0\t20\t64\n2\tesp\t2001:db8::1\t0\t2001:db8::2\t0\t40\t64\n"
               "3\ttcp\t10.0.0.1\t40471\t10.0.0.2\t80\t2016\t64\n"},
      {{"ip proto 47"}, gre},
      {{"--json", "ip6", "proto", "50"},
       "{\"index\":0,\"time\":\"2023-11-14T22:13:20.123456789Z\",\"family\":6,\"protocol\":\"esp\",\"from\":"
       "\"2001:db8::1\",\"from_port\":0,\"to\":\"2001:db8::2\",\"to_port\":0,\"size\":40,\"ttl\":64}\n"},
  };
  for (const auto& [options, out] : cases) {
    std::vector<std::string> args = Cli({"-r", file, "--time=none"});
    args.insert(args.end(), options.begin(), options.end());
    Program cli(args);
    EXPECT_EQ(cli.Wait(), 0) << cli.err();
    EXPECT_EQ(cli.out(), out) << (options.empty() ? "every protocol" : options.back());
  }
  // The kernel's answers to protocols it has no handler for are left out.
  Program live(Cli({"-i", "lo", "--time=none", "-c", "2", "not icmp and not icmp6"}));
  ASSERT_TRUE(live.Listening()) << live.err();
  ASSERT_TRUE(test::SendRawIp(AF_INET, 47));
  ASSERT_TRUE(live.Await("\n"));
  ASSERT_TRUE(test::SendRawIp(AF_INET6, 47));
  EXPECT_EQ(live.Wait(), 0) << live.err();
  EXPECT_EQ(live.out(), "0\tgre\t127.0.0.1\t0\t127.0.0.1\t0\t28\t64\n1\tgre\t::1\t0\t::1\t0\t48\t64\n");
}

TEST_F(CliLive, FileTimesOutsideTheNanosecondRangeAreClampedAndTimesBefore1970ReadRight) {
  std::string file = folder_.Write("times.pcapng", PcapngOf({0, -1, -20000000000}, {UINT64_MAX, 500000000, 0},
                                                           UdpWith("x")));
  const std::string columns = "\tudp\t10.0.0.1\t40461\t10.0.0.2\t40462\t29\t64\n", json = "Z\",\"family\":4,\"protocol\":"
      "\"udp\",\"from\":\"10.0.0.1\",\"from_port\":40461,\"to\":\"10.0.0.2\",\"to_port\":40462,\"size\":29,\"ttl\":64}\n";
  std::pair<std::string, std::string> cases[] = {
      {"--time=epoch", "9223372036.854775\t0" + columns + "-0.500000\t1" + columns + "-9223372036.854775\t2" + columns},
      {"--json", "{\"index\":0,\"time\":\"2262-04-11T23:47:16.854775807" + json +
                 "{\"index\":1,\"time\":\"1969-12-31T23:59:59.500000000" + json +
                 "{\"index\":2,\"time\":\"1677-09-21T00:12:43.145224192" + json}};
  for (const auto& [option, out] : cases) {
    Program cli(Cli({"-r", file, option}));
    EXPECT_EQ(cli.Wait(), 0) << cli.err();
    EXPECT_EQ(cli.out(), out);
  }
  // A pcap record's seconds are 32 unsigned bits: the latest one, then 1970 for the others.
  Program pcap(Cli({"-r", file, "-w", "-"}));
  EXPECT_EQ(pcap.Wait(), 0);
  EXPECT_EQ(pcap.out().substr(24, 8) + pcap.out().substr(69, 8) + pcap.out().substr(114, 8),
            std::string("\xff\xff\xff\xff\xff\xc9\x9a\x3b") + std::string(16, '\0'));
}

// Interfaces of three link types and time resolutions in one pcapng file, read as tshark
// reads it; -q still gives the summary, and a record that breaks is named by its number.
TEST_F(CliLive, ReadsPcapngOfSeveralLinkTypesAndSaysWhichRecordBroke) {
  const test::Pcapng le;
  const std::vector<uint8_t> udp = UdpWith("x");
  std::string file = folder_.Write(
      "three.pcapng", le.Section() + le.Interface(1) + le.Interface(101, le.Option(9, "\x09")) +
                          le.Interface(113, le.Option(9, "\x8a") + le.Option(14, le.U64(1700000000))) +
                          le.Packet(0, 1700000000123456, test::Framed(udp, 14, 0x0800)) +
                          le.Packet(1, 1700000001987654321, udp) + le.Packet(2, 2560, test::Framed(udp, 16, 0x0800)));
  EXPECT_EQ(test::RunCommand("tshark -r '" + file + "' -T fields -e frame.time_epoch -e udp.srcport 2>/dev/null").out,
            "1700000000.123456000\t40461\n1700000001.987654321\t40461\n1700000002.500000000\t40461\n");
  const std::string columns = "\tudp\t10.0.0.1\t40461\t10.0.0.2\t40462\t29\t64\n";
  Program lines(Cli({"-r", file, "--time=epoch"}));
  EXPECT_EQ(lines.Wait(), 0);
  EXPECT_EQ(lines.out(), "1700000000.123456\t0" + columns + "1700000001.987654\t1" + columns + "1700000002.500000\t2" +
                             columns);
  std::string whole = PcapOf({udp, udp, udp});
  std::string cut = folder_.Write("cut.pcap", whole.substr(0, whole.size() - 20));
  std::string cutng = folder_.Write("cut.pcapng", le.Section() + le.Interface(101) + le.Packet(0, 1, udp) + std::string("\x06\0\0", 3));
  std::pair<std::string, std::string> cases[] = {
      {file, "3 datagrams written\n3 records read\n"},
      {cut, "trovix-cli: " + cut + ": record 3: truncated dump file; tried to read 29 captured bytes, only got 9\n"
            "2 datagrams written\n2 records read\n"},
      {cutng, "trovix-cli: " + cutng + ": record 2: truncated pcapng dump file; tried to read 8 bytes, only got 3\n"
              "1 datagrams written\n1 record read\n"}};
  for (const auto& [path, said] : cases) {
    Program quiet(Cli({"-r", path, "-q"}));
    EXPECT_EQ(quiet.Wait(), path == file ? 0 : 1);
    EXPECT_EQ(quiet.out(), "");
    EXPECT_EQ(quiet.err(), said);
  }
}

// --info says what each datagram of a file is, and --names shows the name its own DNS
// answer gave in place of that address, in the lines and in the JSON objects.
TEST_F(CliLive, InfoAndNamesComeFromTheFilesOwnDatagrams) {
  using test::Bytes;
  Bytes answer = test::Readdressed(
      test::V4(17, test::Udp(53, 53124, test::Dns(0x8180, {1, 1, 0, 0},
                                                  test::Cat(test::Question(test::Name("www.example.org"), 1),
                                                            test::Rr(test::kToQuestion, 1, test::Hex("c6 12 00 07")))))),
      "198.18.0.53", "198.18.0.1");
  Bytes toNamed = test::Readdressed(test::V4(6, test::Tcp(40001, 443, test::Record(23, Bytes(8, 0x77)))), "198.18.0.1",
                                    "198.18.0.7");
  std::string file = folder_.Write("named.pcap", test::PcapHeader(DLT_RAW) + test::PcapRecord(answer, 1700000000, 0) +
                                                     test::PcapRecord(toNamed, 1700000001, 0));
  Program lines(Cli({"-r", file, "--time=none", "--info", "--names"}));
  EXPECT_EQ(lines.Wait(), 0);
  EXPECT_EQ(lines.out(), "0\tudp\t198.18.0.53\t53\t198.18.0.1\t53124\t77\t64\tDNS response A www.example.org 198.18.0.7\n"
                         "1\ttcp\t198.18.0.1\t40001\twww.example.org\t443\t53\t64\tTLS application_data\n");
  Program json(Cli({"-r", file, "--time=none", "--info", "--names", "--json"}));
  EXPECT_EQ(json.Wait(), 0);
  EXPECT_NE(json.out().find("\"to\":\"198.18.0.7\",\"to_port\":443,\"size\":53,\"ttl\":64,\"to_name\":\"www.example.org\","
                            "\"info\":\"TLS application_data\"}"),
            std::string::npos)
      << json.out();
  Program plain(Cli({"-r", file, "--time=none"}));
  EXPECT_EQ(plain.Wait(), 0);
  EXPECT_EQ(plain.out().find("example"), std::string::npos);
}

TEST_F(CliLive, ADatagramsControlBytesNeverReachTheTerminalButJsonKeepsThem) {
  std::string file = folder_.Write("hostile.pcap", PcapOf({UdpWith("\x1b]0;x\x07\r\nA\tB\x9b")}));
  Program text(Cli({"-r", file, "-d", "--time=none"}));
  EXPECT_EQ(text.Wait(), 0);
  EXPECT_EQ(text.out(),
            "0\tudp\t10.0.0.1\t40461\t10.0.0.2\t40462\t40\t64\npackets source:\n\npacket0 udp \nsourse port = 40461 \n"
            "destination port = 40462 \nchecksum = 0\ndata length = 12\ndata in ASCII view:\n.]0;x...A.B.\n"
            "data in HEX view:\n1b 5d 30 3b 78 7 d a 41 9 42 9b \n\npacket0 ipv4\nversion = 4\n"
            "header length = 5 (20 bytes)\nDSCP = 0\nECN = 0\ntotal length = 40\nidentification = 0\nflags = 0\n"
            "fragment offset = 0 (0 bytes)\ntime to live = 64\nprotocol = 17\nchecksum = 0\nsource = 10.0.0.1\n"
            "destination = 10.0.0.2\n\n");
  Program json(Cli({"-r", file, "-d", "--json"}));
  EXPECT_EQ(json.Wait(), 0);
  std::string report = json.out().substr(json.out().find("\"report\":"));
  EXPECT_EQ(report, "\"report\":\"packets source:\\n\\npacket0 udp \\nsourse port = 40461 \\ndestination port = 40462 "
                    "\\nchecksum = 0\\ndata length = 12\\ndata in ASCII view:\\n\\u001b]0;x\\u0007\\u000d\\nA\\u0009B"
                    "\\u009b\\ndata in HEX view:\\n1b 5d 30 3b 78 7 d a 41 9 42 9b \\n\\npacket0 ipv4\\nversion = 4\\n"
                    "header length = 5 (20 bytes)\\nDSCP = 0\\nECN = 0\\ntotal length = 40\\nidentification = 0\\n"
                    "flags = 0\\nfragment offset = 0 (0 bytes)\\ntime to live = 64\\nprotocol = 17\\nchecksum = 0\\n"
                    "source = 10.0.0.1\\ndestination = 10.0.0.2\\n\"}\n");
}

TEST_F(CliLive, CtrlCAndSigtermLoseNothingTheKernelHadReceived) {
  struct Case {
    int signal;
    std::vector<std::string> output;
  } cases[] = {{SIGINT, {"-w", "-"}}, {SIGTERM, {"--time=none"}}};
  for (const Case& c : cases) {
    std::vector<std::string> args = Cli({"-i", "127.0.0.1", "-f", "*:40481"});
    args.insert(args.end(), c.output.begin(), c.output.end());
    Program cli(args);
    ASSERT_TRUE(cli.Listening()) << cli.err();
    SendFrom(40481, {4, 4, 4, 4, 4});
    std::this_thread::sleep_for(300ms);
    cli.Signal(c.signal);
    EXPECT_EQ(cli.Wait(), 0);
    EXPECT_EQ(cli.err(), "trovix-cli: listening on 127.0.0.1\n5 datagrams written\n5 datagrams received by filter\n"
                         "0 datagrams dropped by kernel\n");
    std::string lines = cli.out();
    if (c.signal == SIGINT) {
      lines = test::RunCommand("tcpdump -r '" + folder_.Write("out.pcap", cli.out()) + "' -nn 2>/dev/null").out;
    }
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 5) << lines;
  }
}

TEST_F(CliLive, EveryFailureToWriteEndsWithStatusOne) {
  std::string file = folder_.Write("in.pcap", PcapOf({UdpWith("x")}));
  test::CommandResult header = test::RunCommand(std::string(TROVIX_CLI) + " -r " + file + " -p igmp -w /dev/full 2>&1");
  EXPECT_EQ(header.status, 1);
  EXPECT_EQ(header.out, "trovix-cli: cannot write /dev/full: No space left on device\n");
  test::CommandResult lines = test::RunCommand(std::string(TROVIX_CLI) + " -r " + file + " 2>&1 >/dev/full");
  EXPECT_EQ(lines.status, 1);
  EXPECT_EQ(lines.out, "trovix-cli: cannot write to standard output: No space left on device\n");
  test::CommandResult ng =
      test::RunCommand(std::string(TROVIX_CLI) + " -r " + file + " -p igmp --pcapng -w /dev/full 2>&1");
  EXPECT_EQ(ng.status, 1);
  EXPECT_EQ(ng.out, "trovix-cli: cannot write /dev/full: No space left on device\n");
}

// A pcapng file's program comments are -r's column, and -w writes them again as pcapng
// (by its name, or to standard output with --pcapng), only with --programs.
TEST_F(CliLive, PcapngProgramCommentsAreReadBackAndWrittenAgain) {
  using namespace std::string_literals;
  const test::Pcapng ng;
  std::string in = folder_.Write(
      "in.pcapng", ng.Section() + ng.Interface(101, ng.Option(9, "\x09")) +
                       ng.Packet(0, 1, UdpWith("a"),
                                 ng.Option(1, "program: ssh (pid 42, user ann)") +
                                     ng.Option(1, "program: curl (pid 7, user bob)")) +
                       ng.Packet(0, 2, UdpWith("b"), ng.Option(1, "program: user root") + ng.Option(2, "\x01\0\0\0"s)));
  const std::string lines =
      "0\tudp\t10.0.0.1\t40461\t10.0.0.2\t40462\t29\t64\tssh 42 \u2192 curl 7\n"
      "1\tudp\t10.0.0.1\t40461\t10.0.0.2\t40462\t29\t64\tuser root\n";
  Program read(Cli({"-r", in, "--programs", "--time=none"}));
  EXPECT_EQ(read.Wait(), 0);
  EXPECT_EQ(read.out(), lines);

  std::string again = folder_.Path("again.PCAPNG"), plain = folder_.Path("plain.pcapng");
  ASSERT_EQ(Program(Cli({"-r", in, "--programs", "-q", "-w", again})).Wait(), 0);
  ASSERT_EQ(Program(Cli({"-r", in, "-q", "-w", plain})).Wait(), 0);
  if (test::RunCommand("command -v tshark").status != 0) GTEST_SKIP() << "no tshark";
  const std::string comments = "program: ssh (pid 42, user ann),program: curl (pid 7, user bob)\nprogram: user root\n";
  auto tshark = [](const std::string& input) {
    return test::RunCommand(input + " 2>/dev/null | tshark -r - -T fields -E occurrence=a -e frame.comment 2>/dev/null").out;
  };
  EXPECT_EQ(tshark(std::string(TROVIX_CLI) + " -r " + in + " --programs -w - --pcapng"), comments);
  EXPECT_EQ(tshark("cat " + again), comments);
  EXPECT_EQ(tshark("cat " + plain), "\n\n");
}

// Without them, the helper's end of the pair would be descriptor 3 or below.
TEST_F(CliLive, CapturesWithStandardDescriptorsClosed) {
  std::string pcap = folder_.Path("closed.pcap");
  pid_t pid = fork();
  if (pid == 0) {
    for (int fd = 0; fd <= 2; ++fd) close(fd);
    execl(TROVIX_CLI, TROVIX_CLI, "-i", "lo", "-c", "1", "-f", "*:40491", "-w", pcap.c_str(), nullptr);
    _exit(127);
  }
  // The file is made once the capture socket is open.
  auto end = std::chrono::steady_clock::now() + 5s;
  while (!std::filesystem::exists(pcap) && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(20ms);
  SendFrom(40491, {4});
  int status = -1;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(std::filesystem::file_size(pcap), 72u);  // the header and one record of a 32-byte datagram
}

TEST_F(CliLive, WriteFollowsLinksAsTheWindowsSavesDo) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a link to another user needs root";
  std::string in = folder_.Write("in.pcap", PcapOf({UdpWith("x")}));
  std::string target = folder_.Write("target", "precious");
  std::string shared = folder_.Path("shared");
  ASSERT_TRUE(mkdir(shared.c_str(), 0700) == 0 && chmod(shared.c_str(), 01777) == 0);
  for (const char* name : {"/planted", "/mine"}) ASSERT_EQ(symlink(target.c_str(), (shared + name).c_str()), 0);
  ASSERT_EQ(lchown((shared + "/planted").c_str(), 65534, 65534), 0);
  Program planted(Cli({"-r", in, "-q", "-w", shared + "/planted"}));
  EXPECT_EQ(planted.Wait(), 1);
  EXPECT_EQ(planted.err(), "trovix-cli: cannot write " + shared +
                               "/planted: a link that another user made in a shared folder is not followed\n");
  EXPECT_EQ(test::RunCommand("cat '" + target + "'").out, "precious");
  Program mine(Cli({"-r", in, "-q", "-w", shared + "/mine"}));
  EXPECT_EQ(mine.Wait(), 0);
  EXPECT_EQ(std::filesystem::file_size(target), 69u);  // the header and one record of 29 bytes
  Program out(Cli({"-r", in, "-q", "-w", "/dev/stdout"}));  // to a pipe, which has no name to follow
  EXPECT_EQ(out.Wait(), 0);
  EXPECT_EQ(out.out().size(), 69u);
}

TEST_F(CliLive, FiltersItCannotHonourExactlyAreRefusedWithTheForms) {
  const std::string forms = "the forms are ADDRESS:PORT, ADDRESS:*, *:PORT or *:*; for IPv6 [ADDRESS]:PORT, "
                            "[ADDRESS]:*, [ADDRESS] or ADDRESS; PORT a number from 0 to 65535 (0 and * keep any port)\n";
  const std::string both = "trovix-cli: -b keeps both ways between two addresses: give an address and no port in both "
                           "-f and -t (like -f 10.0.0.1:* -t 10.0.0.2:*)\n";
  std::pair<std::vector<std::string>, std::string> cases[] = {
      {Cli({"-t", "localhost"}), "trovix-cli: -t localhost: no colon; " + forms},
      {Cli({"-t", "*:http"}), "trovix-cli: -t *:http: \"http\" is not a port; " + forms},
      {Cli({"-t", "*:70000"}), "trovix-cli: -t *:70000: \"70000\" is not a port; " + forms},
      {Cli({"--from", "*:5000x"}), "trovix-cli: --from *:5000x: \"5000x\" is not a port; " + forms},
      {Cli({"-f", "[::1]80"}), "trovix-cli: -f [::1]80: characters after ']'; " + forms},
      {Cli({"-b"}), both},
      {Cli({"-b", "-f", "10.0.0.1:80", "-t", "10.0.0.2:*"}), both},
      {Cli({"-p", ""}), "trovix-cli: -p '': not a list of tcp, udp, icmp, igmp, raw\n"},
  };
  for (const auto& [args, message] : cases) {
    Program cli(args);
    EXPECT_EQ(cli.Wait(), 2);
    EXPECT_EQ(FirstLine(cli.err()), message);
  }
}

TEST_F(CliLive, AnInterfaceThatDisappearsEndsTheCaptureWithAFailingExit) {
  test::VethPeer peer;
  ASSERT_TRUE(peer.ok()) << "cannot set up the veth peer namespace";
  Program cli(Cli({"-i", "198.18.0.1"}));
  ASSERT_TRUE(cli.Listening()) << cli.err();
  ASSERT_TRUE(test::Run("ip link del tvx0"));
  EXPECT_EQ(cli.Wait(), 1);
  std::string last = cli.err().substr(cli.err().rfind('\n', cli.err().size() - 2) + 1);
  EXPECT_EQ(last, "trovix-cli: the capture ended: No such device\n") << cli.err();
}

// The capability lines of every thread of `pid` that differ from `expected`, with the
// thread's id; empty when all agree.
std::string ThreadsCapabilitiesOtherThan(pid_t pid, const std::string& expected) {
  std::string differing;
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream status(task.path() / "status");
    std::string line, caps;
    while (std::getline(status, line)) {
      if (line.rfind("Cap", 0) == 0 && line.rfind("CapBnd:", 0) != 0) caps += line + "\n";
    }
    // A thread that ended between the listing and the reading has no status left to judge.
    if (!caps.empty() && caps != expected) differing += task.path().filename().string() + ":\n" + caps;
  }
  return error ? error.message() : differing;
}

// No capability in any set: nothing effective, permitted, or for a started program.
const char kNoCapability[] =
    "CapInh:\t0000000000000000\nCapPrm:\t0000000000000000\nCapEff:\t0000000000000000\nCapAmb:\t0000000000000000\n";

constexpr gid_t kCaptureGroup = 4242;

// An ordinary user who starts a copy of a program, beside a copy of the capture helper
// that only group kCaptureGroup may run and that holds CAP_NET_RAW as a permitted file
// capability. The user's inheritable set holds CAP_NET_RAW, which a program that does
// not clear it would hand to what it starts.
class AsNobody : public CliLive {
 protected:
  void SetUp() override {
    CliLive::SetUp();
    if (IsSkipped()) return;
    if (geteuid() != 0) GTEST_SKIP() << "needs root to grant a file capability and become nobody";
    ASSERT_EQ(chmod(folder_.Path("").c_str(), 0755), 0);
    std::string helper = folder_.Path("trovix-capture");
    std::filesystem::copy_file(TROVIX_CAPTURE_HELPER, helper);
    ASSERT_EQ(chown(helper.c_str(), 0, kCaptureGroup), 0);
    ASSERT_EQ(chmod(helper.c_str(), 0750), 0);
    ASSERT_EQ(test::RunCommand("setcap cap_net_raw+p '" + helper + "'").status, 0);
  }
  std::vector<std::string> Copy(const char* program, const std::string& name, bool member) {
    std::string copy = folder_.Path(name);
    std::filesystem::copy_file(program, copy);
    std::string groups = member ? "--groups=" + std::to_string(kCaptureGroup) : "--clear-groups";
    return {"setpriv", "--reuid=65534", "--regid=65534", groups, "--inh-caps=+net_raw", copy};
  }
};

TEST_F(AsNobody, AMemberCapturesThroughTheHelperAndNeitherHoldsACapability) {
  std::vector<std::string> args = Copy(TROVIX_CLI, "trovix-cli", true);
  args.insert(args.end(), {"-i", "127.0.0.1", "-f", "*:40431", "-c", "2", "--time=none"});
  Program cli(args);
  ASSERT_TRUE(cli.Listening()) << cli.err();
  EXPECT_EQ(ThreadsCapabilitiesOtherThan(cli.pid(), kNoCapability), "");
  std::vector<pid_t> helpers = test::CaptureHelpersOf(cli.pid());
  ASSERT_EQ(helpers.size(), 1u);
  EXPECT_EQ(ThreadsCapabilitiesOtherThan(helpers[0], kNoCapability), "") << "its socket is open";
  SendFrom(40431, {4, 5});
  EXPECT_EQ(cli.Wait(), 0);
  EXPECT_EQ(cli.out(),
            "0\tudp\t127.0.0.1\t40431\t127.0.0.1\t40432\t32\t64\n"
            "1\tudp\t127.0.0.1\t40431\t127.0.0.1\t40432\t33\t64\n");
}

TEST_F(AsNobody, NoProgramRunsSetUserId) {
  struct Case {
    const char* program;
    std::string copy, name;
  } cases[] = {{TROVIX_CLI, "trovix-cli", "trovix-cli"},
               {TROVIX_WINDOW, "trovix", "trovix"},
               {TROVIX_CAPTURE_HELPER, "helper-copy", "trovix-capture"}};
  for (const Case& c : cases) {
    std::vector<std::string> args = Copy(c.program, c.copy, false);
    ASSERT_EQ(chmod(args.back().c_str(), 04755), 0);  // root's, as the copy is
    args.insert(args.begin(), {"env", "QT_QPA_PLATFORM=offscreen"});
    Program started(args);
    EXPECT_EQ(started.Wait(), 1) << c.name;
    EXPECT_EQ(started.err(), c.name + ": refusing to run set-user-ID or set-group-ID: capturing needs only CAP_NET_RAW\n");
  }
}

TEST_F(AsNobody, OutsideTheGroupTheCaptureIsRefused) {
  Program cli(Copy(TROVIX_CLI, "trovix-cli", false));
  EXPECT_EQ(cli.Wait(), 1);
  EXPECT_EQ(cli.err().substr(0, cli.err().find('\n') + 1),
            "trovix-cli: capturing needs membership of group trovix: join it with "
            "\"sudo usermod -aG trovix $USER\", then log in again\n");
}

// The refusal says what the helper found needs: a build's own never holds CAP_NET_RAW, an
// installed one asks for membership of its group.
TEST_F(AsNobody, TheRefusalSaysWhatTheHelperFoundNeeds) {
  std::string built = folder_.Path("build"), installed = folder_.Path("installed");
  std::filesystem::create_directory(built);
  std::filesystem::copy_file(TROVIX_CAPTURE_HELPER, built + "/trovix-capture");
  std::filesystem::copy_file(folder_.Path("trovix-capture"), installed);
  ASSERT_EQ(chown((built + "/trovix-capture").c_str(), 65534, 65534), 0);
  ASSERT_EQ(chown(installed.c_str(), 0, 100), 0);  // group users, mode 0750 as the copied one's
  std::pair<std::string, std::string> cases[] = {
      {built + "/trovix-capture",
       "trovix-cli: the capture helper " + built + "/trovix-capture holds no CAP_NET_RAW, as none built from source "
       "does: from the source folder, \"sudo scripts/install-helper --user $USER " + built + "\" installs a copy that "
       "does in /usr/local/libexec/trovix (as scripts/run does); log in again, then name that copy in "
       "TROVIX_CAPTURE_HELPER\n"},
      {installed, "trovix-cli: capturing needs membership of group users: join it with "
                  "\"sudo usermod -aG users $USER\", then log in again\n"},
  };
  const std::vector<std::string> outsider = Copy(TROVIX_CLI, "trovix-cli", false);
  for (const auto& [helper, refusal] : cases) {
    std::vector<std::string> args = outsider;
    args.insert(args.end() - 1, {"env", "TROVIX_CAPTURE_HELPER=" + helper});
    Program cli(args);
    EXPECT_EQ(cli.Wait(), 1);
    EXPECT_EQ(FirstLine(cli.err()), refusal);
  }
}

TEST_F(AsNobody, TheWindowRunsWithNothingEffectiveOrInheritable) {
  std::string home = folder_.Path("home");
  std::filesystem::create_directory(home);
  ASSERT_EQ(chown(home.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(home.c_str(), 0700), 0);
  std::vector<std::string> args = Copy(TROVIX_WINDOW, "trovix", true);
  // The home folder is also the user's runtime folder, where the instance socket goes.
  std::string display = ":trovix-cap-" + std::to_string(getpid());
  args.insert(args.end() - 1, {"env", "-u", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM=offscreen", "HOME=" + home,
                               "XDG_CONFIG_HOME=" + home, "XDG_RUNTIME_DIR=" + home, "DISPLAY=" + display});
  Program window(args);
  // The socket appears once the window has started up and waits for events.
  std::string socket = home + "/trovix-_trovix_cap_" + std::to_string(getpid());
  auto end = std::chrono::steady_clock::now() + 10s;
  while (!std::filesystem::exists(socket) && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(50ms);
  std::error_code ignored;
  ASSERT_TRUE(std::filesystem::exists(socket, ignored));
  EXPECT_EQ(ThreadsCapabilitiesOtherThan(window.pid(), kNoCapability), "");
  window.Signal(SIGKILL);
  window.Wait();
  std::filesystem::remove(socket, ignored);
  std::filesystem::remove(socket + ".lock", ignored);
}

TEST_F(AsNobody, AUserRunsAtMostEightHelpersAtOnceWhateverTheirName) {
  // A user of its own, so that no other test's helpers count.
  std::string cli = Copy(TROVIX_CLI, "trovix-cli", true).back();
  auto start = [&](const std::string& helper) {
    return std::make_unique<Program>(std::vector<std::string>{
        "setpriv", "--reuid=64242", "--regid=64242", "--groups=" + std::to_string(kCaptureGroup), "--inh-caps=-all",
        "env", "TROVIX_CAPTURE_HELPER=" + helper, cli, "-i", "127.0.0.1"});
  };
  std::string helper = folder_.Path("trovix-capture"), link = folder_.Path("capture");
  std::filesystem::create_symlink(helper, link);
  std::vector<std::unique_ptr<Program>> running;
  for (int i = 0; i < 8; ++i) {
    running.push_back(start(i == 0 ? link : helper));
    ASSERT_TRUE(running.back()->Listening()) << i << ": " << running.back()->err();
  }
  auto ninth = start(helper);
  ASSERT_FALSE(ninth->Listening()) << "a ninth helper captured";
  EXPECT_EQ(ninth->Wait(), 1);
  EXPECT_EQ(ninth->err(), "trovix-cli: cannot capture: Too many users\n");
  running.back()->Signal(SIGINT);
  EXPECT_EQ(running.back()->Wait(), 0);  // it waits for its helper to end
  auto next = start(link);
  EXPECT_TRUE(next->Listening()) << next->err();
}

// `count` processes of `uid` (group kCaptureGroup) holding a read lock on byte `offset` of
// `file`; with `vanished`, taken by a child sharing their descriptors that has ended since.
int HoldLocks(std::vector<pid_t>& holders, const std::string& file, uid_t uid, off_t offset, int count, bool vanished) {
  static flock byte;
  static int fd;
  byte = {F_RDLCK, SEEK_SET, offset, 1, 0};
  int held = 0;
  for (int i = 0, ready[2]; i < count && pipe2(ready, O_CLOEXEC) == 0; ++i) {
    if (holders.emplace_back(fork()) == 0) {
      static char stack[64 << 10];
      auto take = [](void*) { return fcntl(fd, F_SETLK, &byte) == 0 ? 0 : 1; };
      gid_t groups[] = {kCaptureGroup};
      int status = 1;
      bool fine = setgroups(1, groups) == 0 && setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0 &&
                  (fd = open(file.c_str(), O_RDONLY)) >= 0 &&
                  (vanished ? waitpid(clone(take, stack + sizeof stack, CLONE_FILES | SIGCHLD, nullptr), &status, 0) > 0 &&
                                  status == 0
                            : take(nullptr) == 0);
      if (fine && write(ready[1], "h", 1) == 1) pause();
      _exit(1);
    }
    close(ready[1]);
    char h = 0;
    held += read(ready[0], &h, 1) == 1;
    close(ready[0]);
  }
  return held;
}

// User 64243 locks 64244's byte of the helper through holders that have gone, then (/proc
// mounted hidepid=2) live ones it hides: none counts, but 64244's own hidden helpers do.
TEST_F(AsNobody, LocksOfAnotherUserCountForNobodyAndHiddenHelpersStillCount) {
  std::string cli = Copy(TROVIX_CLI, "trovix-cli", true).back(), helper = folder_.Path("trovix-capture");
  auto start = [&](bool hidepid) {
    std::vector<std::string> args{"setpriv", "--reuid=64244", "--regid=64244", "--groups=4242", "--inh-caps=-all",
                                  "env", "TROVIX_CAPTURE_HELPER=" + helper, cli, "-i", "127.0.0.1"};
    if (hidepid) {
      args.insert(args.begin(), {"unshare", "-m", "--", "sh", "-c",
                                 "mount -t proc -o hidepid=2 proc /proc && exec \"$@\"", "sh"});
    }
    return std::make_unique<Program>(args);
  };
  std::vector<pid_t> holders;
  struct Ended {
    std::vector<pid_t>& pids;
    ~Ended() {
      for (pid_t pid : pids) {
        if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
      }
    }
  } ended{holders};
  ASSERT_EQ(HoldLocks(holders, helper, 64243, 64244, 8, true), 8);
  auto first = start(false);
  ASSERT_TRUE(first->Listening()) << "refused for locks whose holders have gone: " << first->err();
  first->Signal(SIGINT);
  EXPECT_EQ(first->Wait(), 0);  // it waits for its helper to end
  ASSERT_EQ(HoldLocks(holders, helper, 64243, 64244, 8, false), 8);
  std::vector<std::unique_ptr<Program>> running;
  for (int i = 0; i < 8; ++i) {
    running.push_back(start(true));
    ASSERT_TRUE(running.back()->Listening()) << i << ": " << running.back()->err();
  }
  auto ninth = start(true);
  ASSERT_FALSE(ninth->Listening()) << "a ninth helper that /proc hides captured";
  EXPECT_EQ(ninth->Wait(), 1);
  // A sanitizer build's leak checker cannot read its options or tasks where /proc hides
  // the process and says so in lines of its own.
  std::string said = std::regex_replace(ninth->err(), std::regex("^==.*\n", std::regex::multiline), "");
  EXPECT_EQ(said, "trovix-cli: cannot capture: Too many users\n");
}

TEST_F(CliLive, VerboseHexAndAsciiShowWhatTcpdumpShowsAndNoControlByte) {
  auto put = [](std::vector<uint8_t>& d, size_t at, std::vector<uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), d.begin() + static_cast<long>(at));
  };
  // A SYN-ACK (id 0x1234, DF; seq 1000, ack 2000, window 65535) whose payload holds a line
  // end, an escape and a tab; an ICMPv6 echo request with a flow label; a later fragment.
  std::vector<uint8_t> tcp = test::MakeDatagram({6, "10.0.0.1", "10.0.0.2", 40461, 80, 6});
  put(tcp, 4, {0x12, 0x34, 0x40, 0});
  put(tcp, 24, {0, 0, 3, 0xe8, 0, 0, 7, 0xd0, 0x50, 0x12, 0xff, 0xff});
  put(tcp, 40, {'o', 'k', '\r', '\n', 0x1b, '\t'});
  std::vector<uint8_t> icmp = test::MakeIpv6Datagram({58, "2001:db8::1", "2001:db8::2", 0, 0, 8});
  put(icmp, 1, {0x0a, 0xbc, 0xde});
  put(icmp, 40, {128, 0});
  std::vector<uint8_t> fragment = UdpWith("xy");
  put(fragment, 6, {0x20, 0x01});
  std::string file = folder_.Write("headers.pcap", PcapOf({tcp, icmp, fragment}));
  Program hex(Cli({"-r", file, "-X", "-v", "--time=none"}));
  EXPECT_EQ(hex.Wait(), 0);
  // As tcpdump -X -v prints the same file, but for its own first line.
  EXPECT_EQ(hex.out(),
            "0\ttcp\t10.0.0.1\t40461\t10.0.0.2\t80\t46\t64\t"
            "id 4660, flags [DF], Flags [S.], seq 1000, ack 2000, win 65535\n"
            "\t0x0000:  4500 002e 1234 4000 4006 0000 0a00 0001  E....4@.@.......\n"
            "\t0x0010:  0a00 0002 9e0d 0050 0000 03e8 0000 07d0  .......P........\n"
            "\t0x0020:  5012 ffff 0000 0000 6f6b 0d0a 1b09       P.......ok....\n"
            "1\ticmp6\t2001:db8::1\t0\t2001:db8::2\t0\t48\t64\tflowlabel 0xabcde, type 128, code 0\n"
            "\t0x0000:  600a bcde 0008 3a40 2001 0db8 0000 0000  `.....:@........\n"
            "\t0x0010:  0000 0000 0000 0001 2001 0db8 0000 0000  ................\n"
            "\t0x0020:  0000 0000 0000 0002 8000 2a2b 2c2d 2e2f  ..........*+,-./\n"
            "2\tudp\t10.0.0.1\t0\t10.0.0.2\t0\t30\t64\tid 0, flags [MF], offset 8\n"
            "\t0x0000:  4500 001e 0000 2001 4011 0000 0a00 0001  E.......@.......\n"
            "\t0x0010:  0a00 0002 9e0d 9e0e 0000 0000 7879       ............xy\n");
  Program ascii(Cli({"-r", file, "-A", "-c", "1", "--time=none"}));
  EXPECT_EQ(ascii.Wait(), 0);
  // Only the payload's line ends (10.0.0.1's 0x0a is none) start a line.
  EXPECT_EQ(ascii.out(),
            "0\ttcp\t10.0.0.1\t40461\t10.0.0.2\t80\t46\t64\nE....4@.@..............P........P.......ok\n..\n");
  Program json(Cli({"-r", file, "-v", "--json", "-c", "2"}));
  EXPECT_EQ(json.Wait(), 0);
  const std::string time = "\"time\":\"2023-11-14T22:13:20.123456789Z\",";
  EXPECT_EQ(json.out(),
            "{\"index\":0," + time + "\"family\":4,\"protocol\":\"tcp\",\"from\":\"10.0.0.1\",\"from_port\":40461,"
            "\"to\":\"10.0.0.2\",\"to_port\":80,\"size\":46,\"ttl\":64,\"ip_id\":4660,\"flags\":\"DF\","
            "\"frag_offset\":0,\"tcp_flags\":\"S.\",\"seq\":1000,\"ack\":2000,\"window\":65535}\n{\"index\":1," + time +
            "\"family\":6,\"protocol\":\"icmp6\",\"from\":\"2001:db8::1\",\"from_port\":0,\"to\":\"2001:db8::2\","
            "\"to_port\":0,\"size\":48,\"ttl\":64,\"flow_label\":703710,\"icmp_type\":128,\"icmp_code\":0}\n");
  Program list(Cli({"-D"}));
  EXPECT_EQ(list.Wait(), 0);
  EXPECT_EQ(FirstLine(list.out()), "1.lo (127.0.0.1, ::1) [Up, Running, Loopback]\n");
  std::pair<std::vector<std::string>, std::string> refused[] = {
      {Cli({"-tttt"}), "trovix-cli: -tttt: trovix-cli's -t is \"to\"; for times use --time=local|utc|epoch|none\n"},
      {Cli({"-A", "--json"}), "trovix-cli: -A and -X print a datagram's bytes under its line, and --json prints no "
                              "lines: give one or the other (with -d, each JSON object's report holds the payload)\n"}};
  for (const auto& [args, message] : refused) {
    Program cli(args);
    EXPECT_EQ(cli.Wait(), 2);
    EXPECT_EQ(FirstLine(cli.err()), message);
  }
}

}  // namespace
}  // namespace trovix

namespace trovix {
namespace {

constexpr char kSshSource[] = "ssh://root@198.18.0.2:2222/tvx1";

std::string RemotePath(bool viaCli, const test::TempFolder& folder) {
  return test::SshServer::RemotePath(viaCli ? TROVIX_CLI : "", folder.Path("bin"));
}

// The remote side captures once a probe to the peer comes back as a line.
bool ProbeUntilListed(Program& cli) {
  for (int i = 0; i < 50; ++i) {
    if (!test::EchoOverIpv4(40610, 4)) return false;
    if (cli.Await("\t40610\t", 200ms)) return true;
  }
  return false;
}

TEST_F(CliLive, SshSourcesCaptureThroughTheRemoteTrovixCliOrTcpdumpAndCtrlCEndsBothSides) {
  test::VethPeer peer;
  ASSERT_TRUE(peer.ok()) << "cannot set up the veth peer namespace";
  for (bool viaCli : {true, false}) {
    test::SshServer server(peer.pid(), RemotePath(viaCli, folder_));
    ASSERT_TRUE(server.ok()) << server.problem();
    setenv("TROVIX_SSH", server.sshProgram().c_str(), 1);
    // TCP too: the ssh connection the datagrams come over is left out on the remote side.
    Program cli(Cli({"-i", kSshSource, "-p", "udp,tcp", "--time=none", "-l"}));
    ASSERT_TRUE(ProbeUntilListed(cli)) << cli.err();
    ASSERT_TRUE(test::EchoOverIpv4(40611, 4));
    int fd = test::VethUdp6Socket(40612);
    ASSERT_TRUE(test::EchoOverIpv6(fd, 10));
    close(fd);
    ASSERT_TRUE(cli.Await("2001:db8::2\t7\t2001:db8::1\t40612")) << cli.out();
    auto stopped = std::chrono::steady_clock::now();
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(), 0) << cli.err();
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 1s);
    for (int i = 0; i < 20 && server.CapturesRunning() > 0; ++i) std::this_thread::sleep_for(50ms);
    EXPECT_EQ(server.CapturesRunning(), 0);
    // Every line after the probes, from its protocol on.
    std::string out = cli.out(), rest;
    for (size_t at = out.rfind("\t40610\t"), line; (line = out.find('\n', at) + 1) < out.size(); at = line) {
      rest += out.substr(out.find('\t', line) + 1, out.find('\n', line) - out.find('\t', line));
    }
    EXPECT_EQ(rest,
              "udp\t198.18.0.1\t40611\t198.18.0.2\t7\t32\t64\nudp\t198.18.0.2\t7\t198.18.0.1\t40611\t32\t64\n"
              "udp\t2001:db8::1\t40612\t2001:db8::2\t7\t58\t64\nudp\t2001:db8::2\t7\t2001:db8::1\t40612\t58\t64\n")
        << (viaCli ? "trovix-cli" : "tcpdump") << "\n" << out;
  }
}

TEST_F(CliLive, SshFailuresEndTheirSourceAloneWithALineAndInjectedTextsRunNothing) {
  std::string ran = folder_.Path("ran");
  for (std::string text : {"ssh://-oProxyCommand=touch" + ran, "ssh://h;touch " + ran, "ssh://$(touch " + ran + ")",
                           "ssh://h/tvx1'$(touch " + ran + ")'", "ssh://h:22`touch " + ran + "`", std::string("ssh://[::1;id]")}) {
    Program cli(Cli({"-i", text}));
    EXPECT_EQ(cli.Wait(), 2) << text;
  }
  EXPECT_FALSE(std::filesystem::exists(ran));

  test::VethPeer peer;
  ASSERT_TRUE(peer.ok()) << "cannot set up the veth peer namespace";
  test::SshServer server(peer.pid(), RemotePath(true, folder_));
  ASSERT_TRUE(server.ok()) << server.problem();
  setenv("TROVIX_SSH", server.wrongHostKeySshProgram().c_str(), 1);
  Program refused(Cli({"-i", kSshSource}));
  EXPECT_EQ(refused.Wait(), 1);
  EXPECT_NE(refused.err().find(std::string("trovix-cli: ") + kSshSource + ": Host key verification failed.\n"),
            std::string::npos) << refused.err();

  setenv("TROVIX_SSH", server.sshProgram().c_str(), 1);
  Program two(Cli({"-i", std::string("ssh://root@198.18.0.2:2222/nosuch0 ") + kSshSource, "-p", "udp"}));
  EXPECT_TRUE(two.Await("ssh://root@198.18.0.2:2222/nosuch0: trovix-cli: no interface is named nosuch0\n", 5s, false))
      << two.err();
  EXPECT_TRUE(ProbeUntilListed(two)) << two.err();
  EXPECT_NE(two.out().find("\t198.18.0.2/tvx1\t"), std::string::npos) << two.out();  // each line's source
  two.Signal(SIGINT);
  EXPECT_EQ(two.Wait(), 1);
}

// Two sources of one server that differ by port alone: each line's label tells them apart,
// and -c counts the lines of both.
TEST_F(CliLive, SshSourcesShareOneCountAndEachHasALabelOfItsOwn) {
  test::VethPeer peer;
  ASSERT_TRUE(peer.ok()) << "cannot set up the veth peer namespace";
  test::SshServer server(peer.pid(), RemotePath(true, folder_));
  ASSERT_TRUE(server.ok()) << server.problem();
  setenv("TROVIX_SSH", server.sshProgram().c_str(), 1);
  Program cli(Cli({"-i", "ssh://root@198.18.0.2/tvx1 ssh://root@198.18.0.2:2222/tvx1", "-c", "12", "-p", "udp",
                   "--json", "-l"}));
  // Both remote trovix-clis and their helpers capture before anything is sent.
  for (int i = 0; i < 100 && server.CapturesRunning() < 4; ++i) std::this_thread::sleep_for(50ms);
  ASSERT_EQ(server.CapturesRunning(), 4) << cli.err();
  std::this_thread::sleep_for(500ms);
  for (uint16_t port = 40630; port < 40640; ++port) {
    ASSERT_TRUE(test::EchoOverIpv4(port, 4));
    std::this_thread::sleep_for(20ms);
  }
  if (!cli.Await("{\"index\":11,")) cli.Signal(SIGINT);  // a source that sent too little
  EXPECT_EQ(cli.Wait(), 0) << cli.err();
  const std::string& out = cli.out();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 12) << out;
  EXPECT_NE(out.find("\"source\":\"198.18.0.2/tvx1\","), std::string::npos) << out;
  EXPECT_NE(out.find("\"source\":\"198.18.0.2:2222/tvx1\","), std::string::npos) << out;
}

// Under the login shells whose quoting is furthest from sh's, through the server's tcpdump
// or its trovix-cli: a port filter keeps the ICMP error that answers a datagram to a
// closed port, as the accept path does (it tests ports of TCP and UDP alone).
TEST_F(CliLive, SshSourcesRunUnderEveryLoginShellAndKeepIcmpErrorsBesideAPortFilter) {
  test::VethPeer peer;
  ASSERT_TRUE(peer.ok()) << "cannot set up the veth peer namespace";
  auto send = [](int type, uint16_t from) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in self{AF_INET, htons(from), {}, {}}, to{AF_INET, htons(41300), {}, {}};
    inet_pton(AF_INET, "198.18.0.1", &self.sin_addr);
    inet_pton(AF_INET, "198.18.0.2", &to.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self);
    if (type == SOCK_STREAM) (void)connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);  // refused
    else EXPECT_EQ(sendto(fd, "q", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 1);
    close(fd);
  };
  for (auto [viaCli, shell] : {std::pair{false, ""}, {true, "/usr/bin/tcsh"}, {false, "/usr/bin/fish"}}) {
    test::SshServer server(peer.pid(), RemotePath(viaCli, folder_), shell);
    ASSERT_TRUE(server.ok()) << server.problem();
    setenv("TROVIX_SSH", server.sshProgram().c_str(), 1);
    Program cli(Cli({"-i", kSshSource, "-p", "tcp,udp,icmp", "-4", "-t", "*:41300", "--time=none", "-l"}));
    bool listed = false;
    for (int i = 0; i < 50 && !listed; ++i) {
      send(SOCK_STREAM, 0);
      listed = cli.Await("\ttcp\t198.18.0.1\t", 200ms);
    }
    ASSERT_TRUE(listed) << shell << "\n" << cli.err();
    send(SOCK_DGRAM, 40640);
    EXPECT_TRUE(cli.Await("\tudp\t198.18.0.1\t40640\t198.18.0.2\t41300\t29\t64\n")) << shell << "\n" << cli.out();
    EXPECT_TRUE(cli.Await("\ticmp\t198.18.0.2\t0\t198.18.0.1\t0\t57\t64\n")) << shell << "\n" << cli.out();
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(), 0) << shell << "\n" << cli.err();
  }
}

// Traffic over the veth of every kind the expressions below tell apart: UDP to a closed
// port 53 and 22 (each answered by ICMP or ICMPv6), UDP echoed on port 7 over both
// families, and a TCP connection attempt (SYN, then RST).
void MixedTrafficOverVeth() {
  for (uint16_t port : {53, 22}) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{AF_INET, htons(port), {}, {}};
    inet_pton(AF_INET, "198.18.0.2", &to.sin_addr);
    EXPECT_EQ(sendto(fd, "q", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 1);
    close(fd);
  }
  int six = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 to6 = test::Ipv6At("2001:db8::2", 53);
  EXPECT_EQ(sendto(six, "q", 1, 0, reinterpret_cast<sockaddr*>(&to6), sizeof to6), 1);
  close(six);
  EXPECT_TRUE(test::EchoOverIpv4(40711, 4));
  int echo6 = test::VethUdp6Socket(40712);
  EXPECT_TRUE(test::EchoOverIpv6(echo6, 6));
  close(echo6);
  int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in web{AF_INET, htons(80), {}, {}};
  inet_pton(AF_INET, "198.18.0.2", &web.sin_addr);
  EXPECT_NE(connect(tcp, reinterpret_cast<sockaddr*>(&web), sizeof web), 0);  // refused
  close(tcp);
  std::this_thread::sleep_for(200ms);  // the answers
}

// The lines without their numbers, but for the link-local messages a new link sends by
// itself (router solicitations, multicast reports), which may fall between two stops.
std::string OwnLines(const std::string& out) {
  std::string own;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("\tfe80::") == std::string::npos) own += line.substr(line.find('\t') + 1) + "\n";
  }
  return own;
}

// trovix-cli keeps exactly what tcpdump keeps with the same expression, run in the kernel
// beside its own filters; -p (or -f, -t) beside an expression keeps what both keep.
TEST_F(CliLive, ExpressionsKeepWhatTcpdumpKeeps) {
  test::VethPeer peer;
  ASSERT_TRUE(peer.ok()) << "cannot set up the veth peer namespace";
  struct Case {
    std::vector<std::string> ours;
    std::string theirs;
  } cases[] = {{{"udp port 53"}, "udp port 53"},
               {{"icmp or icmp6"}, "icmp or icmp6"},
               {{"host 198.18.0.2 and tcp"}, "host 198.18.0.2 and tcp"},
               {{"not port 22"}, "not port 22"},
               {{"ip6"}, "ip6"},
               {{"-p", "udp", "host", "198.18.0.2"}, "udp and host 198.18.0.2"}};
  std::vector<std::unique_ptr<Program>> clis, dumps;
  for (const Case& c : cases) {
    std::vector<std::string> args = Cli({"-i", "tvx0", "--time=none"});
    args.insert(args.end(), c.ours.begin(), c.ours.end());
    clis.push_back(std::make_unique<Program>(args));
    std::string file = folder_.Path(std::to_string(dumps.size()) + ".pcap");
    dumps.push_back(std::make_unique<Program>(
        std::vector<std::string>{"tcpdump", "-i", "tvx0", "--immediate-mode", "-U", "-Z", "root", "-w", file, c.theirs}));
    ASSERT_TRUE(clis.back()->Listening()) << clis.back()->err();
    ASSERT_TRUE(dumps.back()->Listening()) << dumps.back()->err();
  }
  MixedTrafficOverVeth();
  for (size_t k = 0; k < clis.size(); ++k) {
    clis[k]->Signal(SIGINT);
    dumps[k]->Signal(SIGINT);
    EXPECT_EQ(clis[k]->Wait(), 0) << clis[k]->err();
    dumps[k]->Wait();
    Program kept(Cli({"-r", folder_.Path(std::to_string(k) + ".pcap"), "--time=none"}));
    EXPECT_EQ(kept.Wait(), 0);
    EXPECT_EQ(OwnLines(clis[k]->out()), OwnLines(kept.out())) << cases[k].theirs;
    EXPECT_NE(OwnLines(kept.out()), "") << cases[k].theirs;
  }
  // With -r the expression filters the file: what "not port 22" kept, narrowed to port 53.
  Program narrowed(Cli({"-r", folder_.Path("3.pcap"), "--time=none", "udp port 53"}));
  EXPECT_EQ(narrowed.Wait(), 0);
  EXPECT_EQ(OwnLines(narrowed.out()), OwnLines(clis[0]->out()));
}

// A program of the test's own that, once `go` is written, sends one datagram from
// 127.0.0.1:`from` to :40452 after holding its socket for 60 ms, as programs do.
struct SendingProgram {
  explicit SendingProgram(uint16_t from) {
    if (pipe(go) != 0) return;
    pid = fork();
    if (pid == 0) {
      char byte;
      if (read(go[0], &byte, 1) != 1) _exit(1);
      int fd = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in self{AF_INET, htons(from), {htonl(INADDR_LOOPBACK)}, {}};
      sockaddr_in to{AF_INET, htons(40452), {htonl(INADDR_LOOPBACK)}, {}};
      bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self);
      std::this_thread::sleep_for(60ms);
      sendto(fd, "data", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      std::this_thread::sleep_for(60ms);
      _exit(0);
    }
  }
  void Run() {
    (void)!write(go[1], "g", 1);
    waitpid(pid, nullptr, 0);
    close(go[0]), close(go[1]);
  }
  pid_t pid = -1;
  int go[2] = {-1, -1};
};

// "NAME PID → NAME PID" of a sender of the test's own and this process.
std::string SentToThis(pid_t sender) {
  std::string own = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  return own + " " + std::to_string(sender) + " \u2192 " + own + " " + std::to_string(getpid());
}

TEST_F(CliLive, ProgramsNameBothLocalEndsSenderFirstAndProgramKeepsOneProcess) {
  // Made before the receiver, so that they do not hold it too.
  SendingProgram first(40451), second(40453);
  int receiver = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{AF_INET, htons(40452), {htonl(INADDR_LOOPBACK)}, {}};
  ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  std::vector<std::vector<std::string>> cases = {
      {"--programs", "-c", "2"},
      {"--programs", "--json", "-c", "2"},
      {"--programs", "--program", std::to_string(second.pid), "-c", "1"},
      {"--program", "no-such-program"},
  };
  std::vector<std::unique_ptr<Program>> clis;
  for (const std::vector<std::string>& options : cases) {
    std::vector<std::string> args = Cli({"-i", "lo", "--time=none"});
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("udp and dst port 40452");
    clis.push_back(std::make_unique<Program>(args));
    ASSERT_TRUE(clis.back()->Listening()) << clis.back()->err();
  }
  if (geteuid() == 0) {
    // Root's CAP_SYS_PTRACE is effective in the sampler's thread alone.
    const std::string permitted = "CapInh:\t0000000000000000\nCapPrm:\t0000000000080000\nCapEff:\t0000000000000000\n"
                                  "CapAmb:\t0000000000000000\n";
    std::string differing = ThreadsCapabilitiesOtherThan(clis[0]->pid(), permitted);
    EXPECT_EQ(differing.substr(differing.find(':') + 2),
              "CapInh:\t0000000000000000\nCapPrm:\t0000000000080000\nCapEff:\t0000000000080000\n"
              "CapAmb:\t0000000000000000\n");
  }
  first.Run();
  second.Run();
  for (auto& cli : clis) {
    if (cli == clis.back()) cli->Signal(SIGINT);
    EXPECT_EQ(cli->Wait(), 0) << cli->err();
  }
  EXPECT_EQ(clis[0]->out(), "0\tudp\t127.0.0.1\t40451\t127.0.0.1\t40452\t32\t64\t" + SentToThis(first.pid) + "\n"
                            "1\tudp\t127.0.0.1\t40453\t127.0.0.1\t40452\t32\t64\t" + SentToThis(second.pid) + "\n");
  std::string own = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  for (pid_t sender : {first.pid, second.pid}) {
    std::string json = "\"programs\":[{\"name\":\"" + own + "\",\"pid\":" + std::to_string(sender) +
                       ",\"user\":\"root\",\"end\":\"source\"},{\"name\":\"" + own + "\",\"pid\":" +
                       std::to_string(getpid()) + ",\"user\":\"root\",\"end\":\"destination\"}]}";
    EXPECT_NE(clis[1]->out().find(json), std::string::npos) << clis[1]->out();
  }
  EXPECT_EQ(clis[2]->out(), "0\tudp\t127.0.0.1\t40453\t127.0.0.1\t40452\t32\t64\t" + SentToThis(second.pid) + "\n");
  EXPECT_EQ(clis[3]->out(), "");
  close(receiver);
}

}  // namespace
}  // namespace trovix
