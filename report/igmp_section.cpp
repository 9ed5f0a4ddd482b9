// IGMP section of the packet report (RFC 1112 message layout: version and type nibbles,
// checksum, group address), then the message named from its whole first byte (RFC 2236,
// RFC 3376), which the nibbles alone do not tell apart.
#include <array>

#include "report/group_records.h"
#include "report/report_text.h"
#include "report/sections.h"

namespace trovix {
namespace {

constexpr uint8_t kV3Report = 0x22;

struct IgmpMessage {
  uint8_t type;
  const char* name;
};

constexpr std::array<IgmpMessage, 5> kMessages = {{
    {0x11, "membership query"},
    {0x12, "v1 membership report"},
    {0x16, "v2 membership report"},
    {0x17, "leave group"},
    {kV3Report, "v3 membership report"},
}};

void AppendMessage(std::string& out, ByteReader& m, uint8_t type) {
  for (const IgmpMessage& message : kMessages) {
    if (message.type != type) continue;
    out += "message = ";
    out += message.name;
    out += kLineEnd;
  }
  if (type != kV3Report) return;
  auto records = ReadBe16(m, 6);
  if (!records) return;
  AppendNumberLine(out, "group records = ", *records);
  WalkGroupRecords(m, 8, *records, 4, [&](size_t at) {
    out += "record group = ";
    AppendIpv4(out, m.Ipv4(at));
    out += kLineEnd;
  });
}

}  // namespace

bool AppendIgmpFields(std::string& out, ByteReader message, const ReportViews&) {
  auto first = ReadU8(message, 0);
  if (first) {
    AppendNumberLine(out, "version = ", *first >> 4);
    AppendNumberLine(out, "type = ", *first & 0x0F);
  }
  if (auto checksum = ReadBe16(message, 2)) AppendNumberLine(out, "cheksum = ", *checksum);
  if (auto group = ReadBe32(message, 4)) {
    out += "group adddress = ";
    AppendIpv4(out, *group);
    out += kLineEnd;
  }
  if (first) AppendMessage(out, message, *first);
  return message.truncated();
}

}  // namespace trovix
