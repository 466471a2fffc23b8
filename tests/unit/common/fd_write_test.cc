#include "common/fd_write.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

TEST(WriteAll, DeliversEveryByteInOrderThroughAFullNonBlockingPipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  std::string data(1 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  std::string received;
  std::thread reader([&] {
    char chunk[4096];
    for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) received.append(chunk, n);
  });
  EXPECT_EQ(pcm::writeAll(fds[1], data.data(), data.size()), 0);
  close(fds[1]);
  reader.join();
  close(fds[0]);
  EXPECT_TRUE(received == data);
}

TEST(WriteAll, ReportsAPipeWithoutReader) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  const auto previous = signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(pcm::writeAll(fds[1], "x", 1), EPIPE);
  signal(SIGPIPE, previous);
  close(fds[1]);
}

}  // namespace
