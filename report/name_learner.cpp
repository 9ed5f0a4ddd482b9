// Which datagram says what of which address: the answers of DNS, mDNS and LLMNR, the server
// name of a ClientHello, the Host of an HTTP request, the host name in a DHCP message.
#include "report/name_learner.h"

#include <cstring>
#include <optional>
#include <string_view>

#include "capture/packet_store.h"
#include "report/quic_initial.h"
#include "report/sections.h"

namespace trovix {
namespace {

constexpr uint8_t kTcp = 6, kUdp = 17;
constexpr uint16_t kTypeA = 1, kTypeCname = 5, kTypeAaaa = 28;
constexpr uint8_t kDhcpReply = 2;

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[k]) != lower(b[k])) return false;
  }
  return true;
}

// A host that is an address itself says nothing of the address's name.
bool IsAddressText(std::string_view host) {
  if (host.empty() || host.front() == '[') return true;
  return host.find_first_not_of("0123456789.") == std::string_view::npos;
}

// Host without its ":port".
std::string_view WithoutPort(std::string_view host) {
  size_t colon = host.rfind(':');
  return colon == std::string_view::npos || host.front() == '[' ? host : host.substr(0, colon);
}

}  // namespace

// Each A or AAAA answer names its address with the name that was asked: its owner, or the
// name whose CNAME chain leads to that owner.
void NameLearner::LearnDns(const DatagramLayers& layers, bool tcp, int64_t packet) {
  if (!ReadDnsMessage(layers.payload, tcp, dns_, false) || !dns_.response) return;
  for (size_t k = 0; k < dns_.answersKept; ++k) {
    const DnsAnswer& answer = dns_.kept[k];
    if ((answer.type != kTypeA && answer.type != kTypeAaaa) || answer.addressLength == 0) continue;
    chain_ = answer.owner;
    // Each step moves to an earlier record, so a chain that loops still ends.
    for (size_t step = 0, at = k; step < dns_.answersKept && at > 0 && !SameName(chain_, dns_.questionName); ++step) {
      size_t before = at;
      for (size_t c = at; c-- > 0;) {
        if (dns_.kept[c].type == kTypeCname && SameName(dns_.kept[c].data, chain_)) {
          chain_ = dns_.kept[c].owner;
          at = c;
          break;
        }
      }
      if (at == before) break;
    }
    if (SameName(chain_, dns_.questionName)) chain_ = dns_.questionName;
    names_.LearnName(NameAddress::Of(answer.address, answer.addressLength), chain_, NameOrigin::kDnsAnswer, packet);
  }
}

void NameLearner::LearnTls(const DatagramLayers& layers, int64_t packet) {
  if (!ReadTlsRecord(layers.payload, tls_) || !tls_.clientHello || IsAddressText(tls_.serverName)) return;
  names_.LearnName(NameAddress::Of(layers.destination, layers.addressLength), tls_.serverName,
                   NameOrigin::kTlsServerName, packet);
}

void NameLearner::LearnHttp(const DatagramLayers& layers, int64_t packet) {
  if (!ReadHttpMessage(layers.payload, http_) || http_.response) return;
  std::string_view host = WithoutPort(http_.host);
  if (IsAddressText(host)) return;
  names_.LearnName(NameAddress::Of(layers.destination, layers.addressLength), host, NameOrigin::kHttpHost, packet);
}

// A client's host name is for the address it has, asks for, or is given.
void NameLearner::LearnDhcp(const DatagramLayers& layers, int64_t packet) {
  if (!ReadDhcpMessage(layers.payload, dhcp_) || dhcp_.hostName.empty()) return;
  uint32_t address = dhcp_.operation == kDhcpReply ? dhcp_.yourAddress : 0;
  if (address == 0) address = dhcp_.clientAddress;
  if (address == 0) address = dhcp_.requestedAddress;
  uint8_t bytes[4];
  if (address == 0) {
    if (dhcp_.operation == kDhcpReply) return;
    std::memcpy(bytes, layers.source, 4);
    if (bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 0) return;
  } else {
    for (size_t k = 0; k < 4; ++k) bytes[k] = static_cast<uint8_t>(address >> (24 - 8 * k));
  }
  names_.LearnName(NameAddress::Of(bytes, 4), dhcp_.hostName, NameOrigin::kDhcpHostName, packet);
}

void NameLearner::Learn(const uint8_t* datagram, size_t length, int64_t packet) {
  DatagramLayers layers = LocateLayers(datagram, length);
  if (layers.payload.size() == 0 || (layers.protocol != kTcp && layers.protocol != kUdp)) return;
  bool tcp = layers.protocol == kTcp;
  const char* word = ApplicationWord(tcp, layers.sourcePort, layers.destinationPort, layers.payload);
  if (word == nullptr) return;
  std::string_view w = word;
  if (w == "dns" || w == "mdns" || w == "llmnr") {
    LearnDns(layers, tcp, packet);
  } else if (w == "tls") {
    LearnTls(layers, packet);
  } else if (w == "http") {
    LearnHttp(layers, packet);
  } else if (w == "dhcp" && !layers.ipv6) {
    LearnDhcp(layers, packet);
  } else if (w == "quic") {
    // A client Initial's ClientHello names the server as a TLS one does.
    std::optional<QuicInitialSummary> initial = ReadQuicClientInitial(layers.payload);
    if (initial && !initial->serverName.empty() && !IsAddressText(initial->serverName)) {
      names_.LearnName(NameAddress::Of(layers.destination, layers.addressLength), initial->serverName,
                       NameOrigin::kTlsServerName, packet);
    }
  }
}

uint32_t NameLearner::CatchUp(const PacketStore& store) {
  uint32_t published = PublishedPacketCount(store);
  uint32_t from = next_;
  for (; next_ < published; ++next_) {
    StoredPacket p;
    if (LocatePacket(store, static_cast<int32_t>(next_), p)) Learn(p.bytes, static_cast<size_t>(p.length), next_);
  }
  return next_ - from;
}

}  // namespace trovix
