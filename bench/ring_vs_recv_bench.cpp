// Why the capture socket has a receive ring: the same burst captured at the same time by
// the engine (ring) and by a plain packet socket read with recv one datagram at a time,
// both through the same accept path into stores of their own.
#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "capture/platform/helper_process.h"
#include "capture/sources/local_source.h"
#include "capture/packet_store.h"
#include "tests/loopback_traffic.h"
#include "tests/netns.h"

namespace {

// A plain SOCK_DGRAM packet socket on lo with the kernel's default receive buffer, read
// with recv into a 64 KiB buffer, skipping loopback's outgoing copies.
class PlainCapture {
 public:
  explicit PlainCapture(trovix::CaptureState& state) : state_(state) {
    fd_ = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_ALL));
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ALL);
    at.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
    bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at);
    thread_ = std::thread([this] { Run(); });
  }
  ~PlainCapture() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }

 private:
  void Run() {
    static uint8_t buffer[65536];
    pollfd p{fd_, POLLIN, 0};
    while (!stop_) {
      if (poll(&p, 1, 20) <= 0) continue;
      sockaddr_ll from{};
      socklen_t size = sizeof from;
      ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
      if (n < 0 || from.sll_pkttype == PACKET_OUTGOING || ntohs(from.sll_protocol) != ETH_P_IP) continue;
      trovix::AcceptDatagram(state_, buffer, static_cast<size_t>(n));
    }
  }
  trovix::CaptureState& state_;
  int fd_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
#ifdef TROVIX_CAPTURE_HELPER
  trovix::UseCaptureHelper(TROVIX_CAPTURE_HELPER);
#endif
  int runs = argc > 1 ? std::stoi(argv[1]) : 3;
  std::string problem = trovix::test::EnterPrivateNetwork();
  if (!problem.empty()) {
    std::fprintf(stderr, "ring_vs_recv_bench: %s\n", problem.c_str());
    return 1;
  }
  trovix::CaptureOptions options{"127.0.0.1", "*:40401", "*:40402", false, false, true, false, false, false};
  for (int run = 1; run <= runs; ++run) {
    auto ring = std::make_unique<trovix::CaptureState>();
    auto plain = std::make_unique<trovix::CaptureState>();
    trovix::PrepareCapture(*ring, options);
    trovix::PrepareCapture(*plain, options);
    if (trovix::StartCaptureThread(*ring, nullptr).result != trovix::CaptureStartResult::kStarted) return 1;
    trovix::test::Burst burst;
    {
      PlainCapture recvCapture(*plain);
      burst = trovix::test::SendNumbered(40401, 40402, trovix::kMaxPackets, 32);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    trovix::StopCaptureThread(*ring);
    double ms = std::chrono::duration<double, std::milli>(burst.end - burst.start).count();
    std::printf("run %d: sent %u in %.1f ms (%.0f/s); ring stored %u, missing %u; recv stored %u, missing %u\n", run,
                burst.sent, ms, burst.sent / (ms / 1000), trovix::PublishedPacketCount(ring->store),
                trovix::test::MissingSequences(trovix::test::StoredSequences(ring->store), burst.sent),
                trovix::PublishedPacketCount(plain->store),
                trovix::test::MissingSequences(trovix::test::StoredSequences(plain->store), burst.sent));
  }
  return 0;
}
