// Payload views. Each ends with its own "\r\n", so a payload whose length is a multiple of
// the line width is followed by an empty line; the details list shows it that way.
#include "report/payload_views.h"

#include "report/report_text.h"

namespace trovix {
namespace {

// With `printableOnly`, a byte that is not printable ASCII shows as '.'; zero stays, for
// the views skip it or end at it.
char Shown(uint8_t byte, bool printableOnly) {
  bool odd = byte != 0 && (byte < 0x20 || byte >= 0x7f);
  return printableOnly && odd ? '.' : static_cast<char>(byte);
}

}  // namespace

void AppendAsciiView(std::string& out, ByteReader payload, bool printableOnly) {
  out += "data in ASCII view:\r\n";
  out.reserve(out.size() + payload.size() + payload.size() / 32 + 2);
  for (size_t k = 1; k <= payload.size(); ++k) {
    // A zero byte would end the line's text, so it shows as nothing.
    uint8_t byte = payload.U8(k - 1);
    if (byte != 0) out += Shown(byte, printableOnly);
    if (k % 64 == 0) out += kLineEnd;
  }
  out += kLineEnd;
}

void AppendTextView(std::string& out, ByteReader payload, bool printableOnly) {
  out += "data in a text view:\r\n";
  for (size_t k = 0; k < payload.size(); ++k) {
    uint8_t byte = payload.U8(k);
    if (byte == 0) break;
    out += Shown(byte, printableOnly);
  }
  out += kLineEnd;
}

void AppendHexView(std::string& out, ByteReader payload) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out += "data in HEX view:\r\n";
  out.reserve(out.size() + payload.size() * 3 + payload.size() / 8 + 2);
  for (size_t k = 1; k <= payload.size(); ++k) {
    uint8_t byte = payload.U8(k - 1);
    if (byte >= 16) out += kDigits[byte >> 4];
    out += kDigits[byte & 0x0F];
    out += ' ';
    if (k % 16 == 0) out += kLineEnd;
  }
  out += kLineEnd;
}

void AppendPayload(std::string& out, ByteReader payload, CharacterView view, bool hex, bool printableOnly) {
  if (payload.size() == 0) return;
  AppendNumberLine(out, "data length = ", static_cast<int64_t>(payload.size()));
  if (view == CharacterView::kAscii) AppendAsciiView(out, payload, printableOnly);
  if (view == CharacterView::kText) AppendTextView(out, payload, printableOnly);
  if (hex) AppendHexView(out, payload);
}

}  // namespace trovix
