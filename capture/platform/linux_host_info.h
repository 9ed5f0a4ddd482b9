// Host information from Linux: the host name, the resolver configuration and the
// kernel's interface and address tables (rtnetlink).
#pragma once

#include <string>
#include <string_view>

#include "capture/host_info.h"

namespace trovix {

class LinuxHostInfo : public HostInfoSource {
 public:
  explicit LinuxHostInfo(std::string resolvConfPath = "/etc/resolv.conf", std::string hostsPath = "/etc/hosts");

  // Domain: the last "domain" or "search" line of the resolver configuration, else the
  // part of the host name after its first dot, else that part of the host's canonical
  // name in the hosts file. Nothing is looked up over the network.
  NetworkParams QueryNetworkParams() override;

  // Every interface that is not a loopback, in interface-index order, with the first
  // IPv4 address the kernel lists for it.
  AdapterList QueryAdapters() override;

 private:
  std::string resolvConfPath_;
  std::string hostsPath_;
};

}  // namespace trovix
