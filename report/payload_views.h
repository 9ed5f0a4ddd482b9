// The three ways a TCP or UDP payload is shown: ASCII, text and HEX views.
#pragma once

#include <string>

#include "capture/byte_reader.h"

namespace trovix {

enum class CharacterView { kNone, kAscii, kText };

// "data length = L", then the character view, then the HEX view when `hex` is set.
// `payload` covers exactly the payload bytes; an empty payload adds nothing at all.
// With `printableOnly`, the character view shows each byte that is not printable ASCII
// (zero aside) as '.', so the text has as many bytes and its only CR LFs are line ends.
void AppendPayload(std::string& out, ByteReader payload, CharacterView view, bool hex, bool printableOnly = false);

// Every byte but zero as it is, "\r\n" after every 64th byte (zeros counted).
void AppendAsciiView(std::string& out, ByteReader payload, bool printableOnly = false);
// The bytes up to the first zero, unchanged: a text protocol's own line ends split it.
void AppendTextView(std::string& out, ByteReader payload, bool printableOnly = false);
// "%x " per byte, "\r\n" after every 16th.
void AppendHexView(std::string& out, ByteReader payload);

}  // namespace trovix
