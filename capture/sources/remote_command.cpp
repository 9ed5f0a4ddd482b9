// Source texts are checked before anything runs, and every word the remote side gets is
// quoted, so no text typed for a source reaches a shell or ssh as anything but a name.
#include "capture/sources/remote_command.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "capture/filter_forms.h"
#include "capture/printable_text.h"
#include "capture/protocol_table.h"

namespace trovix {
namespace {

bool AllOf(std::string_view text, bool (*allowed)(char)) {
  for (char c : text) {
    if (!allowed(c)) return false;
  }
  return true;
}
bool Alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }
bool UserChar(char c) { return Alnum(c) || c == '.' || c == '_' || c == '-'; }
bool HostChar(char c) { return Alnum(c) || c == '.' || c == '-'; }
bool InterfaceChar(char c) { return Alnum(c) || c == '.' || c == '_' || c == '-' || c == '@'; }
bool Digit(char c) { return c >= '0' && c <= '9'; }

// A word that ssh or the remote programs could read as an option is refused everywhere.
std::string CheckName(std::string_view what, std::string_view value, size_t max, bool (*allowed)(char)) {
  if (value.empty()) return std::string(what) + " is empty";
  if (value.size() > max) return std::string(what) + " is longer than " + std::to_string(max) + " characters";
  if (!Alnum(value[0])) return std::string(what) + " must begin with a letter or digit";
  if (!AllOf(value, allowed)) return std::string(what) + " \"" + PrintableText(value, 64) + "\" has a character it cannot hold";
  return "";
}

// The remote trovix-cli's options for the capture's switches and filters. A filter text
// it would refuse (the window takes any text) is left out: the window's own accept path
// still decides, so the remote side may send more, never less.
std::string CliWords(const RemoteSource& source, const CaptureOptions& o) {
  std::string words = "trovix-cli -w - -l --not-ssh";
  if (!source.interface.empty()) words += " -i " + ShellQuoted(source.interface);
  std::string protocols;
  for (const SwitchRow& row : kSwitchRows) {
    if (SwitchOf(o, row.which)) protocols += std::string(protocols.empty() ? "" : ",") + row.word;
  }
  // No switch keeps nothing; the remote side then sends nothing worth the bytes.
  words += " -p " + ShellQuoted(protocols.empty() ? kRawRow.word : protocols);
  if (!o.ipv6) words += " -4";
  FilterCheck from = CheckFilterText(o.fromText), to = CheckFilterText(o.toText);
  if (!o.twoWayTraffic) {
    if (from.problem.empty()) words += " -f " + ShellQuoted(o.fromText);
    if (to.problem.empty()) words += " -t " + ShellQuoted(o.toText);
  } else if (from.problem.empty() && to.problem.empty() && from.address && to.address && !from.port && !to.port) {
    words += " -b -f " + ShellQuoted(o.fromText) + " -t " + ShellQuoted(o.toText);
  }
  // Its programs come as the packets' comments, which only pcapng carries.
  if (o.programs) words += " --pcapng --programs";
  if (!o.expressionText.empty()) words += " -- " + ShellQuoted(o.expressionText);
  return words;
}

// The protocols whose ports the accept path tests, in both families, as pcap filter words
// ("ip proto 6 or ... or ip6[6] = 17").
std::string PortProtocols() {
  std::string ipv4, ipv6;
  for (const SwitchRow& row : kSwitchRows) {
    if (!row.ports) continue;
    ipv4 += (ipv4.empty() ? "ip proto " : " or ip proto ") + std::to_string(row.ipv4);
    ipv6 += " or ip6[6] = " + std::to_string(row.ipv6);
  }
  return ipv4 + ipv6;
}

// The address and port of a filter text of the strict forms, as pcap filter words. The
// accept path tests ports of TCP and UDP alone (an ICMP error, which quotes the ports of
// the datagram it answers, passes a port filter), and of those only the ones it finds
// directly behind the IP header are where libpcap's "port" looks; the rest pass.
void AddEndpoint(std::string_view text, std::string& filter) {
  if (!CheckFilterText(text).problem.empty()) return;
  std::string address, port;
  if (text.front() == '[') {
    size_t close = text.find(']');
    address = text.substr(1, close - 1);
    if (close + 1 < text.size()) port = text.substr(close + 2);
  } else if (text.find(':') != text.rfind(':')) {
    address = text;  // a bare IPv6 address
  } else {
    address = text.substr(0, text.find(':'));
    port = text.substr(text.find(':') + 1);
  }
  if (address != "*") filter += " and host " + address;
  if (!port.empty() && port != "*" && port != "0") {
    filter += " and (not (" + PortProtocols() + ") or port " + port + ")";
  }
}

}  // namespace

