// trovix-cli's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "capture/sources/local_source.h"
#include "capture/sources/remote_command.h"
#include "cli/stats_output.h"
#include "cli/time_column.h"

namespace trovix::cli {

inline constexpr const char* kUsage =
    "usage: trovix-cli [-46AbdDhlnqvVX] [-i INTERFACE|ssh://[USER@]HOST[:PORT][/INTERFACE]]\n"
    "                  [-f FROM] [-t TO] [-p tcp,udp,icmp,igmp,raw] [-c COUNT]\n"
    "                  [-w FILE|-] [--pcapng] [-r FILE] [--json] [--time=local|utc|epoch|none]\n"
    "                  [--programs] [--program=NAME|PID] [--info] [--names]\n"
    "                  [--look-up-names]\n"
    "                  [--stats=conversations|endpoints|ports|protocols|programs]\n"
    "                  [--stats-interval=SECONDS] [EXPRESSION]\n";

// --help: the usage, then every option.
extern const char* const kHelp;

struct Options {
  std::string address;        // -i ADDRESS
  std::string interfaceName;  // -i NAME; empty, or "any", for every interface
  std::vector<RemoteSource> remoteSources;  // -i ssh://...
  bool notSsh = false;  // --not-ssh
  std::string from = "*:*";
  std::string to = "*:*";
  bool bothTraffic = false;
  // Every protocol unless -p says which, as tcpdump keeps everything.
  bool tcp = true, udp = true, icmp = true, igmp = true, raw = true;
  // The words after the options: a pcap filter expression, run in the kernel.
  std::string expression;
  bool ipv4 = true, ipv6 = true;  // -4 and -6 keep one family
  uint64_t count = 0;     // 0: no limit
  std::string writeFile;  // "-" is standard output
  bool pcapng = false;    // --pcapng: the -w file as pcapng, as a name ending in .pcapng asks
  std::string readFile;
  bool details = false;
  bool essentials = false;  // -v
  bool ascii = false;       // -A
  bool hex = false;         // -X, which wins over -A as in tcpdump
  bool json = false;
  bool programs = false;  // --programs: the column of each datagram's programs
  bool info = false;         // --info
  bool names = false;        // --names
  bool lookUpNames = false;  // --look-up-names (and --names)
  std::string program;    // --program: keep only this program's (a name, or a process id)
  TimeColumn time = TimeColumn::kLocal;
  StatsTable stats = StatsTable::kNone;  // --stats: a table at the end instead of lines
  int64_t statsInterval = 0;             // --stats-interval, in nanoseconds: the rates instead of lines
  bool lineBuffered = false;
  bool quiet = false;
  bool help = false;
  bool version = false;
  bool listInterfaces = false;  // -D
};

// What the window's "go!" would read for these options; `interfaceIndex` is that of -i
// NAME (0 for every interface), or -1 for the interface that owns -i ADDRESS.
CaptureOptions CaptureOptionsOf(const Options& options, int interfaceIndex = -1);

// Nothing and a one-line reason when the arguments are not usable.
std::optional<Options> ParseOptions(int argc, char** argv, std::string& error);

}  // namespace trovix::cli
