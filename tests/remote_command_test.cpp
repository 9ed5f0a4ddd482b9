// ssh sources: their labels, the remote command as every login shell hands it to sh, and
// the tcpdump filter as a superset of what the accept path keeps.
#include "capture/sources/remote_command.h"

#include <fcntl.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "capture/packet_line.h"
#include "capture/packet_store.h"
#include "tests/datagram_builder.h"
#include "tests/temp_files.h"

namespace trovix {
namespace {

// A text is refused for its first wrong part (an ssh option as a host, whatever follows a
// "/"); the labels are unique and name a port or user only where another source needs it.
TEST(RemoteSources, AreRefusedForTheirFirstWrongPartAndLabelledUniquelyAndShortly) {
  std::pair<const char*, const char*> refused[] = {
      {"ssh://-oProxyCommand=touch/tmp/a-path-longer-than-fifteen", "the host must begin with a letter or digit"},
      {"ssh://-oProxyCommand=x@h/lo", "the user must begin with a letter or digit"},
      {"ssh://h:0/a-name-longer-than-fifteen", "the port \"0\" is not a number from 1 to 65535"},
      {"ssh://h/a-name-longer-than-fifteen", "the interface is longer than 15 characters"},
  };
  for (auto [text, expected] : refused) {
    std::string why;
    EXPECT_FALSE(ParseRemoteSource(text, why));
    EXPECT_EQ(why, expected) << text;
  }
  std::pair<std::vector<const char*>, std::vector<std::string>> cases[] = {
      {{"ssh://root@h/lo", "ssh://root@h:2222/lo"}, {"h/lo", "h:2222/lo"}},
      {{"ssh://alice@h/lo", "ssh://bob@h/lo", "ssh://h/lo"}, {"alice@h/lo", "bob@h/lo", "h/lo"}},
      {{"ssh://alice@h/lo", "ssh://bob@h:22/lo", "ssh://alice@h:22/lo"}, {"h/lo", "bob@h:22/lo", "alice@h:22/lo"}},
      {{"ssh://root@h/lo", "ssh://root@h/eth0", "ssh://root@g:22/lo"}, {"h/lo", "h/eth0", "g/lo"}},
      {{"ssh://[2001:db8::2]/lo", "ssh://[2001:db8::2]:2222/lo", "ssh://h"},
       {"[2001:db8::2]/lo", "[2001:db8::2]:2222/lo", "h"}},
      {{"ssh://h/lo", "ssh://h/lo", "ssh://h/lo"}, {"h/lo", "h/lo (2)", "h/lo (3)"}},
  };
  for (const auto& [texts, labels] : cases) {
    std::vector<RemoteSource> sources;
    std::string why;
    for (const char* text : texts) sources.push_back(ParseRemoteSource(text, why).value());
    EXPECT_EQ(SourceLabels(sources), labels) << texts[0];
  }
}

// `shell` -c `line` with only `path` to find programs; its standard input stays open, as
// ssh's does, until it has ended. Standard output, then "|" and standard error.
std::string RunUnder(const std::string& shell, const std::string& line, const std::string& path,
                     const std::string& home) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return "no pipe";
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0), dup2(out[1], 1), dup2(err[1], 2);
    if (chdir(home.c_str()) != 0) _exit(126);  // a shell that runs fragments writes files here
    std::string variables[] = {"PATH=" + path, "HOME=" + home, "SSH_CONNECTION=198.18.0.1 40000 198.18.0.2 22"};
    char* environment[] = {variables[0].data(), variables[1].data(), variables[2].data(), nullptr};
    execle(shell.c_str(), shell.c_str(), "-c", line.c_str(), nullptr, environment);
    _exit(127);
  }
  close(in[0]), close(out[1]), close(err[1]);
  std::string texts[2];
  for (int k = 0; k < 2; ++k) {
    char buffer[4096];
    for (ssize_t n; (n = read(k == 0 ? out[0] : err[0], buffer, sizeof buffer)) > 0;) texts[k].append(buffer, n);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  close(in[1]), close(out[0]), close(err[0]);
  return texts[0] + "|" + texts[1] + (WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : " (failed)");
}

// What every word of the remote command reaches the capture program as, under each login
// shell: a fake trovix-cli (or tcpdump) on the PATH prints its arguments.
TEST(RemoteCommand, EveryLoginShellRunsTheSameCommandWithEveryWordWhole) {
  test::TempFolder folder;
  std::filesystem::create_directories(folder.Path("cli"));
  std::filesystem::create_directories(folder.Path("dump"));
  const char* print = "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done\n";
  for (const char* fake : {"cli/trovix-cli", "dump/tcpdump"}) chmod(folder.Write(fake, print).c_str(), 0755);
  for (const char* dir : {"cli", "dump"}) {
    for (const char* tool : {"sh", "cat", "id"}) {
      std::filesystem::create_symlink("/bin/" + std::string(tool), folder.Path(dir) + "/" + tool);
    }
  }
  RemoteSource source{"ssh://h/tvx1", "", "h", "", "tvx1"};
  CaptureOptions options{"", "*:*", "[2001:db8::2]:41300", false, false, true, true, false, false, true};
  options.expressionText = "!tcp and 'a' \"b\" \\ \\\\ \\' $HOME `x` %s ~ *\tend";
  options.programs = true;  // the programs come as pcapng comments; tcpdump is not asked
  const std::string cli =
      "[-w]\n[-]\n[-l]\n[--not-ssh]\n[-i]\n[tvx1]\n[-p]\n[udp,icmp]\n[-f]\n[*:*]\n[-t]\n[[2001:db8::2]:41300]\n"
      "[--pcapng]\n[--programs]\n[--]\n"
      "[!tcp and 'a' \"b\" \\ \\\\ \\' $HOME `x` %s ~ *\tend]\n|";
  const std::string dump =
      "[-U]\n[--immediate-mode]\n[-w]\n[-]\n[-i]\n[tvx1]\n[(ip or ip6) and (udp or icmp or icmp6 or ip6[6] = 0 or "
      "ip6[6] = 43 or ip6[6] = 44 or ip6[6] = 51 or ip6[6] = 60) and host 2001:db8::2 and (not (ip proto 6 or ip "
      "proto 17 or ip6[6] = 6 or ip6[6] = 17) or port 41300) and (!tcp and 'a' \"b\" \\ \\\\ \\' $HOME `x` %s ~ *\tend)"
      " and not (host 198.18.0.1 and port 40000 and host 198.18.0.2 and port 22)]\n|";
  std::string line = RemoteCommand(source, options);
  for (const char* shell : {"/bin/sh", "/bin/bash", "/bin/dash", "/usr/bin/zsh", "/usr/bin/fish", "/usr/bin/tcsh",
                            "/usr/bin/csh"}) {
    EXPECT_EQ(RunUnder(shell, line, folder.Path("cli"), folder.Path("")), cli) << shell;
    EXPECT_EQ(RunUnder(shell, line, folder.Path("dump"), folder.Path("")), dump) << shell;
  }
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(line.find('!'), std::string::npos);
}

