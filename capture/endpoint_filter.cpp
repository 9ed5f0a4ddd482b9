// Endpoint filter: addresses are compared as dotted-decimal text, ports as numbers.
#include "capture/endpoint_filter.h"

#include <cstring>

#include "capture/capture_state.h"

namespace trovix {
namespace {

bool IsAtoiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void CopyText(char* out, size_t size, std::string_view text) {
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(out, text.data(), n);
  std::memset(out + n, 0, size - n);
}

}  // namespace

uint32_t ParseFilterPort(std::string_view part) {
  if (part == "*") return 0;
  size_t i = 0;
  while (i < part.size() && IsAtoiSpace(part[i])) ++i;
  bool negative = false;
  if (i < part.size() && (part[i] == '+' || part[i] == '-')) negative = part[i++] == '-';
  // Saturate instead of overflowing: anything past 65535 means "any port" anyway.
  uint32_t value = 0;
  for (; i < part.size() && part[i] >= '0' && part[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint32_t>(part[i] - '0');
    if (value > 65535) return 0;
  }
  return negative ? 0 : value;
}

EndpointFilter ParseEndpointFilter(std::string_view text) {
  // A field's buffer holds a NUL-terminated text: nothing past an embedded NUL counts.
  text = text.substr(0, std::min<size_t>(text.find('\0'), kFilterTextMax));
  size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return AnyEndpoint();

  EndpointFilter filter{};
  std::string_view address = text.substr(0, colon);
  CopyText(filter.address, sizeof filter.address, address);
  filter.port = ParseFilterPort(text.substr(colon + 1));
  filter.anyAddress = address == "*" ? 1 : 0;
  filter.addressGiven = 1 - filter.anyAddress;
  return filter;
}

void SetReverseAddresses(CaptureState& state) {
  bool reverse = state.TwoWayTraffic == 1 && state.sourceFilter.port == 0 &&
                 state.destinationFilter.port == 0;
  if (reverse) {
    std::memcpy(state.reverseSourceAddress, state.destinationFilter.address, kFilterAddressSize);
    std::memcpy(state.reverseDestinationAddress, state.sourceFilter.address, kFilterAddressSize);
  } else {
    std::memset(state.reverseSourceAddress, 0, sizeof state.reverseSourceAddress);
    std::memset(state.reverseDestinationAddress, 0, sizeof state.reverseDestinationAddress);
  }
}

bool AddressTestPasses(const CaptureState& state, const char* src, const char* dst) {
  const EndpointFilter& from = state.sourceFilter;
  const EndpointFilter& to = state.destinationFilter;
  if (from.anyAddress == 1 && to.anyAddress == 1) return true;
  if (from.anyAddress == 1 && to.addressGiven == 1) return std::strcmp(dst, to.address) == 0;
  if (to.anyAddress == 1 && from.addressGiven == 1) return std::strcmp(src, from.address) == 0;
  if (from.addressGiven == 1 && to.addressGiven == 1) {
    if (std::strcmp(src, from.address) == 0 && std::strcmp(dst, to.address) == 0) return true;
    // An empty reverse pair never matches: no datagram has an empty address text.
    return std::strcmp(src, state.reverseSourceAddress) == 0 &&
           std::strcmp(dst, state.reverseDestinationAddress) == 0;
  }
  return false;
}

bool PortTestPasses(const CaptureState& state, uint16_t sport, uint16_t dport) {
  uint32_t p = state.sourceFilter.port;
  uint32_t q = state.destinationFilter.port;
  return (p == 0 || p == sport) && (q == 0 || q == dport);
}

}  // namespace trovix
