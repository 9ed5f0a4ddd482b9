// The protocol sections of the packet report. Each builder gets the bytes from its header
// to the end of the datagram, appends the lines that follow its title, and returns true
// when a field the packet itself announces was not received (the caller then says so).
#pragma once

#include <string>

#include "capture/byte_reader.h"
#include "capture/ipv6_extensions.h"
#include "report/packet_report.h"

namespace trovix {

bool AppendTcpFields(std::string& out, ByteReader segment, const ReportViews& views);
bool AppendUdpFields(std::string& out, ByteReader datagram, const ReportViews& views);
bool AppendIcmpFields(std::string& out, ByteReader message, const ReportViews& views);
bool AppendIgmpFields(std::string& out, ByteReader message, const ReportViews& views);
bool AppendIcmpv6Fields(std::string& out, ByteReader message, const ReportViews& views);

// The IPv4 header's lines and one line per option; it follows the upper layer's section.
bool AppendIpv4Fields(std::string& out, ByteReader datagram);

// Sections of what TCP or UDP carries. Each gets the transport's payload; over TCP a
// message may go on in later segments, so "not received" is said as that rather than as
// a truncated packet.
bool AppendDnsFields(std::string& out, ByteReader payload, bool overTcp);
bool AppendMdnsFields(std::string& out, ByteReader payload, bool overTcp);
bool AppendTlsFields(std::string& out, ByteReader payload, bool overTcp);
bool AppendHttpFields(std::string& out, ByteReader payload, bool overTcp);
bool AppendDhcpFields(std::string& out, ByteReader payload, bool overTcp);
bool AppendDhcpv6Fields(std::string& out, ByteReader payload, bool overTcp);
bool AppendNtpFields(std::string& out, ByteReader payload, bool overTcp);
bool AppendQuicFields(std::string& out, ByteReader payload, bool overTcp);
// Whether a TCP payload begins as a TLS record or an HTTP/1.x message, whatever its port.
bool BeginsTlsRecord(ByteReader payload);
bool BeginsHttpMessage(ByteReader payload);
// Whether a UDP payload begins as a QUIC long-header packet of a version it knows.
bool BeginsQuicPacket(ByteReader payload);

// The word of the section that reads a TCP or UDP payload ("dns", "tls"...), chosen by
// its ports or first bytes; nullptr when none reads it.
const char* ApplicationWord(bool tcp, uint16_t source, uint16_t destination, ByteReader payload);

// The IPv6 header's lines and one line per extension header walked, and where the walk
// ended (not complete when the fixed header was cut too). Unlike the other builders it
// does not say that the packet is truncated; the caller does, when the walk is not
// complete.
Ipv6UpperLayer AppendIpv6Fields(std::string& out, ByteReader datagram);

}  // namespace trovix
