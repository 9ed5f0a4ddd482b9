// UDP section of the packet report (RFC 768). The payload length comes from the stored
// length, not from the UDP length field.
#include "report/payload_views.h"
#include "report/report_text.h"
#include "report/sections.h"

namespace trovix {

bool AppendUdpFields(std::string& out, ByteReader datagram, const ReportViews& views) {
  // The port lines end with a blank; the checksum line does not.
  if (auto v = ReadBe16(datagram, 0)) AppendNumberLine(out, "sourse port = ", *v, " \r\n");
  if (auto v = ReadBe16(datagram, 2)) AppendNumberLine(out, "destination port = ", *v, " \r\n");
  if (auto v = ReadBe16(datagram, 6)) AppendNumberLine(out, "checksum = ", *v);
  if (datagram.truncated()) return true;
  // UDP shows both views whatever the TCP view options say.
  AppendPayload(out, Tail(datagram, 8), CharacterView::kAscii, true, views.printableOnly);
  return false;
}

}  // namespace trovix
