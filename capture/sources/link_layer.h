// The IP datagram inside a frame of a capture file, for the link types that carry it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trovix {

// The libpcap link type (DLT_) of a LINKTYPE_ number as capture files write it: they differ
// only for raw IP (LINKTYPE_RAW is 101) among the link types read here.
int LinkTypeOfFile(uint32_t fileLinkType);

// Whether frames of libpcap link type `linkType` are understood here.
bool KnownLinkType(int linkType);

// Points `datagram`/`length` at the IPv4 or IPv6 datagram in `frame` (its `size` captured
// bytes). False for a frame that carries something else, is too short for its own header,
// or whose datagram is not the IP version its link header names (an IPv6 one must also
// hold its 40-byte header).
bool IpInFrame(int linkType, const uint8_t* frame, size_t size, const uint8_t*& datagram, size_t& length);

}  // namespace trovix
