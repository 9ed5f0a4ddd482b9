// The adapter list comes straight from rtnetlink rather than getifaddrs: getifaddrs names
// an address by its label ("eth0:1"), which cannot always be matched to its interface,
// while the kernel's own messages carry the interface index.
#include "capture/platform/linux_host_info.h"

// net/if.h must come before the linux/ headers, which would define the same names.
#include <net/if.h>
#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "capture/platform/bounded_file.h"

namespace trovix {
namespace {

// ---- host name and resolver configuration ----

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    visit(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

// Only entries the resolver itself would use: an IPv4 address, or an IPv6 address with
// an optional zone ("fe80::1%eth0").
bool IsNameserverAddress(std::string_view word) {
  size_t zone = word.find('%');
  std::string_view address = word.substr(0, zone);
  char text[INET6_ADDRSTRLEN] = {};
  if (address.size() >= sizeof text) return false;
  std::memcpy(text, address.data(), address.size());
  unsigned char binary[sizeof(in6_addr)];
  bool v6 = inet_pton(AF_INET6, text, binary) == 1;
  if (zone != std::string_view::npos) return v6 && zone + 1 < word.size();
  return v6 || inet_pton(AF_INET, text, binary) == 1;
}

struct ResolverConfig {
  std::string domain;
  std::vector<std::string> nameservers;
};

ResolverConfig ParseResolvConf(std::string_view text) {
  ResolverConfig config;
  ForEachLine(text, [&](std::string_view line) {
    // As the resolver reads it: a keyword only at the very start of a line.
    if (line.empty() || line[0] == ' ' || line[0] == '\t' || line[0] == '#' || line[0] == ';') return;
    std::vector<std::string_view> words = Words(line);
    if (words.size() < 2) return;
    if (words[0] == "nameserver" && IsNameserverAddress(words[1])) config.nameservers.emplace_back(words[1]);
    // The two lines exclude each other: the last one wins, and of a search list the first.
    if (words[0] == "domain" || words[0] == "search") config.domain = words[1];
  });
  return config;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view DomainPart(std::string_view name) {
  size_t dot = name.find('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

// The canonical name is the first name of the first hosts line that lists the host name.
std::string CanonicalDomainFromHosts(std::string_view hosts, std::string_view hostName) {
  std::string domain;
  bool found = false;
  ForEachLine(hosts, [&](std::string_view line) {
    if (found) return;
    std::vector<std::string_view> words = Words(line.substr(0, line.find('#')));
    for (size_t i = 1; i < words.size() && !found; ++i) found = SameName(words[i], hostName);
    if (found) domain = DomainPart(words[1]);
  });
  return domain;
}

// Errors that only say what the file system holds, not that reading failed: the
// resolver itself then runs without the file, and so does the host information.
bool FileIsSimplyAbsent(int error) {
  return error == ENOENT || error == EACCES || error == EISDIR || error == ELOOP || error == ENOTDIR ||
         error == EPERM || error == EINVAL;
}

// ---- rtnetlink ----

constexpr size_t kReceiveBufferSize = 64 * 1024;  // above the kernel's largest dump message
constexpr int kDumpAttempts = 3;

struct DumpRequest {
  nlmsghdr header;
  union {
    ifinfomsg link;
    ifaddrmsg address;
  };
};

int SendDumpRequest(int fd, uint16_t type, uint32_t sequence) {
  DumpRequest request{};
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = sequence;
  if (type == RTM_GETLINK) {
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    request.link.ifi_family = AF_UNSPEC;
  } else {
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
    request.address.ifa_family = AF_INET;
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
int Dump(int fd, uint16_t type, uint32_t sequence, Handle handle) {
  if (int error = SendDumpRequest(fd, type, sequence); error != 0) return error;
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

// The kernel lists an interface's addresses primary first, in the order they were added.
void CollectAddress(const nlmsghdr* h, std::map<int, in_addr>& first) {
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
  in_addr value;
  std::memcpy(&value, ours, sizeof value);
  first.emplace(static_cast<int>(address->ifa_index), value);
}

int QueryAdapterAddresses(std::vector<int>& adapters, std::map<int, in_addr>& first) {
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return errno;
  int error = 0;
  for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
    adapters.clear();
    first.clear();
    uint32_t sequence = static_cast<uint32_t>(attempt) * 2 + 1;
    error = Dump(fd, RTM_GETLINK, sequence, [&](const nlmsghdr* h) { CollectLink(h, adapters); });
    if (error == 0) {
      error = Dump(fd, RTM_GETADDR, sequence + 1, [&](const nlmsghdr* h) { CollectAddress(h, first); });
    }
    if (error != EAGAIN) break;
  }
  close(fd);
  return error;
}

}  // namespace

LinuxHostInfo::LinuxHostInfo(std::string resolvConfPath, std::string hostsPath)
    : resolvConfPath_(std::move(resolvConfPath)), hostsPath_(std::move(hostsPath)) {}

NetworkParams LinuxHostInfo::QueryNetworkParams() {
  NetworkParams params;
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) {
    params.error = static_cast<uint32_t>(errno);
    return params;
  }
  params.hostName = name;

  BoundedFile resolvConf = ReadBoundedFile(resolvConfPath_);
  if (resolvConf.error != 0 && !FileIsSimplyAbsent(resolvConf.error)) {
    params.error = static_cast<uint32_t>(resolvConf.error);
    return params;
  }
  ResolverConfig config = ParseResolvConf(resolvConf.text);
  params.dnsServers = std::move(config.nameservers);
  params.domainName = std::move(config.domain);
  if (params.domainName.empty()) params.domainName = DomainPart(params.hostName);
  if (params.domainName.empty()) {
    params.domainName = CanonicalDomainFromHosts(ReadBoundedFile(hostsPath_).text, params.hostName);
  }
  return params;
}

AdapterList LinuxHostInfo::QueryAdapters() {
  AdapterList list;
  std::vector<int> adapters;
  std::map<int, in_addr> first;
  int error = QueryAdapterAddresses(adapters, first);
  if (error != 0) {
    list.status = AdapterStatus::kFailed;
    list.error = static_cast<uint32_t>(error);
    return list;
  }
  if (adapters.empty()) {
    list.status = AdapterStatus::kNoData;
    return list;
  }
  std::sort(adapters.begin(), adapters.end());
  list.status = AdapterStatus::kOk;
  for (int index : adapters) {
    auto found = first.find(index);
    in_addr address{};
    if (found != first.end()) address = found->second;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address, text, sizeof text);
    list.firstAddresses.emplace_back(text);
  }
  return list;
}

}  // namespace trovix
