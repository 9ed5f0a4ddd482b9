// The flood of the flood benchmarks: numbered 32-byte UDP datagrams over loopback from one
// port to `ports` destination ports in turn, each with a socket bound to it so that no
// ICMP error comes back. Datagram k carries k / ports as its first 4 bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace trovix::bench {

struct FloodCount {
  uint32_t sent = 0;
  uint32_t toFirstPort = 0;  // of those sent, the ones to `firstPort`
};

// Sends `count` datagrams, or fewer when `stop` becomes true. With `firstPortSent`, the
// CLOCK_MONOTONIC time of each send to `firstPort` is appended to it.
FloodCount FloodPorts(uint16_t firstPort, int ports, uint16_t senderPort, uint32_t count,
                      const std::atomic<bool>* stop = nullptr, std::vector<int64_t>* firstPortSent = nullptr);

// CLOCK_MONOTONIC in nanoseconds, the clock every process of a benchmark shares.
int64_t MonotonicNs();

}  // namespace trovix::bench
