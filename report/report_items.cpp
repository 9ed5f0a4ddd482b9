// The details list takes the report one item per line, so the way the text is cut decides
// what the user sees of payloads that carry their own CR and LF bytes.
#include "report/report_items.h"

#include <string>

namespace trovix {
namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t k = 0; k < prefix.size(); ++k) {
    if (LowerAscii(text[k]) != LowerAscii(prefix[k])) return false;
  }
  return true;
}

// A selection request for an item that does not exist changes nothing.
void SetCurrentItem(int32_t& selected, int32_t item, size_t count) {
  if (item == -1) selected = -1;
  if (item >= 0 && static_cast<size_t>(item) < count) selected = item;
}

}  // namespace

std::vector<std::string> SplitReportItems(std::string_view text) {
  std::vector<std::string> items;
  size_t lastCr = text.rfind('\r');
  size_t pos = 0;
  while (true) {
    // Searching for CR first over the whole rest is what makes a lone LF count only
    // after the last CR.
    bool crAhead = lastCr != std::string_view::npos && lastCr >= pos;
    size_t end = text.find(crAhead ? '\r' : '\n', pos);
    if (end == std::string_view::npos) {
      items.emplace_back(text.substr(pos));
      return items;
    }
    items.emplace_back(text.substr(pos, end - pos));
    pos = end + 1;
    if (pos < text.size() && text[pos] == '\n') ++pos;
  }
}

int32_t FindItemWithPrefix(const std::vector<std::string>& items, std::string_view prefix) {
  for (size_t k = 0; k < items.size(); ++k) {
    if (StartsWithIgnoringCase(items[k], prefix)) return static_cast<int32_t>(k);
  }
  return -1;
}

ItemSelection SelectTitleItem(const std::vector<std::string>& items, int32_t packetIndex) {
  std::string prefix = "packet" + std::to_string(packetIndex);
  int32_t r = FindItemWithPrefix(items, prefix);
  ItemSelection selection{-1, -1};
  SetCurrentItem(selection.selected, r + 7, items.size());
  if (selection.selected == r + 7) selection.scrollTo = r + 7;
  SetCurrentItem(selection.selected, r, items.size());
  return selection;
}

}  // namespace trovix
