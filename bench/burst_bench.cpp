// Burst capture benchmark: inside a private network namespace, a sender blasts numbered
// UDP datagrams over loopback (127.0.0.1, or ::1 with --ipv6) as fast as it can while
// Trovix's engine captures them with a consumer that reads rows in batches, the way the
// window does, and tcpdump captures the same traffic in the same run. Reports stored/sent
// and gaps for both.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/platform/helper_process.h"
#include "bench/tcpdump_peer.h"
#include "capture/sources/local_source.h"
#include "capture/packet_line.h"
#include "capture/packet_store.h"
#include "tests/loopback_traffic.h"
#include "tests/netns.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kSourcePort = 40101;
constexpr uint16_t kDestinationPort = 40102;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

class EndListener : public trovix::CaptureListener {
 public:
  void PacketsPublished(uint32_t) noexcept override {}
  void CaptureEnded() noexcept override { ended = true; }
  std::atomic<bool> ended{false};
};

// Reads new rows every 10 ms and formats each, as the packet list does when it shows them.
class RowConsumer {
 public:
  explicit RowConsumer(trovix::CaptureState& state) : state_(state), thread_([this] { Run(); }) {}
  ~RowConsumer() { Finish(); }
  void Finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  uint32_t shown() const { return shown_; }
  Clock::time_point lastRowAt() const { return lastRowAt_; }

 private:
  void Run() {
    while (!stop_) {
      uint32_t count = trovix::PublishedPacketCount(state_.store);
      for (; shown_ < count; ++shown_) {
        trovix::StoredPacket p;
        char line[trovix::kPacketLineMax + 1];
        if (trovix::LocatePacket(state_.store, static_cast<int32_t>(shown_), p)) {
          trovix::FormatStoredPacketLine(shown_, p.bytes, static_cast<size_t>(p.length), line);
        }
        lastRowAt_ = Clock::now();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  trovix::CaptureState& state_;
  std::atomic<bool> stop_{false};
  std::atomic<uint32_t> shown_{0};
  Clock::time_point lastRowAt_{};
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
#ifdef TROVIX_CAPTURE_HELPER
  trovix::UseCaptureHelper(TROVIX_CAPTURE_HELPER);
#endif
  uint32_t count = 10000;
  int runs = 5;
  std::string tcpdump = "tcpdump";
  bool ipv6 = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--ipv6") ipv6 = true;
    else if (i + 1 == argc) break;
    else if (arg == "--count") count = static_cast<uint32_t>(std::stoul(argv[++i]));
    else if (arg == "--runs") runs = std::stoi(argv[++i]);
    else if (arg == "--tcpdump") tcpdump = argv[++i];
  }
  std::string problem = trovix::test::EnterPrivateNetwork();
  if (!problem.empty()) {
    std::fprintf(stderr, "burst_bench: %s\n", problem.c_str());
    return 1;
  }

  trovix::CaptureState& state = trovix::TheCaptureState();
  for (int run = 1; run <= runs; ++run) {
    trovix::bench::TcpdumpPeer dump;
    bool withTcpdump = tcpdump != "none" && dump.Start(tcpdump, "udp and src port 40101");

    // IPv6 on, as the window's menu command sets it, and bound to the interface of ::1.
    trovix::PrepareCapture(state, {ipv6 ? "::1" : "127.0.0.1", "*:40101", "*:40102", false, false, true, false, false,
                                   false, /*ipv6=*/ipv6});
    EndListener listener;
    auto started = trovix::StartCaptureThread(state, &listener);
    if (started.result != trovix::CaptureStartResult::kStarted) {
      std::fprintf(stderr, "burst_bench: capture did not start: %s\n", std::strerror(started.error));
      return 1;
    }
    RowConsumer consumer(state);
    trovix::test::Burst burst =
        trovix::test::SendNumbered(kSourcePort, kDestinationPort, count, 32, nullptr, nullptr, ipv6 ? AF_INET6 : AF_INET);
    auto deadline = Clock::now() + std::chrono::seconds(2);
    while (consumer.shown() < std::min(count, trovix::kMaxPackets) && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    consumer.Finish();
    trovix::StopCaptureThread(state);

    uint32_t stored = trovix::PublishedPacketCount(state.store);
    std::vector<uint32_t> seqs = trovix::test::StoredSequences(state.store);
    uint32_t expected = std::min(burst.sent, trovix::kMaxPackets);
    std::printf("run %d: sent %u in %.1f ms (%.0f datagrams/s)\n", run, burst.sent, Ms(burst.end - burst.start),
                burst.sent / (Ms(burst.end - burst.start) / 1000));
    std::printf("  trovix : stored %u/%u, missing %u, rows shown %u", stored, expected, trovix::test::MissingSequences(seqs, expected),
                consumer.shown());
    if (ipv6) {
      uint32_t v6 = 0;
      for (uint32_t k = 0; k < stored; ++k) {
        trovix::StoredPacket p;
        if (trovix::LocatePacket(state.store, static_cast<int32_t>(k), p) && p.length > 0 && (p.bytes[0] >> 4) == 6) ++v6;
      }
      std::printf(" (%u IPv6)", v6);
    }
    if (count <= trovix::kMaxPackets) {
      std::printf(", last row %.1f ms after the last send", Ms(consumer.lastRowAt() - burst.end));
    }
    std::printf("\n");
    if (withTcpdump) {
      trovix::bench::TcpdumpResult r = dump.Stop(burst.sent);
      std::printf("  tcpdump: captured %u/%u, missing %u (%s)\n", r.captured, burst.sent, r.missing, r.summary.c_str());
    }
  }
  return 0;
}
