#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <utility>

#include "common/output_stream.h"
#include "tests/fake/common/fake_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Pipe {
  Pipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0); }
  ~Pipe() {
    for (int fd : fds) close(fd);
  }
  int fds[2] = {-1, -1};
};

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

// Writes `data` in pieces of the given sizes, in turn, while nobody reads;
// returns the longest any write took.
Clock::duration writeStalled(pcm::QueuedOutput& output, const std::string& data,
                             std::initializer_list<std::size_t> sizes) {
  Clock::duration longest{};
  auto size = sizes.begin();
  for (std::size_t at = 0; at < data.size();) {
    const std::size_t n = std::min(*size, data.size() - at);
    const auto began = Clock::now();
    EXPECT_EQ(output.write({reinterpret_cast<const std::byte*>(data.data() + at), n}), 0);
    longest = std::max(longest, Clock::now() - began);
    at += n;
    if (++size == sizes.end()) size = sizes.begin();
  }
  return longest;
}

// Everything that arrives until nothing more has for a while.
std::string readUntilQuiet(int fd) {
  std::string got;
  char buffer[65536];
  for (pollfd ready{fd, POLLIN, 0}; poll(&ready, 1, 300) > 0;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

// What arrived is runs of what was sent, in order, the last run its end, so
// only older bytes are missing; each gap is whole samples. Returns the bytes
// missing.
std::size_t droppedBetweenRuns(const std::string& got, const std::string& sent) {
  std::size_t dropped = 0, j = 0;
  for (std::size_t i = 0; i < got.size();) {
    while (i < got.size() && j < sent.size() && got[i] == sent[j]) ++i, ++j;
    if (i == got.size()) break;
    // The first missing byte may match by chance; gaps start on a sample.
    const std::size_t back = i % 2;
    i -= back, j -= back;
    const std::size_t resumed = sent.find(got.substr(i, 64), j);
    EXPECT_NE(resumed, std::string::npos) << "out of order at byte " << i;
    if (resumed == std::string::npos) return 0;
    EXPECT_EQ((resumed - j) % 2, 0u);
    dropped += resumed - j;
    j = resumed;
  }
  EXPECT_EQ(j, sent.size()) << "the newest bytes are missing";
  return dropped;
}

// Writes never wait for a stalled reader. Once it reads again it gets every
// byte while they fit in the bound; past it, only the oldest are missing, whole
// samples only, and each episode gives one line once the reader has caught up.
TEST(QueuedOutput, AStalledReaderLosesOnlyTheOldestPastTheBoundWithOneLinePerEpisode) {
  Pipe pipe;
  pcm::fake::FakeProcess process;
  pcm::QueuedOutput output(process, "[tag] ", pipe.fds[1], 1 << 20);
  const std::pair<std::size_t, std::size_t> rounds[] = {{768 << 10, 0}, {4 << 20, 1}, {4 << 20, 2}};
  for (unsigned round = 0; round < std::size(rounds); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const auto [size, lines] = rounds[round];
    const std::string sent = randomBytes(size, round);
    EXPECT_LT(writeStalled(output, sent, {3201, 1, 4095, 70001, 3199}), 100ms);
    const std::size_t dropped = droppedBetweenRuns(readUntilQuiet(pipe.fds[0]), sent);
    for (int i = 0; i < 100 && process.transcript().size() < lines; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(process.transcript().size(), lines);
    EXPECT_EQ(dropped > 0, lines > 0);
    if (dropped > 0) {
      EXPECT_EQ(process.transcript().back(),
                "[tag] WARNING: standard output fell behind: dropped " +
                    std::to_string(dropped / 32) + " ms of audio\n");
    }
  }
}

// Once a write to the descriptor has failed, every later write() says why; a
// descriptor the process cannot write to fails the first one, as it always has.
TEST(QueuedOutput, ReportsTheErrorThatEndedOutput) {
  const auto previous = signal(SIGPIPE, SIG_IGN);
  pcm::fake::FakeProcess process;
  const std::byte sample[2] = {};
  for (const bool readOnly : {false, true}) {
    Pipe pipe;
    const int fd = readOnly ? pipe.fds[0] : pipe.fds[1];
    if (!readOnly) close(std::exchange(pipe.fds[0], -1));
    pcm::QueuedOutput output(process, "", fd);
    int error = output.write(sample);
    for (int i = 0; !readOnly && i < 200 && error == 0; ++i) {
      std::this_thread::sleep_for(10ms);
      error = output.write(sample);
    }
    EXPECT_EQ(error, readOnly ? EBADF : EPIPE);
    EXPECT_EQ(output.write(sample), error);
  }
  signal(SIGPIPE, previous);
}

}  // namespace
