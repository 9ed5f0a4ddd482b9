#include "settings/saved_bytes.h"

#include "capture/packet_store.h"

namespace trovix {

SavedBytes SniffLogBytes(const CaptureState& state) {
  return {state.sniffLog.text, PublishedLogLength(state.sniffLog)};
}

SavedBytes PacketsSourceBytes(const CaptureState& state) {
  // The byte total is written before the count is published, so it is summed from the
  // published lengths rather than read: it may already count a datagram still arriving.
  const PacketStore& store = state.store;
  uint32_t count = PublishedPacketCount(store);
  size_t total = 0;
  for (uint32_t k = 0; k < count && k < store.packetCapacity; ++k) {
    int32_t length = store.lengths[k];
    if (length < 0 || total + static_cast<size_t>(length) > static_cast<size_t>(store.byteCapacity)) break;
    total += static_cast<size_t>(length);
  }
  return {store.bytes, total};
}

}  // namespace trovix
