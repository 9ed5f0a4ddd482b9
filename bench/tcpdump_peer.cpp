#include "bench/tcpdump_peer.h"

#include "tests/loopback_traffic.h"

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

namespace trovix::bench {

TcpdumpPeer::~TcpdumpPeer() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (stderrFd_ >= 0) close(stderrFd_);
  if (!file_.empty()) unlink(file_.c_str());
}

bool TcpdumpPeer::Start(const std::string& program, const std::string& filter, int bufferKiB) {
  int err[2];
  if (pipe(err) != 0) return false;
  file_ = "/tmp/trovix-bench-" + std::to_string(getpid()) + ".pcap";
  // Made before the fork: the child of a process with threads must not allocate.
  std::vector<std::string> args = {program, "-i", "lo", "-nn", "-Z", "root", "-w", file_, filter};
  if (bufferKiB > 0) args.insert(args.begin() + 1, {"-B", std::to_string(bufferKiB)});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(err[1], 2);
    close(err[0]);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(err[1]);
  stderrFd_ = err[0];
  std::string said;
  return AwaitListening(stderrFd_, said);
}

bool AwaitListening(int stderrFd, std::string& said) {
  char buf[256];
  pollfd p{stderrFd, POLLIN, 0};
  while (said.find("listening on") == std::string::npos && poll(&p, 1, 5000) == 1) {
    ssize_t n = read(stderrFd, buf, sizeof buf);
    if (n <= 0) break;
    said.append(buf, static_cast<size_t>(n));
  }
  return said.find("listening on") != std::string::npos;
}

TcpdumpResult TcpdumpPeer::Stop(uint32_t sent) {
  // tcpdump hands over a partly filled ring block only after its 1 s timeout.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  kill(pid_, SIGINT);
  rusage usage{};
  wait4(pid_, nullptr, 0, &usage);
  pid_ = -1;
  std::string said;
  char buf[512];
  ssize_t n;
  while ((n = read(stderrFd_, buf, sizeof buf)) > 0) said.append(buf, static_cast<size_t>(n));

  TcpdumpResult result;
  result.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                 (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  std::vector<uint32_t> seqs = PcapSequences(file_);
  for (uint32_t seq : seqs) result.captured += seq < sent ? 1 : 0;
  result.missing = test::MissingSequences(seqs, sent);
  size_t drop = said.find("dropped by kernel");
  if (drop != std::string::npos) {
    size_t start = said.rfind('\n', drop) + 1;
    result.summary = said.substr(start, drop + std::strlen("dropped by kernel") - start);
  }
  return result;
}

std::vector<uint32_t> PcapSequences(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<char> all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<uint32_t> seqs;
  size_t at = 24;  // the file header
  while (at + 16 <= all.size()) {
    uint32_t caplen;
    std::memcpy(&caplen, &all[at + 8], 4);
    at += 16;
    if (caplen > all.size() - at) break;
    // lo writes an Ethernet header: the EtherType says which IP header follows it. Only
    // UDP right behind the IP header counts (IPv4's length from its IHL).
    const auto* frame = reinterpret_cast<const uint8_t*>(&all[at]);
    size_t payload = 0;
    if (caplen >= 14 + 20 && frame[12] == 0x08 && frame[13] == 0x00 && frame[14 + 9] == 17) {
      payload = 14 + (frame[14] & 0x0Fu) * 4u + 8;
    } else if (caplen >= 14 + 40 && frame[12] == 0x86 && frame[13] == 0xDD && frame[14 + 6] == 17) {
      payload = 14 + 40 + 8;
    }
    if (payload != 0 && caplen >= payload + 4) {
      uint32_t seq;
      std::memcpy(&seq, frame + payload, 4);
      seqs.push_back(seq);
    }
    at += caplen;
  }
  return seqs;
}

}  // namespace trovix::bench
