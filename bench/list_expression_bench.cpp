// The list filtered by a pcap expression over a million stored datagrams, beside tshark's
// -Y with the same meaning on the same datagrams written as a file.
//
//   list_expression_bench [COUNT]   1000000 datagrams
//
// The datagrams (IPv4, three TCP to one UDP, 60 to 123 bytes, from 65,536 addresses of
// 198.18.0.0/16 to 443, 53, or a port of 8000-8255; every eighth TCP segment a SYN) go into
// the larger store. Timed: one compile; KeptPackets with the expression alone and with the
// window's fields beside it, best and median of 5. Then the store is written as a raw-IP pcap
// file, and tshark -Y and tcpdump -r count what they keep of it.
#include <pcap/pcap.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture/pcap_expression.h"
#include "capture/sources/pcap_writer.h"
#include "bench/bench_clock.h"

namespace {

using namespace trovix;
using bench::Clock;
using bench::Since;
using bench::ThreadCpu;

constexpr const char* kExpression =
    "tcp and (port 443 or portrange 8000-8099) and not net 198.18.1.0/24 or tcp[tcpflags] & tcp-syn != 0";
constexpr const char* kDisplayFilter =
    "(tcp and (tcp.port == 443 or tcp.port in {8000..8099}) and not ip.addr == 198.18.1.0/24) or tcp.flags.syn == 1";

std::vector<uint8_t> Datagram(uint32_t k) {
  bool udp = k % 4 == 3;
  size_t transport = udp ? 8 : 20;
  std::vector<uint8_t> d(20 + transport + 12 + k % 64, 0);
  d[0] = 0x45, d[2] = static_cast<uint8_t>(d.size() >> 8), d[3] = static_cast<uint8_t>(d.size());
  d[8] = 64, d[9] = udp ? 17 : 6;
  const uint8_t src[] = {198, 18, static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k)};
  const uint8_t dst[] = {198, 19, 0, static_cast<uint8_t>(k % 5)};
  std::copy(src, src + 4, &d[12]);
  std::copy(dst, dst + 4, &d[16]);
  uint16_t sport = static_cast<uint16_t>(40000 + k % 20000);
  uint16_t dport = udp ? 53 : k % 3 == 0 ? 443 : static_cast<uint16_t>(8000 + k % 256);
  d[20] = static_cast<uint8_t>(sport >> 8), d[21] = static_cast<uint8_t>(sport);
  d[22] = static_cast<uint8_t>(dport >> 8), d[23] = static_cast<uint8_t>(dport);
  if (udp) {
    d[24] = static_cast<uint8_t>((d.size() - 20) >> 8), d[25] = static_cast<uint8_t>(d.size() - 20);
  } else {
    d[32] = 0x50, d[33] = (k / 4) % 8 == 0 ? 0x02 : 0x10;
  }
  return d;
}

// `command` with `path` for FILE: the last line it prints, and its wall time.
void Count(const char* what, const std::string& command) {
  auto t = Clock::now();
  std::FILE* out = popen(command.c_str(), "r");
  char line[64] = "?";
  if (out != nullptr) {
    while (std::fgets(line, sizeof line, out) != nullptr) {
    }
    pclose(out);
  }
  std::printf("%-40s %7.3f s, %s", what, Since(t), line);
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t count = argc > 1 ? static_cast<uint32_t>(std::atol(argv[1])) : 1000000;
  CaptureState& state = TheCaptureState();
  if (!UseLargerStore(state, true)) {
    std::printf("the larger store could not be reserved\n");
    return 1;
  }
  for (uint32_t k = 0; k < count; ++k) {
    std::vector<uint8_t> d = Datagram(k);
    AcceptResult result = AppendPacket(state.store, d[9], d.data(), d.size(), nullptr, nullptr, 1700000000000000000 + int64_t{k} * 10000);
    if (result != AcceptResult::kStored && (result != AcceptResult::kStoredLast || k + 1 != count)) {
      std::printf("the store took %u datagrams\n", k);
      return 1;
    }
  }
  uint32_t stored = PublishedPacketCount(state.store);
  std::printf("%u datagrams stored\n%s\n", stored, kExpression);

  std::vector<sock_filter> program;
  std::string error;
  auto t = Clock::now();
  for (int i = 0; i < 100; ++i) {
    if (!CompileExpression(kExpression, DLT_RAW, program, error)) {
      std::printf("refused: %s\n", error.c_str());
      return 1;
    }
  }
  std::printf("one compile: %.1f µs (of 100), %zu instructions\n", Since(t) * 1e6 / 100, program.size());

  CaptureSettings fields;
  ApplyCaptureOptions(fields, {"0.0.0.0", "*:*", "*:*", false, true, true, true, true, true, true});
  const CaptureSettings* fieldsOrNot[] = {nullptr, &fields};
  for (const CaptureSettings* with : fieldsOrNot) {
    std::vector<double> passes, cpus;
    size_t kept = 0;
    for (int run = 0; run < 5; ++run) {
      std::vector<int32_t> shown;
      auto pass = Clock::now();
      double cpu = ThreadCpu();
      KeptPackets(state.store, program, with, 0, stored, shown);
      passes.push_back(Since(pass));
      cpus.push_back(ThreadCpu() - cpu);
      kept = shown.size();
    }
    std::sort(passes.begin(), passes.end());
    std::sort(cpus.begin(), cpus.end());
    std::printf("%-30s best %.3f s, median %.3f s; CPU best %.3f s, median %.3f s (of 5); %zu kept\n",
                with == nullptr ? "the expression" : "the expression and the fields", passes[0], passes[2], cpus[0],
                cpus[2], kept);
  }

  std::string path = "/tmp/list_expression_bench.pcap";
  std::vector<uint8_t> file;
  if (!PacketCaptureBytes(state, file)) return 1;
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr || std::fwrite(file.data(), 1, file.size(), out) != file.size() || std::fclose(out) != 0) return 1;
  Count("tshark -n -r FILE -Y ... | wc -l", std::string("tshark -n -r ") + path + " -Y '" + kDisplayFilter + "' | wc -l");
  Count("tcpdump -n -r FILE ... | wc -l", std::string("tcpdump -n -r ") + path + " '" + kExpression + "' 2>/dev/null | wc -l");
  std::remove(path.c_str());
  return 0;
}
