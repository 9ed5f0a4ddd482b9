// What the program sampler costs and how short-lived a socket it still names. Run in a
// private network namespace (so that only its own sockets are in the tables), or with
// --here in the namespace it starts in, to see the cost of a desktop's real tables.
//   programs_bench [--here] [trials per lifetime] [connections]
// Idle: the sampler runs 10 s (after 1 s to settle) over an empty store; its thread's CPU time over the wall time.
// Lifetimes: for each lifetime L a UDP socket on loopback is bound, sends one datagram
// at once (its time and addresses go into the store as a capture would put them), lives L
// ms and closes; the share of such datagrams named after this process is printed.
// Latency: CONNECTIONS TCP connections on loopback, about twenty at once, each living 100
// ms; the client's first segment and one 50 ms later go into the store when sent, and the
// time until each one's owner entry is written (what the list then shows) is taken:
// median, 99th percentile and maximum, for first and later segments apart.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture/packet_store.h"
#include "capture/program_sampler.h"
#include "tests/datagram_builder.h"
#include "tests/netns.h"

namespace {

using namespace std::chrono_literals;

int64_t RealNow() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

void Idle() {
  auto state = std::make_unique<trovix::CaptureState>();
  trovix::ProgramTable table;
  trovix::ProgramSampler sampler(state->store, table);
  if (sampler.Start() != 0) return;
  std::this_thread::sleep_for(1s);  // past the start's first dump and look-ups
  uint64_t before = sampler.cpuNs(), dumpsBefore = sampler.dumps(), samplesBefore = sampler.samples();
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(10s);
  uint64_t used = sampler.cpuNs() - before;
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  uint64_t dumps = sampler.dumps() - dumpsBefore, samples = sampler.samples() - samplesBefore;
  sampler.Stop();
  std::printf("idle: %.3f%% of one core (%.1f ms CPU in %.1f s; %llu samples, %llu of them whole dumps)\n",
              100.0 * static_cast<double>(used) / 1e9 / wall, static_cast<double>(used) / 1e6, wall,
              static_cast<unsigned long long>(samples), static_cast<unsigned long long>(dumps));
}

void Lifetimes(int trials) {
  const int kLifetimes[] = {0, 2, 5, 10, 15, 20, 25, 30, 40, 50};
  std::string own = std::to_string(getpid());
  int receiver = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{AF_INET, htons(29999), {htonl(INADDR_LOOPBACK)}, {}};
  bind(receiver, reinterpret_cast<sockaddr*>(&at), sizeof at);
  uint16_t port = 30000;
  for (int lifetime : kLifetimes) {
    auto state = std::make_unique<trovix::CaptureState>();
    trovix::ProgramTable table;
    trovix::ProgramSampler sampler(state->store, table);
    if (sampler.Start() != 0) return;
    for (int t = 0; t < trials; ++t, ++port) {
      int fd = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in self{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
      bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self);
      int64_t sent = RealNow();
      sendto(fd, "data", 4, 0, reinterpret_cast<sockaddr*>(&at), sizeof at);
      auto d = trovix::test::MakeDatagram({17, "127.0.0.1", "127.0.0.1", port, 29999, 4});
      trovix::AppendPacket(state->store, 17, d.data(), d.size(), nullptr, nullptr, sent);
      std::this_thread::sleep_for(std::chrono::milliseconds(lifetime));
      close(fd);
      // Apart from the next one by more than a dump's interval, so that each stands alone.
      std::this_thread::sleep_for(30ms);
    }
    sampler.Stop();
    int named = 0, userOnly = 0;
    for (int k = 0; k < trials; ++k) {
      std::string text = table.OwnerText(trovix::PacketOwner(state->store, k));
      if (text.find(" " + own + " \u2192") != std::string::npos) ++named;
      else if (text.rfind("user root \u2192", 0) == 0) ++userOnly;  // its process was read too late
      else if (text.rfind("? ", 0) != 0) std::printf("  wrong: %s\n", text.c_str());
    }
    std::printf("lifetime %2d ms: %3d of %d named (%.0f%%), %d by their user alone\n", lifetime, named, trials,
                100.0 * named / trials, userOnly);
  }
  close(receiver);
}

void Latency(int connections) {
  auto state = std::make_unique<trovix::CaptureState>();
  trovix::ProgramTable table;
  trovix::ProgramSampler sampler(state->store, table);
  if (sampler.Start() != 0) return;
  std::this_thread::sleep_for(200ms);
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in at{AF_INET, htons(29998), {htonl(INADDR_LOOPBACK)}, {}};
  bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at);
  listen(listener, 64);
  struct Open {
    int client, served;
    uint16_t port;
    std::chrono::steady_clock::time_point later, until;
    bool sentLater = false;
  };
  std::vector<Open> open;
  std::vector<std::chrono::steady_clock::time_point> stored;
  std::vector<double> waitedMs(static_cast<size_t>(connections) * 2, -1);
  std::vector<bool> first;
  auto now = std::chrono::steady_clock::now;
  int named = 0, unknown = 0;
  auto watch = [&] {
    for (size_t k = 0; k < stored.size(); ++k) {
      if (waitedMs[k] >= 0) continue;
      uint32_t owner = trovix::PacketOwner(state->store, static_cast<int32_t>(k));
      if (owner == trovix::kOwnerPending) continue;
      waitedMs[k] = std::chrono::duration<double, std::milli>(now() - stored[k]).count();
      std::string text = table.OwnerText(owner);
      (text.find(" " + std::to_string(getpid()) + " ") != std::string::npos ? named : unknown)++;
    }
  };
  auto store = [&](int fd, uint16_t port, bool isFirst) {
    int64_t sent = RealNow();
    send(fd, "data", 4, 0);
    auto d = trovix::test::MakeDatagram({6, "127.0.0.1", "127.0.0.1", port, 29998, 4});
    trovix::AppendPacket(state->store, 6, d.data(), d.size(), nullptr, nullptr, sent);
    stored.push_back(now());
    first.push_back(isFirst);
  };
  for (int c = 0; c < connections || !open.empty();) {
    // One new connection every 5 ms, so that about twenty live at once.
    if (c < connections) {
      int fd = socket(AF_INET, SOCK_STREAM, 0);
      connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
      int served = accept(listener, nullptr, nullptr);
      sockaddr_in self{};
      socklen_t size = sizeof self;
      getsockname(fd, reinterpret_cast<sockaddr*>(&self), &size);
      store(fd, ntohs(self.sin_port), true);
      open.push_back({fd, served, ntohs(self.sin_port), now() + 50ms, now() + 100ms});
      ++c;
    }
    for (Open& o : open) {
      if (o.sentLater || now() < o.later) continue;
      store(o.client, o.port, false);
      o.sentLater = true;
    }
    auto until = now() + 5ms;
    while (now() < until) {
      watch();
      std::this_thread::sleep_for(500us);
    }
    std::erase_if(open, [&](const Open& o) {
      if (now() < o.until) return false;
      close(o.client);
      close(o.served);
      return true;
    });
  }
  for (auto end = now() + 2s; now() < end && named + unknown < 2 * connections;) {
    watch();
    std::this_thread::sleep_for(500us);
  }
  sampler.Stop();
  close(listener);
  std::printf("latency over %d connections of 100 ms: %d segments named, %d not\n", connections, named, unknown);
  for (bool which : {true, false}) {
    std::vector<double> sorted;
    for (size_t k = 0; k < stored.size(); ++k) {
      if (first[k] == which && waitedMs[k] >= 0) sorted.push_back(waitedMs[k]);
    }
    std::sort(sorted.begin(), sorted.end());
    if (sorted.empty()) continue;
    std::printf("  %s segments: median %.1f ms, 99th %.1f ms, max %.1f ms\n", which ? "first" : "later",
                sorted[sorted.size() / 2], sorted[sorted.size() * 99 / 100], sorted.back());
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool here = argc > 1 && std::strcmp(argv[1], "--here") == 0;
  if (here) --argc, ++argv;
  if (!here) {
    std::string problem = trovix::test::EnterPrivateNetwork();
    if (!problem.empty()) {
      std::fprintf(stderr, "programs_bench: %s\n", problem.c_str());
      return 1;
    }
  }
  int trials = argc > 1 ? std::atoi(argv[1]) : 50;
  int connections = argc > 2 ? std::atoi(argv[2]) : 1000;
  Idle();
  Lifetimes(trials);
  Latency(connections);
  return 0;
}
