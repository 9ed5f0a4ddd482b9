// The one owner of a file descriptor: move-only, closed by its destructor, so that no
// path of the code closes one by hand and none is closed twice.
#pragma once

#include <unistd.h>

#include <utility>

namespace trovix {

class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  ~Descriptor() { Reset(); }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Hands the descriptor to an owner outside this type (a stdio stream, say).
  int Release() noexcept { return std::exchange(fd_, -1); }
  void Reset() noexcept {
    if (fd_ >= 0) (void)close(std::exchange(fd_, -1));
  }

 private:
  int fd_ = -1;
};

// A pipe's two ends (pipe2 with `flags`); 0 or an errno value.
int MakePipe(Descriptor& readEnd, Descriptor& writeEnd, int flags) noexcept;
// A connected pair of sockets (socketpair); 0 or an errno value.
int MakeSocketPair(int type, Descriptor& first, Descriptor& second) noexcept;

}  // namespace trovix
