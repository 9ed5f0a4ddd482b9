// The capture's filters as a classic BPF program for the capture socket, so datagrams that
// cannot pass never reach the ring. The program lets through a superset of what the accept
// path keeps: the accept path stays the authority, the kernel only spares it the rest.
#pragma once

#include <linux/filter.h>

#include <cstdint>

#include "capture/capture_settings.h"
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

// The program for the options ApplyCaptureOptions has set. It sees each datagram from its IP
// header on (SOCK_DGRAM) and keeps only the families the capture keeps (IPv4, and IPv6
// when it is on), without the loopback's outgoing copy.
KernelFilter CompileKernelFilter(const CaptureSettings& state) noexcept;

// The capture's own program followed by an expression's (`length` instructions, which
// ExpressionReadsOnlyTheDatagram took; the kernel verifies the whole as it attaches it):
// each accept of `own` goes on to the expression's first instruction, so only what both
// keep reaches the ring, and the expression's accepts keep at most kKernelSnapLength bytes.
// `out` has room for own.length + length instructions; returns how many it holds.
size_t JoinKernelFilter(const KernelFilter& own, const sock_filter* expression, size_t length,
                        sock_filter* out) noexcept;

// Whether an expression's program, run after the capture's own, reads nothing but the
// datagram and keeps at most kKernelSnapLength bytes of it. The kernel lets a load reach
// the link-layer header and its own data about the packet and the socket (offsets from
// SKF_AD_OFF, SKF_NET_OFF and SKF_LL_OFF down, and any indexed load whose X + k comes out
// negative), which a program could hand back through what it keeps. So every load offset
// must be at least 0 and every indexed one provably so (A, X and the scratch words are
// followed through the program as upper bounds, from unknown at its start); the one
// ancillary load taken is the packet's type, which `inbound` and `outbound` ask for. A
// return of A must be provably within kKernelSnapLength. Unknown instructions, jumps
// out of the program and scratch words past BPF_MEMWORDS are refused.
bool ExpressionReadsOnlyTheDatagram(const sock_filter* program, size_t length) noexcept;

// The address that the filter text `text` (NUL-terminated within `size` bytes) matches,
// most significant byte first; false when no datagram's dotted-decimal text equals it.
bool FilterAddressValue(const char* text, size_t size, uint32_t& address) noexcept;

}  // namespace trovix
