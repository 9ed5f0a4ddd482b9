// The names of TCP and UDP ports from the system's services database (services(5)), read
// once and bounded, for the report's line about a port that no section of its own reads.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace trovix {

inline constexpr size_t kServiceNameMax = 32;

struct ServiceName {
  uint32_t key;  // the port, with bit 16 set for TCP: the order entries are kept in
  char name[kServiceNameMax + 1];
};

struct ServiceNames {
  std::vector<ServiceName> entries;  // sorted by key, one per key
};

// Every "name port/tcp" and "name port/udp" line of `database`; as getservbyport, the first
// line of a port names it. A name longer than kServiceNameMax or of other characters than
// letters, digits and ". _ - +" is left out.
void ReadServiceNames(std::string_view database, ServiceNames& out);

// The names from /etc/services, read at the first call and never again.
const ServiceNames& TheServiceNames();

// The port's name, or nullptr when it has none.
const char* FindServiceName(const ServiceNames& names, bool tcp, uint16_t port) noexcept;

}  // namespace trovix
