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

static std::atomic<bool> counting{false};
static std::atomic<long> allocations{0};

void* operator new(std::size_t size) {
  if (counting) ++allocations;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace pcm::test {
namespace {

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
      QueuedOutput output(process, {""}, fds[1]);
      Timeline timeline(output);
      const std::vector<float> block(1600, 0.25f);
      // 100 s to settle (the rate is measured and resampling starts), then 400 s
      // counted, never more than a few blocks ahead of the reader.
      for (std::size_t i = 0; i < 5000; ++i) {
        counting = i >= 1000;
        ASSERT_EQ(timeline.push(block, 100.0 + 0.1 * i / (1 + ppm * 1e-6)), 0);
        while (3200 * i > read + 3200 * 8) std::this_thread::yield();
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
