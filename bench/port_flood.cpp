#include "bench/port_flood.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

namespace trovix::bench {

int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

FloodCount FloodPorts(uint16_t firstPort, int ports, uint16_t senderPort, uint32_t count,
                      const std::atomic<bool>* stop, std::vector<int64_t>* firstPortSent) {
  std::vector<int> receivers;
  std::vector<sockaddr_in> targets;
  for (int i = 0; i < ports; ++i) {
    sockaddr_in at{AF_INET, htons(static_cast<uint16_t>(firstPort + i)), {htonl(INADDR_LOOPBACK)}, {}};
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    receivers.push_back(fd);
    targets.push_back(at);
  }
  int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in self{AF_INET, htons(senderPort), {htonl(INADDR_LOOPBACK)}, {}};
  bind(sender, reinterpret_cast<sockaddr*>(&self), sizeof self);
  char payload[32] = {};
  FloodCount counted;
  for (uint32_t k = 0; k < count && (stop == nullptr || !*stop); ++k) {
    uint32_t seq = k / static_cast<uint32_t>(ports);
    std::memcpy(payload, &seq, 4);
    const sockaddr_in& to = targets[k % static_cast<uint32_t>(ports)];
    if (sendto(sender, payload, sizeof payload, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) > 0) {
      ++counted.sent;
      if (k % static_cast<uint32_t>(ports) == 0) {
        ++counted.toFirstPort;
        if (firstPortSent != nullptr) firstPortSent->push_back(MonotonicNs());
      }
    }
  }
  close(sender);
  for (int fd : receivers) close(fd);
  return counted;
}

SendersFlood FloodFromSenders(uint16_t firstPort, uint16_t firstSenderPort, int senders, uint32_t count,
                              size_t payload) {
  std::atomic<uint32_t> sent{0};
  std::atomic<int> ready{0};
  std::atomic<int64_t> lastSend{0};
  int64_t start = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < senders; ++i) {
    uint32_t share = count / static_cast<uint32_t>(senders) + (i < static_cast<int>(count % senders) ? 1 : 0);
    threads.emplace_back([&, i, share] {
      sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(firstPort + i)), {htonl(INADDR_LOOPBACK)}, {}};
      sockaddr_in from{AF_INET, htons(static_cast<uint16_t>(firstSenderPort + i)), {htonl(INADDR_LOOPBACK)}, {}};
      // A receiver that never reads: the datagrams need a bound port, or each would cost an
      // ICMP error.
      int receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      bind(receiver, reinterpret_cast<sockaddr*>(&to), sizeof to);
      bind(sender, reinterpret_cast<sockaddr*>(&from), sizeof from);
      std::vector<char> bytes(payload, 0);
      ++ready;
      while (ready.load() < senders) {
      }
      uint32_t done = 0;
      for (uint32_t seq = 0; seq < share; ++seq) {
        std::memcpy(bytes.data(), &seq, 4);
        done += sendto(sender, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0 ? 1 : 0;
      }
      int64_t end = MonotonicNs();
      for (int64_t last = lastSend.load(); end > last && !lastSend.compare_exchange_weak(last, end);) {
      }
      sent += done;
      close(sender);
      close(receiver);
    });
  }
  while (ready.load() < senders) {
  }
  start = MonotonicNs();
  for (std::thread& t : threads) t.join();
  return {sent.load(), (lastSend.load() - start) / 1e9};
}

}  // namespace trovix::bench
