#include "common/standard_descriptors.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace pcm {
namespace {

void occupyIfClosed(int fd, int flags) {
  if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) return;
  // open() takes the lowest free number, `fd` given the calls' order; dup2 covers the rest.
  const int opened = open("/dev/null", flags);
  if (opened < 0 || opened == fd) return;
  dup2(opened, fd);
  close(opened);
}

}  // namespace

void occupyClosedStandardDescriptors() {
  occupyIfClosed(STDIN_FILENO, O_RDONLY);
  occupyIfClosed(STDOUT_FILENO, O_RDONLY);
  occupyIfClosed(STDERR_FILENO, O_WRONLY);
}

}  // namespace pcm
