#include "helper/user_limit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace trovix::helper {
namespace {

// Whether the holder `pid` of a mark at this user's offset counts as one of this user's
// helpers. Helpers are not dumpable, so /proc shows no helper's program to another (with
// hidepid, not even its folder); but a signal of 0 tells anyone whether a process is alive
// and theirs. So a holder counts when this helper (the user, really and effectively) may
// signal it, unless /proc shows it running another program: a lock whose holder has gone
// or is another user's counts for nobody, and no helper of the user escapes the count.
bool IsHelperOfUser(long pid, const struct stat& program) {
  if (pid <= 0 || pid > INT_MAX) return false;
  char path[40];
  std::snprintf(path, sizeof path, "/proc/%ld/exe", pid);
  struct stat exe{};
  bool shown = stat(path, &exe) == 0;
  if (kill(static_cast<pid_t>(pid), 0) != 0) return false;
  return !shown || (exe.st_dev == program.st_dev && exe.st_ino == program.st_ino);
}

struct Mark {
  unsigned major, minor;
  unsigned long inode;
  long long offset;
};

// Whether one line of /proc/locks is a held POSIX read lock on exactly the marked byte;
// its holder in `pid`. Waiters ("->") hold nothing.
bool IsMark(const char* line, const Mark& mark, long& pid) {
  char kind[16], type[16];
  unsigned major = 0, minor = 0;
  unsigned long inode = 0;
  long long start = -1, end = -1;
  int fields = std::sscanf(line, "%*d: %15s %*s %15s %ld %x:%x:%lu %lld %lld", kind, type, &pid, &major, &minor,
                           &inode, &start, &end);
  return fields == 8 && std::strcmp(kind, "POSIX") == 0 && std::strcmp(type, "READ") == 0 &&
         major == mark.major && minor == mark.minor && inode == mark.inode && start == mark.offset &&
         end == mark.offset;
}

// The holders counted so far, each once (a process holds one mark per byte, but a pid
// can stand for a holder that has gone as well as the process that took it over), up to
// one more than the limit.
struct Holders {
  long pids[kMaxHelpersPerUser + 1];
  int count = 0;
  bool self = false;

  void Take(long pid, const struct stat& program) {
    if (count > kMaxHelpersPerUser || std::find(pids, pids + count, pid) != pids + count) return;
    if (!IsHelperOfUser(pid, program)) return;
    pids[count++] = pid;
    self = self || pid == getpid();
  }
};

}  // namespace

int MarkAndCountHelpersOf(uid_t user) noexcept {
  // Kept open for the helper's life: closing any descriptor of the file drops the lock.
  int program = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  struct stat file{};
  flock byte{};
  byte.l_type = F_RDLCK;
  byte.l_whence = SEEK_SET;
  byte.l_start = static_cast<off_t>(user);
  byte.l_len = 1;
  if (program < 0 || fstat(program, &file) != 0 || fcntl(program, F_SETLK, &byte) != 0) return -1;
  Mark mark{major(file.st_dev), minor(file.st_dev), static_cast<unsigned long>(file.st_ino), byte.l_start};

  int locks = open("/proc/locks", O_RDONLY | O_CLOEXEC);
  if (locks < 0) return -1;
  // Whole lines are taken from the buffer; a line cut at its end moves to its start.
  char buffer[4096];
  size_t held = 0;
  Holders holders;
  bool failed = false;
  for (;;) {
    ssize_t n = read(locks, buffer + held, sizeof buffer - 1 - held);
    if (n < 0 || (n == 0 && held == sizeof buffer - 1)) {
      if (n == 0) errno = EOVERFLOW;  // a line longer than any the kernel writes
      failed = true;
      break;
    }
    held += static_cast<size_t>(n);
    buffer[held] = '\0';
    char* line = buffer;
    for (char* newline; (newline = std::strchr(line, '\n')) != nullptr || (n == 0 && *line != '\0');) {
      if (newline != nullptr) *newline = '\0';
      long pid = 0;
      if (IsMark(line, mark, pid)) holders.Take(pid, file);
      line = newline != nullptr ? newline + 1 : buffer + held;
    }
    if (n == 0) break;
    held = static_cast<size_t>(buffer + held - line);
    std::memmove(buffer, line, held);
  }
  int error = errno;
  close(locks);
  if (failed) {
    errno = error;
    return -1;
  }
  // This helper's own lock is always listed, unless the list is not this process's view;
  // past the limit, whether it was reached no longer matters.
  if (!holders.self && holders.count <= kMaxHelpersPerUser) {
    errno = ENOLCK;
    return -1;
  }
  return holders.self ? holders.count : holders.count + 1;
}

}  // namespace trovix::helper
