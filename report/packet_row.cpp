// The window maps a selected row to a packet through its text, not its position, because
// message lines can sit among the packet lines.
#include "report/packet_row.h"

#include <charconv>

namespace trovix {

std::optional<int32_t> PacketIndexOfRow(std::string_view row) {
  if (row.size() < 3 || row[0] != '\t') return std::nullopt;
  size_t end = row.find('\t', 1);
  if (end == std::string_view::npos) return std::nullopt;
  std::string_view digits = row.substr(1, end - 1);
  // A packet line writes its index without sign or leading zeros.
  if (digits.empty() || digits[0] < '0' || digits[0] > '9') return std::nullopt;
  if (digits.size() > 1 && digits[0] == '0') return std::nullopt;
  int32_t index = 0;
  auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
  if (ec != std::errc() || ptr != digits.data() + digits.size()) return std::nullopt;
  return index;
}

}  // namespace trovix
