// Arbitrary bytes as the "from:" and "to:" texts: every text must give a well-formed
// filter that keeps what the text says, and the filters must pass the very addresses and
// ports they were given.
//
// Byte 0 bit 0: both traffic. Then the "from:" text up to a newline, then the "to:" text.
// IPv4 texts keep their exact-text rules; texts in IPv6 form ("[addr]:port", "[addr]", a
// bare address) give canonical addresses.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "capture/capture_state.h"
#include "capture/endpoint_filter.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace trovix;
using fuzz::Check;
using fuzz::State;

// What a field's buffer holds of the text: up to a NUL, at most 23 characters, or 53 for
// a text in IPv6 form.
std::string_view FieldText(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  std::string_view longer = text.substr(0, kFilterTextIpv6Max);
  return IsIpv6FilterText(longer) ? longer : text.substr(0, kFilterTextMax);
}

// An IPv6 form gives an address that is a canonical IPv6 text (inet_ntop's, which reads
// back to itself) or else one no datagram has (brackets, or no valid address at all).
void CheckIpv6Filter(std::string_view t, const EndpointFilter& f) {
  Check(f.addressGiven == 1);
  in6_addr value;
  char again[INET6_ADDRSTRLEN];
  if (inet_pton(AF_INET6, f.address, &value) == 1) {
    Check(inet_ntop(AF_INET6, &value, again, sizeof again) != nullptr && std::strcmp(again, f.address) == 0);
  }
  if (t[0] != '[') Check(f.port == 0);  // a bare address takes any port
}

void CheckFilter(std::string_view text, const EndpointFilter& f) {
  Check(f.anyAddress + f.addressGiven == 1 && (f.anyAddress == 0 || f.anyAddress == 1));
  Check(f.port <= 65535);
  Check(std::memchr(f.address, '\0', sizeof f.address) != nullptr);
  std::string_view t = FieldText(text);
  if (IsIpv6FilterText(t)) {
    CheckIpv6Filter(t, f);
    return;
  }
  size_t colon = t.rfind(':');
  if (colon == std::string_view::npos) {
    Check(std::strcmp(f.address, "*:*") == 0 && f.port == 0 && f.anyAddress == 1);
    return;
  }
  std::string_view address = t.substr(0, colon);
  Check(std::string_view(f.address) == address);
  Check(f.anyAddress == (address == "*" ? 1 : 0));
  // A port part of plain digits is that number when it is a port at all.
  std::string_view port = t.substr(colon + 1);
  if (!port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string_view::npos) {
    uint32_t value = 0;
    for (char c : port) value = value * 10 + static_cast<uint32_t>(c - '0');
    Check(f.port == (value <= 65535 ? value : 0));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  size_t newline = rest.find('\n');
  std::string_view from = rest.substr(0, newline);
  std::string_view to = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);

  CaptureState& s = State();
  s.TwoWayTraffic = data[0] & 1;
  s.sourceFilter = ParseEndpointFilter(from);
  s.destinationFilter = ParseEndpointFilter(to);
  CheckFilter(from, s.sourceFilter);
  CheckFilter(to, s.destinationFilter);
  SetReverseAddresses(s);
  const EndpointFilter& f = s.sourceFilter;
  const EndpointFilter& t = s.destinationFilter;

  // The reverse pair exists only with both traffic on and no port given, and is the swap.
  bool reverse = s.TwoWayTraffic == 1 && f.port == 0 && t.port == 0;
  Check(std::strcmp(s.reverseSourceAddress, reverse ? t.address : "") == 0);
  Check(std::strcmp(s.reverseDestinationAddress, reverse ? f.address : "") == 0);

  // Each filter passes its own addresses and ports, and a port beside the given one fails.
  const char* src = f.addressGiven == 1 ? f.address : "10.0.0.1";
  const char* dst = t.addressGiven == 1 ? t.address : "10.0.0.2";
  Check(AddressTestPasses(s, src, dst));
  if (reverse && f.addressGiven == 1 && t.addressGiven == 1) Check(AddressTestPasses(s, dst, src));
  Check(PortTestPasses(s, static_cast<uint16_t>(f.port), static_cast<uint16_t>(t.port)));
  if (f.port != 0) Check(!PortTestPasses(s, static_cast<uint16_t>(f.port ^ 1), static_cast<uint16_t>(t.port)));
  if (t.port != 0) Check(!PortTestPasses(s, static_cast<uint16_t>(f.port), static_cast<uint16_t>(t.port ^ 1)));
  return 0;
}
