#include "bench/port_flood.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
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

}  // namespace trovix::bench
