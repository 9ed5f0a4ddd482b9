// Cutting report text into list items, and which item ends up selected.
#include <gtest/gtest.h>

#include "report/report_items.h"
#include "tests/report_test_support.h"

namespace trovix::test {
namespace {

using Items = std::vector<std::string>;

TEST(SplitReportItems, CarriageReturnsRuleUntilTheLastOne) {
  const std::pair<std::string, Items> cases[] = {
      {"", {""}},
      {"a\r\nb\r\n", {"a", "b", ""}},
      {"a\rb", {"a", "b"}},                   // a lone CR ends an item
      {"a\r\rb", {"a", "", "b"}},             // two CRs give an empty item
      {"a\nb\rc", {"a\nb", "c"}},             // a LF before a later CR stays in the item
      {"a\rb\nc\n", {"a", "b", "c", ""}},     // after the last CR, LFs end items
      {"a\r\n\nb", {"a", "", "b"}},           // CR LF is one separator; the next LF another
      {"a\r\nb\n\nc", {"a", "b", "c"}},       // two LFs after the last CR: one separator
      {"a\r\nb\n\n\nc", {"a", "b", "", "c"}},
      {"\n\r\n", {"\n", ""}},
  };
  for (const auto& [text, items] : cases) {
    EXPECT_EQ(SplitReportItems(text), items) << testing::PrintToString(text);
  }
}

// A text protocol's own CR LF line ends make one item per line of the payload.
TEST(SplitReportItems, TextViewPayloadLinesBecomeItems) {
  TestStore s;
  s.Add(6, Datagram(Concat({0, 80, 0, 81, 0, 0, 0, 1, 0, 0, 0, 2, 0x50, 0x18, 0, 1, 0, 2, 0, 0},
                           {'G', 'E', 'T', ' ', '/', '\r', '\n', 'H', ':', 'x', '\r', '\n'})));
  Items items = SplitReportItems(s.Report(0, {false, true, false}));
  Items tail(items.end() - 6, items.end());
  EXPECT_EQ(tail, (Items{"data length = 12", "data in a text view:", "GET /", "H:x", "", ""}));
}

TEST(SelectTitleItem, TitleEndsUpSelectedAfterScrollingSevenBelowIt) {
  Items longReport = {"packets source:", "", "packet12 tcp", "a", "b", "c", "d", "e", "f", "g", ""};
  EXPECT_EQ(SelectTitleItem(longReport, 12).selected, 2);
  EXPECT_EQ(SelectTitleItem(longReport, 12).scrollTo, 9);
  // Too short for item r + 7: only the title request takes effect.
  Items raw = {"packets source:", "", "packet7 raw", ""};
  EXPECT_EQ(SelectTitleItem(raw, 7).selected, 2);
  EXPECT_EQ(SelectTitleItem(raw, 7).scrollTo, -1);
  // The search is a prefix search that ignores case and takes the first match.
  Items odd = {"x", "PACKET1 udp ", "packet1 tcp"};
  EXPECT_EQ(SelectTitleItem(odd, 1).selected, 1);
  // Not found: the first request selects item 6, the second (-1) clears it.
  EXPECT_EQ(SelectTitleItem(longReport, 4).selected, -1);
  EXPECT_EQ(SelectTitleItem(longReport, 4).scrollTo, 6);
}

}  // namespace
}  // namespace trovix::test
