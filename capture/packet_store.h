// Appending to and reading from the packet store and the sniff log.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/capture_state.h"

namespace trovix {

enum class AcceptResult {
  kDropped,     // short, filtered out, or a protocol that is never stored
  kStored,
  kStoredLast,  // stored, and it was the last the store takes: the capture must end
  kNoRoom,      // would not fit in the rest of the byte area: not stored, the capture must end
};

// The whole accept path for one received datagram: filters, store, line, log, then
// publication of the new packet count. Only the capture thread calls it during a capture.
AcceptResult AcceptDatagram(CaptureState& state, const uint8_t* datagram, size_t length) noexcept;

// Packet count for a reader on another thread: every packet below it is whole.
inline uint32_t PublishedPacketCount(const PacketStore& store) noexcept {
  return store.packetCount.load(std::memory_order_acquire);
}

struct StoredPacket {
  const uint8_t* bytes;
  int32_t offset;
  int32_t length;
  uint8_t protocol;
};

// Packet `index` of the current capture. False for an index at or past the published
// count, or for tables that do not describe bytes inside the byte area.
bool LocatePacket(const PacketStore& store, int32_t index, StoredPacket& out) noexcept;

// The sniff log text published so far (whole lines only).
inline size_t PublishedLogLength(const SniffLog& log) noexcept {
  return static_cast<size_t>(log.length.load(std::memory_order_acquire));
}

}  // namespace trovix
