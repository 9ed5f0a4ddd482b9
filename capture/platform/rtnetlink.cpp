#include "capture/platform/rtnetlink.h"

// net/if.h must come before the linux/ headers, which would define the same names.
#include <net/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace trovix {
namespace {

constexpr size_t kReceiveBufferSize = 64 * 1024;  // above the kernel's largest dump message
constexpr int kDumpAttempts = 3;

struct DumpRequest {
  nlmsghdr header;
  union {
    ifinfomsg link;
    ifaddrmsg address;
  };
};

int SendDumpRequest(int fd, uint16_t type, uint32_t sequence, uint8_t family = AF_INET) {
  DumpRequest request{};
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = sequence;
  if (type == RTM_GETLINK) {
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    request.link.ifi_family = AF_UNSPEC;
  } else {
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
    request.address.ifa_family = family;
  }
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  auto* to = reinterpret_cast<sockaddr*>(&kernel);
  return sendto(fd, &request, request.header.nlmsg_len, 0, to, sizeof kernel) < 0 ? errno : 0;
}

// One datagram from the kernel: its size, or minus an errno value.
ssize_t ReceiveFromKernel(int fd, std::vector<char>& buffer) {
  for (;;) {
    sockaddr_nl from{};
    iovec io{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    ssize_t n = recvmsg(fd, &message, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -errno;
    if ((message.msg_flags & MSG_TRUNC) != 0) return -EMSGSIZE;
    if (from.nl_pid == 0) return n;  // anything else is not the kernel's answer
  }
}

// Sends one dump request and hands every answer message to `handle`. Returns 0, an
// errno value, or EAGAIN when the tables changed during the dump.
template <typename Handle>
int Dump(int fd, uint16_t type, uint32_t sequence, Handle handle, uint8_t family = AF_INET) {
  if (int error = SendDumpRequest(fd, type, sequence, family); error != 0) return error;
  std::vector<char> buffer(kReceiveBufferSize);
  bool interrupted = false;
  for (;;) {
    ssize_t n = ReceiveFromKernel(fd, buffer);
    if (n < 0) return static_cast<int>(-n);
    size_t size = static_cast<size_t>(n);
    // Each message must lie wholly inside what was received.
    for (size_t at = 0; at + sizeof(nlmsghdr) <= size;) {
      const auto* h = reinterpret_cast<const nlmsghdr*>(buffer.data() + at);
      if (h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > size - at) return EPROTO;
      at += NLMSG_ALIGN(h->nlmsg_len);
      if (h->nlmsg_seq != sequence) continue;
      if ((h->nlmsg_flags & NLM_F_DUMP_INTR) != 0) interrupted = true;
      if (h->nlmsg_type == NLMSG_DONE) return interrupted ? EAGAIN : 0;
      if (h->nlmsg_type == NLMSG_ERROR) {
        if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return EPROTO;
        int error = -static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
        return error > 0 ? error : EPROTO;
      }
      handle(h);
    }
  }
}

void CollectLink(const nlmsghdr* h, std::vector<int>& adapters) {
  if (h->nlmsg_type != RTM_NEWLINK || h->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
  const auto* link = static_cast<const ifinfomsg*>(NLMSG_DATA(h));
  if ((link->ifi_flags & IFF_LOOPBACK) == 0) adapters.push_back(link->ifi_index);
}

void CollectAddress(const nlmsghdr* h, std::vector<InterfaceAddress>& addresses) {
  if (h->nlmsg_type != RTM_NEWADDR || h->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) return;
  const auto* address = static_cast<const ifaddrmsg*>(NLMSG_DATA(h));
  if (address->ifa_family != AF_INET) return;
  const in_addr* local = nullptr;
  const in_addr* peer = nullptr;
  int left = static_cast<int>(IFA_PAYLOAD(h));
  for (auto* a = IFA_RTA(address); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
    if (RTA_PAYLOAD(a) < sizeof(in_addr)) continue;
    // On a point-to-point link IFA_ADDRESS is the far end; IFA_LOCAL is ours.
    if (a->rta_type == IFA_LOCAL) local = static_cast<const in_addr*>(RTA_DATA(a));
    if (a->rta_type == IFA_ADDRESS) peer = static_cast<const in_addr*>(RTA_DATA(a));
  }
  const in_addr* ours = local != nullptr ? local : peer;
  if (ours == nullptr) return;
  uint32_t value;
  std::memcpy(&value, ours, sizeof value);
  addresses.push_back({static_cast<int>(address->ifa_index), value});
}

void CollectIpv6Address(const nlmsghdr* h, std::vector<Interface6Address>& addresses) {
  if (h->nlmsg_type != RTM_NEWADDR || h->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) return;
  const auto* address = static_cast<const ifaddrmsg*>(NLMSG_DATA(h));
  if (address->ifa_family != AF_INET6) return;
  int left = static_cast<int>(IFA_PAYLOAD(h));
  for (auto* a = IFA_RTA(address); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
    if (RTA_PAYLOAD(a) < sizeof(in6_addr)) continue;
    if (a->rta_type == IFA_LOCAL || a->rta_type == IFA_ADDRESS) {
      Interface6Address found{static_cast<int>(address->ifa_index), {}};
      std::memcpy(&found.address, RTA_DATA(a), sizeof found.address);
      addresses.push_back(found);
    }
  }
}

int DumpAddresses(int fd, uint32_t sequence, std::vector<InterfaceAddress>& addresses) {
  addresses.clear();
  return Dump(fd, RTM_GETADDR, sequence, [&](const nlmsghdr* h) { CollectAddress(h, addresses); });
}

// Runs `read` on a fresh rtnetlink socket, again while the tables changed during a dump.
template <typename Read>
int WithRouteSocket(Read read) {
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return errno;
  int error = 0;
  for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
    error = read(fd, static_cast<uint32_t>(attempt) * 2 + 1);
    if (error != EAGAIN) break;
  }
  close(fd);
  return error;
}

}  // namespace

int ReadIpv4Addresses(std::vector<InterfaceAddress>& addresses) {
  return WithRouteSocket([&](int fd, uint32_t sequence) { return DumpAddresses(fd, sequence, addresses); });
}

int ReadIpv6Addresses(std::vector<Interface6Address>& addresses) {
  return WithRouteSocket([&](int fd, uint32_t sequence) {
    addresses.clear();
    return Dump(fd, RTM_GETADDR, sequence, [&](const nlmsghdr* h) { CollectIpv6Address(h, addresses); }, AF_INET6);
  });
}

int ReadInterfaceTables(std::vector<int>& nonLoopback, std::vector<InterfaceAddress>& addresses) {
  return WithRouteSocket([&](int fd, uint32_t sequence) {
    nonLoopback.clear();
    int error = Dump(fd, RTM_GETLINK, sequence, [&](const nlmsghdr* h) { CollectLink(h, nonLoopback); });
    return error != 0 ? error : DumpAddresses(fd, sequence + 1, addresses);
  });
}

}  // namespace trovix
