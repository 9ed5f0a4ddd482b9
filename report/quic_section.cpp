// QUIC section of the packet report (RFC 9000 section 17 and RFC 9369): each long-header
// packet of a datagram, its version, connection ids and type; a client's Initial with its
// protection removed (RFC 9001 section 5), its frames and the ClientHello its CRYPTO data
// begins, read as the TLS section reads one. A short-header packet names no length for its
// destination connection id, so nothing past its first byte can be read.
#include <string_view>

#include "report/quic_packet.h"
#include "report/report_text.h"
#include "report/sections.h"
#include "report/tls_handshake.h"

namespace trovix {
namespace {

constexpr uint8_t kLongForm = 0x80;
constexpr uint8_t kFixedBit = 0x40;
constexpr size_t kRetryTag = 16;

void AppendVersion(std::string& out, std::string_view label, uint32_t version) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out += label;
  out += "0x";
  for (int shift = 28; shift >= 0; shift -= 4) out += kDigits[(version >> shift) & 0xF];
  if (version == kQuicVersion1) {
    out += " (QUIC v1)";
  } else if (version == kQuicVersion2) {
    out += " (QUIC v2)";
  } else if (version == 0) {
    out += " (version negotiation)";
  } else if ((version & 0xFFFFFF00u) == 0xFF000000u) {
    AppendNumberLine(out, " (draft-", version & 0xFF, ")");
  } else if ((version & 0x0F0F0F0Fu) == 0x0A0A0A0Au) {
    // Versions of this pattern exist to keep peers honest about ones they do not know
    // (RFC 9000 section 15).
    out += " (reserved)";
  }
  out += kLineEnd;
}

void AppendConnectionId(std::string& out, std::string_view label, ByteReader& r, size_t at, size_t length) {
  out += label;
  if (length == 0) {
    out += "empty\r\n";
    return;
  }
  AppendHexBytes(out, r, at, length);
  AppendNumberLine(out, " (", static_cast<int64_t>(length), " bytes)\r\n");
}

const char* TypeName(QuicPacketType type) {
  switch (type) {
    case QuicPacketType::kInitial: return "Initial";
    case QuicPacketType::kZeroRtt: return "0-RTT";
    case QuicPacketType::kHandshake: return "Handshake";
    case QuicPacketType::kRetry: return "Retry";
    case QuicPacketType::kVersionNegotiation:
    case QuicPacketType::kUnknown: break;
  }
  return "not known for this version";
}

void AppendFrame(std::string& out, const QuicFrame& frame) {
  switch (frame.type) {
    case QuicFrameType::kPadding:
      AppendNumberLine(out, "frame = PADDING, length = ", static_cast<int64_t>(frame.first));
      return;
    case QuicFrameType::kPing:
      out += "frame = PING\r\n";
      return;
    case QuicFrameType::kAck:
      AppendNumberLine(out, "frame = ACK, largest acknowledged = ", static_cast<int64_t>(frame.first), "");
      AppendNumberLine(out, ", delay = ", static_cast<int64_t>(frame.second), "");
      AppendNumberLine(out, ", more ranges = ", static_cast<int64_t>(frame.ranges));
      return;
    case QuicFrameType::kCrypto:
      AppendNumberLine(out, "frame = CRYPTO, offset = ", static_cast<int64_t>(frame.first), "");
      AppendNumberLine(out, ", length = ", static_cast<int64_t>(frame.second));
      return;
  }
}

// The frames of a decrypted Initial, then the handshake messages its CRYPTO data holds
// from offset 0 on.
void AppendInitialPayload(std::string& out, std::vector<uint8_t>& payload) {
  ByteReader plain(payload.data(), payload.size());
  if (WalkQuicFrames(plain, [&](const QuicFrame& frame) { AppendFrame(out, frame); }) == QuicFramesEnd::kCut)
    out += "invalid frame\r\n";
  ByteReader again(payload.data(), payload.size());
  QuicCryptoData crypto = GatherQuicCrypto(again);
  if (!crypto.any) return;
  if (crypto.offset != 0) {
    AppendNumberLine(out, "handshake data from offset = ", static_cast<int64_t>(crypto.offset),
                     ", its start in an earlier packet\r\n");
    return;
  }
  ByteReader handshakes(crypto.bytes.data(), crypto.bytes.size());
  AppendTlsHandshakes(out, handshakes);
  if (handshakes.truncated()) out += "the rest is in a later packet\r\n";
}

void AppendInitialProtection(std::string& out, ByteReader& datagram, const QuicLongHeader& h) {
  QuicOpened opened = OpenQuicClientInitial(datagram, h);
  switch (opened.outcome) {
    case QuicOpenOutcome::kDecrypted:
      AppendNumberLine(out, "packet number = ", static_cast<int64_t>(opened.packetNumber));
      out += "decrypted\r\n";
      AppendInitialPayload(out, opened.plain);
      return;
    case QuicOpenOutcome::kNoKeys:
      out += "not decrypted: no initial keys for this version\r\n";
      return;
    case QuicOpenOutcome::kTooShort:
      out += "not decrypted: too short for a header protection sample\r\n";
      return;
    case QuicOpenOutcome::kAuthenticationFailed:
      out += "not decrypted: authentication failed\r\n";
      return;
  }
}

// The rest of a packet that runs to the datagram's end: the versions a server offers, or
// a Retry's token.
bool AppendToDatagramEnd(std::string& out, ByteReader& datagram, const QuicLongHeader& h) {
  size_t at = h.sourceAt + h.sourceLength;
  size_t rest = datagram.size() - at;
  if (h.type == QuicPacketType::kVersionNegotiation) {
    for (; rest >= 4; at += 4, rest -= 4) AppendVersion(out, "supported version = ", datagram.Be32(at));
    if (rest != 0) AppendNumberLine(out, "invalid version list, bytes left = ", static_cast<int64_t>(rest));
    return false;
  }
  if (h.type == QuicPacketType::kRetry) {
    if (!datagram.Need(at, kRetryTag)) return true;
    AppendNumberLine(out, "retry token length = ", static_cast<int64_t>(rest - kRetryTag));
  }
  return false;
}

// One long-header packet's lines; true when it was cut short.
bool AppendLongHeader(std::string& out, ByteReader& datagram, const QuicLongHeader& h) {
  out += "header form = long header\r\n";
  if (h.stage >= QuicHeaderStage::kVersion) AppendVersion(out, "version = ", h.version);
  if (h.stage >= QuicHeaderStage::kDestination)
    AppendConnectionId(out, "destination connection id = ", datagram, h.destinationAt, h.destinationLength);
  if (h.stage >= QuicHeaderStage::kSource) {
    AppendConnectionId(out, "source connection id = ", datagram, h.sourceAt, h.sourceLength);
    if (h.type == QuicPacketType::kVersionNegotiation) {
      out += "packet type = Version Negotiation\r\n";
    } else {
      AppendNumberLine(out, "packet type = ", (h.first >> 4) & 3, " (");
      out += TypeName(h.type);
      out += ")\r\n";
    }
  }
  if (h.fault == QuicHeaderFault::kConnectionIdLength) {
    AppendNumberLine(out, "invalid connection id length = ", h.badConnectionIdLength);
    return false;
  }
  if (h.type == QuicPacketType::kInitial && h.stage >= QuicHeaderStage::kToken) AppendNumberLine(out, "token length = ", static_cast<int64_t>(h.tokenLength));
  if (h.stage >= QuicHeaderStage::kLength) AppendNumberLine(out, "length = ", static_cast<int64_t>(h.length));
  if (h.fault == QuicHeaderFault::kCut) return true;
  if (h.stage == QuicHeaderStage::kSource) return AppendToDatagramEnd(out, datagram, h);
  if (h.type == QuicPacketType::kInitial) AppendInitialProtection(out, datagram, h);
  return false;
}

}  // namespace

