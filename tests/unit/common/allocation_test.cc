// What a block costs in heap allocations once a stream runs: nothing, from the
// timeline through the output queue to a reader that keeps up, on the path that
// passes samples through and on the one that resamples. Its own program, since
// it replaces operator new (and so is left out of the sanitizers' builds).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "common/output_stream.h"
#include "common/timeline.h"
#include "tests/fake/common/fake_process.h"

// GCC takes the operator below for its own and warns of free() after it.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace pcm::test {
namespace {

// Counts what goes into the queue, so that the test can keep pace with its reader.
struct CountedOutput final : OutputStream {
  explicit CountedOutput(OutputStream& output) : output(output) {}
  int write(std::span<const std::byte> bytes) override {
    written += bytes.size();
    return output.write(bytes);
  }
  int writeSilence(std::size_t bytes) override {
    written += bytes;
    return output.writeSilence(bytes);
  }
  OutputStream& output;
  std::size_t written = 0;
};

TEST(SteadyState, ABlockAllocatesNothingFromTheTimelineToAReaderThatKeepsUp) {
  for (const double ppm : {0.0, 400.0}) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    std::atomic<std::size_t> read{0};
    std::thread reader([fd = fds[0], &read] {
      char bytes[65536];
      for (ssize_t n; (n = ::read(fd, bytes, sizeof bytes)) > 0;) read += n;
    });
    fake::FakeProcess process;
    {
      QueuedOutput queued(process, "", fds[1]);
      CountedOutput output(queued);
      Timeline timeline(output);
      const std::vector<float> block(1600, 0.25f);
      const double period = 0.1 / (1 + ppm * 1e-6);
      // 100 s to settle (the rate is measured and resampling starts), then 400 s counted.
      for (int i = 0; i < 5000; ++i) {
        counting = i >= 1000;
        ASSERT_EQ(timeline.push(block, 100.0 + i * period), 0);
        while (output.written > read + 4 * sizeof(int16_t) * block.size()) {
          std::this_thread::yield();
        }
      }
      counting = false;
    }
    close(fds[1]);
    reader.join();
    close(fds[0]);
    EXPECT_EQ(allocations.exchange(0), 0) << ppm << " ppm";
  }
}

}  // namespace
}  // namespace pcm::test
