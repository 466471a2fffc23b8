// What both tools share: the per-sample rule, line escaping, whole writes
// through a non-blocking pipe, and the queue in front of standard output that
// never makes the audio thread wait for a stalled reader.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include "common/fd_write.h"
#include "common/line_escape.h"
#include "common/sample_rule.h"
#include "tests/fake/common/fake_process.h"

namespace pcm::test {
namespace {

using namespace std::string_literals;

// The encoder takes vector paths with a scalar tail; every class of float bit
// pattern (NaN payloads, denormals, infinities, both zeros) must come out as
// the scalar rule says, and the rule itself as its table.
TEST(SampleRule, EncoderAgreesWithTheRuleOverTheWholeFloatRange) {
  const std::pair<float, int16_t> rule[] = {
      {1.0f, 32767},   {-1.0f, -32767},   {0.5f, 16383},       {0.99999f, 32766}, {1.5f, 32767},
      {-3.0f, -32767}, {INFINITY, 32767}, {-INFINITY, -32767}, {NAN, 32767},      {-NAN, 32767},
      {-0.0f, 0},      {0.00001f, 0},     {-0.00001f, 0}};
  std::vector<float> in;
  for (const auto& [value, sample] : rule)
    EXPECT_EQ(sampleFromFloat(in.emplace_back(value)), sample);
  for (uint64_t bits = 0; bits <= 0xFFFFFFFFull; bits += 4093) {  // a prime step
    const auto pattern = static_cast<uint32_t>(bits);
    std::memcpy(&in.emplace_back(), &pattern, sizeof pattern);
  }
  std::vector<int16_t> out(in.size());
  encodePcm16le(in.data(), in.size(), reinterpret_cast<std::byte*>(out.data()));
  for (std::size_t i = 0; i < in.size(); ++i) ASSERT_EQ(out[i], sampleFromFloat(in[i])) << i;
}

TEST(EscapeForLine, KeepsTextAndWritesControlsAndInvalidBytesPrintably) {
  const std::pair<std::string, std::string> table[] = {
      {"USB Mic (2) \\ Café – 🎤", "USB Mic (2) \\ Café – 🎤"},
      {"a\nb\td\0\x1b[31m\x7f"s, "a\\nb\\td\\x00\\x1b[31m\\x7f"},
      {"\xc2\x85 \xc2\xa0 \xe2\x80\xa8\xe2\x80\xa9", "\\u0085 \xc2\xa0 \\u2028\\u2029"},
      // Invalid UTF-8: stray, truncated, overlong, surrogate, past U+10FFFF.
      {"\xff\x80 \xc3(\xe2\x82 \xc0\xaf", "\\xff\\x80 \\xc3(\\xe2\\x82 \\xc0\\xaf"},
      {"\xed\xa0\x80 \xf4\x90\x80\x80 \xf4\x8f\xbf\xbf",
       "\\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80 \xf4\x8f\xbf\xbf"},
  };
  for (const auto& [in, out] : table) EXPECT_EQ(escapeForLine(in), out) << in;
}

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
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

TEST(WriteAll, DeliversEveryByteInOrderThroughAFullNonBlockingPipe) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  const std::string data = randomBytes(1 << 20, 1);
  std::string received;
  std::thread reader([&] { received = readUntilQuiet(fds[0]); });
  EXPECT_EQ(writeAll(fds[1], data.data(), data.size()), 0);
  reader.join();
  EXPECT_TRUE(received == data);
  for (int fd : fds) close(fd);
}

// A reader that stalls gets every byte while they fit in the bound; past it,
// the oldest whole samples become silence in place, with one line per episode
// once it has caught up, and no more than the bound is held.
TEST(QueuedOutput, AStalledReaderGetsSilenceForTheOldestPastTheBoundWithOneLinePerEpisode) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  fake::FakeProcess process;
  QueuedOutput output(process, {"dropped {} ms\n"}, fds[1],
                      1 << 20);  // the pipe lasts as long as the test
  const auto pipeBytes = static_cast<std::size_t>(fcntl(fds[0], F_GETPIPE_SZ));
  const std::pair<std::size_t, std::size_t> rounds[] = {{768 << 10, 0}, {4 << 20, 1}, {4 << 20, 2}};
  for (unsigned round = 0; round < std::size(rounds); ++round) {
    const auto [size, lines] = rounds[round];
    const std::string sent = randomBytes(size, round);
    const std::size_t pieces[] = {3201, 1, 4095, 70001, 3199};
    for (std::size_t at = 0, n, k = 0; at < sent.size(); at += n, ++k) {
      n = std::min(pieces[k % 5], sent.size() - at);
      EXPECT_EQ(output.write({reinterpret_cast<const std::byte*>(&sent[at]), n}), 0);
      // The reader stalls with a full pipe: a writing thread slow to fill it (seen under
      // ASan) would put newer bytes in between the silences.
      if (at < pipeBytes && at + n >= pipeBytes) {
        for (int i = 0, queued = 0; i < 200 && static_cast<std::size_t>(queued) < pipeBytes; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
          ioctl(fds[0], FIONREAD, &queued);
        }
      }
    }
    EXPECT_EQ(output.writeSilence(64), 0);
    const auto got = readUntilQuiet(fds[0]);
    ASSERT_TRUE(got.size() == sent.size() + 64 && got.ends_with(std::string(64, '\0'))) << round;
    // Samples silenced in place: one run, what the reader took before its
    // stall on one side and the newest, no more than the bound, on the other.
    std::size_t silenced = 0, first = sent.size(), last = sent.size();
    for (std::size_t at = 0; at < sent.size(); at += 2) {
      if (got.compare(at, 2, "\0\0"s) != 0 || sent.compare(at, 2, "\0\0"s) == 0) continue;
      silenced += 2, first = std::min(first, at), last = at + 2;
    }
    EXPECT_LE(last - std::min(first, last) - silenced, (last - first) / 1000) << round;
    EXPECT_TRUE(got.compare(0, first, sent, 0, first) == 0 &&
                got.compare(last, sent.size() - last, sent, last) == 0 &&
                sent.size() - last <= std::size_t{1} << 20)
        << round;
    for (int i = 0; i < 100 && process.log().size() < lines; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(process.log().size(), lines) << round;
    EXPECT_EQ(silenced > 0, lines > 0);
    // Less the sent samples that happened to be zero.
    const std::string prefix = "dropped ";
    if (lines > 0) {
      EXPECT_NEAR(std::stod(process.log().back().substr(prefix.size())), silenced / 32.0, 4);
    }
  }
}

}  // namespace
}  // namespace pcm::test
