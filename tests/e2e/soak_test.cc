// Both tools for two minutes (SOAK_SECONDS), side by side so the pair costs the
// time of one, each against its own private server.
//
// velloc on the direct path must hand back exactly what its 16 kHz mono float
// microphone was fed: a pseudo-random sequence in which a lost, repeated or
// swapped block of samples cannot go unnoticed. corvane must keep pace with the
// wall clock to within one of its 50 ms blocks (800 samples) from the start of
// the run to its end. Neither may grow in memory once it has settled.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/sample_rule.h"
#include "tests/e2e/pulse_test_server.h"

namespace {

using namespace std::chrono_literals;
using pulsetest::ChildProcess;
using pulsetest::PulseTestServer;
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr double kRate = 16000.0;
constexpr std::size_t kCorvaneBlockSamples = 800;  // 50 ms at 16 kHz
// Memory a process may still gain after it has settled. Leaking one 3200-byte
// buffer a second would add more than this over two minutes.
constexpr long kRssSlackKb = 256;
constexpr Seconds kSettled{10.0};

int soakSeconds() {
  const char* seconds = std::getenv("SOAK_SECONDS");
  return seconds != nullptr ? std::max(20, std::atoi(seconds)) : 120;
}

// Resident set size in kB, from /proc/<pid>/status; none once the process is gone.
std::optional<long> residentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string field;
  while (status >> field) {
    if (field == "VmRSS:") {
      long kb = 0;
      status >> kb;
      return kb;
    }
  }
  return std::nullopt;
}

// RSS samples taken about once a second, with the time since the run began.
class RssLog {
 public:
  explicit RssLog(pid_t pid) : pid_(pid) {}
  void sampleIfDue(Clock::time_point began) {
    const auto now = Clock::now();
    if (now < next_) return;
    next_ = now + 1s;
    if (const auto kb = residentKb(pid_)) samples_.push_back({Seconds(now - began), *kb});
  }
  // The most held at any moment up to `settled`, and at any moment after it.
  std::pair<long, long> settledAndLater(Seconds settled) const {
    long before = 0, after = 0;
    for (const auto& [at, kb] : samples_) {
      long& most = at <= settled ? before : after;
      most = std::max(most, kb);
    }
    return {before, after};
  }
  std::size_t count() const { return samples_.size(); }

 private:
  pid_t pid_;
  Clock::time_point next_{};
  std::vector<std::pair<Seconds, long>> samples_;
};

std::vector<int16_t> samplesOf(const std::vector<std::byte>& bytes) {
  std::vector<int16_t> samples(bytes.size() / 2);
  if (!samples.empty()) std::memcpy(samples.data(), bytes.data(), 2 * samples.size());
  return samples;
}

