// velloc's platform on a private server: what the device queries, the binding,
// the native format and the engine answer.
#include "platform/pulse/pulse_microphone_platform.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "platform/pulse/platform_status.h"
#include "tests/e2e/pulse_test_server.h"

namespace {

using namespace std::chrono_literals;
using pulse::PulseMicrophonePlatform;
using pulsetest::PulseTestServer;
using velloc::AudioFormat;

class RecordingProcess final : public pcm::ProcessControl {
 public:
  void writeDiagnostic(std::string_view text) override {
    std::lock_guard lock(mutex);
    lines += text;
  }
  void installSignalHandlers(std::string_view, std::string_view) override {}
  void parkMainThread() override {}
  [[noreturn]] void exitProcess(int status) override {
    ADD_FAILURE() << "the platform ended the process with status " << status << ": " << lines;
    abort();
  }
  std::mutex mutex;
  std::string lines;
};

void pointClientAt(const pulsetest::Environment& environment) {
  for (const auto& [name, value] : environment) {
    if (value.empty()) {
      unsetenv(name.c_str());
    } else {
      setenv(name.c_str(), value.c_str(), 1);
    }
  }
}

class PulseMicrophoneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    server = PulseTestServer::start(error);
    ASSERT_TRUE(server) << error;
    ASSERT_TRUE(server->addMicrophone("mono", 16000, 1, "Mono Mic", error)) << error;
    auto made = server->addMicrophone("usb", 48000, 2, "USB Mic", error);
    ASSERT_TRUE(made) << error;
    usb = *made;
    ASSERT_TRUE(server->setDefaultSource("mono"));
    pointClientAt(server->environment());
    platform = std::make_unique<PulseMicrophonePlatform>(process);
  }

  RecordingProcess process;
  std::unique_ptr<PulseTestServer> server;
  pulsetest::VirtualMicrophone usb;
  std::unique_ptr<PulseMicrophonePlatform> platform;
};

TEST_F(PulseMicrophoneTest, EverySourceIsADeviceNamedByItsDescription) {
  auto& devices = platform->devices();
  uint32_t size = 0;
  ASSERT_EQ(devices.deviceListDataSize(size), velloc::kNoErr);
  ASSERT_EQ(size, 4u * 4u);  // two monitors and two microphones
  std::vector<velloc::AudioObjectID> ids(4);
  ASSERT_EQ(devices.readDeviceList(size, ids.data()), velloc::kNoErr);
  EXPECT_EQ(ids[3], server->sourceIndex("usb"));

  std::vector<std::string> names;
  std::vector<uint32_t> channels;
  for (auto id : ids) {
    std::optional<std::string> name;
    ASSERT_EQ(devices.readDeviceName(id, name), velloc::kNoErr);
    names.push_back(name.value_or("?"));
    uint32_t bytes = 0;
    ASSERT_EQ(devices.inputStreamConfigurationDataSize(id, bytes), velloc::kNoErr);
    alignas(velloc::AudioBufferList) std::byte storage[64];
    ASSERT_LE(bytes, sizeof storage);
    ASSERT_EQ(devices.readInputStreamConfiguration(id, bytes, storage), velloc::kNoErr);
    const auto* list = reinterpret_cast<const velloc::AudioBufferList*>(storage);
    ASSERT_EQ(list->mNumberBuffers, 1u);
    channels.push_back(list->mBuffers[0].mNumberChannels);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Monitor of Feed of mono", "Mono Mic",
                                             "Monitor of Feed of usb", "USB Mic"}));
  EXPECT_EQ(channels, (std::vector<uint32_t>{1, 1, 2, 2}));

  std::optional<std::string> name;
  EXPECT_EQ(devices.readDeviceName(9999, name), pulse::kStatusBadObject);
  uint32_t bytes = 0;
  EXPECT_EQ(devices.inputStreamConfigurationDataSize(9999, bytes), pulse::kStatusBadObject);
}

TEST_F(PulseMicrophoneTest, NativeFormatFollowsTheBindingOrTheDefaultSource) {
  auto engine = platform->makeEngine();
  auto& input = engine->inputNode();
  const AudioFormat defaultFormat = input.outputFormatForBus(0);
  EXPECT_EQ(defaultFormat.commonFormat, velloc::kCommonFormatFloat32);
  EXPECT_EQ(defaultFormat.sampleRate, 16000.0);
  EXPECT_EQ(defaultFormat.channelCount, 1u);
  EXPECT_FALSE(defaultFormat.interleaved);

  ASSERT_NE(input.audioUnit(), nullptr);
  EXPECT_LT(input.audioUnit()->setCurrentDevice(9999), 0);
  ASSERT_EQ(input.audioUnit()->setCurrentDevice(*server->sourceIndex("usb")), velloc::kNoErr);
  const AudioFormat bound = input.outputFormatForBus(0);
  EXPECT_EQ(bound.sampleRate, 48000.0);
  EXPECT_EQ(bound.channelCount, 2u);
  EXPECT_TRUE(process.lines.empty()) << process.lines;
}

TEST_F(PulseMicrophoneTest, TapBuffersCarryTheRequestedFramesInTheTapsFormat) {
  auto engine = platform->makeEngine();
  auto& input = engine->inputNode();
  ASSERT_EQ(input.audioUnit()->setCurrentDevice(*server->sourceIndex("usb")), velloc::kNoErr);
  input.outputFormatForBus(0);
  // 16 kHz mono from a 48 kHz stereo source: the server converts.
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

TEST_F(PulseMicrophoneTest, WithoutAServerItWarnsOnceAndReportsAnEmptyFormat) {
  setenv("PULSE_SERVER", ("unix:" + server->scratchDir() + "/nothing").c_str(), 1);
  PulseMicrophonePlatform offline(process);
  uint32_t size = 1;
  EXPECT_EQ(offline.devices().deviceListDataSize(size), pulse::kStatusNoServer);
  EXPECT_EQ(size, 0u);
  auto engine = offline.makeEngine();
  const AudioFormat format = engine->inputNode().outputFormatForBus(0);
  EXPECT_EQ(format.channelCount, 0u);
  EXPECT_EQ(format.sampleRate, 0.0);
  EXPECT_EQ(process.lines, "[tamsel] WARNING: audio server unreachable: Connection refused\n");
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
