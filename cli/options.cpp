#include "cli/options.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <net/if.h>

#include <string_view>

#include "capture/filter_forms.h"
#include "capture/printable_text.h"

namespace trovix::cli {

const char* const kHelp =
    "Captures IPv4 and IPv6 datagrams, or reads a capture file, and prints a line for each\n"
    "one it keeps: receive time, number, protocol, source address and port, destination\n"
    "address and port, size and TTL.\n"
    "\n"
    "  -i, --interface=IF    capture on IF: a name (lo, eth0), any for every interface, or\n"
    "                        an address the interface owns (default: every interface);\n"
    "                        or on other machines, over ssh: ssh://[USER@]HOST[:PORT][/IF],\n"
    "                        several separated by blanks (there trovix-cli -w -, else\n"
    "                        tcpdump, runs as that user)\n"
    "  -f, --from=FROM       keep datagrams from FROM (see the forms below; default *:*)\n"
    "  -t, --to=TO           keep datagrams to TO (default *:*); unlike tcpdump's -t, not a\n"
    "                        time option (-tt and the like are refused): see --time\n"
    "  -b, --both            also keep those from TO's address back to FROM's (both give an\n"
    "                        address and neither a port)\n"
    "  -p, --protocols=LIST  keep these: tcp, udp, icmp, igmp, raw, separated by commas\n"
    "                        (default: all of them, as tcpdump keeps everything)\n"
    "  -4, --ipv4            keep IPv4 only\n"
    "  -6, --ipv6            keep IPv6 only\n"
    "  -c, --count=COUNT     stop after COUNT kept datagrams\n"
    "  -w, --write=FILE      write them to the pcap file FILE as well; - writes the file to\n"
    "                        standard output, which then carries no lines; a FILE ending in\n"
    "                        .pcapng is written as pcapng, where with --programs each\n"
    "                        datagram's programs are its packet comments, one for each end\n"
    "                        named: \"program: NAME (pid PID, user USER)\" or \"program:\n"
    "                        user USER\" (-r reads them back into the column)\n"
    "      --pcapng          write the -w file as pcapng whatever its name (-w - included)\n"
    "  -r, --read=FILE       read a pcap or pcapng file instead of capturing\n"
    "  -d, --details         add each datagram's report\n"
    "  -v, --verbose         add a column of each datagram's header fields: IPv4's id,\n"
    "                        flags and fragment offset, IPv6's flow label (and those of a\n"
    "                        fragment header), TCP's flags, seq, ack and window, ICMP's\n"
    "                        type and code; with --json, as fields\n"
    "  -A, --ascii           print each datagram from its IP header under its line as text:\n"
    "                        '.' for every byte that is not printable ASCII, and a new line\n"
    "                        at each line end in the payload\n"
    "  -X, --hex             print each datagram from its IP header under its line in hex\n"
    "                        and ASCII, 16 bytes a line (wins over -A, as in tcpdump)\n"
    "      --json            a JSON object per datagram instead of a line\n"
    "      --programs        add a last column: the program on this machine that sent or\n"
    "                        received the datagram, NAME PID, or NAME PID \u2192 NAME PID (sender\n"
    "                        first) when both ends are here; user NAME for a socket of\n"
    "                        another user whose process cannot be read (root reads all);\n"
    "                        ? when no socket of this machine was seen holding the\n"
    "                        datagram's addresses and ports while it lived (as for most\n"
    "                        sockets that live under 15 ms); with -r, those a pcapng file's\n"
    "                        packet comments name, else ?; with ssh://, the server's, asked\n"
    "                        of its trovix-cli (? where it has only tcpdump); with --json,\n"
    "                        \"programs\": [{\"name\", \"pid\", \"user\", \"end\"}]\n"
    "      --info            add a last column: what the datagram is, its protocol's name\n"
    "                        in capitals first (DNS query A example.org, TLS ClientHello\n"
    "                        example.org h2,http/1.1, TCP SYN ACK); with --json, \"info\"\n"
    "      --names           show addresses as the names the capture itself gave them (DNS\n"
    "                        answers, TLS server names, HTTP Host, DHCP host names), else\n"
    "                        as /etc/hosts names them; with --json, \"from_name\", \"to_name\"\n"
    "      --look-up-names   --names, and ask the system's resolver for the other\n"
    "                        addresses (the answers show from the next datagram on)\n"
    "      --program=WHO     keep only the datagrams of the program named WHO, or of the\n"
    "                        process whose id is WHO\n"
    "      --stats=TABLE     print no lines, but once the capture ends (-c, Ctrl-C) or the\n"
    "                        file is read, one table of what was kept, the most bytes\n"
    "                        first, as tab-separated columns under a header line (with\n"
    "                        --json, one JSON array). TABLE is conversations (TCP and UDP\n"
    "                        by addresses and ports, other protocols by address pair;\n"
    "                        both ways one row), endpoints (each address), ports (each\n"
    "                        address and TCP or UDP port), protocols (IPv4, IPv6, the\n"
    "                        protocols in each, what TCP and UDP carry) or programs\n"
    "                        (each program and user). Bytes are IP bytes: tshark's\n"
    "                        also count the link layer\n"
    "      --stats-interval=SECONDS\n"
    "                        print no lines, but at the end the datagrams and bytes kept\n"
    "                        in each interval of SECONDS (1, 0.001, 60) from the first\n"
    "                        datagram on, as tshark -q -z io,stat,SECONDS counts them\n"
    "      --time=WHEN       the time column: local (time of day, the default), utc,\n"
    "                        epoch (seconds since 1970) or none\n"
    "  -l, --line-buffered   write each line out at once\n"
    "  -q, --quiet           print no lines, only the summary on standard error\n"
    "  -n, --numeric         accepted; names are looked up only with --look-up-names\n"
    "      --not-ssh         leave out the ssh connection this runs over ($SSH_CONNECTION)\n"
    "  -D, --list-interfaces list the interfaces: index, name, addresses, up or down\n"
    "  -h, --help            print this help\n"
    "  -V, --version         print the version\n"
    "\n"
    "FROM and TO: ADDRESS:PORT, ADDRESS:* or ADDRESS, *:PORT or *:*; for IPv6\n"
    "[ADDRESS]:PORT, [ADDRESS]:*, [ADDRESS] or ADDRESS. PORT is a number from 0 to 65535 (0\n"
    "and * keep any port). Examples: -t '*:53', -f 192.168.0.5, -t '[2001:db8::1]:443'.\n"
    "\n"
    "EXPRESSION, the words after the options, is a pcap filter expression, as tcpdump\n"
    "takes ('udp port 53', 'host 198.18.0.2 and tcp', 'icmp or icmp6'): the kernel runs it\n"
    "beside the options' filters, and a datagram is kept when both keep it; with -r it\n"
    "filters the file.\n"
    "\n"
    "Exit status: 0 done, 1 failed (said on standard error), 2 bad command line.\n";

namespace {

bool IsAddressText(const std::string& text) {
  in6_addr a{};
  return inet_pton(AF_INET, text.c_str(), &a) == 1 || inet_pton(AF_INET6, text.c_str(), &a) == 1;
}

// An interface name as the kernel allows one; a text of digits and dots, or with a colon,
// was meant as an address.
bool IsInterfaceName(std::string_view text) {
  if (text.empty() || text.size() >= IF_NAMESIZE) return false;
  bool addressLike = text.find_first_not_of("0123456789.") == std::string_view::npos;
  for (char c : text) {
    if (c <= ' ' || c > '~' || c == '/' || c == ':') return false;
  }
  return !addressLike;
}

// A non-empty list of the switches' words.
bool ParseProtocols(std::string_view list, Options& o) {
  for (const SwitchRow& row : kSwitchRows) SwitchOf(o, row.which) = false;
  for (;;) {
    size_t comma = list.find(',');
    const SwitchRow* row = SwitchRowNamed(list.substr(0, comma));
    if (row == nullptr) return false;
    SwitchOf(o, row->which) = true;
    if (comma == std::string_view::npos) return true;
    list = list.substr(comma + 1);
  }
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

bool ParseTime(std::string_view text, TimeColumn& out) {
  if (text == "local") out = TimeColumn::kLocal;
  else if (text == "utc") out = TimeColumn::kUtc;
  else if (text == "epoch") out = TimeColumn::kEpoch;
  else if (text == "none") out = TimeColumn::kNone;
  else return false;
  return true;
}

constexpr int kJson = 1000;
constexpr int kTime = 1001;
constexpr int kNotSsh = 1002;
constexpr int kPrograms = 1003;
constexpr int kProgram = 1004;
constexpr int kStats = 1005;
constexpr int kStatsInterval = 1006;
constexpr int kPcapng = 1007;
constexpr int kInfo = 1008;
constexpr int kNames = 1009;
constexpr int kLookUpNames = 1010;

constexpr option kLongOptions[] = {
    {"interface", required_argument, nullptr, 'i'}, {"from", required_argument, nullptr, 'f'},
    {"to", required_argument, nullptr, 't'},        {"both", no_argument, nullptr, 'b'},
    {"protocols", required_argument, nullptr, 'p'}, {"ipv4", no_argument, nullptr, '4'},
    {"ipv6", no_argument, nullptr, '6'},            {"count", required_argument, nullptr, 'c'},
    {"write", required_argument, nullptr, 'w'},     {"read", required_argument, nullptr, 'r'},
    {"details", no_argument, nullptr, 'd'},         {"json", no_argument, nullptr, kJson},
    {"time", required_argument, nullptr, kTime},    {"line-buffered", no_argument, nullptr, 'l'},
    {"quiet", no_argument, nullptr, 'q'},           {"numeric", no_argument, nullptr, 'n'},
    {"help", no_argument, nullptr, 'h'},            {"version", no_argument, nullptr, 'V'},
    {"not-ssh", no_argument, nullptr, kNotSsh},     {"verbose", no_argument, nullptr, 'v'},
    {"ascii", no_argument, nullptr, 'A'},           {"hex", no_argument, nullptr, 'X'},
    {"list-interfaces", no_argument, nullptr, 'D'}, {"programs", no_argument, nullptr, kPrograms},
    {"program", required_argument, nullptr, kProgram}, {"stats", required_argument, nullptr, kStats},
    {"stats-interval", required_argument, nullptr, kStatsInterval}, {"pcapng", no_argument, nullptr, kPcapng},
    {"info", no_argument, nullptr, kInfo}, {"names", no_argument, nullptr, kNames},
    {"look-up-names", no_argument, nullptr, kLookUpNames},
    {nullptr, 0, nullptr, 0},
};

// The option as the user wrote it, for messages.
std::string Named(int id, int longIndex) {
  if (id < 256 && longIndex < 0) return std::string("-") + static_cast<char>(id);
  for (const option& o : kLongOptions) {
    if (o.val == id) return std::string("--") + o.name;
  }
  return "?";
}

// -i with ssh:// sources: every word one, each checked before anything runs.
bool ParseRemoteSources(std::string_view text, Options& o, std::string& error) {
  o.remoteSources.clear();
  for (const std::string& word : SourceWords(text)) {
    std::optional<RemoteSource> source = ParseRemoteSource(word, error);
    if (!source) {
      error = "-i " + PrintableText(word, 80) + ": " + error;
      return false;
    }
    o.remoteSources.push_back(*source);
  }
  return true;
}

// One option and its value; false with `error` set.
bool Apply(int option, const char* value, int longIndex, Options& o, std::string& error) {
  std::string v = value != nullptr ? value : "";
  switch (option) {
    case 'b': o.bothTraffic = true; return true;
    case 'd': o.details = true; return true;
    case 'v': o.essentials = true; return true;
    case 'A': o.ascii = true; return true;
    case 'X': o.hex = true; return true;
    case 'D': o.listInterfaces = true; return true;
    case 'l': o.lineBuffered = true; return true;
    case 'q': o.quiet = true; return true;
    case 'n': return true;
    case 'h': o.help = true; return true;
    case 'V': o.version = true; return true;
    case kJson: o.json = true; return true;
    case kNotSsh: o.notSsh = true; return true;
    case kPrograms: o.programs = true; return true;
    case kPcapng: o.pcapng = true; return true;
    case kInfo: o.info = true; return true;
    case kNames: o.names = true; return true;
    case kLookUpNames: o.names = o.lookUpNames = true; return true;
    case kProgram:
      if (!v.empty()) {
        o.program = v;
        return true;
      }
      error = "--program needs a program's name or a process id";
      return false;
    case '4': case '6':
      (option == '4' ? o.ipv6 : o.ipv4) = false;
      if (o.ipv4 || o.ipv6) return true;
      error = "-4 and -6 together would keep nothing: give one of them, or neither for both families";
      return false;
    case 'i':
      if (NamesRemoteSource(v)) return ParseRemoteSources(v, o, error);
      if (IsAddressText(v)) o.address = v;
      else if (IsInterfaceName(v)) o.interfaceName = v;
      else error = Named(option, longIndex) + " " + v + ": not an interface name (like lo or eth0), any, or an address "
                   "(write IPv4 as dotted decimal, like 192.168.0.5, or IPv6 as 2001:db8::5)";
      return error.empty();
    case 'f': case 't': {
      // getopt reads tcpdump's -tt, -ttt and -tttt as -t with the rest for its value.
      if (option == 't' && longIndex < 0 && !v.empty() && v.find_first_not_of('t') == std::string::npos) {
        error = "-t" + v + ": trovix-cli's -t is \"to\"; for times use --time=local|utc|epoch|none";
        return false;
      }
      // A bare IPv4 address is any port of it, as a bare IPv6 address is.
      in_addr ipv4{};
      if (inet_pton(AF_INET, v.c_str(), &ipv4) == 1) v += ":*";
      FilterCheck check = CheckFilterText(v);
      if (check.problem.empty()) {
        (option == 'f' ? o.from : o.to) = v;
        return true;
      }
      error = Named(option, longIndex) + " " + v + ": " + check.problem + "; the forms are ";
      error += kFilterForms;
      return false;
    }
    case 'p':
      if (ParseProtocols(v, o)) return true;
      error = Named(option, longIndex) + (v.empty() ? " ''" : " " + v) + ": not a list of tcp, udp, icmp, igmp, raw";
      return false;
    case 'c':
      if (ParseCount(v, o.count)) return true;
      error = Named(option, longIndex) + " " + v + ": not a positive number";
      return false;
    case kTime:
      if (ParseTime(v, o.time)) return true;
      error = "--time=" + v + ": not one of local, utc, epoch, none";
      return false;
    case kStats:
      if (ParseStatsTable(v, o.stats)) return true;
      error = "--stats=" + v + ": not one of conversations, endpoints, ports, protocols, programs";
      return false;
    case kStatsInterval:
      if ((o.statsInterval = ParseInterval(v)) != 0) return true;
      error = "--stats-interval=" + v + ": not a number of seconds above 0 (like 1, 0.01 or 60), at most a year";
      return false;
    case 'w': o.writeFile = v; return true;
    case 'r': o.readFile = v; return true;
    default: return false;
  }
}

// The combinations that cannot be honoured; empty when there is none.
std::string Conflict(const Options& o) {
  if (!o.readFile.empty() && (!o.address.empty() || !o.interfaceName.empty() || !o.remoteSources.empty())) {
    return "-i and -r exclude each other: a capture file has no interface";
  }
  if (o.writeFile == "-" && (o.details || o.json || o.essentials || o.ascii || o.hex)) {
    return "-w - writes the capture file to standard output, which then carries no lines: "
           "-d, -v, -A, -X and --json have nowhere to go (write the file elsewhere with -w FILE)";
  }
  if (!o.program.empty() && (!o.readFile.empty() || !o.remoteSources.empty())) {
    return "--program keeps the datagrams of a program on this machine, named only in a live capture here: "
           "not with -r or ssh://";
  }
  if (o.pcapng && o.writeFile.empty()) return "--pcapng says how -w writes its file: give -w FILE or -w -";
  if (o.json && (o.ascii || o.hex)) {
    return "-A and -X print a datagram's bytes under its line, and --json prints no lines: give one or the "
           "other (with -d, each JSON object's report holds the payload)";
  }
  bool stats = o.stats != StatsTable::kNone || o.statsInterval != 0;
  if (o.stats != StatsTable::kNone && o.statsInterval != 0) {
    return "--stats and --stats-interval each print one table: give one of them";
  }
  if (stats && (o.details || o.essentials || o.ascii || o.hex || o.writeFile == "-" || !o.program.empty())) {
    return "--stats and --stats-interval print a table on standard output in place of the lines: not with -d, -v, "
           "-A, -X, -w - or --program";
  }
  if (o.bothTraffic) {
    FilterCheck from = CheckFilterText(o.from), to = CheckFilterText(o.to);
    if (!from.address || !to.address || from.port || to.port) {
      return "-b keeps both ways between two addresses: give an address and no port in both -f and -t "
             "(like -f 10.0.0.1:* -t 10.0.0.2:*)";
    }
  }
  return "";
}

}  // namespace

CaptureOptions CaptureOptionsOf(const Options& o, int interfaceIndex) {
  return {o.address, o.from, o.to, o.bothTraffic, o.tcp, o.udp, o.icmp, o.igmp, o.raw, o.ipv6, o.ipv4, interfaceIndex};
}

std::optional<Options> ParseOptions(int argc, char** argv, std::string& error) {
  Options o;
  optind = 0;  // getopt starts over, for a second call
  opterr = 0;
  int option, longIndex = -1;
  while ((option = getopt_long(argc, argv, ":i:f:t:bp:46c:w:r:dvAXDlqnhV", kLongOptions, &longIndex)) != -1) {
    if (option == '?' || option == ':') {
      // A short option is named by optopt; a long one only by the word it came in.
      std::string word = argv[optind - 1];
      bool isLong = option == ':' ? word.rfind("--", 0) == 0 : optopt <= 0 || optopt >= 256;
      std::string name = isLong ? word.substr(0, word.find('=')) : std::string("-") + static_cast<char>(optopt);
      if (option == ':') error = name + " needs a value";
      else if (isLong && optopt > 0) error = name + " takes no value";  // --json=yes
      else error = "unknown option " + name;
      return std::nullopt;
    }
    if (!Apply(option, optarg, longIndex, o, error)) return std::nullopt;
    longIndex = -1;
  }
  // getopt_long has moved every word that is no option to the end: they are the
  // expression, as tcpdump takes one.
  for (int i = optind; i < argc; ++i) o.expression += (o.expression.empty() ? "" : " ") + std::string(argv[i]);
  if (o.help || o.version || o.listInterfaces) return o;
  if (error = Conflict(o); !error.empty()) return std::nullopt;
  return o;
}

}  // namespace trovix::cli
