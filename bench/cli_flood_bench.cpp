// trovix-cli next to tcpdump under a sustained flood: inside a private network namespace,
// one sender sends numbered UDP datagrams over loopback to 100 destination ports in turn,
// and both programs keep only those to the first port (1%). In a first flood both write
// them to a capture file; in a second both print a line for each, to a file; in a third
// they do that with -l, each line written out at once; in a fourth both write a capture
// file again, trovix-cli keeping what tcpdump's own filter expression keeps, given as its
// expression in place of -p and -t.
// Reports, for each, what it kept of what was sent, the kernel's drops and its CPU time.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "bench/port_flood.h"
#include "bench/tcpdump_peer.h"
#include "capture/sources/link_layer.h"
#include "tests/loopback_traffic.h"
#include "tests/netns.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kFirstPort = 40500;
constexpr int kPorts = 100;
constexpr uint16_t kSenderPort = 40700;

// A capture program started with standard output going to `output` (thrown away when
// empty) and its standard error kept.
struct Capture {
  pid_t pid = -1;
  int errFd = -1;
  std::string said;
  double cpuSeconds = 0;

  bool Start(std::vector<std::string> args, const std::string& output = "") {
    int err[2];
    if (pipe(err) != 0) return false;
    pid = fork();
    if (pid == 0) {
      int out = output.empty() ? open("/dev/null", O_WRONLY)
                               : open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      dup2(out, 1);
      dup2(err[1], 2);
      close(err[0]);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(err[1]);
    errFd = err[0];
    return trovix::bench::AwaitListening(errFd, said);
  }
  void Stop() {
    kill(pid, SIGINT);
    int status;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    cpuSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    char buf[512];
    ssize_t n;
    while ((n = read(errFd, buf, sizeof buf)) > 0) said.append(buf, static_cast<size_t>(n));
    close(errFd);
  }
  std::string Line(const char* containing) const {
    size_t at = said.find(containing);
    if (at == std::string::npos) return "(no summary)";
    size_t start = said.rfind('\n', at) + 1;
    return said.substr(start, said.find('\n', at) - start);
  }
};

// The sequence numbers of the datagrams to the first port in a capture file.
std::vector<uint32_t> Sequences(const std::string& file) {
  std::vector<uint32_t> seqs;
  char error[PCAP_ERRBUF_SIZE];
  pcap_t* in = pcap_open_offline(file.c_str(), error);
  if (in == nullptr) return seqs;
  int linkType = pcap_datalink(in);
  pcap_pkthdr* h;
  const u_char* frame;
  while (pcap_next_ex(in, &h, &frame) == 1) {
    const uint8_t* d;
    size_t length;
    // The offsets below are IPv4's.
    if (!trovix::IpInFrame(linkType, frame, h->caplen, d, length) || (d[0] >> 4) != 4 || length < 32 ||
        d[9] != 17) {
      continue;
    }
    if ((d[22] << 8 | d[23]) != kFirstPort) continue;
    uint32_t seq;
    std::memcpy(&seq, d + 28, 4);
    seqs.push_back(seq);
  }
  pcap_close(in);
  return seqs;
}

// The lines in `file` that are not empty (tcpdump ends with one that is), each one kept
// datagram.
uint32_t Lines(const std::string& file) {
  uint32_t lines = 0;
  if (FILE* in = std::fopen(file.c_str(), "r")) {
    for (int c, last = '\n'; (c = std::getc(in)) != EOF; last = c) lines += c == '\n' && last != '\n';
    std::fclose(in);
  }
  return lines;
}

enum class Output { kCaptureFile, kLines, kLinesAtOnce, kExpression };

// Both programs capture one flood and write what they keep as `output` says.
bool RunFlood(const std::string& cli, uint32_t count, Output output) {
  bool lines = output == Output::kLines || output == Output::kLinesAtOnce;
  std::string ours = "/tmp/trovix-cli-bench-" + std::to_string(getpid()) + (lines ? ".txt" : ".pcap");
  std::string theirs = "/tmp/tcpdump-bench-" + std::to_string(getpid()) + (lines ? ".txt" : ".pcap");
  std::string port = std::to_string(kFirstPort);
  Capture trovix, tcpdump;
  // Each writes its output to a file: with `-w -` trovix-cli prints no lines, and without
  // -w both print lines only.
  std::string expression = "udp and dst port " + port;
  std::vector<std::string> trovixArgs = {cli, "-i", "127.0.0.1", "-p", "udp", "-t", "*:" + port};
  if (output == Output::kExpression) trovixArgs = {cli, "-i", "lo", expression};
  std::vector<std::string> tcpdumpArgs = {"tcpdump", "-i", "lo", "-nn", "-Z", "root"};
  if (!lines) {
    trovixArgs.insert(trovixArgs.end(), {"-w", "-"});
    tcpdumpArgs.insert(tcpdumpArgs.end(), {"-w", theirs});
  } else if (output == Output::kLinesAtOnce) {
    trovixArgs.push_back("-l");
    tcpdumpArgs.push_back("-l");
  }
  tcpdumpArgs.push_back(expression);
  if (!trovix.Start(trovixArgs, ours) || !tcpdump.Start(tcpdumpArgs, lines ? theirs : "")) {
    std::fprintf(stderr, "cli_flood_bench: a capture did not start:\n%s%s\n", trovix.said.c_str(), tcpdump.said.c_str());
    return false;
  }

  auto start = Clock::now();
  trovix::bench::FloodCount flood = trovix::bench::FloodPorts(kFirstPort, kPorts, kSenderPort, count);
  uint32_t sent = flood.sent, kept = flood.toFirstPort;
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  usleep(1500 * 1000);  // tcpdump hands over a partly filled ring block after 1 s
  trovix.Stop();
  tcpdump.Stop();

  const char* what = output == Output::kExpression ? "writing a capture file, both with the expression"
                     : !lines                       ? "writing a capture file"
                     : output == Output::kLines     ? "printing lines"
                                                    : "printing lines, -l";
  std::printf("%s: sent %u datagrams in %.2f s (%.0f/s), %u of them to port %u\n", what, sent, seconds,
              sent / seconds, kept, kFirstPort);
  for (auto [name, capture, file] : {std::tuple{"trovix-cli", &trovix, ours}, std::tuple{"tcpdump", &tcpdump, theirs}}) {
    if (lines) {
      std::printf("  %-10s printed %u/%u lines, CPU %.1f ms (user+sys); %s\n", name, Lines(file), kept,
                  capture->cpuSeconds * 1000, capture->Line("dropped by").c_str());
    } else {
      std::vector<uint32_t> seqs = Sequences(file);
      std::printf("  %-10s kept %zu/%u, missing %u, CPU %.1f ms (user+sys); %s\n", name, seqs.size(), kept,
                  trovix::test::MissingSequences(seqs, kept), capture->cpuSeconds * 1000,
                  capture->Line("dropped by").c_str());
    }
    unlink(file.c_str());
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t count = 1000000;
  std::string cli = argc > 1 ? argv[1] : "build/cli/trovix-cli";
  if (argc > 2) count = static_cast<uint32_t>(std::stoul(argv[2]));
  std::string problem = trovix::test::EnterPrivateNetwork();
  if (!problem.empty()) {
    std::fprintf(stderr, "cli_flood_bench: %s\n", problem.c_str());
    return 1;
  }
  for (Output output : {Output::kCaptureFile, Output::kLines, Output::kLinesAtOnce, Output::kExpression}) {
    if (!RunFlood(cli, count, output)) return 1;
  }
  return 0;
}
