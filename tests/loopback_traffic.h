// Traffic over loopback for the capture tests and the burst benchmarks: numbered UDP
// datagrams, each payload beginning with its sequence number so that a capture can be
// checked for gaps, and raw IP of any protocol.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

#include "capture/packet_store.h"

namespace trovix::test {

struct Burst {
  uint32_t sent = 0;
  std::chrono::steady_clock::time_point start, end;
};

// Sends `count` datagrams of `payload` bytes (at least 4) from 127.0.0.1:`from` to
// 127.0.0.1:`to` (or ::1 to ::1 for AF_INET6) as fast as it can, with a socket bound at
// `to` so that no ICMP error comes back. Ends early when `stop` becomes true; counts into
// `sent` as it goes.
inline Burst SendNumbered(uint16_t from, uint16_t to, uint32_t count, size_t payload = 4,
                          const std::atomic<bool>* stop = nullptr, std::atomic<uint32_t>* sent = nullptr,
                          int family = AF_INET) {
  sockaddr_storage at{}, self{};
  socklen_t size;
  if (family == AF_INET6) {
    auto& a = reinterpret_cast<sockaddr_in6&>(at);
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    reinterpret_cast<sockaddr_in6&>(self) = a;
    a.sin6_port = htons(to);
    reinterpret_cast<sockaddr_in6&>(self).sin6_port = htons(from);
    size = sizeof(sockaddr_in6);
  } else {
    reinterpret_cast<sockaddr_in&>(at) = sockaddr_in{AF_INET, htons(to), {htonl(INADDR_LOOPBACK)}, {}};
    reinterpret_cast<sockaddr_in&>(self) = sockaddr_in{AF_INET, htons(from), {htonl(INADDR_LOOPBACK)}, {}};
    size = sizeof(sockaddr_in);
  }
  int receiver = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  bind(receiver, reinterpret_cast<sockaddr*>(&at), size);
  bind(fd, reinterpret_cast<sockaddr*>(&self), size);
  std::vector<char> data(std::max<size_t>(payload, 4));
  Burst b;
  b.start = std::chrono::steady_clock::now();
  for (uint32_t seq = 0; seq < count && (stop == nullptr || !*stop); ++seq) {
    std::memcpy(data.data(), &seq, sizeof seq);
    if (sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&at), size) > 0) {
      ++b.sent;
      if (sent != nullptr) ++*sent;
    }
  }
  b.end = std::chrono::steady_clock::now();
  close(fd);
  close(receiver);
  return b;
}

// Sends 8 bytes over a raw socket of `protocol` (any number, as root) to 127.0.0.1, or ::1
// for AF_INET6; the kernel puts the IP header in front. False when it could not.
inline bool SendRawIp(int family, int protocol) {
  sockaddr_in6 to{};  // room for either family's address
  to.sin6_family = static_cast<sa_family_t>(family);
  if (family == AF_INET) reinterpret_cast<sockaddr_in&>(to).sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  else to.sin6_addr = in6addr_loopback;
  int fd = socket(family, SOCK_RAW | SOCK_CLOEXEC, protocol);
  bool sent = sendto(fd, "trovix-8", 8, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == 8;
  close(fd);
  return sent;
}

// The sequence numbers that the stored UDP datagrams carry, in store order.
inline std::vector<uint32_t> StoredSequences(const PacketStore& store) {
  std::vector<uint32_t> seqs;
  for (uint32_t k = 0; k < PublishedPacketCount(store); ++k) {
    StoredPacket p;
    uint32_t seq = UINT32_MAX;
    if (LocatePacket(store, static_cast<int32_t>(k), p) && p.length > 0) {
      // After the UDP header: IPv4's without options, or IPv6's with no extension header.
      int32_t at = (p.bytes[0] >> 4) == 6 ? 48 : 28;
      if (p.length >= at + 4) std::memcpy(&seq, p.bytes + at, 4);
    }
    seqs.push_back(seq);
  }
  return seqs;
}

// How many of the sequence numbers 0 .. expected-1 do not appear in `seqs`.
inline uint32_t MissingSequences(const std::vector<uint32_t>& seqs, uint32_t expected) {
  std::vector<bool> seen(expected, false);
  uint32_t found = 0;
  for (uint32_t seq : seqs) {
    if (seq < expected && !seen[seq]) {
      seen[seq] = true;
      ++found;
    }
  }
  return expected - found;
}

}  // namespace trovix::test