// The datagrams each case tells apart: UDP to a closed port, the ICMP error that answers
// it (no port test), the reply way, a later fragment (no ports), TCP, IGMP, and IPv6 with
// the extension headers the accept path walks.
struct Datagram {
  const char* name;
  std::vector<uint8_t> bytes;
};

std::vector<Datagram> Datagrams() {
  using test::MakeDatagram, test::MakeIpv6Datagram;
  std::vector<uint8_t> later = MakeDatagram({17, "198.18.0.1", "198.18.0.2", 40000, 41300, 4});
  later[7] = 185;
  std::vector<uint8_t> hopByHop = {0, 0, 5, 2, 0, 0, 1, 0};
  return {
      {"udp4", MakeDatagram({17, "198.18.0.1", "198.18.0.2", 40000, 41300, 4})},
      {"icmp4", MakeDatagram({1, "198.18.0.2", "198.18.0.1", 0, 0, 40})},
      {"reply4", MakeDatagram({17, "198.18.0.2", "198.18.0.1", 41300, 40000, 4})},
      {"later4", later},
      {"tcp4", MakeDatagram({6, "198.18.0.1", "198.18.0.2", 40001, 41300})},
      {"igmp4", MakeDatagram({2, "198.18.0.1", "224.0.0.22", 0, 0, 8})},
      {"udp6", MakeIpv6Datagram({.sport = 40000, .dport = 41300, .payload = 4})},
      {"icmp6", MakeIpv6Datagram({.upper = 58, .src = "2001:db8::2", .dst = "2001:db8::1", .payload = 56})},
      {"hop6", MakeIpv6Datagram({.sport = 40000, .dport = 41300, .payload = 4, .extensions = {{0, hopByHop}}})},
      {"frag6", MakeIpv6Datagram({.sport = 40000, .dport = 41300, .payload = 4,
                                  .extensions = {test::FragmentHeader(0, true)}})},
      {"mld6", MakeIpv6Datagram({.upper = 58, .src = "fe80::1", .dst = "ff02::16", .payload = 24,
                                 .extensions = {{0, hopByHop}}})},
  };
}

TEST(TcpdumpFilter, KeepsAtLeastWhatTheAcceptPathKeeps) {
  struct Case {
    CaptureOptions options;
    std::string keeps;  // the datagrams the filter keeps
  } cases[] = {
      {{"", "*:*", "*:41300", false, true, true, true, true, true, true},
       "udp4 icmp4 reply4 tcp4 igmp4 udp6 icmp6 hop6 frag6 mld6"},
      {{"", "[2001:db8::1]", "[2001:db8::2]:41300", false, false, true, true, false, false, true},
       "udp6 icmp6 hop6 frag6"},
      {{"", "198.18.0.1:*", "198.18.0.2:41300", false, true, true, false, false, false}, "udp4 reply4 tcp4"},
      {{"", "*:*", "*:*", false, false, false, true, false, false, true}, "icmp4 icmp6 hop6 frag6 mld6"},
      {{"", "198.18.0.1:*", "198.18.0.2:*", true, false, true, false, false, false}, "udp4 reply4 later4"},
  };
  auto state = std::make_unique<CaptureState>();
  pcap_t* dead = pcap_open_dead(DLT_RAW, 65535);
  for (const Case& c : cases) {
    PrepareCapture(*state, c.options);
    std::string filter = TcpdumpFilter(c.options), keeps;
    bpf_program program{};
    ASSERT_EQ(pcap_compile(dead, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN), 0) << filter;
    for (Datagram& d : Datagrams()) {
      pcap_pkthdr header{{}, static_cast<bpf_u_int32>(d.bytes.size()), static_cast<bpf_u_int32>(d.bytes.size())};
      bool ours = pcap_offline_filter(&program, &header, d.bytes.data()) != 0;
      size_t length = d.bytes.size();
      DatagramFields fields;
      EXPECT_TRUE(ours || !ScreenDatagram(*state, d.bytes.data(), length, fields)) << d.name << " by " << filter;
      if (ours) keeps += std::string(keeps.empty() ? "" : " ") + d.name;
    }
    pcap_freecode(&program);
    EXPECT_EQ(keeps, c.keeps) << filter;
  }
  pcap_close(dead);
}

}  // namespace
}  // namespace trovix
