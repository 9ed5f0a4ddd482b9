// The stored datagrams as a pcap capture file, for the tools that read captures.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "capture/capture_state.h"

namespace trovix {

// A name that asks for a capture file: it ends in ".pcap", in any case.
bool IsPacketCaptureName(std::string_view path);

// The packets published so far as a whole pcap file, written through libpcap:
// nanosecond timestamps, link type raw IPv4, one record per datagram in capture order.
// False (and `out` empty) when libpcap could not make it.
bool PacketCaptureBytes(const CaptureState& state, std::vector<uint8_t>& out);

}  // namespace trovix
