// The capture's filters as a classic BPF program for the capture socket, so datagrams that
// cannot pass never reach the ring. The program lets through a superset of what the accept
// path keeps: the accept path stays the authority, the kernel only spares it the rest.
#pragma once

#include <linux/filter.h>

#include <cstdint>

#include "capture/capture_state.h"
#include "capture/packet_line.h"

namespace trovix {

// Whatever the options, the program is far shorter than this.
inline constexpr int kKernelFilterMax = 64;

// What the kernel's socket filter returns for a kept datagram: how much of it reaches the
// ring, all that the accept path keeps.
inline constexpr uint32_t kKernelSnapLength = kMaxDatagramLength;

struct KernelFilter {
  sock_filter code[kKernelFilterMax];
  uint16_t length;
};

// The program for the options PrepareCapture has set. It sees each datagram from its IP
// header on (SOCK_DGRAM) and keeps only the families the capture keeps (IPv4, and IPv6
// when it is on), without the loopback's outgoing copy.
KernelFilter CompileKernelFilter(const CaptureState& state) noexcept;

// The capture's own program followed by an expression's (`length` instructions, unchecked:
// the kernel verifies the whole as it attaches it): each accept of `own` goes on to the
// expression's first instruction, so only what both keep reaches the ring, and the
// expression's accepts keep at most kKernelSnapLength bytes. `out` has room for
// own.length + length instructions; returns how many it holds.
size_t JoinKernelFilter(const KernelFilter& own, const sock_filter* expression, size_t length,
                        sock_filter* out) noexcept;

// The address that the filter text `text` (NUL-terminated within `size` bytes) matches,
// most significant byte first; false when no datagram's dotted-decimal text equals it.
bool FilterAddressValue(const char* text, size_t size, uint32_t& address) noexcept;

}  // namespace trovix