std::string TcpdumpFilter(const CaptureOptions& o) {
  std::string filter = !o.ipv6 ? "ip" : o.ipv4 ? "(ip or ip6)" : "ip6";
  if (!SwitchOf(o, kRawRow.which)) {
    std::string protocols;
    auto add = [&](bool on, const char* words) {
      if (on) protocols += std::string(protocols.empty() ? "" : " or ") + words;
    };
    // pcap's tcp and udp name both families' protocol, its icmp IPv4's alone.
    bool someIpv6 = false;
    for (const SwitchRow& row : kSwitchRows) {
      bool on = row.ipv4 != kNoProtocol && SwitchOf(o, row.which);
      add(on, row.word);
      add(on && row.ipv6Word != nullptr && std::string_view(row.ipv6Word) != row.word, row.ipv6Word);
      someIpv6 = someIpv6 || (on && row.ipv6 != kNoProtocol);
    }
    // libpcap's protocols look behind one fragment header at most; the accept path walks
    // every extension header to the upper layer, so IPv6 that begins with one is kept.
    add(o.ipv6 && someIpv6,
        "ip6[6] = 0 or ip6[6] = 43 or ip6[6] = 44 or ip6[6] = 51 or ip6[6] = 60");
    filter += protocols.empty() ? " and not ip and not ip6" : " and (" + protocols + ")";
  }
  AddEndpoint(o.fromText, filter);
  AddEndpoint(o.toText, filter);
  if (!o.expressionText.empty()) filter += " and (" + std::string(o.expressionText) + ")";
  return filter;
}

std::vector<std::string> SourceWords(std::string_view text) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < text.size()) {
    size_t begin = text.find_first_not_of(" \t", at);
    if (begin == std::string_view::npos) break;
    size_t end = std::min(text.find_first_of(" \t", begin), text.size());
    words.emplace_back(text.substr(begin, end - begin));
    at = end;
  }
  return words;
}

std::optional<RemoteSource> ParseRemoteSource(std::string_view text, std::string& why) {
  if (!IsRemoteSourceText(text)) {
    why = "not ssh://[USER@]HOST[:PORT][/INTERFACE]";
    return std::nullopt;
  }
  RemoteSource s;
  s.text = text;
  std::string_view rest = text.substr(kRemoteScheme.size());
  // The parts in the order they are written, so that a text which is no source (an ssh
  // option, say) is refused for its first part, whatever follows a "/".
  std::optional<std::string_view> interface;
  if (size_t slash = rest.find('/'); slash != std::string_view::npos) {
    interface = rest.substr(slash + 1);
    rest = rest.substr(0, slash);
  }
  if (size_t at = rest.find('@'); at != std::string_view::npos) {
    s.user = rest.substr(0, at);
    rest = rest.substr(at + 1);
    why = CheckName("the user", s.user, 32, UserChar);
    if (!why.empty()) return std::nullopt;
  }
  std::string_view port;
  if (!rest.empty() && rest[0] == '[') {
    size_t close = rest.find(']');
    in6_addr address{};
    s.host = rest.substr(1, close == std::string_view::npos ? 0 : close - 1);
    if (close == std::string_view::npos || inet_pton(AF_INET6, s.host.c_str(), &address) != 1) {
      why = "the host in brackets is not an IPv6 address";
      return std::nullopt;
    }
    rest = rest.substr(close + 1);
    if (!rest.empty() && rest[0] != ':') {
      why = "characters after ']'";
      return std::nullopt;
    }
    if (!rest.empty()) port = rest.substr(1), s.port = port;
  } else {
    size_t colon = rest.find(':');
    if (colon != rest.rfind(':')) {
      why = "write an IPv6 host in brackets, like ssh://[2001:db8::2]/eth0";
      return std::nullopt;
    }
    s.host = rest.substr(0, colon);
    if (colon != std::string_view::npos) port = rest.substr(colon + 1), s.port = port;
    why = CheckName("the host", s.host, 253, HostChar);
    if (!why.empty()) return std::nullopt;
  }
  if (rest.find(':') != std::string_view::npos || !s.port.empty()) {
    bool digits = !port.empty() && port.size() <= 5 && AllOf(port, Digit);
    if (!digits || std::atoi(s.port.c_str()) < 1 || std::atoi(s.port.c_str()) > 65535) {
      why = "the port \"" + PrintableText(port, 16) + "\" is not a number from 1 to 65535";
      return std::nullopt;
    }
  }
  if (interface) {
    s.interface = *interface;
    why = CheckName("the interface", s.interface, 15, InterfaceChar);
    if (!why.empty()) return std::nullopt;
  }
  why.clear();
  return s;
}

