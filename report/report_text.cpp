// Number formatting for report lines, and the optional field reads every section uses.
#include "report/report_text.h"

#include <charconv>

#include "capture/packet_line.h"

namespace trovix {

void AppendDecimal(std::string& out, int64_t value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

void AppendIpv4(std::string& out, uint32_t address) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    AppendDecimal(out, (address >> shift) & 0xFFu);
    if (shift > 0) out += '.';
  }
}

void AppendIpv6(std::string& out, const uint8_t* address) {
  char text[kAddressTextSize];
  out.append(text, FormatIpv6(address, text));
}

bool AppendIpv6At(std::string& out, ByteReader& r, size_t offset) {
  if (!r.Need(offset, 16)) return false;
  AppendIpv6(out, r.data() + offset);
  return true;
}

bool AppendIpv6Line(std::string& out, std::string_view label, ByteReader& r, size_t offset) {
  if (!r.Need(offset, 16)) return false;
  out += label;
  AppendIpv6(out, r.data() + offset);
  out += kLineEnd;
  return true;
}

void AppendNumberLine(std::string& out, std::string_view label, int64_t value,
                      std::string_view end) {
  out += label;
  AppendDecimal(out, value);
  out += end;
}

namespace {

// The read comes first so that a missing field marks the reader before we look.
template <typename T, T (ByteReader::*Read)(size_t) noexcept>
std::optional<T> ReadField(ByteReader& r, size_t offset) {
  T value = (r.*Read)(offset);
  if (!r.Has(offset, sizeof(T))) return std::nullopt;
  return value;
}

}  // namespace

std::optional<uint8_t> ReadU8(ByteReader& r, size_t offset) { return ReadField<uint8_t, &ByteReader::U8>(r, offset); }
std::optional<uint16_t> ReadBe16(ByteReader& r, size_t offset) {
  return ReadField<uint16_t, &ByteReader::Be16>(r, offset);
}
std::optional<uint32_t> ReadBe32(ByteReader& r, size_t offset) {
  return ReadField<uint32_t, &ByteReader::Be32>(r, offset);
}

ByteReader Tail(const ByteReader& r, size_t offset) {
  if (!r.Has(offset, 0)) return ByteReader(nullptr, 0);
  return ByteReader(r.data() + offset, r.size() - offset);
}

ByteReader Slice(const ByteReader& r, size_t offset, size_t count) {
  ByteReader tail = Tail(r, offset);
  return ByteReader(tail.data(), tail.size() < count ? tail.size() : count);
}

void AppendEscapedByte(std::string& out, uint8_t byte) {
  if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
    out += static_cast<char>(byte);
    return;
  }
  out += '\\';
  out += static_cast<char>('0' + byte / 100);
  out += static_cast<char>('0' + byte / 10 % 10);
  out += static_cast<char>('0' + byte % 10);
}

bool AppendEscaped(std::string& out, ByteReader& r, size_t offset, size_t count) {
  if (!r.Need(offset, count)) return false;
  for (size_t k = 0; k < count; ++k) AppendEscapedByte(out, r.U8(offset + k));
  return true;
}

namespace {
constexpr char kHexDigits[] = "0123456789abcdef";
}  // namespace

bool AppendHexBytes(std::string& out, ByteReader& r, size_t offset, size_t count, std::string_view separator) {
  if (!r.Need(offset, count)) return false;
  for (size_t k = 0; k < count; ++k) {
    if (k != 0) out += separator;
    uint8_t byte = r.U8(offset + k);
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0xF];
  }
  return true;
}

void AppendOptionLabel(std::string& out, const char* name, uint16_t code) {
  if (name == nullptr) {
    AppendNumberLine(out, "option ", code, " = ");
    return;
  }
  out += name;
  out += " = ";
}

void AppendHex16(std::string& out, uint16_t value) {
  out += "0x";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHexDigits[(value >> shift) & 0xF];
}

}  // namespace trovix
