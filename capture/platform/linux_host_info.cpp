// Host name, resolver configuration and the adapter list (from the rtnetlink tables).
#include "capture/platform/linux_host_info.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include "capture/platform/bounded_file.h"
#include "capture/platform/rtnetlink.h"

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
  std::vector<InterfaceAddress> addresses;
  int error = ReadInterfaceTables(adapters, addresses);
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
    // The kernel lists an interface's addresses primary first, in the order they were added.
    auto found = std::find_if(addresses.begin(), addresses.end(),
                              [index](const InterfaceAddress& a) { return a.ifindex == index; });
    in_addr address{};
    if (found != addresses.end()) address.s_addr = found->address;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address, text, sizeof text);
    list.firstAddresses.emplace_back(text);
  }
  return list;
}

}  // namespace trovix
