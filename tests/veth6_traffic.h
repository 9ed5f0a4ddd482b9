// UDP over IPv6 from our end of the veth pair (2001:db8::1) to the peer (2001:db8::2),
// shaped to exercise the capture: a hop-by-hop header, or a datagram the kernel fragments.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace trovix::test {

inline sockaddr_in6 Ipv6At(const char* ip, uint16_t port) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  inet_pton(AF_INET6, ip, &a.sin6_addr);
  return a;
}

// A UDP socket at [2001:db8::1]:`port`, -1 when it cannot be made. With `hopByHop`, each
// datagram carries an 8-byte hop-by-hop header (one PadN option); with `fragments`, the
// kernel cuts datagrams into fragments of at most 1280 bytes.
inline int VethUdp6Socket(uint16_t port, bool hopByHop = false, bool fragments = false) {
  int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 self = Ipv6At("2001:db8::1", port);
  const uint8_t padN[8] = {0, 0, 1, 4, 0, 0, 0, 0};
  int mtu = 1280;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
      (hopByHop && setsockopt(fd, IPPROTO_IPV6, IPV6_HOPOPTS, padN, sizeof padN) != 0) ||
      (fragments && setsockopt(fd, IPPROTO_IPV6, IPV6_MTU, &mtu, sizeof mtu) != 0)) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

// Sends `size` bytes to the peer's echo port and tells whether they came back.
inline bool EchoOverIpv6(int fd, size_t size) {
  std::vector<uint8_t> data(size, 0x6E), echo(size + 1);
  sockaddr_in6 peer = Ipv6At("2001:db8::2", 7);
  if (sendto(fd, data.data(), size, 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != static_cast<ssize_t>(size)) {
    return false;
  }
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 2000) == 1 && recv(fd, echo.data(), echo.size(), 0) == static_cast<ssize_t>(size);
}

// A `size`-byte UDP datagram from 198.18.0.1:`port` to the peer's echo port, and its echo.
inline bool EchoOverIpv4(uint16_t port, size_t size) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in self{AF_INET, htons(port), {}, {}}, peer{AF_INET, htons(7), {}, {}};
  inet_pton(AF_INET, "198.18.0.1", &self.sin_addr);
  inet_pton(AF_INET, "198.18.0.2", &peer.sin_addr);
  std::vector<uint8_t> data(size, 0x34), echo(size + 1);
  pollfd p{fd, POLLIN, 0};
  bool echoed = bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) == 0 &&
                sendto(fd, data.data(), size, 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == static_cast<ssize_t>(size) &&
                poll(&p, 1, 2000) == 1 && recv(fd, echo.data(), echo.size(), 0) == static_cast<ssize_t>(size);
  close(fd);
  return echoed;
}

}  // namespace trovix::test
