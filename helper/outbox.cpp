#include "helper/outbox.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace trovix::helper {
namespace {

// Static storage: its pages cost nothing until a message is built in them.
alignas(8) uint8_t slots[Outbox::kSlots][kMaxBatchSize];

}  // namespace

uint8_t* Outbox::Slot() noexcept {
  if (count_ == kSlots && !Send(true, kSlots - 1)) return nullptr;
  if (count_ == 0) head_ = 0;  // the slot in use, while the client keeps up
  return slots[(head_ + count_) % kSlots];
}

bool Outbox::Post(size_t size) noexcept {
  sizes_[(head_ + count_) % kSlots] = size;
  ++count_;
  return Send(false, 0);
}

bool Outbox::Post(const void* data, size_t size, const void* more, size_t moreSize) noexcept {
  uint8_t* slot = Slot();
  if (slot == nullptr || size + moreSize > kMaxBatchSize) return false;
  std::memcpy(slot, data, size);
  if (moreSize != 0) std::memcpy(slot + size, more, moreSize);
  return Post(size + moreSize);
}

bool Outbox::Send(bool wait, size_t kept) noexcept {
  while (count_ > kept) {
    // Sent whole or not at all: the pair keeps message boundaries.
    ssize_t n = send(fd_, slots[head_], sizes_[head_], MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && !wait) return true;
    if (n != static_cast<ssize_t>(sizes_[head_])) return false;  // the client went away
    head_ = (head_ + 1) % kSlots;
    --count_;
  }
  return true;
}

}  // namespace trovix::helper
