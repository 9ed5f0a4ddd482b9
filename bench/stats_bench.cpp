// The statistics over a million stored datagrams, beside tshark's conversations and
// io,stat on the same datagrams written as a file.
//
//   stats_bench [COUNT [CONVERSATIONS]]   1000000 datagrams in 100000 conversations
//
// The datagrams (UDP, a fifth of the conversations over IPv6, both directions, 60 to 123
// bytes, 10 µs apart) go into the larger store with their conversations interleaved, so
// that no datagram follows one of its own flow. Timed: one pass that makes every table
// and the rates per second, best and median of 5; the same datagrams in passes of 10,000
// (a live window's ticks); sorting the four tables and the tree. Memory: the heap the
// tables hold once made (mallinfo2). Then tshark reads the same datagrams from a raw-IP
// pcap file: `-q -z conv,udp -z conv,tcp`, and `-q -z io,stat,1`, each once, and trovix-cli
// `-r FILE --stats=conversations` and `--stats-interval=1` beside them.
#include <malloc.h>
#include <pcap/pcap.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture/packet_store.h"
#include "capture/sources/pcap_writer.h"
#include "capture/statistics.h"
#include "bench/bench_clock.h"

namespace {

using namespace trovix;
using bench::Clock;
using bench::Since;
using bench::ThreadCpu;

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Datagram k: conversation k % conversations, every other one answered.
std::vector<uint8_t> Datagram(uint32_t k, uint32_t conversations) {
  uint32_t c = k % conversations;
  bool reply = (k / conversations) % 2 == 1;
  bool ipv6 = c % 5 == 0;
  size_t payload = 32 + (k % 64);
  std::vector<uint8_t> d((ipv6 ? 48 : 28) + payload, 0);
  uint8_t client[16] = {}, server[16] = {};
  if (ipv6) {
    const uint8_t prefix[] = {0x20, 0x01, 0x0d, 0xb8};
    std::copy(prefix, prefix + 4, client);
    std::copy(prefix, prefix + 4, server);
    client[13] = static_cast<uint8_t>(c >> 16), client[14] = static_cast<uint8_t>(c >> 8), client[15] = static_cast<uint8_t>(c);
    server[15] = 1;
  } else {
    const uint8_t a[] = {198, 18, static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c)};
    const uint8_t b[] = {198, 19, 0, static_cast<uint8_t>(c % 7)};
    std::copy(a, a + 4, client);
    std::copy(b, b + 4, server);
  }
  uint16_t clientPort = static_cast<uint16_t>(40000 + c % 20000), serverPort = c % 3 == 0 ? 53 : 443;
  const uint8_t* src = reply ? server : client;
  const uint8_t* dst = reply ? client : server;
  uint16_t sport = reply ? serverPort : clientPort, dport = reply ? clientPort : serverPort;
  size_t h;
  if (ipv6) {
    d[0] = 0x60, d[4] = static_cast<uint8_t>((d.size() - 40) >> 8), d[5] = static_cast<uint8_t>(d.size() - 40);
    d[6] = 17, d[7] = 64;
    std::copy(src, src + 16, &d[8]);
    std::copy(dst, dst + 16, &d[24]);
    h = 40;
  } else {
    d[0] = 0x45, d[2] = static_cast<uint8_t>(d.size() >> 8), d[3] = static_cast<uint8_t>(d.size()), d[8] = 64, d[9] = 17;
    std::copy(src, src + 4, &d[12]);
    std::copy(dst, dst + 4, &d[16]);
    h = 20;
  }
  d[h] = static_cast<uint8_t>(sport >> 8), d[h + 1] = static_cast<uint8_t>(sport);
  d[h + 2] = static_cast<uint8_t>(dport >> 8), d[h + 3] = static_cast<uint8_t>(dport);
  d[h + 4] = static_cast<uint8_t>((d.size() - h) >> 8), d[h + 5] = static_cast<uint8_t>(d.size() - h);
  return d;
}

