// Which packet a row of the main packet list stands for.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace trovix {

// The index a packet line begins with ("\t<index>\t..."), or nothing for a row that is not
// a packet line, such as "don't found data!" or a message line: such a row has no report.
std::optional<int32_t> PacketIndexOfRow(std::string_view row);

}  // namespace trovix
