// TCP section of the packet report (RFC 9293 header; MSS option of RFC 879).
#include "report/name_tables.h"
#include "report/payload_views.h"
#include "report/report_text.h"
#include "report/sections.h"

namespace trovix {
namespace {

constexpr size_t kMinHeader = 20;
constexpr uint8_t kMssOption = 2;

// The order of the lines is the report's own, not the header's.
void AppendHeaderLines(std::string& out, ByteReader& s) {
  if (auto v = ReadBe16(s, 0)) AppendNumberLine(out, "sourse port = ", *v);
  if (auto v = ReadBe16(s, 2)) AppendNumberLine(out, "destination port = ", *v);
  if (auto v = ReadBe16(s, 16)) AppendNumberLine(out, "checksum = ", *v);
  // Unsigned 32-bit on the wire: printed signed, half of all segments would look negative.
  if (auto v = ReadBe32(s, 8)) AppendNumberLine(out, "acknowledgement number = ", *v);
  if (auto v = ReadBe32(s, 4)) AppendNumberLine(out, "sequence number = ", *v);
  if (auto v = ReadBe16(s, 14)) AppendNumberLine(out, "window size = ", *v);
  if (auto flags = ReadU8(s, 13)) out += TcpFlagBlock(*flags);
}

// Only the first option is looked at, and its length byte is not trusted either way.
void AppendMss(std::string& out, ByteReader& s, size_t headerLength) {
  if (headerLength <= kMinHeader) return;
  auto kind = ReadU8(s, 20);
  if (!kind || *kind != kMssOption) return;
  if (auto mss = ReadBe16(s, 22)) AppendNumberLine(out, "MSS = ", *mss);
}

CharacterView TcpCharacterView(const ReportViews& views) {
  if (views.TcpDataInAsciiView) return CharacterView::kAscii;
  if (views.TcpDataInTextView) return CharacterView::kText;
  return CharacterView::kNone;
}

}  // namespace

bool AppendTcpFields(std::string& out, ByteReader segment, const ReportViews& views) {
  AppendHeaderLines(out, segment);
  auto dataOffset = ReadU8(segment, 12);
  if (!dataOffset) return true;
  size_t headerLength = static_cast<size_t>(*dataOffset >> 4) * 4;
  if (headerLength < kMinHeader) {
    // The payload would start inside the fixed header: show none rather than header bytes.
    AppendNumberLine(out, "invalid TCP header length = ", static_cast<int64_t>(headerLength));
    return segment.truncated();
  }
  AppendMss(out, segment, headerLength);
  // Options announced but not received: the payload length would be negative.
  if (!segment.Has(0, headerLength)) return true;
  AppendPayload(out, Tail(segment, headerLength), TcpCharacterView(views),
                views.DataInHexViewTcpAndUdp, views.printableOnly);
  return false;
}

}  // namespace trovix
