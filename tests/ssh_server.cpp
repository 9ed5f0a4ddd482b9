#include "tests/ssh_server.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/netns.h"

namespace trovix::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Where our PATH finds `name`, or empty.
std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string file = dir + "/" + name;
    if (!dir.empty() && access(file.c_str(), X_OK) == 0) return file;
  }
  return {};
}

std::string ReadAll(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Failures show later, as ssh's or sshd's complaint about the file.
void Write(const std::string& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

// Processes whose network namespace is the one with inode `ns`.
std::vector<pid_t> ProcessesIn(ino_t ns) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
    struct stat st{};
    pid_t pid = std::atoi(entry->d_name);
    std::string link = "/proc/" + std::string(entry->d_name) + "/ns/net";
    if (pid > 0 && stat(link.c_str(), &st) == 0 && st.st_ino == ns) found.push_back(pid);
  }
  if (proc != nullptr) closedir(proc);
  return found;
}

// /etc/passwd with root's home and login shell replaced.
std::string PasswdWithRoot(const std::string& home, const std::string& shell) {
  std::istringstream lines(ReadAll("/etc/passwd"));
  std::string passwd;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("root:", 0) == 0) line = "root:x:0:0:root:" + home + ":" + shell;
    passwd += line + "\n";
  }
  return passwd;
}

}  // namespace

