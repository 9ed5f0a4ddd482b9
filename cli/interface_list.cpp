#include "cli/interface_list.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "capture/printable_text.h"

namespace trovix::cli {
namespace {

struct Interface {
  std::string name;
  unsigned flags = 0;
  std::vector<std::string> ipv4, ipv6;
};

std::string Line(unsigned index, const Interface& i) {
  // The kernel allows any byte but '/', ':' and blanks in a name, a terminal's controls too.
  std::string line = std::to_string(index) + "." + PrintableText(i.name, IF_NAMESIZE);
  std::string addresses;
  for (const std::vector<std::string>* family : {&i.ipv4, &i.ipv6}) {
    for (const std::string& address : *family) addresses += (addresses.empty() ? "" : ", ") + address;
  }
  if (!addresses.empty()) line += " (" + addresses + ")";
  line += (i.flags & IFF_UP) != 0 ? " [Up" : " [Down";
  if ((i.flags & IFF_RUNNING) != 0) line += ", Running";
  if ((i.flags & IFF_LOOPBACK) != 0) line += ", Loopback";
  return line + "]\n";
}

}  // namespace

bool ListInterfaces(FILE* out, std::string& error) {
  struct if_nameindex* names = if_nameindex();
  ifaddrs* all = nullptr;
  if (names == nullptr || getifaddrs(&all) != 0) {
    error = std::string("cannot list the interfaces: ") + std::strerror(errno);
    if (names != nullptr) if_freenameindex(names);
    return false;
  }
  std::map<unsigned, Interface> byIndex;
  std::map<std::string, unsigned> indexOf;
  for (struct if_nameindex* n = names; n->if_index != 0; ++n) {
    byIndex[n->if_index].name = n->if_name;
    indexOf[n->if_name] = n->if_index;
  }
  if_freenameindex(names);
  for (ifaddrs* a = all; a != nullptr; a = a->ifa_next) {
    // An IPv4 address with a label of its own comes under that label ("eth0:1").
    std::string name = a->ifa_name != nullptr ? a->ifa_name : "";
    auto found = indexOf.find(name.substr(0, name.find(':')));
    if (found == indexOf.end()) continue;
    Interface& i = byIndex[found->second];
    i.flags = a->ifa_flags;
    const sockaddr* at = a->ifa_addr;
    const void* address = nullptr;
    if (at != nullptr && at->sa_family == AF_INET) address = &reinterpret_cast<const sockaddr_in*>(at)->sin_addr;
    if (at != nullptr && at->sa_family == AF_INET6) address = &reinterpret_cast<const sockaddr_in6*>(at)->sin6_addr;
    char text[INET6_ADDRSTRLEN];
    if (address != nullptr && inet_ntop(at->sa_family, address, text, sizeof text) != nullptr) {
      (at->sa_family == AF_INET ? i.ipv4 : i.ipv6).push_back(text);
    }
  }
  freeifaddrs(all);
  std::string lines;
  for (const auto& [index, i] : byIndex) lines += Line(index, i);
  if (std::fwrite(lines.data(), 1, lines.size(), out) != lines.size() || std::fflush(out) != 0) {
    error = std::string("cannot write to standard output: ") + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace trovix::cli
