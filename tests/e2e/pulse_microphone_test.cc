// velloc's platform on a private server: what only the layer shows. (velloc's
// end-to-end cases cover device names, the delivered audio and a missing server.)
#include "platform/pulse/pulse_microphone_platform.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "platform/pulse/platform_status.h"
#include "tests/e2e/capture_checks.h"
#include "tests/fake/common/fake_process.h"

namespace {

using namespace std::chrono_literals;
using pulse::PulseMicrophonePlatform;
using velloc::AudioFormat;

class PulseMicrophoneTest : public pulsetest::ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    if (HasFatalFailure()) return;
    std::string error;
    auto made = server->addMicrophone("usb", 48000, 2, "USB Mic", error);
    ASSERT_TRUE(made) << error;
    usb = *made;
    // libpulse reads the server's address from the environment.
    for (const auto& [name, value] : server->environment()) {
      value.empty() ? unsetenv(name.c_str()) : setenv(name.c_str(), value.c_str(), 1);
    }
    platform = std::make_unique<PulseMicrophonePlatform>(process);
  }

  pcm::fake::FakeProcess process;  // a layer that ended the process would throw
  pulsetest::VirtualMicrophone usb;
  std::unique_ptr<PulseMicrophonePlatform> platform;
};

TEST_F(PulseMicrophoneTest, RefusesUnknownSourcesAndTapsInAFormatTheServerConvertsTo) {
  auto engine = platform->makeEngine();
  auto& input = engine->inputNode();
  // An identifier that names no source is refused, by the queries and the binding.
  std::optional<std::string> name;
  EXPECT_EQ(platform->devices().readDeviceName(9999, name), pulse::kStatusBadObject);
  ASSERT_NE(input.audioUnit(), nullptr);
  EXPECT_LT(input.audioUnit()->setCurrentDevice(9999), 0);
  ASSERT_EQ(input.audioUnit()->setCurrentDevice(*server->sourceIndex("usb")), velloc::kNoErr);
  EXPECT_TRUE(input.outputFormatForBus(0).interleaved);

  // Tap buffers carry the requested frames, in order, in the tap's format: here
  // 16 kHz mono from a 48 kHz stereo source, the server converting.
  const AudioFormat tapFormat{velloc::kCommonFormatFloat32, 16000.0, 1, false};
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<uint32_t, int64_t>> seen;
  input.installTap(0, 1600, tapFormat,
                   [&](const velloc::PcmBuffer& buffer, const velloc::AudioTime& when) {
                     std::lock_guard lock(mutex);
                     EXPECT_EQ(buffer.format().sampleRate, 16000.0);
                     EXPECT_EQ(buffer.format().channelCount, 1u);
                     seen.emplace_back(buffer.frameLength(), when.sampleTime);
                     changed.notify_all();
                   });
  ASSERT_FALSE(engine->start());
  std::unique_lock lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, 3s, [&] { return seen.size() >= 3; }));
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(seen[i].first, 1600u);
    EXPECT_EQ(seen[i].second, static_cast<int64_t>(i * 1600));
  }
  EXPECT_EQ(process.stderrBytes(), "");
}

TEST_F(PulseMicrophoneTest, StartFailsWithTheServersReasonWhenTheSourceIsGone) {
  auto engine = platform->makeEngine();
  auto& input = engine->inputNode();
  ASSERT_EQ(input.audioUnit()->setCurrentDevice(*server->sourceIndex("usb")), velloc::kNoErr);
  const AudioFormat native = input.outputFormatForBus(0);
  input.installTap(0, 4096, native, [](const velloc::PcmBuffer&, const velloc::AudioTime&) {});
  ASSERT_TRUE(server->unloadModule(usb.sourceModule));
  auto error = engine->start();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription, "No such entity");
}

TEST_F(PulseMicrophoneTest, DescribesOnlyUsableFormatsAndBuffers) {
  EXPECT_TRUE(platform->makeFormat(velloc::kCommonFormatInt16, 16000.0, 1, true));
  EXPECT_FALSE(platform->makeFormat(2, 16000.0, 1, false));
  EXPECT_FALSE(platform->makeFormat(1, 0.0, 1, false));
  EXPECT_FALSE(platform->makeFormat(1, 16000.0, 0, false));
  const AudioFormat mono{velloc::kCommonFormatFloat32, 16000.0, 1, false};
  auto buffer = platform->makePcmBuffer(mono, 1365);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer->frameLength(), 0u);
  EXPECT_EQ(buffer->frameCapacity(), 1365u);
  EXPECT_FALSE(platform->makePcmBuffer(mono, UINT32_MAX));
}

}  // namespace
