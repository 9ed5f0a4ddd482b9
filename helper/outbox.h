// The messages the helper has for its client that the client has not taken yet. While the
// client is busy (the window storing a flood, its list being laid out) the helper goes on
// draining its ring into these, as a capture that writes a file goes on while the disk
// takes the bytes; only when every one is full does it wait for the client, and only
// then does the ring fill. Waiting on the socket pair alone, which holds two batches, the
// helper stopped draining whenever the client was two batches behind.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/helper_protocol.h"

namespace trovix::helper {

class Outbox {
 public:
  // 32 MiB of batches, twice the largest ring, in memory of the helper's own that is
  // touched only as messages wait (the first slot is used again whenever none waits).
  static constexpr size_t kSlots = 256;

  explicit Outbox(int fd) noexcept : fd_(fd) {}

  // The slot to build the next message in (kMaxBatchSize bytes), waiting for the client
  // when every slot holds a message; nullptr when the client went away. Until it is
  // posted, no other message may be posted.
  uint8_t* Slot() noexcept;
  // The message of `size` bytes built in the slot Slot() gave is done: sent now if the
  // client takes it, else kept, in order. False when the client went away.
  bool Post(size_t size) noexcept;
  // A message of up to two parts, copied into a slot and posted.
  bool Post(const void* data, size_t size, const void* more = nullptr, size_t moreSize = 0) noexcept;
  // Sends what the client takes now without waiting (false when it went away).
  bool SendWaiting() noexcept { return Send(false, 0); }
  // Sends every message kept, waiting for the client as long as it takes.
  bool SendAll() noexcept { return Send(true, 0); }
  // Forgets the messages kept: after a stop, the client takes no more datagrams.
  void Clear() noexcept { count_ = 0; }
  bool empty() const noexcept { return count_ == 0; }

 private:
  // Sends the oldest messages until at most `kept` are left, or (not waiting) until the
  // client takes no more for now.
  bool Send(bool wait, size_t kept) noexcept;

  int fd_;
  size_t head_ = 0;   // the oldest message kept
  size_t count_ = 0;  // how many are kept
  size_t sizes_[kSlots] = {};
};

}  // namespace trovix::helper
