#include "common/fd_write.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(WriteAll, DeliversEveryByteInOrderThroughAFullNonBlockingPipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  std::vector<unsigned char> data(1 << 20);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);

  std::vector<unsigned char> received;
  std::thread reader([&] {
    unsigned char chunk[4096];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0)
      received.insert(received.end(), chunk, chunk + n);
  });
  EXPECT_EQ(pcm::writeAll(fds[1], data.data(), data.size()), 0);
  close(fds[1]);
  reader.join();
  close(fds[0]);
  EXPECT_EQ(received, data);
}

TEST(WriteAll, ReportsAPipeWithoutReader) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  auto previous = signal(SIGPIPE, SIG_IGN);
  const char byte = 'x';
  EXPECT_EQ(pcm::writeAll(fds[1], &byte, 1), EPIPE);
  signal(SIGPIPE, previous);
  close(fds[1]);
}

}  // namespace
