// What both tools share: the per-sample rule, line escaping, number format,
// whole writes through a non-blocking pipe, and the queue in front of standard
// output that never makes the audio thread wait for a stalled reader.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>

#include "common/fd_write.h"
#include "common/line_escape.h"
#include "common/number_format.h"
#include "common/sample_rule.h"
#include "tests/fake/common/fake_process.h"
#include "tests/unit/common/sample_rule_table.h"

namespace pcm::test {
namespace {

using namespace std::string_literals;

std::string encode(const std::vector<float>& samples) {
  std::string out(2 * samples.size(), '\0');
  encodePcm16le(samples.data(), samples.size(), reinterpret_cast<std::byte*>(out.data()));
  return out;
}

// The encoder takes vector paths with a scalar tail; every class of float bit
// pattern (NaN payloads, denormals, infinities, both zeros) must come out as
// the scalar rule says, and the rule itself as its table.
TEST(SampleRule, EncoderAgreesWithTheRuleOverTheWholeFloatRange) {
  for (const auto& [in, out] : kRule) EXPECT_EQ(sampleFromFloat(in), out) << in;
  EXPECT_EQ(encode(ruleInputs()), ruleBytes());
  std::vector<float> in;
  for (uint64_t bits = 0; bits <= 0xFFFFFFFFull; bits += 4093) {  // a prime step
    const auto pattern = static_cast<uint32_t>(bits);
    std::memcpy(&in.emplace_back(), &pattern, sizeof pattern);
  }
  const std::string out = encode(in);
  for (std::size_t i = 0; i < in.size(); ++i) {
    int16_t got;
    std::memcpy(&got, &out[2 * i], 2);
    ASSERT_EQ(got, sampleFromFloat(in[i])) << i;
  }
}

TEST(EscapeForLine, KeepsTextAndWritesControlsAndInvalidBytesPrintably) {
  const std::pair<std::string, std::string> table[] = {
      {"USB Mic (2) \\ Café – 🎤", "USB Mic (2) \\ Café – 🎤"},
      {"a\nb\rc\td\0"s, "a\\nb\\rc\\td\\x00"},
      {"\x1b[31m\x7f", "\\x1b[31m\\x7f"},
      {"\xc2\x85 \xc2\x9b \xc2\xa0", "\\u0085 \\u009b \xc2\xa0"},
      {"\xe2\x80\xa8\xe2\x80\xa9", "\\u2028\\u2029"},
      // Invalid UTF-8: stray, truncated, overlong, surrogate, past U+10FFFF.
      {"\xff\x80 \xc3", "\\xff\\x80 \\xc3"},
      {"\xc3(\xe2\x82", "\\xc3(\\xe2\\x82"},
      {"\xc0\xaf \xe0\x80\xaf", "\\xc0\\xaf \\xe0\\x80\\xaf"},
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
      {"\xf4\x90\x80\x80 \xf4\x8f\xbf\xbf", "\\xf4\\x90\\x80\\x80 \xf4\x8f\xbf\xbf"},
  };
  for (const auto& [in, out] : table) EXPECT_EQ(escapeForLine(in), out) << in;
}

TEST(FormatDouble, ShortestRoundTripWithWholeNumbersMarked) {
  const std::pair<double, const char*> table[] = {
      {16000.0, "16000.0"}, {16000.5, "16000.5"}, {-0.0, "-0.0"}, {-48000.0, "-48000.0"},
      {1e300, "1e+300"},    {kNaN, "nan"},        {kInf, "inf"}};
  for (const auto& [value, text] : table) EXPECT_EQ(formatDouble(value), text);
}

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

TEST(WriteAll, DeliversEveryByteInOrderThroughAFullNonBlockingPipeAndReportsNoReader) {
  Pipe pipe;
  fcntl(pipe.fds[1], F_SETFL, O_NONBLOCK);
  const std::string data = randomBytes(1 << 20, 1);
  std::string received;
  std::thread reader([&] { received = readUntilQuiet(pipe.fds[0]); });
  EXPECT_EQ(writeAll(pipe.fds[1], data.data(), data.size()), 0);
  reader.join();
  EXPECT_TRUE(received == data);
  close(std::exchange(pipe.fds[0], -1));
  const auto previous = signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(writeAll(pipe.fds[1], "x", 1), EPIPE);
  signal(SIGPIPE, previous);
}

// `got` must be `sent` less runs of whole samples, in order, ending with the
// end of `sent`; returns the bytes missing.
std::size_t droppedBetweenRuns(const std::string& got, const std::string& sent) {
  std::size_t i = 0, j = 0, dropped = 0;
  while (true) {
    for (; i < got.size() && j < sent.size() && got[i] == sent[j]; ++i, ++j) {
    }
    if (i == got.size()) break;
    const std::size_t back = i % 2;  // the first missing byte may match by chance
    i -= back, j -= back;
    const std::size_t resumed = sent.find(got.substr(i, 64), j);
    if (resumed == std::string::npos || (resumed - j) % 2 != 0) {
      ADD_FAILURE() << "out of order or part of a sample missing at byte " << i;
      return 0;
    }
    dropped += resumed - j;
    j = resumed;
  }
  EXPECT_EQ(j, sent.size()) << "the newest bytes are missing";
  return dropped;
}

// A reader that stalls gets every byte while they fit in the bound; past it,
// only the oldest whole samples go, with one line per episode once it has
// caught up.
TEST(QueuedOutput, AStalledReaderLosesOnlyTheOldestPastTheBoundWithOneLinePerEpisode) {
  Pipe pipe;
  fake::FakeProcess process;
  QueuedOutput output(process, "[tag] ", pipe.fds[1], 1 << 20);
  const std::pair<std::size_t, std::size_t> rounds[] = {{768 << 10, 0}, {4 << 20, 1}, {4 << 20, 2}};
  for (unsigned round = 0; round < std::size(rounds); ++round) {
    const auto [size, lines] = rounds[round];
    const std::string sent = randomBytes(size, round);
    const std::size_t pieces[] = {3201, 1, 4095, 70001, 3199};
    for (std::size_t at = 0, n, k = 0; at < sent.size(); at += n, ++k) {
      n = std::min(pieces[k % 5], sent.size() - at);
      EXPECT_EQ(output.write({reinterpret_cast<const std::byte*>(&sent[at]), n}), 0);
    }
    const std::size_t dropped = droppedBetweenRuns(readUntilQuiet(pipe.fds[0]), sent);
    for (int i = 0; i < 100 && process.log().size() < lines; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(process.log().size(), lines) << round;
    EXPECT_EQ(dropped > 0, lines > 0);
    if (lines > 0) {
      EXPECT_EQ(process.log().back(), "[tag] WARNING: standard output fell behind: dropped " +
                                          std::to_string(dropped / 32) + " ms of audio\n");
    }
  }
}

// Once a write has failed, every later write() says why; a descriptor the
// process cannot write to fails the first one.
TEST(QueuedOutput, ReportsTheErrorThatEndedOutput) {
  const auto previous = signal(SIGPIPE, SIG_IGN);
  fake::FakeProcess process;
  const std::byte sample[2] = {};
  for (const bool readOnly : {false, true}) {
    Pipe pipe;
    if (!readOnly) close(std::exchange(pipe.fds[0], -1));
    QueuedOutput output(process, "", pipe.fds[readOnly ? 0 : 1]);
    int error = output.write(sample);
    for (int i = 0; !readOnly && i < 200 && error == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      error = output.write(sample);
    }
    EXPECT_EQ(error, readOnly ? EBADF : EPIPE);
    EXPECT_EQ(output.write(sample), error);
  }
  signal(SIGPIPE, previous);
}

}  // namespace
}  // namespace pcm::test
