// Text that comes from the system (host names, resolver and release files) is shown in
// the packet list: keep it to printable ASCII so a stray control byte or tab can neither
// break a line nor shift the list's columns, and bound its length.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace trovix {

inline std::string PrintableText(std::string_view text, size_t maxChars) {
  std::string out(text.substr(0, maxChars));
  for (char& c : out) {
    if (c < 0x20 || c > 0x7e) c = '?';
  }
  return out;
}

}  // namespace trovix
