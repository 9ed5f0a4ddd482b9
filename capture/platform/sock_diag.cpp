#include "capture/platform/sock_diag.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "capture/byte_reader.h"

namespace trovix {
namespace {

// Above the kernel's largest dump message (it fills up to 32 KiB, or a page, per datagram).
constexpr size_t kReceiveBufferSize = 64 * 1024;
// Room for a burst of notices: a few hundred sockets closing at once.
constexpr int kDestroyedBufferSize = 1 << 20;

// inet_diag_msg, as the kernel lays it out (linux/inet_diag.h).
constexpr size_t kFamilyAt = 0, kStateAt = 1, kSourcePortAt = 4, kDestinationPortAt = 6, kSourceAt = 8,
                 kDestinationAt = 24, kCookieAt = 44, kUidAt = 64, kInodeAt = 68, kDiagMessageSize = 72;
static_assert(sizeof(inet_diag_msg) == kDiagMessageSize);
static_assert(offsetof(inet_diag_msg, idiag_uid) == kUidAt && offsetof(inet_diag_msg, idiag_inode) == kInodeAt);
static_assert(offsetof(inet_diag_msg, id.idiag_cookie) == kCookieAt);

// A field in the kernel's own byte order, as netlink carries its numbers.
uint32_t HostU32(ByteReader& r, size_t offset) noexcept {
  uint32_t value = 0;
  if (r.Need(offset, 4)) std::memcpy(&value, r.data() + offset, 4);
  return value;
}

// `family`'s address at `offset` as 16 bytes, IPv4 mapped into IPv6.
void ReadAddress(ByteReader& r, size_t offset, uint8_t family, uint8_t* out) noexcept {
  std::memset(out, 0, 16);
  if (family == AF_INET6) {
    if (r.Need(offset, 16)) std::memcpy(out, r.data() + offset, 16);
    return;
  }
  out[10] = out[11] = 0xff;
  if (r.Need(offset, 4)) std::memcpy(out + 12, r.data() + offset, 4);
}

struct DumpRequest {
  nlmsghdr header;
  inet_diag_req_v2 request;
};

// The numbers after each of `labels` in the open file, read again from its start, into
// `out`; false when one is missing.
bool CountsIn(int fd, std::initializer_list<const char*> labels, int64_t* out) noexcept {
  char text[1024];
  ssize_t n = fd >= 0 ? pread(fd, text, sizeof text - 1, 0) : -1;
  if (n <= 0) return false;
  text[n] = '\0';
  for (const char* label : labels) {
    const char* at = std::strstr(text, label);
    if (at == nullptr) return false;
    *out++ = std::strtoll(at + std::strlen(label), nullptr, 10);
  }
  return true;
}

}  // namespace

TableCounts SockDiag::SocketsInUse() noexcept {
  TableCounts counts;
  if (!CountsIn(sockstat_.get(), {"TCP: inuse ", "UDP: inuse ", "RAW: inuse "}, counts.data()) ||
      !CountsIn(sockstat6_.get(), {"TCP6: inuse ", "UDP6: inuse ", "RAW6: inuse "}, counts.data() + 3)) {
    counts.fill(-1);
  }
  return counts;
}

bool ParseDiagMessage(const uint8_t* body, size_t size, uint8_t protocol, DiagSocket& out) noexcept {
  ByteReader r(body, size);
  if (!r.Has(0, kDiagMessageSize)) return false;
  uint8_t family = r.U8(kFamilyAt);
  if (family != AF_INET && family != AF_INET6) return false;
  out.protocol = protocol;
  out.state = r.U8(kStateAt);
  out.localPort = r.Be16(kSourcePortAt);
  out.remotePort = r.Be16(kDestinationPortAt);
  ReadAddress(r, kSourceAt, family, out.local);
  ReadAddress(r, kDestinationAt, family, out.remote);
  out.cookie = HostU32(r, kCookieAt) | uint64_t{HostU32(r, kCookieAt + 4)} << 32;
  out.uid = HostU32(r, kUidAt);
  out.inode = HostU32(r, kInodeAt);
  return !r.truncated();
}

int SockDiag::Open() {
  dump_ = Descriptor(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!dump_.valid()) return errno;
  buffer_.resize(kReceiveBufferSize);
  // Kept open: a file of /proc read again from its start says the counts of now, and the
  // path's look-up each time cost more than the reading.
  sockstat_ = Descriptor(open("/proc/net/sockstat", O_RDONLY | O_CLOEXEC));
  sockstat6_ = Descriptor(open("/proc/net/sockstat6", O_RDONLY | O_CLOEXEC));
  Descriptor destroyed(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_SOCK_DIAG));
  sockaddr_nl groups{};
  groups.nl_family = AF_NETLINK;
  groups.nl_groups = 1u << (SKNLGRP_INET_TCP_DESTROY - 1) | 1u << (SKNLGRP_INET_UDP_DESTROY - 1) |
                     1u << (SKNLGRP_INET6_TCP_DESTROY - 1) | 1u << (SKNLGRP_INET6_UDP_DESTROY - 1);
  int size = kDestroyedBufferSize;
  if (destroyed.valid() && bind(destroyed.get(), reinterpret_cast<sockaddr*>(&groups), sizeof groups) == 0) {
    (void)setsockopt(destroyed.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    destroyed_ = std::move(destroyed);
  }
  return 0;
}

int SockDiag::DumpOne(uint8_t family, uint8_t protocol, std::vector<DiagSocket>& out) {
  DumpRequest request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = ++sequence_;
  request.request.sdiag_family = family;
  request.request.sdiag_protocol = protocol == kRawSocket ? uint8_t{IPPROTO_RAW} : protocol;
  // For raw sockets the pad byte names the protocol wanted: IPPROTO_RAW for all of them.
  if (protocol == kRawSocket) request.request.pad = IPPROTO_RAW;
  request.request.idiag_states = ~0u;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(dump_.get(), &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
    return errno;
  }
  for (;;) {
    ssize_t n = recv(dump_.get(), buffer_.data(), buffer_.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    ByteReader r(buffer_.data(), static_cast<size_t>(n));
    for (size_t at = 0; r.Has(at, sizeof(nlmsghdr));) {
      uint32_t length = HostU32(r, at);
      if (length < sizeof(nlmsghdr) || !r.Has(at, length)) return EPROTO;
      uint16_t type = static_cast<uint16_t>(r.U8(at + 4) | r.U8(at + 5) << 8);
      uint32_t sequence = HostU32(r, at + 8);
      size_t body = at + NLMSG_HDRLEN;
      at += NLMSG_ALIGN(length);
      if (sequence != sequence_) continue;
      if (type == NLMSG_DONE) return 0;
      if (type == NLMSG_ERROR) {
        int error = -static_cast<int32_t>(HostU32(r, body));
        return error > 0 ? error : EPROTO;
      }
      DiagSocket socket;
      if (type == SOCK_DIAG_BY_FAMILY && ParseDiagMessage(r.data() + body, length - NLMSG_HDRLEN, protocol, socket)) {
        out.push_back(socket);
      }
    }
  }
}

int SockDiag::Dump(std::vector<DiagSocket>& out) {
  out.clear();
  for (uint8_t family : {uint8_t{AF_INET}, uint8_t{AF_INET6}}) {
    for (uint8_t protocol : {uint8_t{IPPROTO_TCP}, uint8_t{IPPROTO_UDP}}) {
      if (int error = DumpOne(family, protocol, out); error != 0) return error;
    }
    // A kernel without the raw module (or that may not load it here) has no raw table,
    // and is not asked again: each asking would try to load the module anew.
    bool& raw = family == AF_INET ? raw4_ : raw6_;
    if (raw && DumpOne(family, kRawSocket, out) != 0) raw = false;
  }
  return 0;
}

bool SockDiag::ReadDestroyed(std::vector<DiagSocket>& out) {
  if (!destroyed_.valid()) return true;
  bool whole = true;
  for (;;) {
    ssize_t n = recv(destroyed_.get(), buffer_.data(), buffer_.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return whole && errno != ENOBUFS;
    ByteReader r(buffer_.data(), static_cast<size_t>(n));
    for (size_t at = 0; r.Has(at, sizeof(nlmsghdr));) {
      uint32_t length = HostU32(r, at);
      if (length < sizeof(nlmsghdr) || !r.Has(at, length)) break;
      uint16_t type = static_cast<uint16_t>(r.U8(at + 4) | r.U8(at + 5) << 8);
      size_t body = at + NLMSG_HDRLEN;
      at += NLMSG_ALIGN(length);
      DiagSocket socket;
      // A notice names its protocol in an attribute of its own (INET_DIAG_PROTOCOL).
      if (type != SOCK_DIAG_BY_FAMILY || !ParseDiagMessage(r.data() + body, length - NLMSG_HDRLEN, 0, socket)) {
        continue;
      }
      ByteReader attributes(r.data() + body + kDiagMessageSize, length - NLMSG_HDRLEN - kDiagMessageSize);
      for (size_t a = 0; attributes.Has(a, 4);) {
        uint16_t size = static_cast<uint16_t>(attributes.U8(a) | attributes.U8(a + 1) << 8);
        uint16_t kind = static_cast<uint16_t>(attributes.U8(a + 2) | attributes.U8(a + 3) << 8);
        if (size < 4) break;
        if (kind == INET_DIAG_PROTOCOL) socket.protocol = attributes.U8(a + 4);
        a += (size + 3u) & ~3u;
      }
      if (socket.protocol == IPPROTO_TCP || socket.protocol == IPPROTO_UDP) out.push_back(socket);
    }
  }
}

}  // namespace trovix
