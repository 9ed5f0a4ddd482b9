// The system's name for the first line of the packet list: the distribution's own name
// from os-release and the kernel's from uname.
#pragma once

#include <string>
#include <vector>

#include "capture/os_line.h"

namespace trovix {

inline constexpr size_t kPrettyNameMax = 127;

class LinuxSystemVersion : public SystemVersionSource {
 public:
  // The first os-release file that exists is read, as systemd's rules say.
  explicit LinuxSystemVersion(std::vector<std::string> osReleasePaths = {"/etc/os-release", "/usr/lib/os-release"})
      : osReleasePaths_(std::move(osReleasePaths)) {}

  // "Debian GNU/Linux 12 (bookworm), Linux 6.1.0-18-amd64 x86_64"; without a
  // distribution name just the kernel part. Never refused; not queried only when uname fails.
  OsInfo QueryOsInfo() override;

 private:
  std::vector<std::string> osReleasePaths_;
};

}  // namespace trovix
