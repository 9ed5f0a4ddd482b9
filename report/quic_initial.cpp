#include "report/quic_initial.h"

#include <utility>

#include "report/quic_packet.h"
#include "report/tls_handshake.h"

namespace trovix {

std::optional<QuicInitialSummary> ReadQuicClientInitial(ByteReader udpPayload) {
  QuicLongHeader h = ReadQuicLongHeader(udpPayload, 0);
  if (h.type != QuicPacketType::kInitial || h.fault != QuicHeaderFault::kNone) return std::nullopt;
  QuicOpened opened = OpenQuicClientInitial(udpPayload, h);
  if (opened.outcome != QuicOpenOutcome::kDecrypted) return std::nullopt;
  ByteReader plain(opened.plain.data(), opened.plain.size());
  QuicCryptoData crypto = GatherQuicCrypto(plain);
  if (!crypto.any || crypto.offset != 0) return std::nullopt;
  auto names = ReadClientHelloNames(ByteReader(crypto.bytes.data(), crypto.bytes.size()));
  if (!names) return std::nullopt;
  QuicInitialSummary summary;
  summary.version = h.version;
  const uint8_t* id = udpPayload.data() + h.destinationAt;
  summary.destinationConnectionId.assign(id, id + h.destinationLength);
  summary.serverName = std::move(names->serverName);
  summary.alpn = std::move(names->alpn);
  return summary;
}

}  // namespace trovix
