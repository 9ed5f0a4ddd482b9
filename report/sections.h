// The protocol sections of the packet report. Each builder gets the bytes from its header
// to the end of the datagram, appends the lines that follow its title, and returns true
// when a field the packet itself announces was not received (the caller then says so).
#pragma once

#include <string>

#include "capture/byte_reader.h"
#include "report/packet_report.h"

namespace trovix {

bool AppendTcpFields(std::string& out, ByteReader segment, const ReportViews& views);
bool AppendUdpFields(std::string& out, ByteReader datagram, const ReportViews& views);
bool AppendIcmpFields(std::string& out, ByteReader message, const ReportViews& views);
bool AppendIgmpFields(std::string& out, ByteReader message, const ReportViews& views);
bool AppendIcmpv6Fields(std::string& out, ByteReader message, const ReportViews& views);

// Where the IPv6 section's walk ended.
struct Ipv6Walk {
  bool complete = false;        // false: the fixed header or an extension header was cut
  size_t upperAt = 0;           // offset of the upper-layer header, once complete
  uint16_t fragmentOffset = 0;  // in bytes; not 0 for a fragment other than the first
};

// The IPv6 header's lines and one line per extension header walked. Unlike the other
// builders it does not say that the packet is truncated; the caller does, when the walk
// is not complete.
Ipv6Walk AppendIpv6Fields(std::string& out, ByteReader datagram);

}  // namespace trovix
