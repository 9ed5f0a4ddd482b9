#include "tests/netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace trovix::test {
namespace {

std::string g_problem = "the private network namespace was not set up";

bool WriteFile(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

bool BringLoopbackUp() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  close(fd);
  return ok;
}

}  // namespace

std::string EnterPrivateNetwork() {
  uid_t uid = geteuid();
  gid_t gid = getegid();
  if (unshare(CLONE_NEWNET) != 0) {
    // Without root, a user namespace of our own grants what a network namespace needs.
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
      return g_problem = std::string("cannot create a network namespace: ") + std::strerror(errno);
    }
    WriteFile("/proc/self/setgroups", "deny");
    if (!WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
      return g_problem = "cannot map the user into the new user namespace";
    }
  }
  if (!BringLoopbackUp()) return g_problem = "cannot bring up loopback in the new namespace";
  g_problem.clear();
  return g_problem;
}

const std::string& PrivateNetworkProblem() { return g_problem; }

bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

VethPeer::VethPeer() {
  Run("ip link del tvx0");
  int control[2];
  if (pipe2(control, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    // dup2 onto itself would keep close-on-exec, so clear it explicitly.
    if (control[0] == 3) fcntl(3, F_SETFD, 0);
    else dup2(control[0], 3);
    char exe[] = "/proc/self/exe";
    char flag[] = "--veth-peer";
    char* argv[] = {exe, flag, nullptr};
    execv(exe, argv);
    _exit(127);
  }
  close(control[0]);
  controlFd_ = control[1];
  if (pid_ < 0) return;
  // The peer has its own namespace once /proc/PID/ns/net differs from ours.
  std::string ours = "/proc/self/ns/net", theirs = "/proc/" + std::to_string(pid_) + "/ns/net";
  for (int i = 0; i < 500; ++i) {
    char a[64] = {}, b[64] = {};
    if (readlink(ours.c_str(), a, sizeof a - 1) > 0 && readlink(theirs.c_str(), b, sizeof b - 1) > 0 &&
        std::strcmp(a, b) != 0) {
      break;
    }
    usleep(10000);
  }
  std::string pid = std::to_string(pid_);
  ok_ = Run("ip link add tvx0 type veth peer name tvx1") && Run("ip link set tvx1 netns " + pid) &&
        Run("ip addr add 198.18.0.1/24 dev tvx0") && Run("ip addr add 2001:db8::1/64 dev tvx0 nodad") &&
        Run("ip link set tvx0 up");
  char go = ok_ ? 'g' : 'q';
  ok_ = write(controlFd_, &go, 1) == 1 && ok_;
  // The peer says it is ready by echoing a datagram; wait until it does.
  if (ok_) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{AF_INET, htons(7), {}, {}};
    inet_pton(AF_INET, "198.18.0.2", &to.sin_addr);
    ok_ = false;
    for (int i = 0; i < 100 && !ok_; ++i) {
      sendto(fd, "ping", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      pollfd p{fd, POLLIN, 0};
      char buf[16];
      ok_ = poll(&p, 1, 50) == 1 && recv(fd, buf, sizeof buf, 0) == 4;
    }
    close(fd);
  }
}

VethPeer::~VethPeer() {
  if (controlFd_ >= 0) close(controlFd_);  // end of input tells the peer to leave
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
  Run("ip link del tvx0");
}

int RunVethPeer(int controlFd) {
  if (unshare(CLONE_NEWNET) != 0) return 1;
  char go = 0;
  if (read(controlFd, &go, 1) != 1 || go != 'g') return 1;
  if (!Run("ip link set lo up") || !Run("ip addr add 198.18.0.2/24 dev tvx1") ||
      !Run("ip addr add 2001:db8::2/64 dev tvx1 nodad") || !Run("ip link set tvx1 up")) {
    return 1;
  }
  // One socket for both families: IPv4 senders appear as v4-mapped addresses.
  int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int off = 0;
  sockaddr_in6 at{};
  at.sin6_family = AF_INET6;
  at.sin6_port = htons(7);
  if (fd < 0 || setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    return 1;
  }
  pollfd fds[2] = {{fd, POLLIN, 0}, {controlFd, POLLIN, 0}};
  bool greeted = false;
  for (;;) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return 1;
    if (fds[1].revents != 0) return 0;  // the test closed its end
    if (fds[0].revents == 0) continue;
    char buf[4096];
    sockaddr_in6 from{};
    socklen_t size = sizeof from;
    ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &size);
    // Only the first readiness ping is answered: a slow start leaves several queued, and
    // late answers would reach a capture that the test has started meanwhile.
    if (n == 4 && std::memcmp(buf, "ping", 4) == 0) {
      if (greeted) continue;
      greeted = true;
    }
    if (n >= 0) sendto(fd, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), size);
  }
}

}  // namespace trovix::test