std::vector<std::string> SourceLabels(const std::vector<RemoteSource>& sources) {
  std::vector<std::string> labels, plain;
  for (const RemoteSource& s : sources) {
    bool port = false, user = false;
    for (const RemoteSource& other : sources) {
      if (other.host != s.host || other.interface != s.interface) continue;
      port = port || other.port != s.port;
      user = user || (other.port == s.port && other.user != s.user);
    }
    std::string host = port && s.host.find(':') != std::string::npos ? "[" + s.host + "]" : s.host;
    std::string label = (user && !s.user.empty() ? s.user + "@" : "") + host +
                        (port && !s.port.empty() ? ":" + s.port : "") + (s.interface.empty() ? "" : "/" + s.interface);
    auto same = std::count(plain.begin(), plain.end(), label);
    plain.push_back(label);
    labels.push_back(same == 0 ? label : label + " (" + std::to_string(same + 1) + ")");
  }
  return labels;
}

std::string ShellQuoted(std::string_view word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

namespace {

// The one line that runs `script` in sh whichever login shell ssh hands it to (sh, bash,
// dash, zsh, fish, csh, tcsh): sh -c with one single-quoted word that holds no newline
// (tcsh's quotes end at one), no single quote, no "!" (csh's history) and no backslash
// but before a digit (fish's escapes); the script's other characters are octal escapes,
// which sh's printf turns back.
std::string CommandForAnyShell(std::string_view script) {
  // Inside single quotes these are themselves in every one of those shells, and inside
  // the double quotes that hold printf's format they are themselves to sh.
  constexpr std::string_view kAsTheyAre = " -_.,:/=+@()[]{}<>|;&*?#~";
  std::string line = "sh -c 'eval \"$(printf \"";
  for (char c : script) {
    if (Alnum(c) || kAsTheyAre.find(c) != std::string_view::npos) {
      line += c;
    } else {
      char octal[5];
      std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(c));
      line += octal;
    }
  }
  return line + "\")\"'";
}

}  // namespace

std::string RemoteCommand(const RemoteSource& source, const CaptureOptions& options) {
  std::string interface = source.interface.empty() ? "any" : source.interface;
  // Standard input is ssh's: kept on 3 for the watcher alone, so that its end (the local
  // side stopped, or went away) ends the capture even while nothing passes the filter.
  std::string script =
      "exec 3<&0 </dev/null\n"
      "set -- $SSH_CONNECTION\n"
      "if command -v trovix-cli >/dev/null 2>&1; then\n"
      "  " + CliWords(source, options) + " 3<&- &\n"
      "elif command -v tcpdump >/dev/null 2>&1; then\n"
      "  x=\n"
      "  [ $# -eq 4 ] && x=\" and not (host $1 and port $2 and host $3 and port $4)\"\n"
      "  s=\n"
      "  [ \"$(id -u)\" = 0 ] || ! sudo -n -l tcpdump >/dev/null 2>&1 || s=\"sudo -n\"\n"
      "  $s tcpdump -U --immediate-mode -w - -i " + ShellQuoted(interface) + " " + ShellQuoted(TcpdumpFilter(options)) +
      "\"$x\" 3<&- &\n"
      "else\n"
      "  echo \"neither trovix-cli nor tcpdump is on the PATH of $(hostname)\" >&2\n"
      "  exit 127\n"
      "fi\n"
      "p=$!\n"
      "(cat >/dev/null 2>&1; kill $p 2>/dev/null) <&3 >/dev/null 2>&1 &\n"
      "w=$!\n"
      "exec 3<&-\n"
      // The shells' word on a job that a signal ended is not the capture's to say; and
      // none of them says one for SIGPIPE.
      "{ wait $p; r=$?; } 2>/dev/null\n"
      "kill -PIPE $w 2>/dev/null\n"
      "exit $r\n";
  return CommandForAnyShell(script);
}

std::vector<std::string> SshArguments(const RemoteSource& source, const std::string& command) {
  const char* program = std::getenv("TROVIX_SSH");
  std::vector<std::string> arguments{program != nullptr && *program != '\0' ? program : "ssh", "-o", "BatchMode=yes"};
  if (!source.port.empty()) arguments.insert(arguments.end(), {"-p", source.port});
  if (!source.user.empty()) arguments.insert(arguments.end(), {"-l", source.user});
  arguments.insert(arguments.end(), {"--", source.host, command});
  return arguments;
}

bool IsRemoteChatter(std::string_view line) {
  for (std::string_view start : {"tcpdump: listening on ", "tcpdump: data link type ", "trovix-cli: listening on ",
                                 "Warning: Permanently added "}) {
    if (line.substr(0, start.size()) == start) return true;
  }
  // The counts both programs give as they end: "12 packets captured", "3 datagrams written".
  size_t digits = line.find_first_not_of("0123456789");
  if (digits == 0 || digits == std::string_view::npos || line[digits] != ' ') return false;
  std::string_view words = line.substr(digits + 1);
  for (std::string_view count : {"packet captured", "packets captured", "packet received by filter",
                                 "packets received by filter", "packet dropped by kernel", "packets dropped by kernel",
                                 "datagrams written", "datagrams received by filter", "datagrams dropped by kernel"}) {
    if (words == count) return true;
  }
  return false;
}

}  // namespace trovix
