// Private network namespaces for the capture tests. The test process moves itself into a
// namespace of its own at start-up, so all its traffic stays inside it; a peer namespace
// linked by a veth pair stands in for a second host.
#pragma once

#include <sys/types.h>

#include <string>

namespace trovix::test {

// Called first thing in main, before any thread exists. Returns an empty string when the
// process now runs in a fresh namespace with loopback up, else why it could not.
std::string EnterPrivateNetwork();

// Why capture tests cannot run here (empty when they can).
const std::string& PrivateNetworkProblem();

// Runs a shell command (iproute2) and tells whether it succeeded.
bool Run(const std::string& command);

// A second namespace reached over a veth pair: 198.18.0.1/24 and 2001:db8::1/64 on our
// side ("tvx0"), 198.18.0.2/24 and 2001:db8::2/64 on the peer's, which echoes every UDP
// datagram sent to its port 7 over either family.
class VethPeer {
 public:
  VethPeer();
  ~VethPeer();
  VethPeer(const VethPeer&) = delete;
  VethPeer& operator=(const VethPeer&) = delete;
  bool ok() const { return ok_; }
  // The peer process: /proc/PID/ns/net is its namespace, for starting servers inside it.
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int controlFd_ = -1;
  bool ok_ = false;
};

// Entry of the re-executed test binary acting as the peer; returns its exit code.
int RunVethPeer(int controlFd);

}  // namespace trovix::test
