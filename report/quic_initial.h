// What a client's first QUIC packet says about where its connection goes: for the
// window's info column and for names learned from the capture.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/byte_reader.h"

namespace trovix {

struct QuicInitialSummary {
  uint32_t version = 0;
  std::vector<uint8_t> destinationConnectionId;
  std::string serverName;          // escaped as the report prints it; empty when not sent
  std::vector<std::string> alpn;
};

// The client Initial a UDP payload begins with, decrypted, and the ClientHello its CRYPTO
// data begins; nothing for any other payload. A ClientHello that goes on in a later packet
// gives what this one holds of it.
std::optional<QuicInitialSummary> ReadQuicClientInitial(ByteReader udpPayload);

}  // namespace trovix
