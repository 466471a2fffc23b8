#include "common/fd_write.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

namespace pcm {

int writeAll(int fd, const void* data, std::size_t size) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, next, size);
    if (written > 0) {
      next += written;
      size -= static_cast<std::size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd waitFor{fd, POLLOUT, 0};
      ::poll(&waitFor, 1, -1);
      continue;
    }
    return written < 0 ? errno : EIO;
  }
  return 0;
}

}  // namespace pcm
