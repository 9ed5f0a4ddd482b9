// Appending to and reading from the packet store and the sniff log.
#pragma once

#include <atomic>
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

struct DatagramFields;

// The filter half of the accept path: cuts `length` to kMaxDatagramLength and to the
// length the IP header gives (link-layer padding), reads the fields, and applies the protocol
// switches and the endpoint filters. True when the datagram is to be kept.
bool ScreenDatagram(const CaptureSettings& state, const uint8_t* datagram, size_t& length,
                    DatagramFields& fields) noexcept;

// The whole accept path for one received datagram: ScreenDatagram, then AppendPacket.
// Only the capture thread calls it during a capture. `receiveTime` is in nanoseconds
// since 1970.
AcceptResult AcceptDatagram(CaptureState& state, const uint8_t* datagram, size_t length,
                            int64_t receiveTime = 0, uint8_t source = 0) noexcept;

// The append steps for a datagram that is to be kept, with no filter: protocol entry,
// length entry, receive time, bytes, byte total; then, when `log` and `fields` are both
// given, the packet line and CR LF at the end of the log; last the new packet count is
// published. kNoRoom (and nothing written) when the tables or the byte area are full.
AcceptResult AppendPacket(PacketStore& store, uint8_t protocol, const uint8_t* datagram, size_t length,
                          SniffLog* log = nullptr, const DatagramFields* fields = nullptr,
                          int64_t receiveTime = 0, uint8_t source = 0) noexcept;

// Empties the store's used part for a new capture (see ResetStores).
void ResetPacketStore(PacketStore& store) noexcept;

// Empties the stores and gives the next capture the larger store (up to kMaxPacketsMore
// datagrams or kByteAreaSizeMore bytes, its memory committed as it fills) or the fixed
// one. False when the larger store was asked for but its address space could not be
// reserved: the fixed store is then used. Only while no capture runs.
bool UseLargerStore(CaptureState& state, bool larger);

// Packet count for a reader on another thread: every packet below it is whole.
inline uint32_t PublishedPacketCount(const PacketStore& store) noexcept {
  return store.packetCount.load(std::memory_order_acquire);
}

struct StoredPacket {
  const uint8_t* bytes;
  int32_t offset;
  int32_t length;
  uint8_t protocol;
  int64_t receiveTime;
  uint8_t source;
};

// Packet `index` of the current capture, found at once through the offset table. False
// for an index at or past the published count, or for table entries that do not describe
// bytes stored by then (a negative offset or length, or one that reaches past them).
bool LocatePacket(const PacketStore& store, int32_t index, StoredPacket& out) noexcept;

// Packet `index`'s owner entry (program_table.h: kOwnerPending until the program sampler
// has matched it), for a reader on any thread; kOwnerPending past the published count.
inline uint32_t PacketOwner(const PacketStore& store, int32_t index) noexcept {
  if (index < 0 || static_cast<uint32_t>(index) >= PublishedPacketCount(store)) return 0;
  return std::atomic_ref<uint32_t>(store.owners.at[index]).load(std::memory_order_acquire);
}

// The sampler's write of packet `index`'s owner entry (only below the published count).
inline void SetPacketOwner(PacketStore& store, uint32_t index, uint32_t owner) noexcept {
  std::atomic_ref<uint32_t>(store.owners.at[index]).store(owner, std::memory_order_release);
}

// The sniff log text published so far (whole lines only).
inline size_t PublishedLogLength(const SniffLog& log) noexcept {
  return static_cast<size_t>(log.length.load(std::memory_order_acquire));
}

}  // namespace trovix
