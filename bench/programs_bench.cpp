// What the program sampler costs and how short-lived a socket it still names. Run in a
// private network namespace (so that only its own sockets are in the tables), or with
// --here in the namespace it starts in, to see the cost of a desktop's real tables.
//   programs_bench [--here] [trials per lifetime]
// Idle: the sampler runs 10 s (after 1 s to settle) over an empty store; its thread's CPU time over the wall time.
// Lifetimes: for each lifetime L a UDP socket on loopback is bound, sends one datagram
// at once (its time and addresses go into the store as a capture would put them), lives L
// ms and closes; the share of such datagrams named after this process is printed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

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
  Idle();
  Lifetimes(trials);
  return 0;
}
