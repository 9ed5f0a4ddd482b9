// The capture socket: a packet socket on one interface (or all of them) with a
// memory-mapped receive ring. The only code that talks to the kernel for capture.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trovix {

// Index of the interface that owns IPv4 address `address` (network byte order): 0 for
// 0.0.0.0 (every interface), -1 when no interface has it.
int InterfaceIndexForAddress(uint32_t address) noexcept;

struct PacketRing {
  int fd = -1;
  int ifindex = 0;
  uint8_t* map = nullptr;
  size_t mapSize = 0;
  uint32_t blockSize = 0;
  uint32_t blockCount = 0;
  uint32_t nextBlock = 0;
};

// Opens the socket on interface `ifindex` (0 = all). Returns 0 or an errno value.
int OpenPacketRing(int ifindex, PacketRing& ring) noexcept;
void ClosePacketRing(PacketRing& ring) noexcept;

// Called once per IPv4 datagram, starting at its IP header. Return false to stop the drain.
using DatagramHandler = bool (*)(void* context, const uint8_t* datagram, size_t length);

// Hands every datagram that the ring holds to `handler`, returning the blocks to the kernel.
// Returns false when the handler asked to stop.
bool DrainPacketRing(PacketRing& ring, DatagramHandler handler, void* context) noexcept;

// After poll reported an error on the socket: clears it and tells whether the interface
// the socket was bound to no longer exists.
bool PacketRingInterfaceGone(PacketRing& ring) noexcept;

}  // namespace trovix
