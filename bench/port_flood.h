// The flood of the flood benchmarks: numbered 32-byte UDP datagrams over loopback from one
// port to `ports` destination ports in turn, each with a socket bound to it so that no
// ICMP error comes back. Datagram k carries k / ports as its first 4 bytes.
#pragma once

#include <atomic>
#include <cstddef>
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

// `senders` threads at once, each from a port of its own (`firstSenderPort` + i) to one
// port of its own (`firstPort` + i), together `count` datagrams of `payload` bytes (at
// least 4), each sender's numbered from 0 as above. Returns how many were sent and the
// seconds from the first send to the last.
struct SendersFlood {
  uint32_t sent = 0;
  double seconds = 0;
};
SendersFlood FloodFromSenders(uint16_t firstPort, uint16_t firstSenderPort, int senders, uint32_t count,
                              size_t payload);

// CLOCK_MONOTONIC in nanoseconds, the clock every process of a benchmark shares.
int64_t MonotonicNs();

}  // namespace trovix::bench
