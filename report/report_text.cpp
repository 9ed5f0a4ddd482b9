// Number formatting for report lines, and the optional field reads every section uses.
#include "report/report_text.h"

#include <charconv>

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

void AppendNumberLine(std::string& out, std::string_view label, int64_t value,
                      std::string_view end) {
  out += label;
  AppendDecimal(out, value);
  out += end;
}

// The read comes first so that a missing field marks the reader before we look.
std::optional<uint8_t> ReadU8(ByteReader& r, size_t offset) {
  uint8_t value = r.U8(offset);
  if (!r.Has(offset, 1)) return std::nullopt;
  return value;
}

std::optional<uint16_t> ReadBe16(ByteReader& r, size_t offset) {
  uint16_t value = r.Be16(offset);
  if (!r.Has(offset, 2)) return std::nullopt;
  return value;
}

std::optional<uint16_t> ReadLe16(ByteReader& r, size_t offset) {
  uint16_t value = r.Le16(offset);
  if (!r.Has(offset, 2)) return std::nullopt;
  return value;
}

std::optional<uint32_t> ReadBe32(ByteReader& r, size_t offset) {
  uint32_t value = r.Be32(offset);
  if (!r.Has(offset, 4)) return std::nullopt;
  return value;
}

ByteReader Tail(const ByteReader& r, size_t offset) {
  if (!r.Has(offset, 0)) return ByteReader(nullptr, 0);
  return ByteReader(r.data() + offset, r.size() - offset);
}

}  // namespace trovix