bool BeginsQuicPacket(ByteReader payload) {
  if (!payload.Has(0, 5)) return false;
  uint8_t first = payload.U8(0);
  uint32_t version = payload.Be32(1);
  return (first & (kLongForm | kFixedBit)) == (kLongForm | kFixedBit) && version != 0 && KnownQuicVersion(version);
}

bool AppendQuicFields(std::string& out, ByteReader payload, bool) {
  size_t at = 0;
  for (bool firstPacket = true; at < payload.size(); firstPacket = false) {
    uint8_t first = payload.U8(at);
    // What follows the last packet without a fixed bit is padding some senders add.
    if (!firstPacket && (first & kFixedBit) == 0) {
      AppendNumberLine(out, "bytes after the packets = ", static_cast<int64_t>(payload.size() - at));
      return false;
    }
    if (!firstPacket) AppendNumberLine(out, "coalesced packet at offset = ", static_cast<int64_t>(at));
    if ((first & kLongForm) == 0) {
      out += "header form = short header\r\ndestination connection id = not known from this packet\r\n";
      return false;
    }
    QuicLongHeader h = ReadQuicLongHeader(payload, at);
    if (AppendLongHeader(out, payload, h)) return true;
    if (h.fault != QuicHeaderFault::kNone || h.end <= at) return false;
    at = h.end;
  }
  return false;
}

}  // namespace trovix
