// The kernel's interface and address tables, read over rtnetlink. The kernel's own
// messages carry the interface index of every address, where getifaddrs names an address
// by its label ("eth0:1"), which need not be the name of its interface.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <vector>

namespace trovix {

struct InterfaceAddress {
  int ifindex;
  uint32_t address;  // network byte order; the local end on a point-to-point link
};

// Every IPv4 address in the kernel's order: by interface, primary first, then in the
// order they were added. Returns 0 or an errno value.
int ReadIpv4Addresses(std::vector<InterfaceAddress>& addresses);

struct Interface6Address {
  int ifindex;
  in6_addr address;
};

// Every IPv6 address of every interface.
int ReadIpv6Addresses(std::vector<Interface6Address>& addresses);

// The indexes of every interface that is not a loopback, and every IPv4 address, read so
// that both describe the same moment (read again when the tables changed in between).
int ReadInterfaceTables(std::vector<int>& nonLoopback, std::vector<InterfaceAddress>& addresses);

}  // namespace trovix
