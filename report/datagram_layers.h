// Where a stored datagram's addresses, transport header and payload lie (RFC 791, RFC 8200),
// for the readers that take what matters from it rather than print it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/byte_reader.h"

namespace trovix {

struct DatagramLayers {
  bool ipv6 = false;
  uint8_t protocol = 0;
  // The addresses in wire order, 4 or 16 bytes each; null when the IP header was cut.
  const uint8_t* source = nullptr;
  const uint8_t* destination = nullptr;
  size_t addressLength = 0;
  bool laterFragment = false;      // holds the middle or end of another datagram's payload
  bool transportWhole = false;     // the upper layer's header was received whole
  ByteReader transport{nullptr, 0};  // from the upper layer's header on
  // TCP and UDP only, once transportWhole.
  uint16_t sourcePort = 0;
  uint16_t destinationPort = 0;
  uint8_t tcpFlags = 0;
  ByteReader payload{nullptr, 0};
};

// Reads only the `length` bytes at `bytes`.
DatagramLayers LocateLayers(const uint8_t* bytes, size_t length) noexcept;

}  // namespace trovix
