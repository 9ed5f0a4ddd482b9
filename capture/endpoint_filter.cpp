// Endpoint filter: addresses are compared as text (dotted decimal, or canonical IPv6), ports
// as numbers.
#include "capture/endpoint_filter.h"

#include <arpa/inet.h>

#include <cstring>

#include "capture/atoi.h"
#include "capture/capture_settings.h"
#include "capture/packet_line.h"

namespace trovix {
namespace {

void CopyText(char* out, size_t size, std::string_view text) {
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(out, text.data(), n);
  std::memset(out + n, 0, size - n);
}

}  // namespace

uint32_t ParseFilterPort(std::string_view part) {
  if (part == "*") return 0;
  int64_t value = AtoiValue(part);
  return value < 0 || value > 65535 ? 0 : static_cast<uint32_t>(value);
}

bool IsIpv6FilterText(std::string_view text) {
  size_t colon = text.find(':');
  return text.find('[') != std::string_view::npos ||
         (colon != std::string_view::npos && text.find(':', colon + 1) != std::string_view::npos);
}

std::string_view FilterTextRead(std::string_view text) {
  // A field's buffer holds a NUL-terminated text: nothing past an embedded NUL counts.
  text = text.substr(0, text.find('\0'));
  std::string_view ipv6 = text.substr(0, kFilterTextIpv6Max);
  return IsIpv6FilterText(ipv6) ? ipv6 : text.substr(0, kFilterTextMax);
}

namespace {

// The address of an IPv6-form text in canonical text, written by the formatter that writes
// datagrams' addresses, or as typed when it does not parse.
void SetIpv6Address(EndpointFilter& filter, std::string_view address, std::string_view typed) {
  char text[kFilterAddressSize];
  in6_addr value;
  CopyText(text, sizeof text, address);
  static_assert(kFilterAddressSize >= kAddressTextSize);
  if (address.size() < sizeof text && inet_pton(AF_INET6, text, &value) == 1) {
    FormatIpv6(value.s6_addr, filter.address);
    return;
  }
  CopyText(filter.address, sizeof filter.address, typed);
}

EndpointFilter ParseIpv6Filter(std::string_view text) {
  EndpointFilter filter{};
  filter.addressGiven = 1;
  if (text.empty() || text[0] != '[') {
    SetIpv6Address(filter, text, text);  // a bare address: any port
    return filter;
  }
  size_t close = text.find(']');
  std::string_view rest = close == std::string_view::npos ? std::string_view() : text.substr(close + 1);
  if (close == std::string_view::npos || (!rest.empty() && rest[0] != ':')) {
    CopyText(filter.address, sizeof filter.address, text);  // no address text can equal it
    return filter;
  }
  SetIpv6Address(filter, text.substr(1, close - 1), text.substr(0, close + 1));
  if (!rest.empty()) filter.port = ParseFilterPort(rest.substr(1));
  return filter;
}

}  // namespace

EndpointFilter ParseEndpointFilter(std::string_view text) {
  text = FilterTextRead(text);
  if (IsIpv6FilterText(text)) return ParseIpv6Filter(text);
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

void SetReverseAddresses(CaptureSettings& state) {
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

bool AddressTestPasses(const CaptureSettings& state, const char* src, const char* dst) {
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

bool PortTestPasses(const CaptureSettings& state, uint16_t sport, uint16_t dport) {
  uint32_t p = state.sourceFilter.port;
  uint32_t q = state.destinationFilter.port;
  return (p == 0 || p == sport) && (q == 0 || q == dport);
}

}  // namespace trovix
