// The wake-up descriptor through which a stop reaches a capture thread waiting in poll.
#pragma once

namespace trovix {

// An eventfd, closed by the destructor.
class WakeEvent {
 public:
  WakeEvent() = default;
  ~WakeEvent();
  WakeEvent(WakeEvent&& other) noexcept;
  WakeEvent& operator=(WakeEvent&& other) noexcept;
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;

  // Returns 0 or an errno value; on failure `event` holds nothing.
  static int Create(WakeEvent& event) noexcept;

  int fd() const noexcept { return fd_; }

  // Makes fd() readable. False when it could not (no descriptor, or the write failed).
  bool Signal() noexcept;

 private:
  int fd_ = -1;
};

}  // namespace trovix
