#include "capture/filter_forms.h"

#include <arpa/inet.h>

#include "capture/endpoint_filter.h"
#include "capture/packet_line.h"

namespace trovix {
namespace {

// The engine compares an IPv4 filter address with the text a datagram's address is
// written as, so only that text can match: "10.0.0.01" or "10.1" never would.
bool IsIpv4Text(std::string_view text) {
  in_addr a{};
  if (inet_pton(AF_INET, std::string(text).c_str(), &a) != 1) return false;
  char canonical[kIpv4TextSize];
  FormatIpv4(ntohl(a.s_addr), canonical);
  return text == canonical;
}

// An IPv6 filter address is compared in canonical form, so any text that parses will do.
bool IsIpv6Text(std::string_view text) {
  in6_addr a{};
  return inet_pton(AF_INET6, std::string(text).c_str(), &a) == 1;
}

// "*" or up to five digits no greater than 65535; false with `problem` set otherwise.
bool CheckPort(std::string_view text, FilterCheck& check) {
  uint32_t value = 0;
  bool digits = !text.empty() && text.size() <= 5;
  for (char c : text) {
    digits = digits && c >= '0' && c <= '9';
    if (digits) value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (text != "*" && (!digits || value > 65535)) {
    check.problem = "\"" + std::string(text) + "\" is not a port";
    return false;
  }
  check.port = text != "*" && value != 0;
  return true;
}

void CheckBracketed(std::string_view text, FilterCheck& check) {
  size_t close = text.find(']');
  if (close == std::string_view::npos) {
    check.problem = "no ']' after the IPv6 address";
    return;
  }
  std::string_view address = text.substr(1, close - 1);
  std::string_view rest = text.substr(close + 1);
  if (!IsIpv6Text(address)) {
    check.problem = "\"" + std::string(address) + "\" is not an IPv6 address";
  } else if (!rest.empty() && rest[0] != ':') {
    check.problem = "characters after ']'";
  } else {
    check.address = true;
    if (!rest.empty()) CheckPort(rest.substr(1), check);
  }
}

}  // namespace

FilterCheck CheckFilterText(std::string_view text) {
  FilterCheck check;
  if (!text.empty() && text[0] == '[') {
    CheckBracketed(text, check);
  } else if (IsIpv6FilterText(text)) {
    check.address = IsIpv6Text(text);  // a bare IPv6 address: any port
    if (!check.address) check.problem = "\"" + std::string(text) + "\" is not an address";
  } else if (size_t colon = text.rfind(':'); colon == std::string_view::npos) {
    check.problem = "no colon";
  } else if (std::string_view address = text.substr(0, colon); address != "*" && !IsIpv4Text(address)) {
    check.problem = "\"" + std::string(address) + "\" is not an address as datagrams' are written (like 10.0.0.1)";
  } else if (CheckPort(text.substr(colon + 1), check)) {
    check.address = address != "*";
  }
  return check;
}

}  // namespace trovix
