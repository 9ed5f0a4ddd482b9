#include "capture/platform/bounded_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace trovix {

BoundedFile ReadBoundedFile(const std::string& path, size_t maxBytes) {
  BoundedFile file;
  // O_NONBLOCK: a FIFO put in a file's place must not block start-up.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    file.error = errno;
    return file;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) file.error = errno;
  else if (S_ISDIR(info.st_mode)) file.error = EISDIR;
  else if (!S_ISREG(info.st_mode)) file.error = EINVAL;
  if (file.error != 0) {
    close(fd);
    return file;
  }
  file.text.resize(maxBytes);
  size_t used = 0;
  while (used < maxBytes) {
    ssize_t n = read(fd, file.text.data() + used, maxBytes - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      file.error = errno;
      break;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  close(fd);
  file.text.resize(file.error == 0 ? used : 0);
  return file;
}

}  // namespace trovix
