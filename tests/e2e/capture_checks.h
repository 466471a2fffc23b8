// What the server-backed tests check in a tool's output: its 16-bit samples,
// how well they fit a tone, and how the process stopped.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <numbers>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/sample_rule.h"
#include "tests/e2e/pulse_test_server.h"

namespace pulsetest {

// Both tools write 16-bit little-endian samples.
inline std::vector<int16_t> samplesOf(const std::vector<std::byte>& bytes) {
  std::vector<int16_t> samples(bytes.size() / 2);
  if (!samples.empty()) std::memcpy(samples.data(), bytes.data(), 2 * samples.size());
  return samples;
}

// Where sound starts: the first sample at least `threshold` away from zero.
inline std::optional<std::size_t> firstSound(std::span<const int16_t> samples, int threshold = 1) {
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (std::abs(samples[i]) >= threshold) return i;
  }
  return std::nullopt;
}

// Standard error without the notes a sanitizer runtime adds of its own (its
// "==PID==WARNING: ..." report and the two lines that follow it): they are not
// the tool's lines, and a sanitized build may add them at exit.
inline std::string withoutSanitizerNotes(const std::string& text) {
  std::string kept;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size() - 1) + 1;
    const std::string_view line(text.data() + start, end - start);
    if (!line.starts_with("==") && !line.starts_with("False positive error reports") &&
        !line.starts_with("For details see")) {
      kept += line;
    }
    start = end;
  }
  return kept;
}

inline std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Interleaved float samples of a sine, alike on every channel.
inline std::vector<float> tone(double frequency, double amplitude, double seconds, uint32_t rate,
                               uint32_t channels) {
  std::vector<float> samples;
  for (std::size_t i = 0; i < static_cast<std::size_t>(seconds * rate); ++i) {
    const auto v =
        static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency * i / rate));
    samples.insert(samples.end(), channels, v);
  }
  return samples;
}

// A least-squares fit of a sinusoid at `frequency`: its amplitude, and how far
// it stands above everything else (the rest of the signal) in dB. A second
// tone, a gap, a repeat or a wrong rate all end up in the rest.
struct ToneFit {
  double amplitude = 0;
  double snrDb = 0;
};
inline ToneFit fitTone(std::span<const int16_t> x, double frequency, double rate) {
  double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0, total = 0;
  const double w = 2 * std::numbers::pi * frequency / rate;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double s = std::sin(w * i), c = std::cos(w * i);
    ss += s * s, cc += c * c, sc += s * c, ys += x[i] * s, yc += x[i] * c, total += x[i] * x[i];
  }
  const double det = ss * cc - sc * sc;
  const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
  // The fit's energy; what it leaves behind is the rest.
  const double signal = a * ys + b * yc;
  return {std::hypot(a, b), 10 * std::log10(signal / (total - signal))};
}

// Exactly representable steps away from zero, so each maps to one PCM value
// that is never silence; the order comes from a 64-bit generator, so no stretch
// of the sequence repeats an earlier one and a lost, repeated or swapped block
// cannot go unnoticed.
inline std::vector<float> distinctSamples(std::size_t count) {
  std::vector<float> samples(count);
  uint64_t state = 0x9E3779B97F4A7C15u;
  for (auto& sample : samples) {
    state += 0x9E3779B97F4A7C15u;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    z ^= z >> 31;
    const auto step = static_cast<float>(1 + z % 32767);
    sample = ((z >> 32) & 1 ? step + 0.5f : -step - 0.5f) / 32767.0f;
  }
  return samples;
}

// Reads standard output until `count` samples follow the first one that is not
// silence, and returns those; fewer if `timeout` passes first. `eachRead` runs
// after every read.
inline std::vector<int16_t> readSound(
    ChildProcess& child, std::size_t count, std::chrono::milliseconds timeout,
    const std::function<void()>& eachRead = [] {}) {
  std::vector<int16_t> got;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::optional<std::size_t> start;
  while (std::chrono::steady_clock::now() < deadline && !(start && got.size() >= *start + count)) {
    const auto more = samplesOf(child.readStdout(65536, 100ms));
    got.insert(got.end(), more.begin(), more.end());
    if (!start) start = firstSound(got);
    eachRead();
  }
  if (!start) return {};
  got.erase(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(*start));
  if (got.size() > count) got.resize(count);
  return got;
}

