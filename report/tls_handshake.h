// TLS handshake messages that come without a record around them, as QUIC carries them in
// its CRYPTO frames: the same reader and the same lines as the TLS section's.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "capture/byte_reader.h"

namespace trovix {

// The lines of each handshake message in `data`, as the TLS section prints a record's.
// Marks `data` truncated when the last message goes on past its end.
void AppendTlsHandshakes(std::string& out, ByteReader& data);

// Where a connection goes, as a ClientHello names it; the names escaped as the report
// prints them.
struct ClientHelloNames {
  std::string serverName;          // the first host_name; empty when there is none
  std::vector<std::string> alpn;   // in the client's order
};

// The names of the ClientHello that `handshakes` begins with; nothing when it begins with
// another message or its extensions were not all received.
std::optional<ClientHelloNames> ReadClientHelloNames(ByteReader handshakes);

}  // namespace trovix
