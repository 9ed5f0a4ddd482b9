// The "from:" and "to:" filters: text parsing and the address and port tests applied to
// every received datagram.
#pragma once

#include <cstdint>
#include <string_view>

namespace trovix {

inline constexpr int kFilterTextMax = 23;  // characters "go!" reads of a field
// A text in IPv6 form ("[" anywhere, or two colons) may be longer: a 45-character address,
// its brackets and ":65535".
inline constexpr int kFilterTextIpv6Max = 53;
inline constexpr int kFilterAddressSize = 48;

struct EndpointFilter {
  // The address part, or "*:*" when the text had no colon. An IPv6 address is kept in its
  // canonical text, as datagrams' addresses are written; one that does not parse is kept
  // as typed, brackets included, which no datagram's address equals.
  char address[kFilterAddressSize];
  uint32_t port;                     // 0 = any port
  int32_t anyAddress;
  int32_t addressGiven;
};

constexpr EndpointFilter AnyEndpoint() { return EndpointFilter{{'*', ':', '*'}, 0, 1, 0}; }

// Whether a filter text is in IPv6 form: it holds a "[" or at least two colons.
bool IsIpv6FilterText(std::string_view text);

// A field's text as the filter reads it: up to a NUL, and at most kFilterTextMax
// characters, or kFilterTextIpv6Max for a text in IPv6 form.
std::string_view FilterTextRead(std::string_view text);

// Parses one field's text. Never fails: text that cannot match anything yields a filter
// that passes nothing (a bad address) or any port (a bad port). IPv4 forms as always;
// IPv6 forms: "[address]:port", "[address]" and a bare address (any port).
EndpointFilter ParseEndpointFilter(std::string_view text);

// The port part read the way atoi reads it, then "*", negatives and values over 65535 as 0.
uint32_t ParseFilterPort(std::string_view portPart);

struct CaptureSettings;

// After both filters are parsed: the reverse pair exists only with both traffic on and no port.
void SetReverseAddresses(CaptureSettings& state);

// src and dst are dotted-decimal texts as inet_ntoa writes them, or canonical IPv6 texts.
bool AddressTestPasses(const CaptureSettings& state, const char* src, const char* dst);

// One-way: the source filter's port against sport, the destination's against dport.
bool PortTestPasses(const CaptureSettings& state, uint16_t sport, uint16_t dport);

}  // namespace trovix