// `program` on the file, its output thrown away: wall and CPU time.
void Run(const char* program, const char* what, const std::string& path, const char* arguments) {
  std::string command = std::string(program) + " -r " + path + " " + arguments + " > /dev/null 2>&1";
  double cpu = CpuSeconds(RUSAGE_CHILDREN);
  auto t = Clock::now();
  int status = std::system(command.c_str());
  double wall = Since(t);
  if (status != 0) {
    std::printf("%s %s: could not run (%d)\n", program, what, status);
    return;
  }
  std::printf("%-12s %-34s %7.3f s, CPU %7.3f s\n", program, what, wall, CpuSeconds(RUSAGE_CHILDREN) - cpu);
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t count = argc > 1 ? static_cast<uint32_t>(std::atol(argv[1])) : 1000000;
  uint32_t conversations = argc > 2 ? static_cast<uint32_t>(std::atol(argv[2])) : 100000;
  CaptureState& state = TheCaptureState();
  if (!UseLargerStore(state, true)) {
    std::printf("the larger store could not be reserved\n");
    return 1;
  }
  constexpr int64_t kStart = 1700000000000000000;
  for (uint32_t k = 0; k < count; ++k) {
    std::vector<uint8_t> d = Datagram(k, conversations);
    AcceptResult result = AppendPacket(state.store, 17, d.data(), d.size(), nullptr, nullptr, kStart + int64_t{k} * 10000);
    if (result != AcceptResult::kStored && (result != AcceptResult::kStoredLast || k + 1 != count)) {
      std::printf("the store took %u datagrams\n", k);
      return 1;
    }
  }
  uint32_t stored = PublishedPacketCount(state.store);
  std::printf("%u datagrams in %u conversations stored\n", stored, conversations);

  std::vector<double> passes, cpus;
  size_t heap = 0;
  for (int run = 0; run < 5; ++run) {
    size_t before = mallinfo2().uordblks;
    double cpu = CpuSeconds(RUSAGE_SELF);
    double thread = ThreadCpu();
    auto t = Clock::now();
    {
      Statistics s(1000000000);
      s.Pass(state.store, 0, stored);
      // The endpoints are summed from their conversations when first asked for.
      s.addresses();
      passes.push_back(Since(t));
      cpus.push_back(ThreadCpu() - thread);
      heap = mallinfo2().uordblks - before;
      if (run == 0) {
        std::printf("first pass: %zu conversations, %zu addresses, %zu ports, %zu rate intervals; CPU %.3f s\n",
                    s.conversations().size(), s.addresses().size(), s.ports().size(), s.rates().size(),
                    CpuSeconds(RUSAGE_SELF) - cpu);
        auto sorted = Clock::now();
        double sortCpu = ThreadCpu();
        auto a = Statistics::ByBytes(s.conversations());
        auto b = Statistics::ByBytes(s.addresses());
        auto c = Statistics::ByBytes(s.ports());
        auto d = Statistics::ByBytes(s.programs());
        auto tree = s.ProtocolTree();
        std::printf("sorting the four tables and the tree: %.3f s, CPU %.3f s (%zu rows)\n", Since(sorted),
                    ThreadCpu() - sortCpu, a.size() + b.size() + c.size() + d.size() + tree.size());
      }
    }
  }
  std::sort(passes.begin(), passes.end());
  std::sort(cpus.begin(), cpus.end());
  std::printf("one pass, every table and the rates: best %.3f s, median %.3f s; CPU best %.3f s, median %.3f s (of 5)\n",
              passes[0], passes[2], cpus[0], cpus[2]);
  std::printf("the tables' heap once made: %.1f MB\n", static_cast<double>(heap) / 1e6);

  auto t = Clock::now();
  double thread = ThreadCpu();
  Statistics live(1000000000);
  for (uint32_t to = 10000; live.end() < stored; to += 10000) {
    live.PassTo(state.store, to);
    live.addresses();  // as a window showing the endpoints would after each tick
  }
  std::printf("passes of 10,000, the endpoints summed after each: %.3f s, CPU %.3f s in all\n", Since(t),
              ThreadCpu() - thread);

  std::string path = "/tmp/stats_bench.pcap";
  std::vector<uint8_t> file;
  if (!PacketCaptureBytes(state, file)) return 1;
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr || std::fwrite(file.data(), 1, file.size(), out) != file.size() || std::fclose(out) != 0) return 1;
  std::printf("%s: %.1f MB\n", path.c_str(), static_cast<double>(file.size()) / 1e6);
  for (const char* table : {"--stats=conversations", "--stats-interval=1"}) Run(TROVIX_CLI, table, path, table);
  Run("tshark", "-n -q -z conv,udp -z conv,tcp", path, "-n -q -z conv,udp -z conv,tcp");
  Run("tshark", "-n -q -z conv,udp", path, "-n -q -z conv,udp");
  Run("tshark", "-n -q -z io,stat,1", path, "-n -q -z io,stat,1");
  std::remove(path.c_str());
  return 0;
}
