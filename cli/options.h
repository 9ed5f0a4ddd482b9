// trovix-cli's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "capture/capture_thread.h"

namespace trovix::cli {

inline constexpr const char* kUsage =
    "usage: trovix-cli [-i ADDRESS] [-f FROM] [-t TO] [-b] [-p tcp,udp,icmp,igmp,raw] [-4|-6] [-c COUNT]\n"
    "                  [-w FILE|-] [-r FILE] [-d] [--json]\n";

struct Options {
  std::string address;  // -i: empty for every interface
  std::string from = "*:*";
  std::string to = "*:*";
  bool bothTraffic = false;
  bool tcp = true, udp = true, icmp = false, igmp = false, raw = false;
  bool ipv4 = true, ipv6 = true;  // -4 and -6 keep one family
  uint64_t count = 0;     // 0: no limit
  std::string writeFile;  // "-" is standard output
  std::string readFile;
  bool details = false;
  bool json = false;
};

// What the window's "go!" would read for these options.
CaptureOptions CaptureOptionsOf(const Options& options);

// Nothing and a one-line reason when the arguments are not usable.
std::optional<Options> ParseOptions(int argc, char** argv, std::string& error);

}  // namespace trovix::cli