// Exactly representable steps away from zero, so each maps to one PCM value
// that is never silence; the order comes from a 64-bit generator, so no stretch
// of the sequence repeats an earlier one.
std::vector<float> fedSequence(std::size_t count) {
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

void expectEndsOnSigint(ChildProcess& child, const std::string& line) {
  child.sendSignal(SIGINT);
  const auto status = child.waitForExit(2s);
  ASSERT_TRUE(status);
  EXPECT_EQ(pulsetest::describeStatus(*status), 0);
  const std::string text = child.stderrText();
  EXPECT_TRUE(text.ends_with(line)) << text;
  EXPECT_EQ(text.find("Received"), text.rfind("Received")) << text;
}

void expectFlatMemory(const RssLog& rss, const char* tool) {
  const auto [settled, later] = rss.settledAndLater(kSettled);
  std::printf("%s: VmRSS at most %ld kB in the first %.0f s, %ld kB after (%zu samples)\n", tool,
              settled, kSettled.count(), later, rss.count());
  EXPECT_GT(settled, 0);
  EXPECT_LE(later, settled + kRssSlackKb) << tool << " kept growing after it settled";
}

void soakVelloc(int seconds) {
  SCOPED_TRACE("velloc");
  std::string error;
  auto server = PulseTestServer::start(error);
  ASSERT_TRUE(server) << error;
  ASSERT_TRUE(server->addMicrophone("soak", 16000, 1, "Soak Mic", error)) << error;
  auto velloc =
      ChildProcess::start({VELLOC_PATH, "--device-id", "Soak Mic"}, server->childOptions());
  ASSERT_TRUE(velloc);
  ASSERT_TRUE(velloc->waitForStderr("[tamsel] Voice processing: OFF\n", 10s))
      << velloc->stderrText();
  ASSERT_NE(velloc->stderrText().find("no rate conversion needed"), std::string::npos)
      << velloc->stderrText();

  const auto fed = fedSequence(static_cast<std::size_t>(seconds * kRate));
  auto player = server->play("soak_feed", 16000, 1, fed);
  ASSERT_TRUE(player);

  const auto began = Clock::now();
  RssLog rss(velloc->pid());
  std::vector<int16_t> got;
  std::optional<std::size_t> start;
  const auto deadline = began + Seconds(seconds + 20.0);
  while (Clock::now() < deadline && !(start && got.size() >= *start + fed.size())) {
    const auto more = samplesOf(velloc->readStdout(65536, 100ms));
    got.insert(got.end(), more.begin(), more.end());
    if (!start) {
      const auto sound = std::find_if(got.begin(), got.end(), [](int16_t s) { return s != 0; });
      if (sound != got.end()) start = static_cast<std::size_t>(sound - got.begin());
    }
    rss.sampleIfDue(began);
  }
  ASSERT_TRUE(start) << "nothing but silence arrived";
  ASSERT_GE(got.size(), *start + fed.size()) << "the run ended short";

  std::size_t mismatches = 0;
  std::optional<std::size_t> first;
  for (std::size_t i = 0; i < fed.size(); ++i) {
    if (got[*start + i] != pcm::sampleFromFloat(fed[i])) {
      ++mismatches;
      if (!first) first = i;
    }
  }
  EXPECT_EQ(mismatches, 0u) << "first at sample " << first.value_or(0) << " of " << fed.size();
  std::printf("velloc: %zu samples over %.1f s, %zu differ from what was fed\n", fed.size(),
              Seconds(Clock::now() - began).count(), mismatches);
  expectFlatMemory(rss, "velloc");
  expectEndsOnSigint(*velloc, "[tamsel] Received SIGINT, stopping...\n");
}

void soakCorvane(int seconds) {
  SCOPED_TRACE("corvane");
  std::string error;
  auto server = PulseTestServer::start(error);
  ASSERT_TRUE(server) << error;
  ASSERT_TRUE(server->addSink("speakers", 48000, 2, "Speakers", true, error)) << error;
  auto corvane = ChildProcess::start({CORVANE_PATH}, server->childOptions());
  ASSERT_TRUE(corvane);
  ASSERT_FALSE(corvane->readStdout(2, 10s).empty()) << corvane->stderrText();

  // How far the samples received are ahead of the clock, in seconds, after each
  // read. Blocks arrive whole, so this swings by up to a block; a late read
  // only lowers it. The highest value in a stretch is therefore the stream's
  // true position, and it must not move between the start and the end.
  const auto began = Clock::now();
  RssLog rss(corvane->pid());
  std::size_t bytes = 2;
  double earlyLead = -1e9, lateLead = -1e9;
  const Seconds length(seconds);
  for (;;) {
    bytes += corvane->readStdout(65536, 20ms).size();
    const Seconds at = Clock::now() - began;
    if (at >= length) break;
    const double lead = static_cast<double>(bytes / 2) / kRate - at.count();
    if (at >= 2s && at < 12s) earlyLead = std::max(earlyLead, lead);
    if (at >= length - 10s) lateLead = std::max(lateLead, lead);
    rss.sampleIfDue(began);
  }
  const double drift = (lateLead - earlyLead) * kRate;
  std::printf(
      "corvane: %zu samples in %.1f s; lead %.1f ms early, %.1f ms late: moved by %.0f "
      "samples against the clock (one block is %zu)\n",
      bytes / 2, length.count(), earlyLead * 1000, lateLead * 1000, drift, kCorvaneBlockSamples);
  EXPECT_EQ(bytes % 2, 0u);
  EXPECT_LE(std::abs(drift), static_cast<double>(kCorvaneBlockSamples));
  // The clock started when the first block arrived, and that block held the 50 ms
  // before it: the stream stays one block ahead, give or take one.
  EXPECT_NEAR(lateLead * kRate, static_cast<double>(kCorvaneBlockSamples),
              static_cast<double>(kCorvaneBlockSamples));
  expectFlatMemory(rss, "corvane");
  expectEndsOnSigint(*corvane, "Received SIGINT, stopping...\n");
}

TEST(Soak, VellocBitExactAndCorvaneInRealTimeSideBySide) {
  const int seconds = soakSeconds();
  std::thread velloc(soakVelloc, seconds);
  std::thread corvane(soakCorvane, seconds);
  velloc.join();
  corvane.join();
}

}  // namespace
