#include "capture/platform/wake_event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace trovix {

WakeEvent::~WakeEvent() {
  if (fd_ >= 0) close(fd_);
}

WakeEvent::WakeEvent(WakeEvent&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

WakeEvent& WakeEvent::operator=(WakeEvent&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

int WakeEvent::Create(WakeEvent& event) noexcept {
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return errno;
  WakeEvent created;
  created.fd_ = fd;
  event = std::move(created);
  return 0;
}

bool WakeEvent::Signal() noexcept {
  if (fd_ < 0) return false;
  uint64_t one = 1;
  for (;;) {
    if (write(fd_, &one, sizeof one) == static_cast<ssize_t>(sizeof one)) return true;
    // A full counter refuses the write, but then the descriptor is readable already.
    if (errno == EAGAIN) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace trovix
