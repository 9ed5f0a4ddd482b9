// The payload is the last "data length" bytes of the datagram. Its views are written again
// by the report's own writers from a copy whose unprintable bytes are '.', which lines up
// byte for byte with the real views: there, every CR LF is a line end of the report's.
#include "cli/report_texts.h"

#include <string_view>
#include <vector>

#include "report/packet_report.h"
#include "report/payload_views.h"

namespace trovix::cli {
namespace {

// The views a first start of the window shows a payload in.
constexpr ReportViews kReportViews{false, true, false};
constexpr std::string_view kLengthLine = "\r\ndata length = ";

bool Printable(unsigned char c) { return c >= 0x20 && c < 0x7f; }

// Zero bytes stay: the views skip them or end at them.
std::vector<uint8_t> PrintableCopy(const uint8_t* bytes, size_t size) {
  std::vector<uint8_t> copy(bytes, bytes + size);
  for (uint8_t& b : copy) {
    if (b != 0 && !Printable(b)) b = '.';
  }
  return copy;
}

// The character view the report chose, from the header line that follows the length line.
bool ViewAt(std::string_view rest, CharacterView& view) {
  struct Kind {
    std::string_view header;
    CharacterView view;
  };
  for (Kind k : {Kind{"data in ASCII view:\r\n", CharacterView::kAscii},
                 Kind{"data in a text view:\r\n", CharacterView::kText},
                 Kind{"data in HEX view:\r\n", CharacterView::kNone}}) {
    if (rest.substr(0, k.header.size()) == k.header) {
      view = k.view;
      return true;
    }
  }
  return false;
}

// `report` with its payload's character view made of printable bytes, the same length;
// false when the payload views are not where and as the report module writes them.
bool PrintableReport(const std::string& report, const uint8_t* datagram, size_t length, std::string& out) {
  size_t at = report.find(kLengthLine);
  if (at == std::string::npos) return false;
  at += 2;
  size_t digits = at + kLengthLine.size() - 2;
  size_t n = 0;
  for (; digits < report.size() && report[digits] >= '0' && report[digits] <= '9' && n <= length; ++digits) {
    n = n * 10 + static_cast<size_t>(report[digits] - '0');
  }
  CharacterView view;
  if (n == 0 || n > length || report.compare(digits, 2, "\r\n") != 0 ||
      !ViewAt(std::string_view(report).substr(digits + 2), view)) {
    return false;
  }
  ByteReader payload(datagram + length - n, n);
  std::vector<uint8_t> copy = PrintableCopy(datagram + length - n, n);
  for (bool hex : {true, false}) {
    std::string views;
    AppendPayload(views, payload, view, hex);
    if (report.compare(at, std::string::npos, views) != 0) continue;
    out.assign(report, 0, at);
    AppendPayload(out, ByteReader(copy.data(), n), view, false);
    if (hex) AppendHexView(out, payload);
    return out.size() == report.size();
  }
  return false;
}

}  // namespace

void BuildReportTexts(int64_t index, uint8_t protocol, const uint8_t* datagram, size_t length, std::string* shown,
                      std::string* exact) {
  std::string report = BuildDatagramReport(index, protocol, datagram, length, kReportViews);
  // Without a payload found, every byte of the report's own text is known printable and
  // every CR LF is a line end of its; an odd byte still shows as '.'.
  std::string printable;
  const std::string& lines = PrintableReport(report, datagram, length, printable) ? printable : report;
  if (shown != nullptr) shown->clear();
  if (exact != nullptr) exact->clear();
  for (size_t i = 0; i < report.size(); ++i) {
    if (lines[i] == '\r' && i + 1 < report.size() && lines[i + 1] == '\n') {
      if (shown != nullptr) *shown += '\n';
      if (exact != nullptr) *exact += '\n';
      ++i;
      continue;
    }
    if (shown != nullptr) *shown += Printable(static_cast<unsigned char>(lines[i])) ? lines[i] : '.';
    if (exact != nullptr) *exact += report[i];
  }
}

}  // namespace trovix::cli
