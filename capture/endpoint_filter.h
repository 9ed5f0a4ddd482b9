// The "from:" and "to:" filters: text parsing and the address and port tests applied to
// every received datagram.
#pragma once

#include <cstdint>
#include <string_view>

namespace trovix {

inline constexpr int kFilterTextMax = 23;  // characters "go!" reads of a field
inline constexpr int kFilterAddressSize = 24;

struct EndpointFilter {
  char address[kFilterAddressSize];  // the address part, or "*:*" when the text had no colon
  uint32_t port;                     // 0 = any port
  int32_t anyAddress;
  int32_t addressGiven;
};

constexpr EndpointFilter AnyEndpoint() { return EndpointFilter{{'*', ':', '*'}, 0, 1, 0}; }

// Parses one field's text. Never fails: text that cannot match anything yields a filter
// that passes nothing (a bad address) or any port (a bad port).
EndpointFilter ParseEndpointFilter(std::string_view text);

// The port part read the way atoi reads it, then "*", negatives and values over 65535 as 0.
uint32_t ParseFilterPort(std::string_view portPart);

struct CaptureState;

// After both filters are parsed: the reverse pair exists only with both traffic on and no port.
void SetReverseAddresses(CaptureState& state);

// src and dst are dotted-decimal texts as inet_ntoa writes them.
bool AddressTestPasses(const CaptureState& state, const char* src, const char* dst);

// One-way: the source filter's port against sport, the destination's against dport.
bool PortTestPasses(const CaptureState& state, uint16_t sport, uint16_t dport);

}  // namespace trovix
