#include <algorithm>
#include <climits>
#include <cstring>

#include "capture/privilege.h"

namespace trovix {
namespace {

char g_errorText[kErrorTextSize];

}  // namespace

void SetSystemErrorText(std::string_view text) {
  size_t n = std::min(text.size(), kErrorTextSize - 1);
  std::memcpy(g_errorText, text.data(), n);
  g_errorText[n] = '\0';
}

const char* SystemErrorText() { return g_errorText; }

void FormatSystemErrorText(uint32_t code) {
  // strerror_r makes up "Unknown error N" for a code it has no message for;
  // strerrordesc_np tells those apart by returning nothing.
  if (code > static_cast<uint32_t>(INT_MAX) || strerrordesc_np(static_cast<int>(code)) == nullptr) return;
  char buffer[kErrorTextSize];
  // The GNU strerror_r returns its text, in `buffer` or in static storage.
  const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  SetSystemErrorText(text);
}

}  // namespace trovix
