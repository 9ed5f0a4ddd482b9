// IGMP section of the packet report (RFC 1112 message layout: version and type nibbles,
// checksum, group address).
#include "report/report_text.h"
#include "report/sections.h"

namespace trovix {

bool AppendIgmpFields(std::string& out, ByteReader message, const ReportViews&) {
  if (auto first = ReadU8(message, 0)) {
    AppendNumberLine(out, "version = ", *first >> 4);
    AppendNumberLine(out, "type = ", *first & 0x0F);
  }
  if (auto checksum = ReadBe16(message, 2)) AppendNumberLine(out, "cheksum = ", *checksum);
  if (auto group = ReadBe32(message, 4)) {
    out += "group adddress = ";
    AppendIpv4(out, *group);
    out += kLineEnd;
  }
  return message.truncated();
}

}  // namespace trovix
