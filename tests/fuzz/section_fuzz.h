// What the fuzz targets of the report's sections share: one section's builder over arbitrary
// bytes, and the shape every section's text must keep whatever the bytes were.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "capture/byte_reader.h"
#include "tests/fuzz/fuzz_support.h"

namespace trovix::fuzz {

// Lines only end with CR LF: no CR, LF or NUL of the packet's own reaches the text.
inline void CheckSectionText(const std::string& text) {
  Check(text.find('\0') == std::string::npos);
  for (size_t k = 0; k < text.size(); ++k) {
    if (text[k] == '\r') Check(k + 1 < text.size() && text[k + 1] == '\n');
    if (text[k] == '\n') Check(k > 0 && text[k - 1] == '\r');
  }
  Check(text.empty() || text.back() == '\n');
}

// The input's first byte chooses among a target's variants; the rest is the payload,
// which libFuzzer (and the replay) hold in a buffer of exactly its size, so a read past
// it is reported by AddressSanitizer.
template <typename Build>
int RunSection(const uint8_t* data, size_t size, Build&& build) {
  if (size < 1) return 0;
  std::string text;
  build(text, ByteReader(data + 1, size - 1), data[0]);
  CheckSectionText(text);
  return 0;
}

}  // namespace trovix::fuzz
