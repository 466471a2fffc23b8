// Both tools for two minutes (SOAK_SECONDS), side by side so the pair costs the
// time of one, each against its own private server.
//
// velloc on the direct path must hand back exactly what its 16 kHz mono float
// microphone was fed: a pseudo-random sequence in which a lost, repeated or
// swapped block of samples cannot go unnoticed. corvane must keep pace with the
// wall clock to within one of its 50 ms blocks (800 samples) from the start of
// the run to its end. Neither may grow in memory once it has settled.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "tests/e2e/capture_checks.h"

namespace {

using namespace std::chrono_literals;
using namespace pulsetest;
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr double kRate = 16000.0;
constexpr std::size_t kCorvaneBlockSamples = 800;  // 50 ms at 16 kHz
// Memory a process may still gain after it has settled. Leaking one 3200-byte
// buffer a second would add more than this over two minutes.
constexpr long kRssSlackKb = 256;
constexpr Seconds kSettled{10.0};

// Resident set size in kB, from /proc/<pid>/status.
long residentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string field;
  while (status >> field && field != "VmRSS:") {
  }
  long kb = 0;
  status >> kb;
  return kb;
}

// Memory once the process has settled, against memory at the end of the run.
class RssLog {
 public:
  explicit RssLog(pid_t pid) : pid_(pid), began_(Clock::now()) {}
  void sampleIfDue() {
    if (settled_ == 0 && Clock::now() - began_ >= kSettled) settled_ = residentKb(pid_);
  }
  void expectFlat(const char* tool) const {
    const long end = residentKb(pid_);
    std::printf("%s: VmRSS %ld kB after %.0f s, %ld kB at the end\n", tool, settled_,
                kSettled.count(), end);
    EXPECT_GT(settled_, 0);
    EXPECT_LE(end, settled_ + kRssSlackKb) << tool << " kept growing after it settled";
  }

 private:
  pid_t pid_;
  Clock::time_point began_;
  long settled_ = 0;
};

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

  const auto fed = distinctSamples(static_cast<std::size_t>(seconds * kRate));
  auto player = server->play("soak_feed", 16000, 1, fed);
  ASSERT_TRUE(player);
  RssLog rss(velloc->pid());
  const auto got = readSound(*velloc, fed.size(), std::chrono::seconds(seconds + 20),
                             [&] { rss.sampleIfDue(); });
  expectFedExactly(got, fed);
  std::printf("velloc: %zu of %zu samples fed came back\n", got.size(), fed.size());
  rss.expectFlat("velloc");
  expectStopsOn(SIGINT, *velloc, "[tamsel] Received SIGINT, stopping...\n");
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
    rss.sampleIfDue();
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
  rss.expectFlat("corvane");
  expectStopsOn(SIGINT, *corvane, "Received SIGINT, stopping...\n");
}

TEST(Soak, VellocBitExactAndCorvaneInRealTimeSideBySide) {
  const char* wanted = std::getenv("SOAK_SECONDS");
  const int seconds = wanted != nullptr ? std::max(20, std::atoi(wanted)) : 120;
  std::thread velloc(soakVelloc, seconds);
  std::thread corvane(soakCorvane, seconds);
  velloc.join();
  corvane.join();
}

}  // namespace
