// An OpenSSH server in the VethPeer's namespace, listening on 198.18.0.2 and [2001:db8::2]
// ports 2222 and 22, with keys of its own so the tests never touch the machine's ssh setup.
#pragma once

#include <sys/types.h>

#include <initializer_list>
#include <string>

namespace trovix::test {

class SshServer {
 public:
  static constexpr int kPort = 2222;

  // Starts sshd inside the namespace of process `peerPid`; remote commands run with PATH
  // set to exactly `remotePath`. With a `loginShell`, sshd sees a passwd file (in a mount
  // namespace of its own) that gives root that shell and the server's folder as its home.
  // The destructor ends every process in that namespace but the peer, which leaves no
  // remote command behind.
  SshServer(pid_t peerPid, const std::string& remotePath, const std::string& loginShell = "");
  ~SshServer();
  SshServer(const SshServer&) = delete;
  SshServer& operator=(const SshServer&) = delete;

  bool ok() const { return problem_.empty(); }
  // Why the server could not start, with what sshd logged.
  const std::string& problem() const { return problem_; }

  // Scripts standing in for ssh (run them with ssh's own arguments): the first trusts the
  // server's host key and logs in with the user key; the second expects another host key,
  // so ssh refuses with "Host key verification failed.".
  const std::string& sshProgram() const { return ssh_; }
  const std::string& wrongHostKeySshProgram() const { return wrongSsh_; }

  // The captures running in the server's namespace: tcpdump, trovix-cli and its helper.
  int CapturesRunning() const;

  // The remote PATH for a test: the folder of `cliProgram` (the built trovix-cli) before
  // the system's; or, with none, ToolsOnlyPath's folder `dir` with tcpdump and what the
  // remote command needs besides.
  static std::string RemotePath(const std::string& cliProgram, const std::string& dir);

  // Fills the existing folder `dir` with links to the named programs from our PATH, and
  // returns `dir` for use as a remote PATH; empty when a program is missing.
  static std::string ToolsOnlyPath(const std::string& dir, std::initializer_list<const char*> tools);

 private:
  std::string dir_, problem_, ssh_, wrongSsh_;
  pid_t pid_ = -1, peer_ = -1;
  ino_t ns_ = 0;
};

}  // namespace trovix::test
