// The flood of the flood benchmarks: numbered 32-byte UDP datagrams over loopback from one
// port to `ports` destination ports in turn, each with a socket bound to it so that no
// ICMP error comes back. Datagram k carries k / ports as its first 4 bytes.
#pragma once

#include <atomic>
#include <cstdint>

namespace trovix::bench {

struct FloodCount {
  uint32_t sent = 0;
  uint32_t toFirstPort = 0;  // of those sent, the ones to `firstPort`
};

// Sends `count` datagrams, or fewer when `stop` becomes true.
FloodCount FloodPorts(uint16_t firstPort, int ports, uint16_t senderPort, uint32_t count,
                      const std::atomic<bool>* stop = nullptr);

}  // namespace trovix::bench
