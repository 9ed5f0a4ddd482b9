// The texts of a capture on other machines through the user's own ssh: the source texts
// (ssh://[USER@]HOST[:PORT][/INTERFACE]), the command the remote side runs (trovix-cli's
// or tcpdump's words for the capture's switches and filters, quoted for any login shell),
// ssh's arguments, and which of the remote side's lines are only chatter. Pure: nothing
// here runs anything.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/sources/local_source.h"

namespace trovix {

// What names a remote source in the bind field and in trovix-cli's -i.
inline constexpr std::string_view kRemoteScheme = "ssh://";

// ssh://[USER@]HOST[:PORT][/INTERFACE], each part of the characters its names allow.
struct RemoteSource {
  std::string text;       // as given
  std::string user;       // empty: ssh's own choice
  std::string host;       // a name or an address (IPv6 without its brackets)
  std::string port;       // empty: ssh's own choice
  std::string interface;  // empty: every interface
};

inline bool IsRemoteSourceText(std::string_view word) { return word.substr(0, kRemoteScheme.size()) == kRemoteScheme; }
// The words of a bind text, split at blanks.
std::vector<std::string> SourceWords(std::string_view text);
// How the rows name their sources when there are several, one label for each source: host
// and interface, with the port where another source of that host and interface has
// another port, and the user where one has the same port but another user ("H/lo",
// "H:2222/lo", "alice@H/lo"); the same source named again is numbered ("H/lo (2)").
std::vector<std::string> SourceLabels(const std::vector<RemoteSource>& sources);

// Whether the bind text names at least one remote source (one of its words is one).
inline bool NamesRemoteSource(std::string_view text) {
  for (size_t at = text.find(kRemoteScheme); at != std::string_view::npos; at = text.find(kRemoteScheme, at + 1)) {
    if (at == 0 || text[at - 1] == ' ' || text[at - 1] == '\t') return true;
  }
  return false;
}
// One source text checked before anything runs: the source, or nothing and why not.
std::optional<RemoteSource> ParseRemoteSource(std::string_view text, std::string& why);

// One word for a POSIX shell: in single quotes, each ' as '\''.
std::string ShellQuoted(std::string_view word);
// A pcap filter for tcpdump that keeps at least what the accept path keeps with `options`
// (addresses either way, ports only of TCP and UDP, IPv6 extension headers walked).
std::string TcpdumpFilter(const CaptureOptions& options);
// The one command line the remote side's login shell, whichever it is, hands to sh to run:
// trovix-cli -w - where it is found, else tcpdump -U -w - (through sudo -n where that is
// allowed) with TcpdumpFilter; either leaves out its own ssh connection, and either ends
// when ssh's standard input closes.
std::string RemoteCommand(const RemoteSource& source, const CaptureOptions& options);
// ssh's arguments, the program first: $TROVIX_SSH when set (a wrapper, as for tests), else ssh.
std::vector<std::string> SshArguments(const RemoteSource& source, const std::string& command);
// Whether a line on the remote side's standard error only says that it runs or how it ended.
bool IsRemoteChatter(std::string_view line);

}  // namespace trovix
