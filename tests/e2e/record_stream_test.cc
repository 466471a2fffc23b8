// The record stream against a private server: what it delivers, and how it
// reports the server going away. (velloc's end-to-end cases cover the rest.)
#include "platform/pulse/record_stream.h"

#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "platform/pulse/pulse_connection.h"
#include "platform/pulse/server_queries.h"
#include "tests/e2e/pulse_test_server.h"

namespace {

using namespace std::chrono_literals;
using pulse::PulseConnection;
using pulse::RecordStream;
using pulsetest::PulseTestServer;

// libpulse reads the server address from the environment; the tests point it at
// their own server before connecting.
std::unique_ptr<PulseConnection> connectTo(const PulseTestServer& server, std::string& reason) {
  for (const auto& [name, value] : server.environment()) {
    if (value.empty()) {
      unsetenv(name.c_str());
    } else {
      setenv(name.c_str(), value.c_str(), 1);
    }
  }
  return PulseConnection::connect("record-stream-test", 5s, reason);
}

// Collects delivered blocks as float samples, for a test thread to wait on.
struct Received {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<float> samples;
  std::vector<uint64_t> firstFrames;
  std::vector<std::size_t> blockBytes;
  std::optional<std::string> failure;

  RecordStream::BlockHandler blockHandler() {
    return [this](std::span<const std::byte> block, uint64_t firstFrame) {
      std::lock_guard lock(mutex);
      const std::size_t count = block.size() / sizeof(float);
      const std::size_t old = samples.size();
      samples.resize(old + count);
      std::memcpy(samples.data() + old, block.data(), count * sizeof(float));
      firstFrames.push_back(firstFrame);
      blockBytes.push_back(block.size());
      changed.notify_all();
    };
  }
  RecordStream::FailureHandler failureHandler() {
    return [this](const std::string& reason) {
      std::lock_guard lock(mutex);
      failure = reason;
      changed.notify_all();
    };
  }
  bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, done);
  }
};

// A ramp of distinct, exactly representable values that never sound like silence.
std::vector<float> ramp(std::size_t n) {
  std::vector<float> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = 0.25f + static_cast<float>(i % 4096) / 8192.0f;
  return values;
}

// Index of `pattern` inside `haystack`, aligned at its first sample.
std::optional<std::size_t> find(const std::vector<float>& haystack,
                                const std::vector<float>& pattern) {
  for (std::size_t i = 0; i + pattern.size() <= haystack.size(); ++i) {
    if (std::memcmp(&haystack[i], pattern.data(), pattern.size() * sizeof(float)) == 0) return i;
  }
  return std::nullopt;
}

class RecordStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    server = PulseTestServer::start(error);
    ASSERT_TRUE(server) << error;
    auto made = server->addMicrophone("mic", 16000, 1, "Test Mic", error);
    ASSERT_TRUE(made) << error;
    mic = *made;
    connection = connectTo(*server, error);
    ASSERT_TRUE(connection) << error;
  }
  RecordStream::Config micConfig(uint32_t frames) {
    RecordStream::Config config;
    config.sourceName = mic.sourceName;
    config.sampleSpec = {PA_SAMPLE_FLOAT32LE, 16000, 1};
    config.framesPerBlock = frames;
    return config;
  }

  std::unique_ptr<PulseTestServer> server;
  pulsetest::VirtualMicrophone mic;
  std::unique_ptr<PulseConnection> connection;
};

TEST_F(RecordStreamTest, DeliversFixedBlocksInOrderBitForBit) {
  Received received;
  RecordStream stream(*connection, micConfig(1000), received.blockHandler(),
                      received.failureHandler());
  ASSERT_FALSE(stream.start());
  const auto pattern = ramp(8000);
  auto player = server->play(mic.sinkName, 16000, 1, pattern);
  ASSERT_TRUE(player);
  const bool found =
      received.waitFor([&] { return find(received.samples, pattern).has_value(); }, 5s);
  if (!found) {
    std::lock_guard lock(received.mutex);
    std::size_t i = 0;
    while (i < received.samples.size() && received.samples[i] == 0.0f) ++i;
    for (std::size_t k = 0; k < 12 && i + k < received.samples.size(); ++k)
      ADD_FAILURE() << k << ": " << received.samples[i + k] << " vs " << pattern[k];
  }
  ASSERT_TRUE(found);
  std::lock_guard lock(received.mutex);
  for (std::size_t i = 0; i < received.firstFrames.size(); ++i) {
    EXPECT_EQ(received.firstFrames[i], i * 1000);
    EXPECT_EQ(received.blockBytes[i], 4000u);
  }
  EXPECT_FALSE(received.failure);
}

TEST_F(RecordStreamTest, ReportsTheServerDying) {
  Received received;
  RecordStream stream(*connection, micConfig(1600), received.blockHandler(),
                      received.failureHandler());
  ASSERT_FALSE(stream.start());
  ASSERT_TRUE(received.waitFor([&] { return !received.samples.empty(); }, 3s));
  server->kill(SIGKILL);
  ASSERT_TRUE(received.waitFor([&] { return received.failure.has_value(); }, 1s));
  EXPECT_EQ(*received.failure, "Connection terminated");
  auto held = connection->lock();
  EXPECT_FALSE(connection->alive());
  EXPECT_FALSE(pulse::listSources(*connection).value);
}

}  // namespace
