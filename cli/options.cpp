#include "cli/options.h"

#include <arpa/inet.h>

#include <cstring>
#include <string_view>

#include "capture/endpoint_filter.h"
#include "capture/packet_line.h"

namespace trovix::cli {
namespace {

// Addresses are compared as the text a datagram's address is written as, so only that
// text can ever match: "10.0.0.01" or "10.1" never would.
bool IsAddressText(std::string_view text) {
  in_addr a{};
  std::string copy(text);
  if (inet_pton(AF_INET, copy.c_str(), &a) != 1) return false;
  char canonical[kIpv4TextSize];
  FormatIpv4(ntohl(a.s_addr), canonical);
  return text == canonical;
}

bool IsIpv6Text(std::string_view text) {
  in6_addr a{};
  return inet_pton(AF_INET6, std::string(text).c_str(), &a) == 1;
}

// An IPv6 form's address is kept in canonical text when it parses, so any that parses can
// match.
bool FilterCanMatch(std::string_view text) {
  EndpointFilter f = ParseEndpointFilter(text);
  return f.anyAddress == 1 || IsAddressText(f.address) || IsIpv6Text(f.address);
}

bool ParseProtocols(std::string_view list, Options& o) {
  o.tcp = o.udp = o.icmp = o.igmp = o.raw = false;
  while (!list.empty()) {
    size_t comma = list.find(',');
    std::string_view word = list.substr(0, comma);
    if (word == "tcp") o.tcp = true;
    else if (word == "udp") o.udp = true;
    else if (word == "icmp") o.icmp = true;
    else if (word == "igmp") o.igmp = true;
    else if (word == "raw") o.raw = true;
    else return false;
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
  }
  return true;
}

bool ParseCount(std::string_view text, uint64_t& out) {
  if (text.empty() || text.size() > 18) return false;
  out = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + static_cast<uint64_t>(c - '0');
  }
  return out > 0;
}

}  // namespace

CaptureOptions CaptureOptionsOf(const Options& o) {
  return {o.address, o.from, o.to, o.bothTraffic, o.tcp, o.udp, o.icmp, o.igmp, o.raw, o.ipv6, o.ipv4};
}

std::optional<Options> ParseOptions(int argc, char** argv, std::string& error) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-b") { o.bothTraffic = true; continue; }
    if (arg == "-d") { o.details = true; continue; }
    if (arg == "--json") { o.json = true; continue; }
    if (arg == "-4" || arg == "-6") {
      (arg == "-4" ? o.ipv6 : o.ipv4) = false;
      if (!o.ipv4 && !o.ipv6) {
        error = "-4 and -6 together would keep nothing: give one of them, or neither for both families";
        return std::nullopt;
      }
      continue;
    }
    bool takesValue = arg == "-i" || arg == "-f" || arg == "-t" || arg == "-p" || arg == "-c" || arg == "-w" ||
                      arg == "-r";
    if (!takesValue) {
      error = "unknown option " + std::string(arg);
      return std::nullopt;
    }
    if (i + 1 >= argc) {
      error = std::string(arg) + " needs a value";
      return std::nullopt;
    }
    std::string value = argv[++i];
    if (arg == "-i") {
      if (!IsAddressText(value) && !IsIpv6Text(value)) {
        error = "-i " + value + ": not an address (write IPv4 as dotted decimal, like 192.168.0.5, or IPv6 as 2001:db8::5)";
        return std::nullopt;
      }
      o.address = value;
    } else if (arg == "-f" || arg == "-t") {
      if (!FilterCanMatch(value)) {
        error = std::string(arg) + " " + value + ": this filter can never match (use ADDRESS:PORT, * for any)";
        return std::nullopt;
      }
      (arg == "-f" ? o.from : o.to) = value;
    } else if (arg == "-p") {
      if (!ParseProtocols(value, o)) {
        error = "-p " + value + ": not a list of tcp, udp, icmp, igmp, raw";
        return std::nullopt;
      }
    } else if (arg == "-c") {
      if (!ParseCount(value, o.count)) {
        error = "-c " + value + ": not a positive number";
        return std::nullopt;
      }
    } else if (arg == "-w") {
      o.writeFile = value;
    } else {
      o.readFile = value;
    }
  }
  if (!o.readFile.empty() && !o.address.empty()) {
    error = "-i and -r exclude each other: a capture file has no interface";
    return std::nullopt;
  }
  return o;
}

}  // namespace trovix::cli