// Reads standard output until what it held is read (a read of 60 ms brings no
// more than a tenth of a second), so that a rate measured from here counts no
// audio made before.
inline void catchUp(ChildProcess& child) {
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (child.readStdout(1 << 20, 60ms).size() > 3200 &&
         std::chrono::steady_clock::now() < until) {
  }
}

// Reads standard output, so that a full pipe cannot hold the child up, until
// `done(standard error)` holds or 2 s pass; returns what was read.
inline std::vector<std::byte> readUntil(ChildProcess& child,
                                        const std::function<bool(const std::string&)>& done) {
  std::vector<std::byte> read;
  const auto until = std::chrono::steady_clock::now() + 2s;
  while (!done(child.stderrText()) && std::chrono::steady_clock::now() < until) {
    const auto more = child.readStdout(640, 50ms);
    read.insert(read.end(), more.begin(), more.end());
  }
  return read;
}

// `got` is `fed` through the per-sample rule, sample for sample.
inline void expectFedExactly(const std::vector<int16_t>& got, const std::vector<float>& fed) {
  ASSERT_EQ(got.size(), fed.size()) << "the capture ended short";
  std::size_t differ = 0, first = 0;
  for (std::size_t i = 0; i < fed.size(); ++i) {
    if (got[i] != pcm::sampleFromFloat(fed[i]) && differ++ == 0) first = i;
  }
  EXPECT_EQ(differ, 0u) << "first difference at sample " << first << " of " << fed.size();
}

// The child stops on `signo` within the time allowed: status 0, and `line` is
// the one stop line, written last.
inline void expectStopsOn(int signo, ChildProcess& child, const std::string& line) {
  child.sendSignal(signo);
  EXPECT_EQ(child.exitCode(2s), 0);
  const std::string text = withoutSanitizerNotes(child.stderrText());
  EXPECT_TRUE(text.ends_with(line)) << text;
  EXPECT_EQ(occurrences(text, "Received"), 1u) << text;
}

// Each case with a private server of its own.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    server = PulseTestServer::start(error);
    ASSERT_TRUE(server) << error;
  }
  // Runs `argv` as a client of this server, with `changes` to its environment.
  std::unique_ptr<ChildProcess> launch(const std::vector<std::string>& argv,
                                       const Environment& changes = {}, bool captureStdout = true) {
    auto options = server->childOptions();
    for (const auto& [name, value] : changes) options.environment[name] = value;
    options.captureStdout = captureStdout;
    auto child = ChildProcess::start(argv, options);
    EXPECT_TRUE(child);
    return child;
  }

  std::unique_ptr<PulseTestServer> server;
};

// A server with a default output for corvane and a default input for velloc.
class DefaultDevicesTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    if (HasFatalFailure()) return;
    std::string error;
    ASSERT_TRUE(server->addSink("speakers", 48000, 2, "Speakers", true, error)) << error;
    ASSERT_TRUE(server->addMicrophone("mic", 48000, 2, "Desk Mic", error)) << error;
    ASSERT_TRUE(server->setDefaultSource("mic"));
  }
};

// A tone that starts somewhere in 16 kHz `samples`, fitted over half a second
// from a tenth of a second after it starts; none when it never starts.
inline std::optional<ToneFit> fitToneAfterOnset(std::span<const int16_t> samples,
                                                double frequency) {
  const auto onset = firstSound(samples, 2000);
  if (!onset || *onset + 1600 + 8000 > samples.size()) return std::nullopt;
  return fitTone(samples.subspan(*onset + 1600, 8000), frequency, 16000);
}

}  // namespace pulsetest
