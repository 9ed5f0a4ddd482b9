// The capture socket: a packet socket on one interface (or all of them) with a
// memory-mapped receive ring. The only code that talks to the kernel for capture.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

struct sock_filter;

namespace trovix {

// A ring block is handed over after this many milliseconds even when not full, so a quiet
// interface still shows its packets promptly. Each hand-over wakes the capture thread.
inline constexpr uint32_t kPromptHandOverMs = 4;

// The receive ring: `blockCount` blocks of `blockSize` bytes (a multiple of the page size,
// large enough for a 64 KiB datagram), each handed over when full or after `handOverMs`.
// The kernel clears the whole ring when the socket is opened, so its size is paid at
// every start. The window's default, 16 MiB, holds a burst of tens of thousands of small
// datagrams while the capture thread is not running.
struct RingShape {
  uint32_t blockSize = 1u << 20;
  uint32_t blockCount = 16;
  uint32_t handOverMs = kPromptHandOverMs;
};

// Index of the interface that owns IPv4 address `address` (network byte order): 0 for
// 0.0.0.0 (every interface), -1 when no interface has it.
int InterfaceIndexForAddress(uint32_t address) noexcept;

// The same for an IPv6 address: 0 for :: (every interface), -1 when no interface has it.
int InterfaceIndexForIpv6Address(const in6_addr& address) noexcept;

// Called once per IPv4 datagram, starting at its IP header, with the kernel's receive
// time in nanoseconds since 1970. Return false to stop.
using DatagramHandler = bool (*)(void* context, const uint8_t* datagram, size_t length, int64_t receiveTime);

// What the kernel counted for a ring since it was opened.
struct RingStatistics {
  uint64_t received = 0;  // datagrams that reached the socket, dropped ones included
  uint64_t dropped = 0;   // datagrams the kernel dropped because the ring was full
};

// Hands every datagram of one ring block to `handler`. The block's offsets and counts
// are checked against `blockSize` before anything is read through them; the walk ends at
// the first that does not fit. Returns false when the handler asked to stop.
bool WalkRingBlock(const uint8_t* block, uint32_t blockSize, DatagramHandler handler, void* context) noexcept;

// The socket and its ring mapping, released together by the destructor.
class PacketRing {
 public:
  PacketRing() = default;
  ~PacketRing();
  PacketRing(PacketRing&& other) noexcept;
  PacketRing& operator=(PacketRing&& other) noexcept;
  PacketRing(const PacketRing&) = delete;
  PacketRing& operator=(const PacketRing&) = delete;

  // Opens the socket on interface `ifindex` (0 = all) with the classic BPF `program`
  // attached before it is bound, so no datagram reaches the ring unfiltered. Returns 0 or
  // an errno value; on failure `ring` holds nothing.
  static int Open(int ifindex, const sock_filter* program, uint16_t length, PacketRing& ring,
                  RingShape shape = {}) noexcept;

  int fd() const noexcept { return fd_; }

  // Hands every datagram that the ring holds to `handler`, returning the blocks to the
  // kernel: at most one lap of the ring, so that a caller under a flood, which the kernel
  // fills as fast as it is drained, still gets to its other work. Returns false when the
  // handler asked to stop.
  bool Drain(DatagramHandler handler, void* context) noexcept;
  // Blocks Drain has handed back to the kernel so far.
  uint64_t blocksDrained() const noexcept { return blocksDrained_; }
  // Whether the block Drain would take next holds datagrams: one the kernel has handed
  // over, or the one it is filling (which it hands over when full, or when its timer
  // retires it).
  bool NextBlockHoldsDatagrams() const noexcept;

  // After poll reported `revents` on fd() with POLLERR or POLLNVAL set: clears the socket
  // error and tells whether the capture must end (the descriptor is no good, the bound
  // interface is gone, or the error is one that would be reported again at once).
  bool Failed(short revents) noexcept;
  // After Failed() returned true: why the capture must end, as an errno value.
  int failure() const noexcept { return failure_; }
  // After Failed() let the capture wait for its interface (it went down): whether the
  // interface has since been removed. The kernel reports the removal of an interface that
  // is already down to nobody, so the capture thread asks after each quiet wait.
  bool InterfaceGoneWhileDown() noexcept;
  // Whether the capture waits for its interface to come back (and should ask after
  // InterfaceGoneWhileDown now and then).
  bool waitingForInterface() const noexcept { return interfaceDown_; }

  // The kernel's counts so far (PACKET_STATISTICS; it resets them on every read, so the
  // ring adds them up).
  RingStatistics Statistics() noexcept;

 private:
  int SetUpRing(RingShape shape) noexcept;
  void Release() noexcept;

  int fd_ = -1;
  int ifindex_ = 0;
  uint8_t* map_ = nullptr;
  size_t mapSize_ = 0;
  uint32_t blockSize_ = 0;
  uint32_t blockCount_ = 0;
  uint32_t nextBlock_ = 0;
  uint64_t blocksDrained_ = 0;
  int failure_ = 0;
  bool interfaceDown_ = false;
  RingStatistics statistics_;
};

}  // namespace trovix
