// The local stream socket (AF_UNIX) through which a second start reaches the running
// window: listening, connecting, the peer's user, and descriptors passed with SCM_RIGHTS.
// Every descriptor is close-on-exec and non-blocking; none outlives its owner.
#pragma once

#include <string>

namespace trovix {

// One descriptor, closed by its destructor.
class OwnedFd {
 public:
  OwnedFd() = default;
  explicit OwnedFd(int fd) : fd_(fd) {}
  ~OwnedFd() { Reset(); }
  OwnedFd(OwnedFd&& other) noexcept : fd_(other.Release()) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept;
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A socket listening at `path`, which must not exist; readable only by its owner. On
// failure it holds nothing and `error` is an errno value.
OwnedFd ListenAt(const std::string& path, int& error);

// A connection to whoever listens at `path`; ECONNREFUSED or ENOENT in `error` when nobody
// does, EAGAIN when the listener's queue is full.
OwnedFd ConnectTo(const std::string& path, int& error);

// Whether the process at the other end runs as this process's user.
bool PeerIsOwnUser(int socket);

// One byte with `fd` attached.
bool SendDescriptor(int socket, int fd);

// What one recvmsg gave: bytes (0 at the end of the stream, -1 with errno for none yet or a
// failure) and the descriptor that came with them. Only a message of exactly one descriptor
// gives one: those of any other, and of a control message cut short (MSG_CTRUNC), are
// closed here, since a start of ours sends one.
struct Received {
  long bytes = -1;
  OwnedFd fd;
};
Received ReceiveSome(int socket, char* buffer, unsigned long size);

}  // namespace trovix
