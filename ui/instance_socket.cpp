#include "ui/instance_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace trovix {
namespace {

// Room for a few descriptors, so that a message with more than one arrives whole and each
// of them is seen (and closed) rather than only the first.
constexpr size_t kDescriptorRoom = 4;
constexpr int kListenQueue = 16;

// A new socket, and the address of `path` in `address`; nothing when the path does not fit.
OwnedFd SocketFor(const std::string& path, sockaddr_un& address, int& error) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    error = ENAMETOOLONG;
    return {};
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  OwnedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  error = fd ? 0 : errno;
  return fd;
}

}  // namespace

OwnedFd& OwnedFd::operator=(OwnedFd&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

void OwnedFd::Reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

OwnedFd ListenAt(const std::string& path, int& error) {
  sockaddr_un address;
  OwnedFd fd = SocketFor(path, address, error);
  if (!fd) return fd;
  // The folder is private already; the socket file is made the owner's alone as well.
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      chmod(path.c_str(), 0600) != 0 || listen(fd.get(), kListenQueue) != 0) {
    error = errno;
    return {};
  }
  return fd;
}

OwnedFd ConnectTo(const std::string& path, int& error) {
  sockaddr_un address;
  OwnedFd fd = SocketFor(path, address, error);
  if (fd && connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = errno;
    fd.Reset();
  }
  return fd;
}

bool PeerIsOwnUser(int socket) {
  ucred peer{};
  socklen_t size = sizeof peer;
  return getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof peer && peer.uid == getuid();
}

bool SendDescriptor(int socket, int fd) {
  char byte = 0;
  iovec io{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr header{};
  header.msg_iov = &io;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&header);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
  return sendmsg(socket, &header, MSG_NOSIGNAL) == 1;
}

Received ReceiveSome(int socket, char* buffer, unsigned long size) {
  iovec io{buffer, size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kDescriptorRoom)];
  msghdr header{};
  header.msg_iov = &io;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = sizeof control;
  Received r;
  r.bytes = recvmsg(socket, &header, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
  if (r.bytes < 0) return r;
  OwnedFd arrived[kDescriptorRoom];
  size_t count = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    for (size_t at = CMSG_LEN(0); at + sizeof(int) <= c->cmsg_len && count < kDescriptorRoom; at += sizeof(int)) {
      int fd;
      std::memcpy(&fd, reinterpret_cast<const char*>(c) + at, sizeof fd);
      arrived[count++].Reset(fd);
    }
  }
  if (count == 1 && (header.msg_flags & MSG_CTRUNC) == 0) r.fd = std::move(arrived[0]);
  return r;  // the others close with `arrived`
}

}  // namespace trovix
