// The one-line info of a datagram, for the list's info column and trovix-cli's --info: the
// protocol's name in capitals first, then what matters of it ("DNS query A example.org",
// "TCP SYN ACK"). Pure and bounded: made from the stored bytes when a row is drawn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace trovix {

// Reads only the `length` bytes at `datagram`, which begins at its IP header. Empty when
// not even that header was received. No byte of the packet's own is a control character
// in it (each is escaped as the report escapes it).
std::string PacketInfoText(const uint8_t* datagram, size_t length);
// The same, appended to `out`.
void AppendPacketInfo(std::string& out, const uint8_t* datagram, size_t length);

}  // namespace trovix
