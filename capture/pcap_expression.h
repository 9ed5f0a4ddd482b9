// A pcap filter expression (pcap-filter(7)) compiled by libpcap for datagrams that start at
// their IP header, and run over the store: the list's filter, and the program a capture
// sends to the helper beside its own.
#pragma once

#include <linux/filter.h>

#include <cstdint>
#include <string>
#include <vector>

#include "capture/capture_settings.h"
#include "capture/packet_store.h"

namespace trovix {

// `expression`'s program for frames of `linkType` (DLT_RAW for a capture, whose socket
// hands datagrams over from their IP header on, and for the store), optimised. False with
// libpcap's message when it refuses the expression. One compile runs at a time: libpcap's
// parser keeps global state.
bool CompileExpression(const std::string& expression, int linkType, std::vector<sock_filter>& program,
                       std::string& error);

// Whether the capture runs `program` beside its own (its length, what it reads): false
// with why not.
bool CaptureRuns(const std::vector<sock_filter>& program, std::string& error);

// The stored packets in [from, to) that `program` keeps (every one when it is empty) and,
// when `fields` is given, that pass its switches and endpoint filters too, appended to
// `kept` in order. Packets past the published count are not looked at.
void KeptPackets(const PacketStore& store, const std::vector<sock_filter>& program, const CaptureSettings* fields,
                 uint32_t from, uint32_t to, std::vector<int32_t>& kept);

}  // namespace trovix
