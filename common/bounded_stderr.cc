#include "common/bounded_stderr.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace pcm {
namespace {

enum class Kind { kBlocking, kNonBlocking, kSocket };

std::atomic<int> gFd{STDERR_FILENO};
std::atomic<Kind> gKind{Kind::kBlocking};

Kind openOwnDescription() {
  struct stat info {};
  if (fstat(STDERR_FILENO, &info) != 0) return Kind::kBlocking;
  if (S_ISSOCK(info.st_mode)) return Kind::kSocket;
  // A regular file never blocks, and a description of its own would write over it from offset 0.
  if (!S_ISFIFO(info.st_mode) && !S_ISCHR(info.st_mode)) return Kind::kBlocking;
  const int fd = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Kind::kBlocking;
  gFd.store(fd);
  return Kind::kNonBlocking;
}

int millisecondsUntil(const timespec& deadline) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long left = (deadline.tv_sec - now.tv_sec) * 1000LL +
                         (deadline.tv_nsec - now.tv_nsec + 999'999) / 1'000'000;
  return left > 0 ? static_cast<int>(left) : 0;
}

bool waitForRoom(int fd, const timespec& deadline) {
  const int left = millisecondsUntil(deadline);
  if (left == 0) return false;
  pollfd room{fd, POLLOUT, 0};
  poll(&room, 1, left);
  return true;
}

bool writeWithin(const char* data, std::size_t size, int limitMilliseconds) {
  const int fd = gFd.load();
  const Kind kind = gKind.load();
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += limitMilliseconds / 1000;
  deadline.tv_nsec += (limitMilliseconds % 1000) * 1'000'000L;
  if (deadline.tv_nsec >= 1'000'000'000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1'000'000'000L;
  }
  while (size > 0) {
    ssize_t written;
    if (kind == Kind::kNonBlocking) {
      written = write(fd, data, size);
    } else if (kind == Kind::kSocket) {
      written = send(fd, data, size, MSG_DONTWAIT);
    } else {
      pollfd room{fd, POLLOUT, 0};
      const int ready = poll(&room, 1, millisecondsUntil(deadline));
      if (ready == 0) return false;
      written = ready > 0 ? write(fd, data, size) : -1;
    }
    if (written > 0) {
      data += written;
      size -= static_cast<std::size_t>(written);
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitForRoom(fd, deadline)) return false;
    } else if (!(written < 0 && errno == EINTR)) {
      return false;
    }
  }
  return true;
}

}  // namespace

void prepareBoundedStderr() {
  static std::once_flag once;
  std::call_once(once, [] { gKind.store(openOwnDescription()); });
}

bool writeStderrWithin(const char* data, std::size_t size, int limitMilliseconds) {
  // Held in this thread only: a reader that went away costs the line, not the process.
  sigset_t brokenPipe, previous, pending;
  sigemptyset(&brokenPipe);
  sigaddset(&brokenPipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &brokenPipe, &previous);
  const bool written = writeWithin(data, size, limitMilliseconds);
  if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
    const timespec noWait{};
    sigtimedwait(&brokenPipe, nullptr, &noWait);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return written;
}

}  // namespace pcm
