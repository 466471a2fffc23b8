#include <fcntl.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "common/chunk_backlog.h"
#include "common/diagnostic_line.h"
#include "common/fd_write.h"
#include "common/output_stream.h"

namespace pcm {
namespace {

constexpr std::size_t kBytesPerMillisecond = 16000 * 2 / 1000;
constexpr std::byte kZeros[16384]{};

// EBADF for a read-only descriptor, so that the first write reports it as a direct write would.
int unwritable(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return errno;
  return (flags & O_ACCMODE) == O_RDONLY ? EBADF : 0;
}

}  // namespace

struct QueuedOutput::Queue {
  Queue(ProcessControl& process, Line fellBehind, int fd, std::size_t boundBytes)
      : process(process), fellBehind(fellBehind), fd(fd), bound(boundBytes) {}

  void writeOut();
  void fail(int failure) {
    error = failure;
    backlog.clear();
  }
  template <typename Add>
  int queue(Add add);

  ProcessControl& process;
  const Line fellBehind;
  const int fd;
  const std::size_t bound;

  std::mutex mutex;
  std::condition_variable changed;
  ChunkBacklog backlog;
  std::size_t droppedBytes = 0;  // since the reader last caught up
  int error = 0;
  bool closing = false;
  std::thread writer;
};

void QueuedOutput::Queue::writeOut() {
  std::unique_lock lock(mutex);
  for (;;) {
    changed.wait(lock, [&] { return closing || !backlog.empty(); });
    if (const std::size_t silence = backlog.takeSilence(sizeof kZeros)) {
      lock.unlock();
      const int failure = writeAll(fd, kZeros, silence);
      lock.lock();
      if (failure != 0) return fail(failure);
      continue;
    }
    auto chunk = backlog.takeOldest();
    if (!chunk) return;
    lock.unlock();
    const auto bytes = chunk->contents();
    const int failure = writeAll(fd, bytes.data(), bytes.size());
    lock.lock();
    backlog.recycle(std::move(chunk));
    if (failure != 0) return fail(failure);
    if (droppedBytes > 0 && backlog.size() <= bound / 2) {
      const std::string milliseconds = std::to_string(droppedBytes / kBytesPerMillisecond);
      droppedBytes = 0;
      lock.unlock();
      say(process, fellBehind, {milliseconds});
      lock.lock();
    }
  }
}

std::size_t QueuedOutput::boundFromEnvironment() {
  const char* text = std::getenv("CAPTURE_OUTPUT_BOUND_BYTES");
  char* end = nullptr;
  const unsigned long long bytes = text != nullptr ? std::strtoull(text, &end, 10) : 0;
  return text != nullptr && *text != '\0' && *end == '\0' && bytes > 0 && bytes <= SIZE_MAX
             ? static_cast<std::size_t>(bytes)
             : kDefaultBoundBytes;
}

QueuedOutput::QueuedOutput(ProcessControl& process, Line fellBehind, int fd, std::size_t boundBytes)
    : queue_(std::make_unique<Queue>(process, fellBehind, fd, boundBytes)) {
  queue_->error = unwritable(fd);
  if (queue_->error != 0) return;
  queue_->writer = std::thread([queue = queue_.get()] { queue->writeOut(); });
}

QueuedOutput::~QueuedOutput() {
  {
    std::lock_guard lock(queue_->mutex);
    queue_->closing = true;
  }
  queue_->changed.notify_one();
  if (queue_->writer.joinable()) queue_->writer.join();
}

template <typename Add>
int QueuedOutput::Queue::queue(Add add) {
  {
    std::lock_guard lock(mutex);
    if (error != 0) return error;
    add();
    if (backlog.size() > bound) droppedBytes += backlog.silenceOldest(backlog.size() - bound);
  }
  changed.notify_one();
  return 0;
}

int QueuedOutput::write(std::span<const std::byte> bytes) {
  return queue_->queue([&] { queue_->backlog.append(bytes); });
}

int QueuedOutput::writeSilence(std::size_t bytes) {
  return queue_->queue([&] { queue_->backlog.appendSilence(bytes); });
}

}  // namespace pcm
