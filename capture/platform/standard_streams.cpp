#include "capture/platform/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace trovix {

int OpenClosedStandardStreams() noexcept {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened < 0) return errno;
    // The lowest free number is `fd` itself while no other thread opens descriptors.
    if (opened != fd) {
      close(opened);
      return EBUSY;
    }
  }
  return 0;
}

}  // namespace trovix
