#include "capture/platform/helper_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>

#include "capture/helper_protocol.h"
#include "capture/platform/spawn.h"

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
  // Standard error stays, for what the helper has to say, unless it would not reach the
  // helper (closed, close-on-exec) or is the pair's end itself (the helper's capture
  // socket would then be its descriptor 2). The client's input and output (a capture
  // file, a pipe whose reader waits for its end) are none of its business.
  const ChildDescriptor descriptors[] = {{0, ChildDescriptor::kNullDevice},
                                         {1, ChildDescriptor::kNullDevice},
                                         {2, ChildDescriptor::kInherited},
                                         {kHelperSocketFd, helperEnd}};
  char* argv[] = {const_cast<char*>("trovix-capture"), nullptr};
  return SpawnProcess({path.c_str(), false, argv, descriptors}, pid);
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
