#include "helper/user_limit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace trovix::helper {
namespace {

// Reads what fits of the file `path` into `buffer`, NUL-ended; the bytes read, or -1.
ssize_t ReadSmall(const char* path, char* buffer, size_t size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t n = read(fd, buffer, size - 1);
  close(fd);
  buffer[n > 0 ? n : 0] = '\0';
  return n;
}

// Whether process `pid` may be counted as `user`'s: its real user id is `user`, or it
// cannot be told (a /proc that hides other processes, or the holder is outside this
// process's view): a lock that cannot be attributed counts against the limit.
bool MayBeOfUser(long pid, uid_t user) {
  char path[40], status[1024];
  std::snprintf(path, sizeof path, "/proc/%ld/status", pid);
  if (pid <= 0 || ReadSmall(path, status, sizeof status) <= 0) return true;
  const char* line = std::strstr(status, "\nUid:\t");
  if (line == nullptr) return true;
  char* end = nullptr;
  unsigned long uid = std::strtoul(line + 6, &end, 10);
  return end == line + 6 || uid == user;
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
  int count = 0;
  for (;;) {
    ssize_t n = read(locks, buffer + held, sizeof buffer - 1 - held);
    if (n < 0 || (n == 0 && held == sizeof buffer - 1)) {
      if (n == 0) errno = EOVERFLOW;  // a line longer than any the kernel writes
      count = -1;
      break;
    }
    held += static_cast<size_t>(n);
    buffer[held] = '\0';
    char* line = buffer;
    for (char* newline; (newline = std::strchr(line, '\n')) != nullptr || (n == 0 && *line != '\0');) {
      if (newline != nullptr) *newline = '\0';
      long pid = 0;
      if (IsMark(line, mark, pid) && MayBeOfUser(pid, user)) ++count;
      line = newline != nullptr ? newline + 1 : buffer + held;
    }
    if (n == 0) break;
    held = static_cast<size_t>(buffer + held - line);
    std::memmove(buffer, line, held);
  }
  int error = errno;
  close(locks);
  // This helper's own lock is always listed, unless the list is not this process's view.
  errno = count == 0 ? ENOLCK : error;
  return count > 0 ? count : -1;
}

}  // namespace trovix::helper