SshServer::SshServer(pid_t peerPid, const std::string& remotePath, const std::string& loginShell) {
  std::string pattern = "/tmp/trovix-ssh-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    problem_ = "cannot make a temporary folder";
    return;
  }
  dir_ = pattern;
  const std::string d = dir_ + "/", ssh = FindProgram("ssh"), keygen = FindProgram("ssh-keygen");
  if (ssh.empty() || keygen.empty() || access("/usr/sbin/sshd", X_OK) != 0) {
    problem_ = "ssh, ssh-keygen or /usr/sbin/sshd is missing";
    return;
  }
  for (const char* key : {"host_key", "user_key", "other_host_key"}) {
    if (!Run(keygen + " -q -t ed25519 -N '' -C trovix-test -f " + d + key)) {
      problem_ = "ssh-keygen failed";
      return;
    }
  }
  // A client setup for each expected host key; -F keeps ssh off ~/.ssh and /etc/ssh.
  auto client = [&](const std::string& name, const char* hostKey) {
    Write(d + name + ".known_hosts",
          "[198.18.0.2]:2222,[2001:db8::2]:2222,198.18.0.2,2001:db8::2 " + ReadAll(d + hostKey + ".pub"));
    Write(d + name + ".config", "UserKnownHostsFile " + d + name + ".known_hosts\n" +
                                    "GlobalKnownHostsFile /dev/null\nIdentityFile " + d + "user_key\n" +
                                    "IdentitiesOnly yes\nStrictHostKeyChecking yes\nLogLevel ERROR\n");
    Write(d + name, "#!/bin/sh\nexec " + ssh + " -F " + d + name + ".config \"$@\"\n");
    chmod((d + name).c_str(), 0755);
    return d + name;
  };
  ssh_ = client("ssh", "host_key");
  wrongSsh_ = client("wrong-host-key-ssh", "other_host_key");
  Write(d + "authorized_keys", ReadAll(d + "user_key.pub"));
  const std::string config = d + "sshd_config", log = d + "sshd.log";
  // Debian's bash sources ~/.bashrc for a command from sshd only at shell level 0, and
  // root's may well change PATH: SHLVL=1 keeps the PATH given here the one commands see.
  Write(config, "Port 2222\nPort 22\nListenAddress 198.18.0.2\nListenAddress 2001:db8::2\nHostKey " + d +
                    "host_key\nAuthorizedKeysFile " + d + "authorized_keys\nPidFile " + d +
                    "sshd.pid\nPasswordAuthentication no\nKbdInteractiveAuthentication no\nUsePAM no\n"
                    "PermitRootLogin prohibit-password\nStrictModes no\nSetEnv \"PATH=" +
                    remotePath + "\" SHLVL=1\n");
  mkdir("/run/sshd", 0755);  // its privilege separation folder, made by the service otherwise
  if (!loginShell.empty()) Write(d + "passwd", PasswdWithRoot(dir_, loginShell));

  std::string ns = "/proc/" + std::to_string(peerPid) + "/ns/net";
  int nsFd = open(ns.c_str(), O_RDONLY | O_CLOEXEC);
  int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  struct stat ours{}, theirs{};
  bool apart = nsFd >= 0 && fstat(nsFd, &theirs) == 0 && stat("/proc/self/ns/net", &ours) == 0 &&
               ours.st_ino != theirs.st_ino;  // the destructor must not end our own namespace's processes
  peer_ = peerPid;
  ns_ = theirs.st_ino;
  pid_t parent = getpid();
  if (apart && logFd >= 0 && nullFd >= 0) pid_ = fork();
  if (pid_ == 0) {
    // A crashed test must not leave sshd behind; the test mains ignore SIGPIPE, which the
    // remote commands would inherit.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    signal(SIGPIPE, SIG_DFL);
    dup2(nullFd, 0);
    dup2(logFd, 1);
    dup2(logFd, 2);
    bool passwd = loginShell.empty() ||
                  (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   mount((d + "passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) == 0);
    if (getppid() == parent && passwd && setns(nsFd, CLONE_NEWNET) == 0) {
      execl("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-e", "-f", config.c_str(), nullptr);
    }
    _exit(127);
  }
  for (int fd : {nsFd, logFd, nullFd}) {
    if (fd >= 0) close(fd);
  }
  if (!apart) {
    problem_ = "cannot enter the peer's network namespace " + ns;
    return;
  }
  // Its own word that it listens, not a connection: another server may hold the port.
  for (auto end = std::chrono::steady_clock::now() + 5s; pid_ > 0 && std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(20ms)) {
    std::string said = ReadAll(log);
    if (said.find("Server listening on 198.18.0.2 port 2222.") != std::string::npos &&
        said.find("Server listening on 198.18.0.2 port 22.") != std::string::npos) {
      return;
    }
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
  }
  problem_ = "sshd did not listen on 198.18.0.2 ports 2222 and 22; its log:\n" + ReadAll(log);
}

SshServer::~SshServer() {
  if (pid_ > 0) {
    // A remote command outlives its session once the client has gone, unless it writes; and
    // then it is no longer below sshd. All in the peer's namespace but the peer is ours.
    for (pid_t pid : ProcessesIn(ns_)) {
      if (pid != peer_ && pid != pid_) kill(pid, SIGKILL);
    }
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  std::error_code ignored;
  if (!dir_.empty()) fs::remove_all(dir_, ignored);
}

int SshServer::CapturesRunning() const {
  int running = 0;
  for (pid_t pid : ProcessesIn(ns_)) {
    std::string name = ReadAll("/proc/" + std::to_string(pid) + "/comm");
    running += name == "tcpdump\n" || name == "trovix-cli\n" || name == "trovix-capture\n";
  }
  return running;
}

std::string SshServer::RemotePath(const std::string& cliProgram, const std::string& dir) {
  if (!cliProgram.empty()) return fs::path(cliProgram).parent_path().string() + ":/usr/bin:/bin:/usr/sbin:/sbin";
  fs::create_directories(dir);
  return ToolsOnlyPath(dir, {"sh", "cat", "id", "tcpdump"});
}

std::string SshServer::ToolsOnlyPath(const std::string& dir, std::initializer_list<const char*> tools) {
  for (const char* tool : tools) {
    std::string program = FindProgram(tool);
    std::error_code error;
    if (program.empty()) return {};
    fs::create_symlink(program, dir + "/" + tool, error);
    if (error && fs::read_symlink(dir + "/" + tool, error) != program) return {};  // made before is as good
  }
  return dir;
}

}  // namespace trovix::test
