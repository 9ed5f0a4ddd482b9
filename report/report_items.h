// Cutting a report into the items of the details list, and which item ends up selected.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace trovix {

// Items end at a CR (a LF right after it is skipped with it). Once no CR follows, a LF ends
// an item instead. The rest after the last separator is always an item, even when empty.
std::vector<std::string> SplitReportItems(std::string_view text);

// Index of the first item that begins with `prefix`, ignoring ASCII case; -1 for none.
int32_t FindItemWithPrefix(const std::vector<std::string>& items, std::string_view prefix);

struct ItemSelection {
  int32_t scrollTo;  // item to bring into view first (r + 7), or -1 when there is none
  int32_t selected;  // the title item r, or -1 (nothing selected) when it was not found
};

// Finds "packet<index>" and selects r + 7, then r, each only when such an item exists
// (-1 clears the selection, as the list does).
ItemSelection SelectTitleItem(const std::vector<std::string>& items, int32_t packetIndex);

}  // namespace trovix
