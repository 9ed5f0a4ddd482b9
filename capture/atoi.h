// Reading a number the way the C library's atoi does, without its overflow.
#pragma once

#include <cstdint>
#include <string_view>

namespace trovix {

// Leading white space, an optional sign, then digits up to the first other character;
// 0 when there are none. Values past the 32-bit range saturate instead of overflowing.
constexpr int64_t AtoiValue(std::string_view text) {
  size_t i = 0;
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
  while (i < text.size() && space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  constexpr int64_t kLimit = int64_t{1} << 31;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value < kLimit) value = value * 10 + (text[i] - '0');
  }
  if (value > kLimit) value = kLimit;
  return negative ? -value : (value == kLimit ? kLimit - 1 : value);
}

}  // namespace trovix
