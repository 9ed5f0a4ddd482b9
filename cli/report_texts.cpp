// The report is built twice: as it is, and with its payload's character view in printable
// bytes, which lines up with the first byte for byte; in the second every CR LF is a line
// end of the report's own.
#include "cli/report_texts.h"

#include "report/packet_report.h"

namespace trovix::cli {
namespace {

// The views a first start of the window shows a payload in.
constexpr ReportViews kReportViews{false, true, false};

bool Printable(unsigned char c) { return c >= 0x20 && c < 0x7f; }

}  // namespace

void BuildReportTexts(int64_t index, uint8_t protocol, const uint8_t* datagram, size_t length, std::string* shown,
                      std::string* exact) {
  std::string report = BuildDatagramReport(index, protocol, datagram, length, kReportViews);
  ReportViews printable = kReportViews;
  printable.printableOnly = true;
  std::string lines = BuildDatagramReport(index, protocol, datagram, length, printable);
  // Only a payload's bytes differ, and they change one for one; an odd byte of any other
  // text still shows as '.'.
  if (lines.size() != report.size()) lines = report;
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
