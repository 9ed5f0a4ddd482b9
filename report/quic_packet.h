// QUIC packets as the report reads them (RFC 9000 section 17, RFC 8999 for what every
// version keeps, RFC 9369 for version 2): the long header, the protection of a client's
// Initial removed with the keys its destination connection id gives (RFC 9001 section 5),
// and the frames of what was decrypted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "capture/byte_reader.h"

namespace trovix {

inline constexpr uint32_t kQuicVersion1 = 0x00000001;
inline constexpr uint32_t kQuicVersion2 = 0x6b3343cf;

// Whether the version's packet types and fields are the ones of RFC 9000 (version 1, 2
// and the drafts); of any other version only the connection ids can be read.
bool KnownQuicVersion(uint32_t version);

// A variable-length integer (RFC 9000 section 16) at `at`, and where it ends; nothing,
// with the reader marked, when it was not all received.
std::optional<uint64_t> ReadQuicVarint(ByteReader& r, size_t at, size_t& next);

enum class QuicPacketType : uint8_t { kInitial, kZeroRtt, kHandshake, kRetry, kVersionNegotiation, kUnknown };

// How far a long header was read: each stage's fields are valid once it is reached.
enum class QuicHeaderStage : uint8_t { kNone, kVersion, kDestination, kSource, kToken, kLength };
enum class QuicHeaderFault : uint8_t { kNone, kCut, kConnectionIdLength };

struct QuicLongHeader {
  size_t at = 0;  // of its first byte
  QuicHeaderStage stage = QuicHeaderStage::kNone;
  QuicHeaderFault fault = QuicHeaderFault::kNone;
  uint8_t first = 0;
  uint32_t version = 0;
  QuicPacketType type = QuicPacketType::kUnknown;
  size_t destinationAt = 0, destinationLength = 0;
  size_t sourceAt = 0, sourceLength = 0;
  uint64_t tokenLength = 0;  // Initial
  uint64_t length = 0;       // Initial, 0-RTT, Handshake: the packet number and the payload
  size_t numberAt = 0;       // where the protected packet number begins
  size_t end = 0;            // where the next coalesced packet begins; when the header is
                             // complete, at most the datagram's end
  uint8_t badConnectionIdLength = 0;  // with kConnectionIdLength
};

// The long-header packet at `at` of a datagram (its first byte has the form bit set).
// Version Negotiation, Retry and packets of an unknown version take the rest of the
// datagram. A Length past the datagram's end is a cut packet: stage kLength, `end` the
// datagram's end, and the reader marked.
QuicLongHeader ReadQuicLongHeader(ByteReader& datagram, size_t at);

enum class QuicOpenOutcome : uint8_t { kDecrypted, kNoKeys, kTooShort, kAuthenticationFailed };

struct QuicOpened {
  QuicOpenOutcome outcome = QuicOpenOutcome::kNoKeys;
  uint64_t packetNumber = 0;
  std::vector<uint8_t> plain;  // the frames
};

// Removes header and packet protection from a client Initial whose header `h` was read
// whole from `datagram` (stage kLength, not cut).
QuicOpened OpenQuicClientInitial(ByteReader& datagram, const QuicLongHeader& h);

// One frame of a decrypted payload. PADDING bytes in a row are one frame.
enum class QuicFrameType : uint8_t { kPadding, kPing, kAck, kCrypto };
struct QuicFrame {
  QuicFrameType type;
  uint64_t first = 0;   // PADDING: its bytes; ACK: largest acknowledged; CRYPTO: offset
  uint64_t second = 0;  // ACK: delay; CRYPTO: length
  uint64_t ranges = 0;  // ACK: the ranges after the first
  size_t dataAt = 0;    // CRYPTO: where its data begins in the payload
};

// How a walk of the frames ended: every byte read, at a frame type it does not read, or
// at a frame whose fields lie past the payload's end.
enum class QuicFramesEnd : uint8_t { kAll, kOtherType, kCut };

// Calls show(frame) for each frame from the payload's start until one it does not read.
template <typename Show>
QuicFramesEnd WalkQuicFrames(ByteReader& plain, Show&& show);

// The CRYPTO data of a payload in order of offset, as far as it runs on from the lowest
// offset a frame holds without a gap.
struct QuicCryptoData {
  bool any = false;
  uint64_t offset = 0;  // of the first byte
  std::vector<uint8_t> bytes;
};
QuicCryptoData GatherQuicCrypto(ByteReader& plain);

// --- implementation of the template ---

QuicFramesEnd ReadQuicFrame(ByteReader& plain, size_t at, QuicFrame& frame, size_t& next);

template <typename Show>
QuicFramesEnd WalkQuicFrames(ByteReader& plain, Show&& show) {
  size_t at = 0;
  while (at < plain.size()) {
    QuicFrame frame{QuicFrameType::kPadding};
    size_t next = at;
    QuicFramesEnd end = ReadQuicFrame(plain, at, frame, next);
    if (end != QuicFramesEnd::kAll) return end;
    show(frame);
    at = next;
  }
  return QuicFramesEnd::kAll;
}

}  // namespace trovix
