#include "capture/platform/helper_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <mutex>

#include "capture/helper_protocol.h"

extern char** environ;

namespace trovix {
namespace {

std::mutex chosenMutex;
std::string chosenPath;

// Ended helpers wait here to be collected. A capture starts at most a few a second, so a
// short list is plenty; when it is full, the oldest is waited for (it ended long ago).
constexpr int kPendingHelpers = 16;
std::mutex pendingMutex;
pid_t pending[kPendingHelpers] = {};

std::string ProgramFolder() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string path(buffer, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void Remember(pid_t pid) {
  std::lock_guard lock(pendingMutex);
  for (pid_t& slot : pending) {
    if (slot == 0) {
      slot = pid;
      return;
    }
  }
  (void)waitpid(pending[0], nullptr, 0);
  for (int i = 1; i < kPendingHelpers; ++i) pending[i - 1] = pending[i];
  pending[kPendingHelpers - 1] = pid;
}

}  // namespace

void UseCaptureHelper(const char* path) {
  std::lock_guard lock(chosenMutex);
  chosenPath = path != nullptr ? path : "";
}

std::string CaptureHelperPath() {
  {
    std::lock_guard lock(chosenMutex);
    if (!chosenPath.empty()) return chosenPath;
  }
  // scripts/run names the root-owned copy it installed: the helper beside the built
  // programs is the user's own file, which must never hold the capability.
  if (const char* named = std::getenv("TROVIX_CAPTURE_HELPER"); named != nullptr && named[0] != '\0') return named;
  std::string folder = ProgramFolder();
  if (!folder.empty()) {
    for (const char* relative : {"/../libexec/trovix/trovix-capture", "/trovix-capture", "/../trovix-capture"}) {
      std::string candidate = folder + relative;
      if (access(candidate.c_str(), F_OK) == 0) return candidate;
    }
  }
  // Programs installed for one user (~/.local) find the copy an administrator installed.
  for (const char* installed : {"/usr/local/libexec/trovix/trovix-capture", "/usr/libexec/trovix/trovix-capture"}) {
    if (access(installed, F_OK) == 0) return installed;
  }
  return {};
}

int SpawnCaptureHelper(int helperEnd, pid_t& pid) noexcept {
  std::string path;
  try {
    path = CaptureHelperPath();
  } catch (...) {
    return ENOMEM;
  }
  if (path.empty()) return ENOENT;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (posix_spawn_file_actions_init(&actions) != 0) return ENOMEM;
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return ENOMEM;
  }
  // The helper's 0 to 3 are set below, which would overwrite an end numbered 0 to 2, or
  // leave one numbered 3 close-on-exec: such an end is first copied above them.
  int error = 0;
  int spareEnd = -1;
  if (helperEnd <= kHelperSocketFd) {
    spareEnd = fcntl(helperEnd, F_DUPFD_CLOEXEC, kHelperSocketFd + 1);
    if (spareEnd < 0) error = errno;
  }
  // The pair's end is close-on-exec here; the copy made at descriptor 3 is not.
  if (error == 0) {
    error = posix_spawn_file_actions_adddup2(&actions, spareEnd >= 0 ? spareEnd : helperEnd, kHelperSocketFd);
  }
  // Standard error stays, for what the helper has to say, unless it would not reach the
  // helper (closed, close-on-exec) or is the pair's end itself: the helper's capture
  // socket would then be its descriptor 2. The client's input and output (a capture file,
  // a pipe whose reader waits for its end) are none of its business.
  if (error == 0) error = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (error == 0) error = posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  int errorFlags = fcntl(2, F_GETFD);
  if (error == 0 && (helperEnd == 2 || errorFlags < 0 || (errorFlags & FD_CLOEXEC) != 0)) {
    error = posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, s);
  if (error == 0) error = posix_spawnattr_setsigmask(&attributes, &none);
  if (error == 0) error = posix_spawnattr_setsigdefault(&attributes, &defaults);
  if (error == 0) error = posix_spawnattr_setpgroup(&attributes, 0);
  if (error == 0) {
    error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                      POSIX_SPAWN_SETPGROUP);
  }
  char* argv[] = {const_cast<char*>("trovix-capture"), nullptr};
  if (error == 0) error = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (spareEnd >= 0) close(spareEnd);
  return error;
}

void ReapCaptureHelpers(bool wait) noexcept {
  std::lock_guard lock(pendingMutex);
  int kept = 0;
  for (int i = 0; i < kPendingHelpers; ++i) {
    pid_t pid = pending[i];
    if (pid == 0) continue;
    pid_t done = waitpid(pid, nullptr, wait ? 0 : WNOHANG);
    if (done == 0) pending[kept++] = pid;  // still running
  }
  for (int i = kept; i < kPendingHelpers; ++i) pending[i] = 0;
}

void ForgetCaptureHelper(pid_t pid) noexcept {
  if (pid <= 0) return;
  try {
    Remember(pid);
  } catch (...) {
    (void)waitpid(pid, nullptr, 0);
  }
}

}  // namespace trovix
