// The info line: the section word of what TCP or UDP carries (the report's own table
// chooses it), read with that section's parser; else the transport's flags, the ICMP type
// or the port's service name.
#include "report/packet_info.h"

#include <optional>
#include <string_view>

#include "capture/packet_line.h"
#include "capture/protocol_table.h"
#include "report/datagram_layers.h"
#include "report/packet_meaning.h"
#include "report/quic_initial.h"
#include "report/report_text.h"
#include "report/sections.h"
#include "report/service_names.h"

namespace trovix {
namespace {

constexpr uint8_t kIcmp = 1, kTcp = 6, kUdp = 17, kIcmpv6Protocol = 58;

void AppendUpper(std::string& out, std::string_view word) {
  for (char c : word) out += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

void AppendLower(std::string& out, std::string_view word) {
  for (char c : word) out += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

void AppendWord(std::string& out, std::string_view word) {
  if (word.empty()) return;
  out += ' ';
  out += word;
}

// Reused by every call on a thread: the rows are drawn one after another.
struct Readings {
  DnsReading dns;
  TlsReading tls;
  HttpReading http;
  DhcpReading dhcp;
};

Readings& ThreadReadings() {
  thread_local Readings readings;
  return readings;
}

void AppendDnsType(std::string& out, uint16_t type) {
  if (const char* name = DnsTypeName(type)) {
    out += name;
    return;
  }
  out += "TYPE";
  AppendDecimal(out, type);
}

// The answer to show: the first of the asked type (the end of a CNAME chain), else the
// first of any.
const DnsAnswer* ShownAnswer(const DnsReading& dns) {
  for (size_t k = 0; k < dns.answersKept; ++k) {
    if (dns.kept[k].type == dns.questionType && !dns.kept[k].data.empty()) return &dns.kept[k];
  }
  return dns.answersKept != 0 ? &dns.kept[0] : nullptr;
}

void AppendDns(std::string& out, const DatagramLayers& layers, bool tcp) {
  DnsReading& dns = ThreadReadings().dns;
  if (!ReadDnsMessage(layers.payload, tcp, dns)) return;
  out += dns.response ? " response" : " query";
  if (dns.questionType != 0) {
    out += ' ';
    AppendDnsType(out, dns.questionType);
    AppendWord(out, dns.questionName);
  }
  if (!dns.response) return;
  if (dns.responseCode != 0) {
    const char* code = DnsResponseCodeName(dns.responseCode);
    if (code != nullptr) {
      AppendWord(out, code);
    } else {
      AppendNumberLine(out, " RCODE", dns.responseCode, "");
    }
  }
  if (const DnsAnswer* answer = ShownAnswer(dns)) {
    AppendWord(out, answer->data);
    if (dns.answers > 1) AppendNumberLine(out, " (+", dns.answers - 1, ")");
  }
}

void AppendTls(std::string& out, const DatagramLayers& layers) {
  TlsReading& tls = ThreadReadings().tls;
  if (!ReadTlsRecord(layers.payload, tls)) return;
  const char* name = tls.handshakeType != 0 ? TlsHandshakeName(tls.handshakeType) : nullptr;
  if (name == nullptr) name = tls.contentType == 22 ? "encrypted handshake" : TlsContentTypeName(tls.contentType);
  AppendWord(out, name != nullptr ? name : "");
  AppendWord(out, tls.serverName);
  AppendWord(out, tls.alpn);
}

// A client Initial, decrypted, names the server its ClientHello asks for.
void AppendQuic(std::string& out, const DatagramLayers& layers) {
  std::optional<QuicInitialSummary> initial = ReadQuicClientInitial(layers.payload);
  if (!initial) return;
  AppendWord(out, "Initial");
  AppendWord(out, initial->serverName);
}

void AppendHttp(std::string& out, const DatagramLayers& layers) {
  HttpReading& http = ThreadReadings().http;
  if (!ReadHttpMessage(layers.payload, http)) return;
  if (http.response) {
    AppendWord(out, http.second);
    AppendWord(out, http.third);
    AppendWord(out, http.contentType);
    return;
  }
  AppendWord(out, http.first);
  AppendWord(out, http.second);
  AppendWord(out, http.host);
}

void AppendDhcp(std::string& out, const DatagramLayers& layers) {
  DhcpReading& dhcp = ThreadReadings().dhcp;
  if (!ReadDhcpMessage(layers.payload, dhcp)) return;
  const char* name = DhcpMessageTypeName(dhcp.messageType);
  AppendWord(out, name != nullptr ? name : dhcp.operation == 2 ? "reply" : "request");
  if (dhcp.yourAddress != 0) {
    out += ' ';
    AppendIpv4(out, dhcp.yourAddress);
  }
  AppendWord(out, dhcp.hostName);
}

void AppendDhcpv6(std::string& out, const DatagramLayers& layers) {
  ByteReader payload = layers.payload;
  if (!payload.Has(0, 1)) return;
  const char* name = Dhcpv6MessageTypeName(payload.U8(0));
  if (name != nullptr) {
    AppendWord(out, name);
  } else {
    AppendNumberLine(out, " type ", payload.U8(0), "");
  }
}

void AppendNtp(std::string& out, const DatagramLayers& layers) {
  NtpReading ntp;
  if (!ReadNtpHeader(layers.payload, ntp)) return;
  AppendWord(out, NtpModeName(ntp.mode));
  AppendNumberLine(out, " v", ntp.version, "");
}

// The section words of packet_report.cpp's table, each with what its info says.
struct InfoRow {
  std::string_view word;
  void (*append)(std::string&, const DatagramLayers&, bool tcp);
};
constexpr InfoRow kInfoRows[] = {
    {"dns", AppendDns},
    {"mdns", AppendDns},
    {"llmnr", AppendDns},
    {"tls", [](std::string& out, const DatagramLayers& l, bool) { AppendTls(out, l); }},
    {"http", [](std::string& out, const DatagramLayers& l, bool) { AppendHttp(out, l); }},
    {"dhcp", [](std::string& out, const DatagramLayers& l, bool) { AppendDhcp(out, l); }},
    {"dhcpv6", [](std::string& out, const DatagramLayers& l, bool) { AppendDhcpv6(out, l); }},
    {"ntp", [](std::string& out, const DatagramLayers& l, bool) { AppendNtp(out, l); }},
    {"quic", [](std::string& out, const DatagramLayers& l, bool) { AppendQuic(out, l); }},
};

// Lowest bit first, so that the usual pairs read as they are said: "SYN ACK", "FIN ACK".
void AppendTcpFlags(std::string& out, uint8_t flags) {
  static constexpr const char* kFlags[] = {"FIN", "SYN", "RST", "PSH", "ACK", "URG", "ECE", "CWR"};
  for (size_t bit = 0; bit < 8; ++bit) {
    if ((flags >> bit & 1) != 0) AppendWord(out, kFlags[bit]);
  }
}

// The name of the end whose port is lower (the server's, as a rule), or the other's.
const char* ServiceOf(const DatagramLayers& layers, bool tcp) {
  const ServiceNames& names = TheServiceNames();
  uint16_t low = layers.sourcePort < layers.destinationPort ? layers.sourcePort : layers.destinationPort;
  uint16_t high = low == layers.sourcePort ? layers.destinationPort : layers.sourcePort;
  const char* name = FindServiceName(names, tcp, low);
  return name != nullptr ? name : FindServiceName(names, tcp, high);
}

// TCP or UDP: the carried protocol's line, else the service's name, else the transport's.
void AppendPorts(std::string& out, const DatagramLayers& layers, const char* transportWord) {
  bool tcp = layers.protocol == kTcp;
  if (layers.payload.size() != 0) {
    const char* word = ApplicationWord(tcp, layers.sourcePort, layers.destinationPort, layers.payload);
    for (const InfoRow& row : kInfoRows) {
      if (word == nullptr || row.word != word) continue;
      AppendUpper(out, row.word);
      row.append(out, layers, tcp);
      return;
    }
    if (const char* service = ServiceOf(layers, tcp)) {
      AppendUpper(out, service);
      if (tcp) AppendTcpFlags(out, layers.tcpFlags);
      return;
    }
  }
  AppendUpper(out, transportWord);
  if (tcp) AppendTcpFlags(out, layers.tcpFlags);
}

void AppendIcmpType(std::string& out, const DatagramLayers& layers) {
  ByteReader message = layers.transport;
  uint8_t type = message.U8(0);
  const char* name = layers.protocol == kIcmp ? IcmpTypeName(type) : Icmpv6TypeName(type);
  out += ' ';
  if (name != nullptr) {
    AppendLower(out, name);
  } else {
    AppendNumberLine(out, "type ", type, "");
  }
}

}  // namespace

void AppendPacketInfo(std::string& out, const uint8_t* datagram, size_t length) {
  DatagramLayers layers = LocateLayers(datagram, length);
  if (layers.source == nullptr) return;
  const char* word = ProtocolWord(layers.protocol);
  if (layers.ipv6 && layers.protocol == kIcmpv6Protocol) word = SwitchRowFor(kIcmpv6Protocol, true).ipv6Word;
  if (layers.laterFragment || !layers.transportWhole) {
    AppendUpper(out, word);
    out += layers.laterFragment ? " fragment" : " truncated";
    return;
  }
  if (layers.protocol == kTcp || layers.protocol == kUdp) {
    AppendPorts(out, layers, word);
    return;
  }
  AppendUpper(out, word);
  if (layers.protocol == kIcmp || (layers.ipv6 && layers.protocol == kIcmpv6Protocol)) AppendIcmpType(out, layers);
}

std::string PacketInfoText(const uint8_t* datagram, size_t length) {
  std::string text;
  AppendPacketInfo(text, datagram, length);
  return text;
}

}  // namespace trovix
