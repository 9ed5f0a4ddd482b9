// The kernel's socket tables over NETLINK_SOCK_DIAG (inet_diag): every TCP, UDP and raw
// socket of this network namespace, both families, with its addresses, state, owner and
// inode, which any user may read; and the notices the kernel sends as TCP and UDP sockets
// are destroyed, so that a socket that came and went between two dumps is still known to
// have held its addresses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture/platform/descriptor.h"

namespace trovix {

// What the protocol field of a raw socket's entry says: it stands for every IP protocol,
// and the socket's own protocol is its local port.
inline constexpr uint8_t kRawSocket = 255;

struct DiagSocket {
  uint64_t cookie = 0;  // the kernel's unique name for the socket while it lives
  uint32_t inode = 0;   // 0 for a socket no descriptor holds (time-wait, not yet accepted)
  uint32_t uid = 0;
  uint8_t protocol = 0;  // 6, 17 or kRawSocket
  uint8_t state = 0;     // TCP's state numbers; UDP's 1 when connected, 7 when not
  // Both families as IPv6 addresses: IPv4 as ::ffff:a.b.c.d, its wildcard ::ffff:0.0.0.0.
  uint8_t local[16] = {};
  uint8_t remote[16] = {};
  uint16_t localPort = 0;
  uint16_t remotePort = 0;
};

using TableCounts = std::array<int64_t, 6>;

// Parses one inet_diag message's body (`size` bytes after the netlink header); false when
// it is too short to be one.
bool ParseDiagMessage(const uint8_t* body, size_t size, uint8_t protocol, DiagSocket& out) noexcept;

class SockDiag {
 public:
  // Opens the dump socket and the socket that hears destroyed sockets. Returns 0 or an
  // errno value; without the second (an old kernel) dumps still work.
  int Open();
  // Every socket of the tables (TCP and UDP of both families, raw where the kernel has its
  // module), in `out`. Returns 0 or an errno value.
  int Dump(std::vector<DiagSocket>& out);
  // The descriptor that becomes readable when sockets were destroyed; -1 without one.
  int destroyedFd() const noexcept { return destroyed_.get(); }
  // Appends every destroyed socket the kernel told of since the last call. False when the
  // kernel had to drop some of its notices (the socket's buffer ran over).
  bool ReadDestroyed(std::vector<DiagSocket>& out);
  // How many sockets of the namespace it was opened in each table holds (the "inuse"
  // counts of TCP, UDP and raw sockets in /proc/net/sockstat and sockstat6); all -1 when
  // they cannot be read. Reading them costs microseconds, where a dump of TCP's table
  // walks the kernel's whole connection table (milliseconds on a large machine).
  TableCounts SocketsInUse() noexcept;

 private:
  int DumpOne(uint8_t family, uint8_t protocol, std::vector<DiagSocket>& out);

  Descriptor dump_;
  Descriptor destroyed_;
  Descriptor sockstat_, sockstat6_;
  uint32_t sequence_ = 0;
  bool raw4_ = true, raw6_ = true;  // whether the kernel answers for raw sockets
  std::vector<uint8_t> buffer_;
};

}  // namespace trovix
